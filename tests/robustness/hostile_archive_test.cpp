// Hostile archives, spelled block by block, and the resource bounds the
// reader keeps whatever the headers claim. Every run goes through the whole
// driver with the platform layer's fence around its folder (an escape aborts
// the test program) and its heap accounted (extractWith fails on a leak).
#include <gtest/gtest.h>

#include <algorithm>

#include "block_builder.h"
#include "heap_bound.h"
#include "install_state.h"
#include "robust_support.h"

namespace {

const char DAMAGED_TEXT[] = "Archive data is damaged, probably caused by\ncorrupt disk or download error";

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

// A stored block whose header claims `outputLength` and `blockSize` whatever
// data follow.
std::vector<uint8_t> claimingStoredBlock(uint32_t outputLength, uint32_t blockSize, bool last,
                                         const std::vector<uint8_t>& data) {
  BitString w;
  w.put(0, 4), w.put(last, 1), w.put(outputLength, 20), w.put(blockSize, 20), w.put(0, 5);
  w.alignToByte();
  w.putBytes(data);
  return w.bytes;
}

TEST(HostileArchive, TraversalNamesOfEveryClassStayInside) {
  const char* hostile[] = {
      "..",         "..\\up",     "a\\..\\..\\up", "../up",    "a/../../up", "\\rooted", "/rooted",
      "C:\\drive",  "C:rel",      "x:stream",      "a\\\\b",   "a\\",        ".",        "a\\.\\b",
      "dot.",       "space ",     "CON",           "aux.txt",  "ok\\com1.log", "tab\tname", "star*",
      "CON .txt",   "LPT\xb2",
  };
  std::vector<uint8_t> good = bytesOf("good");
  std::vector<uint8_t> stream = streamSlice("ok\\good.txt", good);
  std::vector<RecordDraft> records = {{"ok", true}, fileRecord("ok\\good.txt", good, 0)};
  for (const char* name : hostile) {
    RecordDraft file = fileRecord(name, good, 0), folder;
    folder.name = name;
    folder.folder = true;
    records.push_back(file);
    records.push_back(folder);
  }
  TempDir dir;
  Outcome run = extractWith(dir, assembleArchive({storedBlock(stream, true)}, records));
  EXPECT_EQ(run.result, RC_OK);
  EXPECT_EQ(run.messages.size(), 2 * std::size(hostile));
  for (const std::string& m : run.messages) EXPECT_EQ(m.rfind("Unsafe name ", 0), 0u) << m;
  EXPECT_EQ(run.folders, std::set<std::string>{"ok"});
  ASSERT_EQ(run.files.size(), 1u);
  EXPECT_EQ(run.files["ok/good.txt"], good);
}

TEST(HostileArchive, DirectoryBlocksLargerThanTheirBuffers) {
  // Records of empty files (no stream data needed) filling a stored block of
  // 8190 decoded bytes: it fits the 8192-byte buffer but its 8197 encoded
  // bytes exceed the 8184 that one fetch reads, so the record crossing byte
  // 8177 is cut and the directory is damaged; every record before it counts.
  std::vector<RecordDraft> records;
  uint32_t bytes = 0;
  for (int i = 0; bytes + 2 * 44 <= 8190; ++i, bytes += 44) {
    char name[8];
    snprintf(name, sizeof name, "e%05d", i);
    records.push_back({name, false, 0, 0, 0});
  }
  records.push_back({std::string(8190 - bytes - 38, 'z'), false, 0, 0, 0});
  std::vector<uint8_t> archive = assembleArchive({storedBlock({}, true)}, records);
  TempDir dir;
  Outcome run = extractWith(dir, archive);
  EXPECT_EQ(run.result, RC_DAMAGED);
  EXPECT_EQ(run.files.size(), 8177u / 44);  // the whole records among the bytes read
  EXPECT_TRUE(run.messages.empty());

  // A block frame announcing 8193 decoded bytes is refused before anything.
  std::vector<uint8_t> oversized = archive;
  uint32_t directoryOffset = readLe32(&oversized[AH_DIRECTORY_OFFSET]);
  uint8_t* header = &oversized[directoryOffset + SIGNATURE_SIZE];
  writeLe32(header, (readLe32(header) & ~(0xFFFFFu << 5)) | (8193u << 5));
  run = extractWith(dir, oversized);
  EXPECT_EQ(run.result, RC_DAMAGED);
  EXPECT_TRUE(run.files.empty());
}

TEST(HostileArchive, ZeroLengthBlocksBetweenData) {
  std::vector<uint8_t> a = bytesOf("first file"), b = bytesOf("second");
  std::vector<uint8_t> sa = streamSlice("a", a), sb = streamSlice("b", b);
  CompressedFrame empty(0, false);
  CodedWriter(empty.w, 2, {});  // prefix and the fixed set, no symbol
  std::vector<uint8_t> emptyCompressed = empty.finish();
  std::vector<std::vector<uint8_t>> blocks = {storedBlock({}, false), emptyCompressed, storedBlock(sa, false),
                                              emptyCompressed, storedBlock({}, false),
                                              compressBlock(sa, sb, true)};
  TempDir dir;
  Outcome run = extractWith(dir, assembleArchive(blocks, {fileRecord("a", a, 0), fileRecord("b", b, (uint32_t)sa.size())}));
  EXPECT_EQ(run.result, RC_OK);
  EXPECT_TRUE(run.messages.empty());
  EXPECT_EQ(run.files["a"], a);
  EXPECT_EQ(run.files["b"], b);
}

TEST(HostileArchive, LargestClaimsWithoutDataStayWithinTheBound) {
  std::vector<uint8_t> data = bytesOf("data");
  std::vector<uint8_t> slice = streamSlice("f", data);
  // A stored block and a compressed one claiming 1048575 bytes of output and
  // of size, with almost nothing behind them; and a record claiming 4 GiB.
  CompressedFrame compressed(BLOCK_MAX_OUTPUT, true);
  CodedWriter(compressed.w, 2, {});
  std::vector<std::vector<uint8_t>> streams[] = {
      {claimingStoredBlock(BLOCK_MAX_OUTPUT, BLOCK_MAX_SIZE, false, slice)},
      {storedBlock(slice, false), compressed.finish(BLOCK_MAX_SIZE)},
  };
  TempDir dir;
  for (const auto& blocks : streams) {
    RecordDraft huge = fileRecord("huge", data, 0);
    huge.length = 0xFFFFFFFFu;
    Outcome run = extractWith(dir, assembleArchive(blocks, {fileRecord("f", data, 0), huge}));
    EXPECT_EQ(run.result, RC_OK);
    EXPECT_EQ(run.files["f"], data);
    EXPECT_FALSE(run.files.count("huge"));
    EXPECT_EQ(run.messages, std::vector<std::string>{DAMAGED_TEXT});
    EXPECT_LE(run.peakBytes, READER_HEAP_BOUND);
  }
}

TEST(HostileArchive, LongStreamsKeepTheHeapWithinTheBound) {
  // Three stored blocks of the largest size, then a compressed block reaching
  // back into them with the largest window: the history is trimmed, never
  // accumulated.
  std::vector<uint8_t> big(3 * BLOCK_MAX_OUTPUT - 100);
  for (size_t i = 0; i < big.size(); ++i) big[i] = (uint8_t)(i * 31 + (i >> 12));
  std::vector<uint8_t> tail = bytesOf("and a tail that repeats, repeats, repeats");
  std::vector<uint8_t> slice = streamSlice("big", big);
  std::vector<std::vector<uint8_t>> blocks;
  for (size_t at = 0; at < slice.size(); at += BLOCK_MAX_OUTPUT - 7) {
    size_t n = std::min<size_t>(BLOCK_MAX_OUTPUT - 7, slice.size() - at);
    blocks.push_back(storedBlock(std::vector<uint8_t>(slice.begin() + at, slice.begin() + at + n), false));
  }
  std::vector<uint8_t> history(slice.end() - WINDOW_MAX, slice.end());
  std::vector<uint8_t> tailSlice = streamSlice("tail", tail);
  blocks.push_back(compressBlock(history, tailSlice, true));
  TempDir dir;
  Outcome run = extractWith(dir, assembleArchive(blocks, {fileRecord("big", big, 0),
                                                          fileRecord("tail", tail, (uint32_t)slice.size())}));
  EXPECT_EQ(run.result, RC_OK);
  EXPECT_TRUE(run.files["big"] == big);
  EXPECT_EQ(run.files["tail"], tail);
  EXPECT_LE(run.peakBytes, READER_HEAP_BOUND);
}

TEST(HostileArchive, SelfReferencingOverlongAndUnreachableMatches) {
  // One compressed block: the record as literals, a match reaching before
  // the stream (dropped, decoding goes on), 'a' and a match of 33026 at
  // distance 1 that runs past the block's 100 bytes of file (cut there); the
  // next stored block holds the rest of the file and its CRC.
  std::vector<uint8_t> file = bytesOf(std::string(100, 'a') + "xyz");
  std::vector<uint8_t> slice = streamSlice("f", file);
  const uint32_t head = STREAM_RECORD_FIXED_SIZE + 1;  // record and name
  CompressedFrame frame(head + 100, false);
  CodedWriter coder(frame.w, 2, {uniformSet(2)});
  for (uint32_t i = 0; i < head; ++i) coder.literal(slice[i]);
  coder.match(10, 5000);
  coder.literal('a');
  coder.match(MAX_MATCH, 1);
  std::vector<uint8_t> rest(slice.begin() + head + 100, slice.end());
  TempDir dir;
  Outcome run = extractWith(dir, assembleArchive({frame.finish(), storedBlock(rest, true)}, {fileRecord("f", file, 0)}));
  EXPECT_EQ(run.result, RC_OK);
  EXPECT_TRUE(run.messages.empty());
  EXPECT_EQ(run.files["f"], file);
}

TEST(HostileArchive, TableSetsThatAreNoPrefixCodes) {
  std::vector<uint8_t> data = bytesOf("payload");
  std::vector<uint8_t> slice = streamSlice("f", data);
  std::vector<uint8_t> overfull = uniformSet(2), clash = uniformSet(2), starved = uniformSet(2);
  std::fill(overfull.begin(), overfull.begin() + LITLEN_SYMBOLS, 8);  // 288 codes of 8 bits
  clash[0] = clash[1] = 1;                                            // two 1-bit codes over longer ones
  std::fill(starved.begin() + SET_POS_DIST0, starved.begin() + SET_POS_DIST1, 16);  // no room for nodes
  TempDir dir;
  for (const auto& set : {overfull, clash, starved}) {
    CompressedFrame frame((uint32_t)slice.size(), true);
    CodedWriter coder(frame.w, 2, {set});
    BitString& w = frame.w;
    for (int i = 0; i < 64; ++i) w.put(0x5A, 8);  // whatever the tables make of it
    Outcome run = extractWith(dir, assembleArchive({frame.finish()}, {fileRecord("f", data, 0)}));
    EXPECT_EQ(run.result, RC_OK);
    EXPECT_TRUE(run.files.empty());
    EXPECT_EQ(run.messages, std::vector<std::string>{DAMAGED_TEXT});
  }
}

// Regression (fuzzing): a file record running past the stream's end whose
// CRC is that of the bytes that did come (none: CRC 0) was kept, short.
TEST(HostileArchive, AFileTheStreamCannotFinishIsNotKept) {
  std::vector<uint8_t> data = bytesOf("x");
  std::vector<uint8_t> slice = streamSlice("f", data);
  RecordDraft ghost{"ghost", false, 0xFFFFFFFFu, 14417919, 0};
  // From "x" to the stream's end, claimed with the CRC of exactly that.
  std::vector<uint8_t> rest(slice.begin() + STREAM_RECORD_FIXED_SIZE + 1, slice.end());
  RecordDraft longer{"longer", false, 0, (uint32_t)rest.size() + 10, referenceCrc32(rest.data(), rest.size())};
  TempDir dir;
  Outcome run = extractWith(dir, assembleArchive({storedBlock(slice, true)}, {ghost, longer, fileRecord("f", data, 0)}));
  EXPECT_EQ(run.result, RC_OK);
  EXPECT_EQ(run.messages, std::vector<std::string>(2, DAMAGED_TEXT));
  EXPECT_EQ(run.files.size(), 1u);
  EXPECT_EQ(run.files["f"], data);
}

TEST(HostileArchive, EntryCountBeyondTheRecords) {
  std::vector<uint8_t> data = bytesOf("x");
  std::vector<uint8_t> blocks = storedBlock(streamSlice("f", data), true);
  TempDir dir;
  for (uint32_t extra : {1u, 0xFFFFFFFFu - 1}) {
    Outcome run = extractWith(dir, assembleArchive({blocks}, {fileRecord("f", data, 0)}, extra));
    EXPECT_EQ(run.result, RC_DAMAGED);
    EXPECT_EQ(run.files["f"], data);
  }
}

// Every prefix of an archive, and every byte of it corrupted in turn: no
// crash, no escape, no leak, and any file that appears is one the intact
// archive holds, byte for byte.
TEST(HostileArchive, TruncatedAndCorruptedAtEveryByte) {
  TempDir dir;
  for (const char* name : {"tree-l6", "stored-small-blocks"}) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> archive = seedArchive(name);
    const Outcome clean = extractWith(dir, archive);
    ASSERT_EQ(clean.result, RC_OK);
    std::set<std::vector<uint8_t>> contents;
    for (const auto& f : clean.files) contents.insert(f.second);
    for (size_t at = 0; at < archive.size(); ++at) {
      std::vector<uint8_t> cut(archive.begin(), archive.begin() + at), flipped = archive;
      flipped[at] ^= 0x5A;
      for (const auto* variant : {&cut, &flipped}) {
        Outcome run = extractWith(dir, *variant);
        for (const auto& f : run.files) {
          if (variant == &cut) EXPECT_TRUE(clean.files.count(f.first) && clean.files.at(f.first) == f.second) << f.first << " cut at " << at;
          else EXPECT_TRUE(contents.count(f.second)) << f.first << " at " << at;
        }
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace
