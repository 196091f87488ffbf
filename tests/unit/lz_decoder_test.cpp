// The block decoders: the stub's (lz_decoder.cpp) and the host's fast one
// must agree on every input (result, bytes, where the cursor ends, nothing
// written outside the request), and on valid blocks with the strict
// reference reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>

#include "archive_fixture.h"
#include "block_builder.h"
#include "codec/block_input.h"
#include "codec/fast_decoder.h"
#include "codec/lz_decoder.h"
#include "packer/block_encoder.h"
#include "packer/lz_parser.h"
#include "reference_reader.h"

namespace {

const uint8_t GUARD = 0xCC;

struct Outcome {
  int32_t result;
  std::vector<uint8_t> output;
  uint64_t endBit;
};

Outcome decodeWith(bool fast, const std::function<void()>& load, const std::vector<uint8_t>& history,
                   uint32_t requested) {
  load();
  std::vector<uint8_t> buffer(history);
  buffer.resize(history.size() + requested + 64, GUARD);
  fastDecoderEnabled = fast;
  Outcome o{decodeBlock(buffer.data(), (uint32_t)history.size(), requested), {}, 0};
  fastDecoderEnabled = true;
  EXPECT_TRUE(std::equal(history.begin(), history.end(), buffer.begin())) << "history changed";
  EXPECT_TRUE(std::all_of(buffer.begin() + (ptrdiff_t)(history.size() + requested), buffer.end(),
                          [](uint8_t b) { return b == GUARD; }))
      << "written past the request";
  if (o.result > 0) o.output.assign(buffer.begin() + (ptrdiff_t)history.size(), buffer.begin() + (ptrdiff_t)history.size() + o.result);
  o.endBit = (uint64_t)(state.inputCursor - state.inputBuffer) * 8 + state.inputBitOffset;
  return o;
}

// Both decoders on the same input; returns the stub decoder's outcome.
Outcome decodeBoth(const std::function<void()>& load, const std::vector<uint8_t>& history, uint32_t requested,
                   const std::string& what) {
  Outcome slow = decodeWith(false, load, history, requested), fast = decodeWith(true, load, history, requested);
  EXPECT_EQ(fast.result, slow.result) << what;
  EXPECT_EQ(fast.endBit, slow.endBit) << what;
  EXPECT_TRUE(fast.output == slow.output) << what;
  return slow;
}

Outcome decodeInBuffer(const std::vector<uint8_t>& data, uint64_t startBit, const std::vector<uint8_t>& history,
                       uint32_t requested, const std::string& what) {
  std::unique_ptr<LoadedInput> input;
  return decodeBoth([&] { input = std::make_unique<LoadedInput>(data, startBit); }, history, requested, what);
}

std::vector<uint8_t> distinctHistory(size_t n) {
  std::vector<uint8_t> h(n);
  for (size_t i = 0; i < n; ++i) h[i] = (uint8_t)(i * 7 + i / 256);
  return h;
}

TEST(Decoders, RandomValidLenientAndDamagedBlocks) {
  uint32_t checkedAgainstReference = 0;
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> history = distinctHistory(rng() % 3 ? rng() % 5000 : 0);
    uint32_t wanted = 1 + rng() % 40000;
    bool valid = seed % 2;
    CompressedFrame frame(wanted, true);
    writeRandomCodedData(rng, frame.w, (uint32_t)history.size(), wanted, valid);
    std::vector<uint8_t> block = frame.finish();
    uint32_t requested = rng() % 4 ? wanted : wanted / 2;
    std::string what = "seed " + std::to_string(seed);
    Outcome o = decodeInBuffer(block, BLOCK_CODED_DATA_BIT, history, requested, what);
    if (valid && requested == wanted) {
      std::vector<uint8_t> expected = history;
      uint32_t used = 0;
      ASSERT_NO_THROW(used = reference::decodeCompressedBlock(block.data(), (uint32_t)block.size(), expected,
                                                             (uint32_t)history.size(), wanted, nullptr))
          << what;
      ASSERT_EQ(o.result, (int32_t)wanted) << what;
      EXPECT_TRUE(std::equal(o.output.begin(), o.output.end(), expected.begin() + (ptrdiff_t)history.size())) << what;
      EXPECT_EQ(o.endBit, used * 8ull) << what;
      ++checkedAgainstReference;
    }
    // Damage: flipped bits, a garbled stretch or a cut, at random places.
    uint32_t kind = rng() % 3;
    if (kind == 0) {
      for (uint32_t i = 1 + rng() % 4; i; --i) block[7 + rng() % (block.size() - 7)] ^= (uint8_t)(1u << rng() % 8);
    } else if (kind == 1) {
      size_t at = 7 + rng() % (block.size() - 7);
      for (size_t i = at; i < std::min(block.size(), at + 1 + rng() % 32); ++i) block[i] = (uint8_t)rng();
    } else {
      block.resize(7 + rng() % (block.size() - 7));
    }
    decodeInBuffer(block, BLOCK_CODED_DATA_BIT, history, requested, what + " damaged");
  }
  EXPECT_GT(checkedAgainstReference, 120u);
}

// What only the lenient decoders do, which valid blocks never show.
TEST(Decoders, LenientRulesDamageAndCancel) {
  const std::vector<uint8_t> history = distinctHistory(1048576);
  struct Case {
    const char* what;
    std::function<void(BitString&)> write;
    uint32_t historyLength, requested;
    int32_t result;
    std::vector<uint8_t> bytes;  // checked when the result is a count
  } cases[] = {
      {"nothing requested: the prefix is read, the cursor rounded up", [](BitString& w) { CodedWriter(w, 2, {}); },
       0, 0, 0, {}},
      {"distance before the buffer: dropped", [](BitString& w) {
         CodedWriter c(w, 2, {});
         c.match(4, 101), c.match(4, 100);
       }, 100, 4, 4, {history.begin(), history.begin() + 4}},
      {"the farthest distance, all extra bits set", [](BitString& w) {
         CodedWriter(w, 2, {uniformSet(2)}).match(3, MAX_DISTANCE);
       }, MAX_DISTANCE, 3, 3, {history.begin(), history.begin() + 3}},
      {"a match past the request is cut there", [](BitString& w) {
         CodedWriter c(w, 2, {});
         c.literal('q'), c.match(MAX_MATCH, 1);
       }, 0, 1000, 1000, std::vector<uint8_t>(1000, 'q')},
      {"end of set after the last set ends the block", [](BitString& w) {
         CodedWriter c(w, 1, {uniformSet(2)});
         c.literal('e'), c.endOfSet();
         w.put(0x55, 8);
       }, 0, 10, 1, {'e'}},
      {"a code without symbol ends the block before it", [](BitString& w) {
         std::vector<uint8_t> set = uniformSet(2), full = set;
         set[SYMBOL_UNUSED] = 0;  // one 9-bit code left free
         CodedWriter(w, 2, {set}).literal('k');
         w.putCode(msbFirstCodes(full.data(), LITLEN_SYMBOLS)[SYMBOL_UNUSED], 9);
       }, 0, 10, 1, {'k'}},
      {"distanceAlphabets 0", [](BitString& w) { w.put(makeBlockPrefix(0, 1), BLOCK_PREFIX_BITS); }, 0, 10,
       RC_DAMAGED, {}},
      {"symbol 287", [](BitString& w) {
         CodedWriter c(w, 2, {});
         c.literal('x'), c.symbol(0, LITLEN_SYMBOLS, SYMBOL_UNUSED);
       }, 0, 10, RC_DAMAGED, {}},
      {"a recent distance before any explicit one", [](BitString& w) {
         CodedWriter c(w, 2, {});
         c.literal('x'), c.match(4, 0, DIST_SYMBOL_REP0);
       }, 0, 10, RC_DAMAGED, {}},
  };
  for (const Case& c : cases) {
    BitString w;
    c.write(w);
    std::vector<uint8_t> h(history.begin(), history.begin() + c.historyLength);
    Outcome o = decodeInBuffer(w.bytes, 0, h, c.requested, c.what);
    EXPECT_EQ(o.result, c.result) << c.what;
    if (c.result >= 0) {
      EXPECT_EQ(o.output, c.bytes) << c.what;
    }
    if (c.result == 0) {
      EXPECT_EQ(o.endBit, 8u);
    }
  }

  // Regression: the last code of an input cut inside it was decoded from the
  // zeros behind the input (a truncated directory block grew a character).
  BitString w;
  CodedWriter c(w, 2, {});  // fixed set: 8 bits for 'a' and 'c', 9 for 0xF5
  c.literal('a'), c.literal(0xF5), c.literal('c');
  ASSERT_EQ(w.bytes.size(), 5u);
  w.bytes.pop_back();
  Outcome cut = decodeInBuffer(w.bytes, 0, {}, 10, "cut code");
  EXPECT_EQ(cut.output, (std::vector<uint8_t>{'a', 0xF5}));

  state.cancelRequested = 1;  // seen at a table-set switch
  EXPECT_EQ(decodeInBuffer(w.bytes, 0, {}, 10, "cancel").result, RC_CANCELLED);
  state.cancelRequested = 0;
}

// A packer-made block longer than one load of the block input: the decoders
// meet the refills (and, with the file cut short, its end) mid-block.
TEST(Decoders, PackerBlocksAcrossRefillsCutsAndFlips) {
  std::mt19937 rng(11);
  std::vector<uint8_t> data(400000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = rng() % 3 ? (uint8_t)"setup archive "[i % 14] : (uint8_t)rng();
  jov::LevelConfig config = jov::levelConfig(5);
  jov::ParsedBlock parsed = jov::parseBlock({data.data(), 0, (uint32_t)data.size()}, config);
  jov::CodingOptions coding;
  coding.threeAlphabets = parsed.threeAlphabets;
  coding.chunkTokens = config.chunkTokens;
  std::vector<uint8_t> block = jov::frameCompressedBlock(parsed.tokens, (uint32_t)data.size(), true, 2, 7, coding);
  ASSERT_GT(block.size(), 2u * INPUT_CHUNK);
  std::vector<std::vector<uint8_t>> files = {block};
  for (size_t cut : {block.size() - 1, block.size() * 2 / 3, (size_t)INPUT_CHUNK + 13})
    files.emplace_back(block.begin(), block.begin() + (ptrdiff_t)cut);
  for (int i = 0; i < 12; ++i) {
    files.push_back(block);
    files.back()[7 + rng() % (block.size() - 7)] ^= (uint8_t)(1u << rng() % 8);
  }
  for (size_t i = 0; i < files.size(); ++i) {
    std::unique_ptr<ArchiveFixture> archive;
    auto load = [&] {
      archive.reset();
      archive = std::make_unique<ArchiveFixture>(files[i]);
      ASSERT_EQ(fillInput(true), RC_OK);
      state.inputCursor += BLOCK_CODED_DATA_BIT / 8;
      state.inputBitOffset = BLOCK_CODED_DATA_BIT % 8;
    };
    Outcome o = decodeBoth(load, {}, (uint32_t)data.size(), "file " + std::to_string(i));
    if (i == 0) {
      EXPECT_TRUE(o.output == data);
    } else if (i <= 3) {
      EXPECT_LT(o.result, (int32_t)data.size()) << "cut " << i;
    }
  }
}

}  // namespace
