#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/directory.h"
#include "archive_fixture.h"
#include "block_builder.h"
#include "jumping_archive.h"
#include "stored_archive.h"
#include "codec/call_filter.h"
#include "codec/stream_reader.h"

namespace {

const uint32_t STREAM_OFFSET = ARCHIVE_HEADER_SIZE;

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

// The stream cut into blocks, at STREAM_OFFSET of an archive without records.
std::vector<uint8_t> archiveOf(const std::vector<uint8_t>& decoded, const std::vector<Cut>& cuts) {
  std::vector<std::vector<uint8_t>> blocks;
  size_t start = 0;
  for (const Cut& cut : cuts) {
    bool last = &cut == &cuts.back();
    std::vector<uint8_t> piece(decoded.begin() + start, decoded.begin() + cut.end), block;
    if (cut.kind == 'c') {
      block = compressBlock({decoded.begin(), decoded.begin() + start}, piece, last, 196608);
      setBlockField(block, BF_WINDOW_ROW, cut.row);
      setBlockField(block, BF_WINDOW_COLUMN, cut.column);
    } else {
      block = storedBlock(piece, last);
      if (cut.kind == 'x') setBlockField(block, BF_TYPE, 5);
    }
    blocks.push_back(block);
    start = cut.end;
  }
  std::vector<uint8_t> archive = assembleArchive(blocks, {});
  archive.resize(readLe32(&archive[AH_DIRECTORY_OFFSET]));
  return archive;
}

struct Result {
  int32_t rc;
  std::vector<uint8_t> bytes;
};

Result extract(ArchiveFixture& archive, const File& f, uint8_t flags = 0) {
  Result r;
  r.bytes = archive.capture(
      [&](FileHandle h) {
        return readStreamFile(h, STREAM_OFFSET, f.position, (uint32_t)f.data.size(), flags);
      },
      &r.rc);
  return r;
}

void expectFile(ArchiveFixture& archive, const File& f) {
  Result r = extract(archive, f);
  ASSERT_EQ(r.rc, RC_OK) << f.name;
  EXPECT_EQ(r.bytes, f.data) << f.name;
  EXPECT_EQ(state.runningCrc, plainCrc32(f.data)) << f.name;
}

TEST(StreamReader, FilesInAndOutOfOrderWithRecordsSplitAcrossBlocks) {
  std::vector<File> files = {{"first.txt", textLike(5000, 1)},
                             {"second.dll", textLike(300, 2)},
                             {"", textLike(70000, 3)},  // variableLength 0
                             {"fourth\\sub\\name.bin", textLike(20000, 4)},
                             {"fifth", textLike(10, 5)}};
  std::vector<uint8_t> decoded = decodedStream(files);
  std::vector<Cut> cuts = {
      {files[1].position + 5, 'c'},   // second's fixed part split
      {files[2].position, 's'},       // third starts exactly at a block's end
      {files[3].position + 11 + 3, 'c'},  // fourth's name split
      {files[4].position + 11, 's'},  // fifth: fixed part ends the block
      {decoded.size(), 'c'}};
  ArchiveFixture archive(archiveOf(decoded, cuts));
  for (const File& f : files) expectFile(archive, f);
  uint32_t filePos = state.archiveFilePos;
  expectFile(archive, files[4]);  // again, from the block in hand
  EXPECT_EQ(state.archiveFilePos, filePos) << "served without reading";
  expectFile(archive, files[1]);  // before the block in hand: restart
  expectFile(archive, files[3]);

  File empty{"empty", {}, 12345};
  Result r = extract(archive, empty);
  EXPECT_EQ(r.rc, RC_OK);
  EXPECT_EQ(state.runningCrc, 0u);
}

TEST(StreamReader, DirectoryFetchBetweenFilesKeepsTheStreamsPlace) {
  std::vector<File> files = {{"a", textLike(3000, 6)}, {"b", textLike(3000, 7)}};
  std::vector<uint8_t> decoded = decodedStream(files);
  std::vector<uint8_t> bytes = archiveOf(decoded, {{files[1].position + 100, 'c'}, {decoded.size(), 'c'}});
  uint32_t directoryPos = (uint32_t)bytes.size();
  std::vector<uint8_t> records(40, 'r');
  bytes.insert(bytes.end(), DIRECTORY_SIGNATURE, DIRECTORY_SIGNATURE + SIGNATURE_SIZE);
  std::vector<uint8_t> dir = storedBlock(records, true);
  bytes.insert(bytes.end(), dir.begin(), dir.end());

  ArchiveFixture archive(bytes);
  expectFile(archive, files[0]);
  uint8_t* cursor = state.inputCursor;
  uint8_t* end = state.inputEnd;
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

TEST(StreamReader, AFailedBlockLeavesNothingToServe) {
  std::vector<File> files = {{"a", textLike(1000, 8)}, {"b", textLike(1000, 9)}, {"c", textLike(1000, 10)}};
  std::vector<uint8_t> decoded = decodedStream(files);
  // Block 1 ends inside b; block 2 (refused header) would hold the rest.
  size_t firstEnd = files[1].position + 500;
  ArchiveFixture archive(archiveOf(decoded, {{firstEnd, 's'}, {decoded.size(), 'x'}}));
  expectFile(archive, files[0]);
  EXPECT_EQ(extract(archive, files[1]).rc, RC_DAMAGED);
  // A file within [firstEnd, firstEnd + block 1's length): no block holds
  // it, so it must not be cut from memory behind the decoded bytes.
  File ghost{"ghost", std::vector<uint8_t>(100, 0), (uint32_t)firstEnd + 10};
  EXPECT_EQ(extract(archive, ghost).rc, RC_DAMAGED);
  expectFile(archive, files[0]);  // before it: the stream restarts
}

// Regression (found by fuzzing the driver): a record whose file runs past
// the stream's last block was "produced" short, and when the record claimed
// the CRC of what did come (0 for nothing at all) the driver kept the short
// file as complete. A file the stream cannot finish is damaged data.
TEST(StreamReader, AFileRunningPastTheStreamsEndIsDamaged) {
  std::vector<File> files = {{"a", textLike(300, 11)}};
  std::vector<uint8_t> decoded = decodedStream(files);
  ArchiveFixture archive(archiveOf(decoded, {{decoded.size(), 'c'}}));
  File longer = files[0];
  longer.data.resize(5000);  // the record claims more than the stream holds
  EXPECT_EQ(extract(archive, longer).rc, RC_DAMAGED);
  File beyond{"beyond", std::vector<uint8_t>(10, 0), 0xFFFFFFF0u};  // starts after the stream's end
  Result r = extract(archive, beyond);
  EXPECT_EQ(r.rc, RC_DAMAGED);
  EXPECT_TRUE(r.bytes.empty());
  expectFile(archive, files[0]);
}

TEST(StreamReader, HistoryWindowsAndStoredBlocksKeepingHistory) {
  // 700000 bytes, then a block with row 3 (= row 2) column 7: 524288 kept.
  {
    std::vector<File> files = {{"big", textLike(700000, 11)}, {"next", textLike(30000, 12)}};
    std::vector<uint8_t> decoded = decodedStream(files);
    ArchiveFixture archive(archiveOf(decoded, {{files[1].position, 'c'}, {decoded.size(), 'c', 3, 7}}));
    expectFile(archive, files[1]);
    EXPECT_EQ(state.historyLength, 524288u);
  }
  {
    std::vector<File> rows = {{"big", textLike(300000, 13)}, {"next", textLike(30000, 14)}};
    std::vector<uint8_t> decoded = decodedStream(rows);
    ArchiveFixture archive(archiveOf(decoded, {{rows[1].position, 's'}, {decoded.size(), 'c', 0, 7}}));
    expectFile(archive, rows[1]);
    EXPECT_EQ(state.historyLength, 196608u) << "rows 0 and 1 top out at 196608";
  }

  // A big stored block after a first block must not cut the history that a
  // later compressed block refers to (here about 340000 bytes back).
  std::vector<uint8_t> first = textLike(300000, 15), stored = textLike(290000, 16);
  std::vector<uint8_t> third(first.begin() + 250000, first.begin() + 260000);
  std::vector<File> spread = {{"x", first}, {"y", stored}, {"z", third}};
  std::vector<uint8_t> decoded = decodedStream(spread);
  ArchiveFixture archive(archiveOf(decoded, {{spread[1].position, 's'}, {spread[2].position, 's'}, {decoded.size(), 'c'}}));
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
    size_t start = files[0].position + 11 + files[0].name.size();
    size_t split = start + 12345;  // the file's bytes in two pieces
    size_t first = split - start;
    convertCalls(decoded.data() + start, (uint32_t)first, 0, 40000, mode, true);
    convertCalls(decoded.data() + split, 40000 - (uint32_t)first, (uint32_t)first, 40000, mode, true);
    ArchiveFixture archive(archiveOf(decoded, {{split, 'c'}, {decoded.size(), 's'}}));
    Result r = extract(archive, files[0], flags);
    ASSERT_EQ(r.rc, RC_OK);
    EXPECT_EQ(r.bytes, original) << "mode " << mode;
    EXPECT_EQ(state.runningCrc, plainCrc32(original));
  }
}

}  // namespace

// The host's checks for `jov test` and `jov extract`; the stub has neither.
class StreamChecks : public ::testing::Test {
 protected:
  void SetUp() override { streamCheck = StreamCheck{}; }
  void TearDown() override {
    streamCheck = StreamCheck{};
    state.cancelRequested = 0;
  }
};

TEST_F(StreamChecks, EachStreamRecordMustRepeatItsDirectoryRecord) {
  std::vector<File> files = {{"docs\\readme.txt", textLike(3000, 20)}, {"empty.txt", {}}, {"tail", textLike(50, 21)}};
  std::vector<uint8_t> decoded = decodedStream(files);
  // The first name and the empty file's fixed part are split across blocks.
  ArchiveFixture archive(archiveOf(
      decoded, {{files[0].position + 15, 's'}, {files[1].position + 5, 'c'}, {decoded.size(), 'c'}}));
  struct Case {
    size_t file;
    std::string name;      // the directory record's
    int32_t lengthChange;  // of the directory record's length
    bool check;
    ResultCode rc;
    StreamFinding finding;
  } cases[] = {
      {0, "docs\\readme.txt", 0, true, RC_OK, FINDING_NONE},
      {0, "Docs\\readme.txt", 0, true, RC_DAMAGED, FINDING_RECORD_MISMATCH},  // in the first block
      {0, "docs\\readme.txT", 0, true, RC_DAMAGED, FINDING_RECORD_MISMATCH},  // in the second
      {0, "docs\\readme.tx", 0, true, RC_DAMAGED, FINDING_RECORD_MISMATCH},
      {0, "docs\\readme.txt", -1, true, RC_DAMAGED, FINDING_RECORD_MISMATCH},
      {1, "empty.txt", 0, true, RC_OK, FINDING_NONE},  // an empty file's record is read too
      {1, "empty.tx!", 0, true, RC_DAMAGED, FINDING_RECORD_MISMATCH},
      {1, "empty.txt", 1, true, RC_DAMAGED, FINDING_RECORD_MISMATCH},
      {2, "tail", 0, true, RC_OK, FINDING_NONE},
      {0, "other", 0, false, RC_OK, FINDING_NONE},  // no check: the installer's reading
      {1, "other", 0, false, RC_OK, FINDING_NONE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.lengthChange));
    streamCheck.checkRecords = c.check;
    streamCheck.expectedName = (const uint8_t*)c.name.data();
    streamCheck.expectedNameLength = (uint32_t)c.name.size();
    File f = files[c.file];
    f.data.resize(f.data.size() + c.lengthChange, 'x');
    Result r = extract(archive, f);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(streamCheck.finding, c.finding);
    if (c.rc == RC_OK) {
      EXPECT_EQ(r.bytes, f.data);
    } else {
      EXPECT_TRUE(r.bytes.empty()) << "written before the record was checked";
    }
  }
  streamCheck.checkRecords = true;
  File missing{"gone", {}, (uint32_t)decoded.size() + 100};  // an empty file past the stream's end
  streamCheck.expectedName = (const uint8_t*)missing.name.data();
  streamCheck.expectedNameLength = 4;
  EXPECT_EQ(extract(archive, missing).rc, RC_DAMAGED);
}

TEST_F(StreamChecks, DecodingIsCappedAgainstTheBytesServed) {
  const uint32_t count = 24, blockOutput = 1000000;
  {
    ArchiveFixture archive(backAndForthArchive(count, blockOutput));
    auto fileAt = [&](uint32_t i) { return File{"f" + std::to_string(i), {(uint8_t)('a' + i % 26)}, i * blockOutput}; };
    std::vector<File> jumping;  // in the archive's directory order
    for (uint32_t low = 0, high = count; low < high;) {
      jumping.push_back(fileAt(--high));
      if (low < high) jumping.push_back(fileAt(low++));
    }

    // Without a budget every other record restarts the stream and decodes
    // up to itself: the work grows with records times stream length.
    for (const File& f : jumping) expectFile(archive, f);
    EXPECT_GT(streamCheck.decodedBytes, 100u * blockOutput);

    streamCheck = StreamCheck{};
    streamCheck.decodeAllowance = 4u << 20;
    size_t served = 0;
    ResultCode rc = RC_OK;
    for (const File& f : jumping) {
      rc = extract(archive, f).rc;
      if (rc != RC_OK) break;
      ++served;
    }
    EXPECT_EQ(rc, RC_DAMAGED);
    EXPECT_EQ(streamCheck.finding, FINDING_TOO_MUCH_WORK);
    EXPECT_EQ(state.cancelRequested, 1) << "the run stops as a whole";
    EXPECT_LT(served, jumping.size());
    EXPECT_LE(streamCheck.decodedBytes,
              DECODE_PER_SERVED_BYTE * streamCheck.servedBytes + streamCheck.decodeAllowance + blockOutput);
  }

  // Files in stream order decode each block once and stay within a budget
  // far smaller than the stream.
  state.cancelRequested = 0;
  std::vector<File> files;
  for (uint32_t i = 0; i < 40; ++i) files.push_back({"n" + std::to_string(i), textLike(20000, 30 + i)});
  std::vector<uint8_t> decoded = decodedStream(files);
  std::vector<Cut> cuts;
  for (size_t end = 30000; end < decoded.size(); end += 30000) cuts.push_back({end, end % 60000 ? 'c' : 's'});
  cuts.push_back({decoded.size(), 'c'});
  ArchiveFixture ordered(archiveOf(decoded, cuts));
  streamCheck = StreamCheck{};
  streamCheck.decodeAllowance = 64u << 10;
  for (const File& f : files) expectFile(ordered, f);
}
