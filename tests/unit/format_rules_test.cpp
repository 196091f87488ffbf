// The block format's rules as the reader and the packer both use them:
// header fields, length and distance symbols, the recent-distance rule and
// the fixed set.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/code_lengths.h"
#include "format.h"
#include "packer/block_encoder.h"
#include "packer/lz_model.h"

namespace {

TEST(FormatRules, HeaderFieldsHoldTheirWholeRangeWithoutTouchingTheirNeighbours) {
  const BlockField fields[] = {BF_TYPE, BF_LAST, BF_OUTPUT_LENGTH, BF_BLOCK_SIZE, BF_WINDOW_ROW, BF_WINDOW_COLUMN};
  for (const BlockField& written : fields) {
    uint8_t header[BLOCK_STORED_DATA_BYTE + 4] = {};
    writeBlockField(header, written, fieldMax(written));
    for (const BlockField& read : fields) {
      uint32_t expected = &read == &written ? fieldMax(read) : 0;
      EXPECT_EQ(readBlockField(header, read), expected) << "wrote bit " << written.bit << ", read bit " << read.bit;
    }
    // Nothing lands past the selector, where coded data begin.
    EXPECT_EQ(header[BLOCK_CODED_DATA_BIT / 8] >> (BLOCK_CODED_DATA_BIT % 8), 0);
  }
}

TEST(FormatRules, PackerFramesReadBackThroughTheReadersFields) {
  const uint8_t data[3] = {1, 2, 3};
  std::vector<uint8_t> stored = jov::frameStoredBlock(data, 3, true);
  stored.resize(stored.size() + 4);  // the reader's word loads
  EXPECT_EQ(readBlockField(stored.data(), BF_TYPE), BLOCK_STORED);
  EXPECT_EQ(readBlockField(stored.data(), BF_LAST), 1u);
  EXPECT_EQ(readBlockField(stored.data(), BF_OUTPUT_LENGTH), 3u);
  EXPECT_EQ(readBlockField(stored.data(), BF_BLOCK_SIZE), BLOCK_STORED_DATA_BYTE + 3);
  EXPECT_EQ(stored[BLOCK_STORED_DATA_BYTE], 1);

  std::vector<jov::Token> tokens = {jov::literalToken('a')};
  std::vector<uint8_t> coded = jov::frameCompressedBlock(tokens, 1, false, 2, 5, jov::CodingOptions());
  const uint32_t size = (uint32_t)coded.size();
  coded.resize(coded.size() + 4);
  EXPECT_EQ(readBlockField(coded.data(), BF_TYPE), BLOCK_COMPRESSED);
  EXPECT_EQ(readBlockField(coded.data(), BF_LAST), 0u);
  EXPECT_EQ(readBlockField(coded.data(), BF_BLOCK_SIZE), size);
  EXPECT_EQ(windowSizeOf(readBlockField(coded.data(), BF_WINDOW_SELECTOR)), windowSizes[2][5]);
}

TEST(FormatRules, EveryLengthAndDistanceHasOneSymbolThatSpellsIt) {
  for (uint32_t s = SYMBOL_FIRST_LENGTH; s < SYMBOL_LONG_LENGTH; ++s)
    EXPECT_EQ(lengthBase(s) + (1u << lengthExtraBits(s)), lengthBase(s + 1)) << "length symbol " << s;
  for (uint32_t length = MIN_MATCH; length <= MAX_MATCH; ++length) {
    uint32_t s = jov::lengthSymbol(length);
    ASSERT_GE(s, SYMBOL_FIRST_LENGTH);
    ASSERT_LE(s, SYMBOL_LONG_LENGTH);
    ASSERT_GE(length, lengthBase(s));
    ASSERT_LT(length - lengthBase(s), 1u << lengthExtraBits(s)) << "length " << length;
  }
  const jov::RecentDistances none;
  for (uint32_t distance = 1; distance <= MAX_DISTANCE; ++distance) {
    uint32_t s = none.symbolFor(distance);
    ASSERT_GE(s, DIST_SYMBOL_SMALL);
    ASSERT_LT(s, DIST0_SYMBOLS) << "distance " << distance;
    if (s < DIST_SYMBOL_EXPLICIT) {
      ASSERT_EQ(smallDistance(s), distance);
    } else {
      ASSERT_GE(distance, distanceBase(s));
      ASSERT_LT(distance - distanceBase(s), 1u << distanceExtraBits(s)) << "distance " << distance;
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
    uint32_t s = writer.symbolFor(distance);
    writer.use(distance);
    uint32_t decoded;
    if (s == DIST_SYMBOL_REP0) {
      decoded = r0;
    } else if (s == DIST_SYMBOL_REP1) {
      decoded = r1;
      r1 = r0;
      r0 = decoded;
    } else if (s < DIST_SYMBOL_EXPLICIT) {
      decoded = smallDistance(s);
    } else {
      decoded = distance;  // spelled in full
      r1 = r0;
      r0 = decoded;
    }
    ASSERT_EQ(decoded, distance) << "step " << i;
    ASSERT_EQ(writer.r0, r0);
    ASSERT_EQ(writer.r1, r1);
  }
}

TEST(FormatRules, FixedSetIsOneCompleteCodePerAlphabetAndTheStubExpandsItAsThePackerReadsIt) {
  std::vector<uint8_t> expanded(SET_SIZE_2);
  setFixedCodeLengths(expanded.data());
  for (uint32_t p = 0; p < SET_SIZE_2; ++p) ASSERT_EQ(expanded[p], fixedCodeLength(p)) << "position " << p;
  const uint32_t start[] = {0, SET_POS_DIST0, SET_POS_DIST1};
  const uint32_t count[] = {LITLEN_SYMBOLS, DIST0_SYMBOLS, DIST1_SYMBOLS};
  for (uint32_t a = 0; a < 3; ++a) {
    uint64_t kraft = 0;
    for (uint32_t p = start[a]; p < start[a] + count[a]; ++p)
      if (expanded[p]) kraft += 1ull << (MAX_CODE_LENGTH - expanded[p]);
    EXPECT_EQ(kraft, 1ull << MAX_CODE_LENGTH) << "alphabet " << a;
  }
  EXPECT_EQ(expanded[SYMBOL_END_OF_SET], 0);
}

}  // namespace
