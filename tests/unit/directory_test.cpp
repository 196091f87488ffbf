#include <gtest/gtest.h>

#include <vector>

#include "archive/directory.h"
#include "archive_fixture.h"
#include "block_builder.h"

namespace {

const uint8_t SIG[6] = {'J', 'O', 'V', 'D', 'E', 0};

void appendBlock(std::vector<uint8_t>& a, const std::vector<uint8_t>& block) {
  a.insert(a.end(), SIG, SIG + 6);
  a.insert(a.end(), block.begin(), block.end());
}

std::vector<uint8_t> records(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(seed + i * 3);
  return v;
}

struct Directory {
  uint8_t buffer[DIRECTORY_BUFFER_SIZE + 64];
  Directory() { std::fill(std::begin(buffer), std::end(buffer), 0xCC); }
  ResultCode fetch() { return readDirectoryBlock(buffer); }
  std::vector<uint8_t> bytes() const { return {state.directoryCursor, state.directoryEnd}; }
  bool guardIntact() const {
    for (size_t i = DIRECTORY_BUFFER_SIZE; i < sizeof buffer; ++i)
      if (buffer[i] != 0xCC) return false;
    return true;
  }
};

TEST(DirectoryReader, StoredAndCompressedBlocksInTurn) {
  std::vector<uint8_t> a(10, 0), one = records(100, 1), two = records(8192, 2);
  appendBlock(a, storedBlock(one, false));
  appendBlock(a, compressBlock({}, two, false));
  appendBlock(a, storedBlock(records(38, 3), true));
  ArchiveFixture archive(a);
  state.directoryPos = state.archiveFilePos = 10;
  fileSeek(state.archiveFile, 10, FROM_BEGIN);
  Directory d;
  ASSERT_EQ(d.fetch(), RC_OK);
  EXPECT_EQ(d.bytes(), one);
  ASSERT_EQ(d.fetch(), RC_OK);
  EXPECT_EQ(d.bytes(), two);
  ASSERT_EQ(d.fetch(), RC_OK);
  EXPECT_EQ(d.bytes(), records(38, 3));
  EXPECT_EQ(state.directoryPos, a.size());
  EXPECT_EQ(d.fetch(), RC_DAMAGED) << "no signature at the end of the archive";
  EXPECT_EQ(state.directoryCursor, state.directoryEnd);
  EXPECT_TRUE(d.guardIntact());
}

TEST(DirectoryReader, RefusesBadSignaturesTypesAndOversizedBlocks) {
  for (int i = 0; i < 6; ++i) {
    std::vector<uint8_t> a;
    appendBlock(a, storedBlock(records(40, 4), true));
    a[i] ^= 0x20;
    ArchiveFixture archive(a);
    state.directoryPos = 0;
    Directory d;
    EXPECT_EQ(d.fetch(), RC_DAMAGED) << "signature byte " << i;
  }
  std::vector<uint8_t> typed;
  appendBlock(typed, storedBlock(records(40, 5), true));
  typed[6] = (uint8_t)((typed[6] & 0xF0) | 3);  // blockType 3
  ArchiveFixture archive(typed);
  state.directoryPos = 0;
  Directory d;
  EXPECT_EQ(d.fetch(), RC_DAMAGED);
  EXPECT_EQ(state.directoryEnd, state.directoryCursor);

  // A block announcing 8193 decoded bytes (an over-long stored block, a
  // compressed one asking for more) is refused before anything is written.
  for (bool compressed : {false, true}) {
    std::vector<uint8_t> a;
    appendBlock(a, compressed ? compressBlock({}, records(8193, 6), true) : storedBlock(records(8193, 6), true));
    ArchiveFixture big(a);
    state.directoryPos = 0;
    Directory e;
    EXPECT_EQ(e.fetch(), RC_DAMAGED);
    EXPECT_EQ(e.buffer[0], 0xCC);
    EXPECT_TRUE(e.guardIntact());
  }
}

}  // namespace
