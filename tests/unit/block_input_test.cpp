#include <gtest/gtest.h>

#include <vector>

#include "archive_fixture.h"
#include "block_builder.h"
#include "codec/block_input.h"
#include "packed_items.h"

namespace {

// A compressed-block header claiming `blockSize` bytes over random bytes.
std::vector<uint8_t> fakeBlock(uint32_t blockSize, size_t fileBytes) {
  std::vector<uint8_t> v = randomBytes(fileBytes, blockSize), header = CompressedFrame(0, false).finish(blockSize);
  std::copy(header.begin(), header.begin() + 6, v.begin());
  return v;
}

uint32_t loaded(const uint8_t* p) { return (uint32_t)(p - state.inputBuffer); }

TEST(BlockInput, LongBlockLoadsInChunksWithHeldBackLookahead) {
  std::vector<uint8_t> file = fakeBlock(150000, 150000);
  ArchiveFixture archive(file);
  ASSERT_EQ(fillInput(true), RC_OK);
  EXPECT_EQ(loaded(state.inputEnd), 61424u) << "8 + 61424 loaded, 8 held back";
  EXPECT_EQ(state.blockBytesLeft, 150000 - 61432);
  EXPECT_EQ(state.inputFilePos, 61432u);
  EXPECT_TRUE(std::equal(file.begin(), file.begin() + 61432, state.inputBuffer));

  state.inputCursor = state.inputEnd + 3;  // a reader that ran into the lookahead
  state.inputBitOffset = 5;
  state.cancelRequested = 1;
  EXPECT_EQ(fillInput(false), RC_CANCELLED);
  EXPECT_EQ(loaded(state.inputCursor), 61427u) << "a refused refill changes nothing";
  state.cancelRequested = 0;

  ASSERT_EQ(fillInput(false), RC_OK);
  EXPECT_EQ(loaded(state.inputCursor), 3u);
  EXPECT_EQ(state.inputBitOffset, 5u);
  EXPECT_EQ(state.blockBytesLeft, 27144);
  EXPECT_TRUE(std::equal(file.begin() + 61424, file.begin() + 122856, state.inputBuffer));
  state.inputCursor = state.inputEnd;
  ASSERT_EQ(fillInput(false), RC_OK);
  EXPECT_EQ(state.blockBytesLeft, 0);
  EXPECT_EQ(loaded(state.inputEnd), 8u + 27144u) << "nothing held back once the block is loaded";
  EXPECT_EQ(state.inputFilePos, 150000u);
  EXPECT_TRUE(std::equal(file.begin() + 122848, file.end(), state.inputBuffer));
  state.inputCursor = state.inputEnd;
  EXPECT_EQ(fillInput(false), RC_INPUT_EXHAUSTED);

  // The block claims 100000 bytes but the file ends after 61432 + 100: every
  // refill ends; none is asked again for bytes that never come.
  for (size_t cut : {61432u, 61532u}) {
    ArchiveFixture shorter(fakeBlock(100000, cut));
    ASSERT_EQ(fillInput(true), RC_OK);
    state.inputCursor = state.inputEnd;
    ASSERT_EQ(fillInput(false), RC_OK);
    EXPECT_EQ(state.blockBytesLeft, 0);
    EXPECT_EQ(loaded(state.inputEnd), 8u + (cut - 61432)) << "the lookahead and what arrived stay readable";
    state.inputCursor = state.inputEnd;
    EXPECT_EQ(fillInput(false), RC_INPUT_EXHAUSTED);
  }
  ArchiveFixture tiny({1, 2, 3, 4, 5});
  EXPECT_EQ(fillInput(true), RC_DAMAGED) << "a header needs 6 bytes";
}

// Stored blocks of 0, 2, 1 and 100000 bytes, then one of 1: a 7-byte block's
// 8-byte read takes a byte of the next block, a 9-byte one loads one byte
// more and holds nothing back, an 8-byte one needs no second load; a long
// copy goes beyond the buffer, straight from the file, and the next header
// lies right after it.
TEST(BlockInput, StoredBlocksShortAndBeyondTheBuffer) {
  const std::vector<std::pair<std::vector<uint8_t>, uint32_t>> blocks = {
      {{}, 8}, {{'h', 'i'}, 9}, {{'z'}, 8}, {randomBytes(100000, 7), INPUT_CHUNK}, {{'!'}, 8}};
  std::vector<uint8_t> file;
  for (const auto& [data, end] : blocks) {
    std::vector<uint8_t> block = storedBlock(data, &data == &blocks.back().first);
    file.insert(file.end(), block.begin(), block.end());
  }
  ArchiveFixture archive(file);
  for (const auto& [data, end] : blocks) {
    ASSERT_EQ(fillInput(true), RC_OK);
    state.streamStarted = 1;
    EXPECT_EQ(loaded(state.inputEnd), end);
    state.inputCursor += 6, state.inputBitOffset = 2;
    std::vector<uint8_t> out(data.size());
    ASSERT_EQ(copyStoredBytes(out.data(), (uint32_t)data.size()), (int32_t)data.size());
    EXPECT_EQ(out, data);
  }
}

}  // namespace
