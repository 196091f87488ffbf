#include <gtest/gtest.h>

#include <vector>

#include "archive/directory.h"
#include "archive_fixture.h"
#include "block_builder.h"

namespace {

void appendBlock(std::vector<uint8_t>& a, const std::vector<uint8_t>& block) {
  a.insert(a.end(), DIRECTORY_SIGNATURE, DIRECTORY_SIGNATURE + SIGNATURE_SIZE);
  a.insert(a.end(), block.begin(), block.end());
}

std::vector<uint8_t> records(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(seed + i * 3);
  return v;
}

// The directory buffer with a guard behind it; fetches from `at`.
struct Directory {
  uint8_t buffer[DIRECTORY_BUFFER_SIZE + 64];
  explicit Directory(uint32_t at = 0) {
    std::fill(std::begin(buffer), std::end(buffer), 0xCC);
    state.directoryPos = state.archiveFilePos = at;
    fileSeek(state.archiveFile, at, FROM_BEGIN);
  }
  ResultCode fetch() { return readDirectoryBlock(buffer); }
  std::vector<uint8_t> bytes() const { return {state.directoryCursor, state.directoryEnd}; }
  bool guardIntact() const {
    return std::all_of(buffer + DIRECTORY_BUFFER_SIZE, std::end(buffer), [](uint8_t b) { return b == 0xCC; });
  }
};

TEST(DirectoryReader, StoredAndCompressedBlocksInTurn) {
  std::vector<uint8_t> a(10, 0), one = records(100, 1), two = records(DIRECTORY_BUFFER_SIZE, 2);
  appendBlock(a, storedBlock(one, false));
  appendBlock(a, compressBlock({}, two, false));
  appendBlock(a, storedBlock(records(38, 3), true));
  ArchiveFixture archive(a);
  Directory d(10);
  for (const std::vector<uint8_t>& expected : {one, two, records(38, 3)}) {
    ASSERT_EQ(d.fetch(), RC_OK);
    EXPECT_EQ(d.bytes(), expected);
  }
  EXPECT_EQ(state.directoryPos, a.size());
  EXPECT_EQ(d.fetch(), RC_DAMAGED) << "no signature at the end of the archive";
  EXPECT_EQ(state.directoryCursor, state.directoryEnd);
  EXPECT_TRUE(d.guardIntact());
}

// Each damage is refused before anything is written: a signature byte, the
// block type, a block announcing 8193 decoded bytes (stored or compressed).
TEST(DirectoryReader, RefusesBadSignaturesTypesAndOversizedBlocks) {
  std::vector<std::vector<uint8_t>> damaged;
  for (int i = 0; i < (int)SIGNATURE_SIZE + 1; ++i) {
    std::vector<uint8_t> block = storedBlock(records(40, 4), true);
    if (i == (int)SIGNATURE_SIZE) setBlockField(block, BF_TYPE, 3);
    damaged.emplace_back();
    appendBlock(damaged.back(), block);
    if (i < (int)SIGNATURE_SIZE) damaged.back()[i] ^= 0x20;
  }
  for (auto big : {storedBlock(records(DIRECTORY_BUFFER_SIZE + 1, 6), true),
                   compressBlock({}, records(DIRECTORY_BUFFER_SIZE + 1, 6), true)}) {
    damaged.emplace_back();
    appendBlock(damaged.back(), big);
  }
  for (size_t i = 0; i < damaged.size(); ++i) {
    ArchiveFixture archive(damaged[i]);
    Directory d;
    EXPECT_EQ(d.fetch(), RC_DAMAGED) << "case " << i;
    EXPECT_EQ(state.directoryEnd, state.directoryCursor);
    EXPECT_EQ(d.buffer[0], 0xCC) << "case " << i;
    EXPECT_TRUE(d.guardIntact());
  }
}

}  // namespace
