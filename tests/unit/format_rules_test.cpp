// The block format's rules as the reader and the packer both use them:
// length and distance symbols, the recent-distance rule and the fixed set.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/code_lengths.h"
#include "format.h"
#include "packer/lz_model.h"

namespace {

TEST(FormatRules, EveryLengthAndDistanceHasOneSymbolThatSpellsIt) {
  for (uint32_t s = SYMBOL_FIRST_LENGTH; s < SYMBOL_LONG_LENGTH; ++s)
    EXPECT_EQ(lengthBase(s) + (1u << lengthExtraBits(s)), lengthBase(s + 1)) << "length symbol " << s;
  for (uint32_t length = MIN_MATCH; length <= MAX_MATCH; ++length) {
    uint32_t s = jov::lengthSymbol(length);
    ASSERT_TRUE(s >= SYMBOL_FIRST_LENGTH && s <= SYMBOL_LONG_LENGTH && length >= lengthBase(s) &&
                length - lengthBase(s) < 1u << lengthExtraBits(s))
        << "length " << length;
  }
  const jov::RecentDistances none;
  for (uint32_t distance = 1; distance <= MAX_DISTANCE; ++distance) {
    uint32_t s = none.symbolFor(distance);
    ASSERT_TRUE(s >= DIST_SYMBOL_SMALL && s < DIST0_SYMBOLS) << "distance " << distance;
    if (s < DIST_SYMBOL_EXPLICIT) {
      ASSERT_EQ(smallDistance(s), distance);
    } else {
      ASSERT_TRUE(distance >= distanceBase(s) && distance - distanceBase(s) < 1u << distanceExtraBits(s)) << distance;
    }
  }
}

// The packer's choice of symbols, decoded with the reader's rule (which works
// on symbols), gives back every distance.
TEST(FormatRules, RecentDistanceSymbolsDecodeToTheDistancesTheyStandFor) {
  std::mt19937 rng(7);
  const uint32_t pool[] = {1, 3, 4, 5, 6, 100, 7000, 65536, MAX_DISTANCE};
  jov::RecentDistances writer;
  uint32_t r0 = 0, r1 = 0;  // the reader's
  for (int i = 0; i < 5000; ++i) {
    uint32_t distance = pool[rng() % (sizeof pool / sizeof pool[0])];
    uint32_t s = writer.symbolFor(distance), decoded = distance;  // explicit: spelled in full
    writer.use(distance);
    if (s == DIST_SYMBOL_REP0) decoded = r0;
    if (s == DIST_SYMBOL_REP1) decoded = r1;
    if (s >= DIST_SYMBOL_SMALL && s < DIST_SYMBOL_EXPLICIT) decoded = smallDistance(s);
    if (s == DIST_SYMBOL_REP1 || s >= DIST_SYMBOL_EXPLICIT) r1 = r0, r0 = decoded;
    ASSERT_EQ(decoded, distance) << "step " << i;
    ASSERT_EQ(writer.r0, r0);
    ASSERT_EQ(writer.r1, r1);
  }
}

TEST(FormatRules, FixedSetIsOneCompleteCodePerAlphabetAndTheStubExpandsItAsThePackerReadsIt) {
  std::vector<uint8_t> expanded(SET_SIZE_2);
  setFixedCodeLengths(expanded.data());
  uint64_t kraft[3] = {};
  for (uint32_t p = 0; p < SET_SIZE_2; ++p) {
    ASSERT_EQ(expanded[p], fixedCodeLength(p)) << "position " << p;
    const uint32_t a = p < DIST_ALPHABET_POSITION[0] ? 0 : p < DIST_ALPHABET_POSITION[1] ? 1 : 2;
    if (expanded[p]) kraft[a] += 1ull << (MAX_CODE_LENGTH - expanded[p]);
  }
  for (uint64_t sum : kraft) EXPECT_EQ(sum, 1ull << MAX_CODE_LENGTH);
  EXPECT_EQ(expanded[SYMBOL_END_OF_SET], 0);
}

}  // namespace
