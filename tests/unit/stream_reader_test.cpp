#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/directory.h"
#include "archive_fixture.h"
#include "block_builder.h"
#include "codec/call_filter.h"
#include "codec/stream_reader.h"

namespace {

struct File {
  std::string name;
  std::vector<uint8_t> data;
  uint32_t position = 0;  // of its StreamRecord in the decoded stream
};

std::vector<uint8_t> textLike(size_t n, uint32_t seed) {
  static const char* words[] = {"setup ", "archive ", "stream ", "block ", "tovrel ", "window ", "\r\n"};
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const char* w = rng() % 5 ? words[rng() % 7] : "";
    v.insert(v.end(), w, w + strlen(w));
    v.push_back((uint8_t)rng());
  }
  v.resize(n);
  return v;
}

// The decoded stream of `files`, each one's position set.
std::vector<uint8_t> decodedStream(std::vector<File>& files) {
  std::vector<uint8_t> s;
  for (File& f : files) {
    f.position = (uint32_t)s.size();
    std::vector<uint8_t> slice = streamSlice(f.name, f.data);
    s.insert(s.end(), slice.begin(), slice.end());
  }
  return s;
}

struct Cut {
  size_t end;  // decoded offset where the block ends
  char kind;   // 's' stored, 'c' compressed, 'x' damaged header
  uint32_t row = 2, column = 7;
};

// The stream cut into blocks, at ARCHIVE_HEADER_SIZE of an archive without records.
std::vector<uint8_t> archiveOf(const std::vector<uint8_t>& decoded, const std::vector<Cut>& cuts) {
  std::vector<std::vector<uint8_t>> blocks;
  for (size_t i = 0, start = 0; i < cuts.size(); start = cuts[i++].end) {
    std::vector<uint8_t> piece(decoded.begin() + start, decoded.begin() + cuts[i].end);
    bool last = i + 1 == cuts.size();
    if (cuts[i].kind == 'c') {
      blocks.push_back(compressBlock({decoded.begin(), decoded.begin() + start}, piece, last, 196608));
      setBlockField(blocks.back(), BF_WINDOW_ROW, cuts[i].row);
      setBlockField(blocks.back(), BF_WINDOW_COLUMN, cuts[i].column);
    } else {
      blocks.push_back(storedBlock(piece, last));
      if (cuts[i].kind == 'x') setBlockField(blocks.back(), BF_TYPE, 5);
    }
  }
  std::vector<uint8_t> archive = assembleArchive(blocks, {});
  archive.resize(readLe32(&archive[AH_DIRECTORY_OFFSET]));
  return archive;
}

// readStreamFile's result and the bytes it wrote.
std::pair<int32_t, std::vector<uint8_t>> extract(ArchiveFixture& archive, const File& f, uint8_t flags = 0) {
  int32_t rc;
  std::vector<uint8_t> bytes = archive.capture(
      [&](FileHandle h) {
        return readStreamFile(h, ARCHIVE_HEADER_SIZE, f.position, (uint32_t)f.data.size(), flags);
      },
      &rc);
  return {rc, bytes};
}

void expectFile(ArchiveFixture& archive, const File& f, uint8_t flags = 0) {
  auto [rc, bytes] = extract(archive, f, flags);
  ASSERT_EQ(rc, RC_OK) << f.name;
  EXPECT_EQ(bytes, f.data) << f.name;
  EXPECT_EQ(state.runningCrc, plainCrc32(f.data)) << f.name;
}

TEST(StreamReader, FilesInAndOutOfOrderWithRecordsSplitAcrossBlocks) {
  std::vector<File> files = {{"first.txt", textLike(5000, 1)},
                             {"second.dll", textLike(300, 2)},
                             {"", textLike(70000, 3)},  // variableLength 0
                             {"fourth\\sub\\name.bin", textLike(20000, 4)},
                             {"fifth", textLike(10, 5)}};
  std::vector<uint8_t> decoded = decodedStream(files);
  std::vector<Cut> cuts = {{files[1].position + 5, 'c'},       // second's fixed part split
                           {files[2].position, 's'},           // third starts exactly at a block's end
                           {files[3].position + 11 + 3, 'c'},  // fourth's name split
                           {files[4].position + 11, 's'},      // fifth: fixed part ends the block
                           {decoded.size(), 'c'}};
  ArchiveFixture archive(archiveOf(decoded, cuts));
  for (const File& f : files) expectFile(archive, f);
  uint32_t filePos = state.archiveFilePos;
  expectFile(archive, files[4]);  // again, from the block in hand
  EXPECT_EQ(state.archiveFilePos, filePos) << "served without reading";
  expectFile(archive, files[1]);  // before the block in hand: restart
  expectFile(archive, files[3]);
  expectFile(archive, File{"empty", {}, 12345});
}

TEST(StreamReader, DirectoryFetchBetweenFilesKeepsTheStreamsPlace) {
  std::vector<File> files = {{"a", textLike(3000, 6)}, {"b", textLike(3000, 7)}};
  std::vector<uint8_t> decoded = decodedStream(files);
  std::vector<uint8_t> bytes = archiveOf(decoded, {{files[1].position + 100, 'c'}, {decoded.size(), 'c'}});
  uint32_t directoryPos = (uint32_t)bytes.size();
  std::vector<uint8_t> records(40, 'r'), dir = storedBlock(records, true);
  bytes.insert(bytes.end(), DIRECTORY_SIGNATURE, DIRECTORY_SIGNATURE + SIGNATURE_SIZE);
  bytes.insert(bytes.end(), dir.begin(), dir.end());

  ArchiveFixture archive(bytes);
  expectFile(archive, files[0]);
  uint8_t *cursor = state.inputCursor, *end = state.inputEnd;
  uint32_t filePos = state.inputFilePos;
  state.directoryPos = directoryPos;
  uint8_t directory[DIRECTORY_BUFFER_SIZE];
  ASSERT_EQ(readDirectoryBlock(directory), RC_OK);
  EXPECT_EQ(std::vector<uint8_t>(state.directoryCursor, state.directoryEnd), records);
  EXPECT_EQ(state.inputCursor, cursor);
  EXPECT_EQ(state.inputEnd, end);
  EXPECT_EQ(state.inputFilePos, filePos);
  expectFile(archive, files[1]);  // needs the stream's next block
}

// Nothing is served that no block holds: a file in a block whose header is
// refused, one behind the decoded bytes of the block before it, one running
// past the stream's last block (regression, found by fuzzing the driver: it
// was "produced" short and kept when its record claimed the CRC of what did
// come), one starting after the stream's end.
TEST(StreamReader, FilesNoBlockHoldsAreDamaged) {
  std::vector<File> files = {{"a", textLike(1000, 8)}, {"b", textLike(1000, 9)}, {"c", textLike(1000, 10)}};
  std::vector<uint8_t> decoded = decodedStream(files);
  size_t firstEnd = files[1].position + 500;  // block 2, with a refused header, holds the rest
  ArchiveFixture archive(archiveOf(decoded, {{firstEnd, 's'}, {decoded.size(), 'x'}}));
  expectFile(archive, files[0]);
  File longer = files[0], ghost{"ghost", std::vector<uint8_t>(100, 0), (uint32_t)firstEnd + 10},
       beyond{"beyond", std::vector<uint8_t>(10, 0), 0xFFFFFFF0u};
  longer.data.resize(5000);
  for (const File& f : {files[1], ghost, longer, beyond}) {
    auto [rc, bytes] = extract(archive, f);
    EXPECT_EQ(rc, RC_DAMAGED) << f.name;
    if (f.name == "ghost" || f.name == "beyond") {
      EXPECT_TRUE(bytes.empty()) << f.name << ": not cut from memory behind the decoded bytes";
    }
  }
  expectFile(archive, files[0]);  // before them: the stream restarts
}

// The history kept for the second block's window: 700000 bytes, then row 3
// (read as row 2) column 7 keep 524288; rows 0 and 1 top out at 196608, also
// behind a stored block. A big stored block in between must not cut the
// history that a later compressed block refers to (about 340000 bytes back).
TEST(StreamReader, HistoryWindowsAndStoredBlocksKeepingHistory) {
  struct Row {
    size_t first, second;
    char firstKind;
    uint32_t row;
    uint32_t kept;
  };
  for (const Row& r : {Row{700000, 30000, 'c', 3, 524288}, Row{300000, 30000, 's', 0, 196608}}) {
    std::vector<File> files = {{"big", textLike(r.first, 11)}, {"next", textLike(r.second, 12)}};
    std::vector<uint8_t> decoded = decodedStream(files);
    ArchiveFixture archive(archiveOf(decoded, {{files[1].position, r.firstKind}, {decoded.size(), 'c', r.row, 7}}));
    expectFile(archive, files[1]);
    EXPECT_EQ(state.historyLength, r.kept) << "row " << r.row;
  }
  std::vector<uint8_t> first = textLike(300000, 15);
  std::vector<File> spread = {
      {"x", first}, {"y", textLike(290000, 16)}, {"z", {first.begin() + 250000, first.begin() + 260000}}};
  std::vector<uint8_t> decoded = decodedStream(spread);
  ArchiveFixture archive(
      archiveOf(decoded, {{spread[1].position, 's'}, {spread[2].position, 's'}, {decoded.size(), 'c'}}));
  expectFile(archive, spread[2]);
}

TEST(StreamReader, CallFilterPiecesFollowTheBlocks) {
  std::mt19937 rng(17);
  std::vector<uint8_t> original(40000);
  for (uint8_t& b : original) b = rng() % 3 ? 0xE8 : (uint8_t)rng();
  for (uint8_t flags : {0x04, 0x06}) {  // mode 4; bit 1 wins: mode 2
    uint32_t mode = flags == 0x04 ? 4 : 2;
    std::vector<File> files = {{"a.exe", original}};
    std::vector<uint8_t> decoded = decodedStream(files);
    size_t start = files[0].position + 11 + files[0].name.size(), first = 12345;  // the file in two pieces
    convertCalls(decoded.data() + start, (uint32_t)first, 0, 40000, mode, true);
    convertCalls(decoded.data() + start + first, 40000 - (uint32_t)first, (uint32_t)first, 40000, mode, true);
    ArchiveFixture archive(archiveOf(decoded, {{start + first, 'c'}, {decoded.size(), 's'}}));
    SCOPED_TRACE(mode);
    expectFile(archive, files[0], flags);
  }
}

}  // namespace
