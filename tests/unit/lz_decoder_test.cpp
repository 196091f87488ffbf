#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "bit_string.h"
#include "block_builder.h"
#include "codec/lz_decoder.h"
#include "install_state.h"

namespace {

const uint8_t GUARD = 0xCC;

struct Decoded {
  int32_t result;
  std::vector<uint8_t> out;
  uint64_t endBit;
};

// Decodes coded data lying wholly in the input buffer, behind `history`;
// checks that nothing is written outside the requested area.
Decoded decode(const BitString& w, const std::vector<uint8_t>& history, uint32_t requested) {
  LoadedInput input(w.bytes, 0);
  std::vector<uint8_t> buffer(history);
  buffer.resize(history.size() + requested + 64, GUARD);
  Decoded d;
  d.result = decodeBlock(buffer.data(), (uint32_t)history.size(), requested);
  EXPECT_TRUE(std::equal(history.begin(), history.end(), buffer.begin()));
  for (size_t i = history.size() + requested; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], GUARD) << i;
  if (d.result > 0) d.out.assign(buffer.begin() + history.size(), buffer.begin() + history.size() + d.result);
  d.endBit = (uint64_t)(state.inputCursor - state.inputBuffer) * 8 + state.inputBitOffset;
  return d;
}

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> distinctHistory(size_t n) {
  std::vector<uint8_t> h(n);
  for (size_t i = 0; i < n; ++i) h[i] = (uint8_t)(i * 7 + i / 256);
  return h;
}

// The model result of copies at given distances, for expectations.
void copyModel(std::vector<uint8_t>& v, uint32_t length, uint32_t distance) {
  for (uint32_t i = 0; i < length; ++i) v.push_back(v[v.size() - distance]);
}

TEST(LzDecoder, LiteralsMatchesHistoryAndDroppedDistances) {
  BitString w;
  CodedWriter c(w, 2, {});  // fixed set
  c.literal('a');
  c.match(10, 1);           // overlapping: ten more 'a'
  Decoded d = decode(w, {}, 11);
  EXPECT_EQ(d.result, 11);
  EXPECT_EQ(d.out, bytesOf("aaaaaaaaaaa"));
  EXPECT_EQ(d.endBit, (w.bits + 7) / 8 * 8) << "rounded up to the next whole byte";

  std::vector<uint8_t> history = distinctHistory(100);
  BitString x;
  CodedWriter e(x, 2, {});
  e.match(4, 101);  // reaches before the buffer: dropped
  e.match(4, 100);  // from the buffer start
  Decoded f = decode(x, history, 4);
  ASSERT_EQ(f.result, 4);
  EXPECT_EQ(f.out, std::vector<uint8_t>(history.begin(), history.begin() + 4));

  BitString none;
  CodedWriter n(none, 2, {});
  Decoded zero = decode(none, {}, 0);
  EXPECT_EQ(zero.result, 0);
  EXPECT_EQ(zero.endBit, 8u) << "the prefix is read, then the cursor rounds up";
}

TEST(LzDecoder, LengthAndDistanceSymbolsAndRecentDistances) {
  std::vector<uint8_t> history = distinctHistory(2000);
  std::vector<uint8_t> expected = history;
  BitString w;
  CodedWriter c(w, 2, {uniformSet(2), uniformSet(2)});
  c.match(258, 1000), copyModel(expected, 258, 1000);          // symbol 285, extra 31
  c.match(259, 1300), copyModel(expected, 259, 1300);          // symbol 286, extra 0
  c.match(5, 0, 3), copyModel(expected, 5, 2);                 // distance symbol 3: 2, recent unchanged
  c.match(6, 0, 1), copyModel(expected, 6, 1000);              // r1 = 1000; now r0 1000, r1 1300
  c.endOfSet();                                                // recent distances carry over
  c.match(7, 0, 1), copyModel(expected, 7, 1300);              // back to r0 1300, r1 1000
  c.match(8, 0, 0), copyModel(expected, 8, 1300);
  c.match(20, 5), copyModel(expected, 20, 5);                  // symbol 6, extra 0
  c.match(20, 6), copyModel(expected, 20, 6);                  // symbol 6, extra 1
  c.match(4000, 3), copyModel(expected, 4000, 3);              // long overlapping copy
  c.endOfSet();                                                // after the last set: the end
  uint32_t produced = (uint32_t)(expected.size() - history.size());
  Decoded d = decode(w, history, produced + 100);
  ASSERT_EQ(d.result, (int32_t)produced) << "symbol 256 after the last set ends the block";
  EXPECT_TRUE(std::equal(d.out.begin(), d.out.end(), expected.begin() + history.size()));

  // Distance 1048576: symbol 41 with all 18 extra bits set.
  std::vector<uint8_t> far = distinctHistory(1048576);
  BitString x;
  CodedWriter e(x, 2, {uniformSet(2)});
  e.match(3, 1048576);
  Decoded f = decode(x, far, 3);
  ASSERT_EQ(f.result, 3);
  EXPECT_TRUE(std::equal(f.out.begin(), f.out.end(), far.begin()));
}

TEST(LzDecoder, DistanceAlphabetPerMatchLength) {
  // The three alphabets code symbols with different lengths, so a match that
  // took the wrong one would mis-read everything after it.
  std::vector<uint8_t> history = distinctHistory(300);
  for (uint32_t alphabets = 1; alphabets <= 3; ++alphabets) {
    for (bool fixed : {false, true}) {
      std::vector<uint8_t> expected = history;
      BitString w;
      CodedWriter c(w, alphabets, fixed ? std::vector<std::vector<uint8_t>>{}
                                         : std::vector<std::vector<uint8_t>>{alphabets == 1 ? uniformSet(2) : uniformSet(alphabets)});
      for (uint32_t length : {2u, 3u, 4u, 2u, 3u})
        for (uint32_t distance : {1u, 9u, 60u}) c.match(length, distance), copyModel(expected, length, distance);
      c.literal('z'), expected.push_back('z');
      uint32_t produced = (uint32_t)(expected.size() - history.size());
      Decoded d = decode(w, history, produced);
      ASSERT_EQ(d.result, (int32_t)produced) << alphabets << fixed;
      EXPECT_TRUE(std::equal(d.out.begin(), d.out.end(), expected.begin() + history.size())) << alphabets << fixed;
    }
  }
}

TEST(LzDecoder, DamagedAndEarlyEnds) {
  {  // distanceAlphabets 0
    BitString w;
    w.put(0, 2), w.put(1, 6);
    EXPECT_EQ(decode(w, {}, 10).result, RC_DAMAGED);
  }
  {  // symbol 287 has no meaning
    BitString w;
    CodedWriter c(w, 2, {});
    c.literal('x');
    c.symbol(0, 288, 287);
    EXPECT_EQ(decode(w, {}, 10).result, RC_DAMAGED);
  }
  {  // a repeat distance before any explicit one names distance 0
    BitString w;
    CodedWriter c(w, 2, {});
    c.literal('x');
    c.match(4, 0, 0);
    EXPECT_EQ(decode(w, {}, 10).result, RC_DAMAGED);
  }
  {  // a match past the requested length is cut there
    BitString w;
    CodedWriter c(w, 2, {});
    c.literal('q');
    c.match(33026, 1);  // symbol 286, 15 extra bits all set
    Decoded d = decode(w, {}, 1000);
    EXPECT_EQ(d.result, 1000);
    EXPECT_EQ(d.out, std::vector<uint8_t>(1000, 'q'));
  }
  {  // a code with no symbol (incomplete set) ends the block before it
    std::vector<uint8_t> set = uniformSet(2);
    set[287] = 0;  // leaves one 9-bit code unused
    BitString w;
    CodedWriter c(w, 2, {set});
    c.literal('k');
    uint64_t before = w.bits;
    w.putCode(msbFirstCodes(uniformSet(2).data(), 288)[287], 9);  // that unused code
    Decoded d = decode(w, {}, 10);
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.endBit, (before + 7) / 8 * 8);
  }
  {  // cancel is seen at a table-set switch
    BitString w;
    CodedWriter c(w, 2, {});
    c.literal('x');
    state.cancelRequested = 1;
    EXPECT_EQ(decode(w, {}, 10).result, RC_CANCELLED);
    state.cancelRequested = 0;
  }
}

// Regression: the last literal of an input cut inside its code was decoded
// from the zeros behind the input, so a truncated compressed directory block
// gave a name with an invented last character.
TEST(LzDecoder, ACodeCutByTheEndOfTheInputIsNotDecoded) {
  BitString w;
  CodedWriter c(w, 2, {});  // fixed set: 8 bits for 'a' and 'c', 9 for 0xF5
  c.literal('a');
  c.literal(0xF5);
  c.literal('c');             // bits 25..32: its last bit lies in a fifth byte
  ASSERT_EQ(w.bytes.size(), 5u);
  EXPECT_EQ(decode(w, {}, 10).out, (std::vector<uint8_t>{'a', 0xF5, 'c'}));
  w.bytes.pop_back();
  Decoded cut = decode(w, {}, 10);
  EXPECT_EQ(cut.result, 2);
  EXPECT_EQ(cut.out, (std::vector<uint8_t>{'a', 0xF5}));
}

TEST(LzDecoder, RandomStreamsMatchTheReferenceDecoder) {
  uint32_t decodedWell = 0;
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> history = distinctHistory(rng() % 3 ? rng() % 5000 : 0);
    uint32_t wanted = 1 + rng() % 20000;
    BitString w;
    writeRandomCodedData(rng, w, (uint32_t)history.size(), wanted);
    uint32_t requested = rng() % 4 ? wanted : wanted / 2;  // sometimes cut short
    if (rng() % 8 == 0) w.bytes.resize(w.bytes.size() * (rng() % 100) / 100);  // input ends early
    std::vector<uint8_t> reference = history;
    uint64_t referenceEnd = 0;
    int32_t expected = referenceDecode(w.bytes, 0, reference, requested, &referenceEnd);
    Decoded d = decode(w, history, requested);
    ASSERT_EQ(d.result, expected) << "seed " << seed;
    if (expected < 0) continue;
    decodedWell += expected > 0;
    ASSERT_TRUE(std::equal(d.out.begin(), d.out.end(), reference.begin() + history.size())) << "seed " << seed;
    ASSERT_EQ(d.endBit, referenceEnd) << "seed " << seed;
  }
  EXPECT_GT(decodedWell, 250u) << "the generator must mostly produce streams that decode";
}

}  // namespace
