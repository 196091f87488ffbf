// The host's fast block decoder against the reference decoder that the stub
// runs: on the same input both must give the same result code, the same bytes
// and leave the input cursor at the same bit, on valid, damaged and real
// (packer-made) blocks, within one loaded buffer and across refills.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "archive_fixture.h"
#include "bit_string.h"
#include "block_builder.h"
#include "codec/block_input.h"
#include "codec/fast_decoder.h"
#include "codec/lz_decoder.h"
#include "install_state.h"
#include "packer/block_encoder.h"
#include "packer/lz_parser.h"

namespace {

const uint8_t GUARD = 0xCC;

struct Outcome {
  int32_t result;
  std::vector<uint8_t> output;  // history and the decoded bytes
  size_t endBit;
  bool guardIntact;
};

// Decodes with the chosen decoder; `load` puts the input in place and the
// cursor on the block's coded data.
template <typename Load>
Outcome decodeWith(bool fast, Load load, const std::vector<uint8_t>& history, uint32_t requested) {
  load();
  std::vector<uint8_t> buffer(history);
  buffer.resize(history.size() + requested + 64, GUARD);
  fastDecoderEnabled = fast;
  Outcome o;
  o.result = decodeBlock(buffer.data(), (uint32_t)history.size(), requested);
  fastDecoderEnabled = true;
  o.guardIntact = std::all_of(buffer.begin() + (ptrdiff_t)(history.size() + requested), buffer.end(),
                              [](uint8_t b) { return b == GUARD; });
  buffer.resize(history.size() + (o.result > 0 ? (size_t)o.result : 0));
  o.output = buffer;
  o.endBit = (size_t)(state.inputCursor - state.inputBuffer) * 8 + state.inputBitOffset;
  return o;
}

template <typename Load>
void expectSameOutcome(Load load, const std::vector<uint8_t>& history, uint32_t requested, const std::string& what) {
  Outcome reference = decodeWith(false, load, history, requested);
  Outcome fast = decodeWith(true, load, history, requested);
  ASSERT_EQ(fast.result, reference.result) << what;
  EXPECT_EQ(fast.endBit, reference.endBit) << what;
  EXPECT_TRUE(fast.guardIntact && reference.guardIntact) << what << ": written past the requested bytes";
  if (reference.result >= 0) {
    ASSERT_EQ(fast.output.size(), reference.output.size()) << what;
    EXPECT_TRUE(fast.output == reference.output) << what;
  }
}

// Coded data lying wholly in the block input's buffer.
void expectSameInBuffer(const std::vector<uint8_t>& data, const std::vector<uint8_t>& history, uint32_t requested,
                        const std::string& what) {
  std::unique_ptr<LoadedInput> input;
  expectSameOutcome([&] { input = std::make_unique<LoadedInput>(data, 0); }, history, requested, what);
}

std::vector<uint8_t> mixedData(std::mt19937& rng, size_t n) {
  static const char* words[] = {"return ", "self.", "if ", "(x, y)", " = ", "\n    ", "None", "import "};
  std::vector<uint8_t> v;
  while (v.size() < n) {
    uint32_t r = rng() % 10;
    if (r < 6) {
      const char* w = words[rng() % 8];
      v.insert(v.end(), w, w + strlen(w));
    } else if (r < 8) {
      v.insert(v.end(), 1 + rng() % 40, (uint8_t)rng());  // runs: distance 1
    } else {
      for (uint32_t i = rng() % 64; i; --i) v.push_back((uint8_t)rng());
    }
  }
  v.resize(n);
  return v;
}

// A block as the packer makes it at `level`, behind `history`.
std::vector<uint8_t> packerBlock(const std::vector<uint8_t>& history, const std::vector<uint8_t>& data, int level,
                                 bool withFrame) {
  std::vector<uint8_t> span(history);
  span.insert(span.end(), data.begin(), data.end());
  jov::LevelConfig config = jov::levelConfig(level);
  jov::ParsedBlock parsed = jov::parseBlock({span.data(), (uint32_t)history.size(), (uint32_t)data.size()}, config);
  jov::CodingOptions coding;
  coding.threeAlphabets = parsed.threeAlphabets;
  coding.chunkTokens = config.chunkTokens;
  if (withFrame) return jov::frameCompressedBlock(parsed.tokens, (uint32_t)data.size(), true, 2, 7, coding);
  jov::BitWriter w;
  jov::writeCodedData(w, parsed.tokens, coding);
  w.alignToByte();
  return w.bytes();
}

TEST(FastDecoder, RandomAndDamagedStreamsDecodeAsTheReference) {
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> history(rng() % 3 ? rng() % 5000 : 0);
    for (auto& b : history) b = (uint8_t)rng();
    uint32_t wanted = 1 + rng() % 40000;
    BitString w;
    writeRandomCodedData(rng, w, (uint32_t)history.size(), wanted);
    uint32_t requested = rng() % 4 ? wanted : wanted / 2;
    std::string what = "seed " + std::to_string(seed);
    expectSameInBuffer(w.bytes, history, requested, what);
    // Damage: flipped bits, a garbled stretch, a cut, all at random places.
    std::vector<uint8_t> damaged = w.bytes;
    uint32_t kind = rng() % 3;
    if (kind == 0) {
      for (uint32_t i = 1 + rng() % 4; i; --i) damaged[rng() % damaged.size()] ^= (uint8_t)(1u << rng() % 8);
    } else if (kind == 1) {
      size_t at = rng() % damaged.size();
      for (size_t i = at; i < std::min(damaged.size(), at + 1 + rng() % 32); ++i) damaged[i] = (uint8_t)rng();
    } else {
      damaged.resize(rng() % damaged.size());
    }
    expectSameInBuffer(damaged, history, requested, what + " damaged");
  }
}

TEST(FastDecoder, PackerBlocksAndTheirDamageDecodeAsTheReference) {
  std::mt19937 rng(7);
  for (int level : {1, 5, 9}) {
    std::vector<uint8_t> history = mixedData(rng, 20000), data = mixedData(rng, 60000);
    std::vector<uint8_t> coded = packerBlock(history, data, level, false);
    std::string what = "level " + std::to_string(level);
    std::unique_ptr<LoadedInput> input;
    Outcome good = decodeWith(true, [&] { input = std::make_unique<LoadedInput>(coded, 0); }, history,
                      (uint32_t)data.size());
    ASSERT_EQ(good.result, (int32_t)data.size()) << what;
    EXPECT_TRUE(std::equal(data.begin(), data.end(), good.output.begin() + (ptrdiff_t)history.size())) << what;
    expectSameInBuffer(coded, history, (uint32_t)data.size(), what);
    expectSameInBuffer(coded, history, (uint32_t)data.size() - 1000, what + " cut short");
    for (int i = 0; i < 30; ++i) {
      std::vector<uint8_t> damaged = coded;
      damaged[rng() % damaged.size()] ^= (uint8_t)(1u << rng() % 8);
      expectSameInBuffer(damaged, history, (uint32_t)data.size(), what + " flipped " + std::to_string(i));
    }
  }
}

// A block longer than one load of the block input: the decoders meet the
// refills (and, with the file cut short, the end of the input) mid-block.
TEST(FastDecoder, BlocksAcrossRefillsAndCutFilesDecodeAsTheReference) {
  std::mt19937 rng(11);
  std::vector<uint8_t> data = mixedData(rng, 400000);
  for (auto& b : data)
    if (rng() % 3 == 0) b = (uint8_t)rng();  // poorer matches: more input per output byte
  std::vector<uint8_t> block = packerBlock({}, data, 5, true);
  ASSERT_GT(block.size(), 2u * INPUT_CHUNK);
  for (size_t cut : {block.size(), block.size() - 1, block.size() * 2 / 3, (size_t)INPUT_CHUNK + 13}) {
    std::vector<uint8_t> file(block.begin(), block.begin() + (ptrdiff_t)cut);
    std::unique_ptr<ArchiveFixture> archive;
    auto load = [&] {
      archive.reset();
      archive = std::make_unique<ArchiveFixture>(file);
      ASSERT_EQ(fillInput(true), RC_OK);
      state.inputCursor += BLOCK_CODED_DATA_BIT / 8;
      state.inputBitOffset = BLOCK_CODED_DATA_BIT % 8;
    };
    std::string what = "cut at " + std::to_string(cut);
    expectSameOutcome(load, {}, (uint32_t)data.size(), what);
    Outcome fast = decodeWith(true, load, {}, (uint32_t)data.size());
    if (cut == block.size()) {
      ASSERT_EQ(fast.result, (int32_t)data.size());
      EXPECT_TRUE(fast.output == data);
    } else {
      EXPECT_LT(fast.result, (int32_t)data.size()) << what;
    }
    archive.reset();
  }
}

}  // namespace
