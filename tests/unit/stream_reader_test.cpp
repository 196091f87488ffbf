// The solid stream reader where tests/roundtrip/oracle_test.cpp does not reach it: data that no block
// holds (in the host's build and in the stub's), and the work it counts.
#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "codec/stream_reader.h"
#include "codecs.h"
#include "packed_items.h"

namespace {

// The build of the stream reader under test: the host's or the stub's.
const Codec* codec = &hostCodec;
class StreamReaderBuild : public testing::TestWithParam<const Codec*> {
  void SetUp() override { codec = GetParam(), codec->buildCrcTable(); }
  void TearDown() override { codec = &hostCodec, codec->buildCrcTable(); }
};
INSTANTIATE_TEST_SUITE_P(Both, StreamReaderBuild, testing::Values(&hostCodec, &jovStubCodec),
                         [](const auto& info) { return std::string(info.param->name); });

// readStreamFile's result and the bytes it wrote for a record of the stream at ARCHIVE_HEADER_SIZE.
std::pair<int32_t, std::vector<uint8_t>> extract(ArchiveFixture& archive, const RecordDraft& r) {
  int32_t rc;
  std::vector<uint8_t> bytes = archive.capture([&](FileHandle h) {
    return codec->readStreamFile(h, ARCHIVE_HEADER_SIZE, r.streamPosition, r.length, r.flags);
  }, &rc);
  return {rc, bytes};
}

void expectFile(ArchiveFixture& archive, const RecordDraft& r) {
  EXPECT_EQ(std::pair(extract(archive, r).first, state.runningCrc), std::pair((int32_t)RC_OK, r.crc)) << r.name;
}

// Nothing is served that no block holds: a file in a block whose header is refused, one behind the decoded
// bytes of the block before it, one running past the stream's last block (regression, found by fuzzing the
// driver: it was "produced" short and kept when its record claimed the CRC of what did come), one starting
// after the stream's end. The host says why and where each time: the refused block, by its index and file
// position behind a compressed block, whether the stream is decoded to it again or stopped there before.
TEST_P(StreamReaderBuild, FilesNoBlockHoldsAreDamaged) {
  Stream s;
  for (const char* name : {"a", "b", "c"}) s.add(name, textLike(1000, name[0]), name);
  size_t firstEnd = s.records[1].streamPosition + 500;  // block 2, with a refused header, holds the rest
  std::vector<std::vector<uint8_t>> blocks = cutStream(s.decoded, {{firstEnd, 'c'}, {s.decoded.size(), 's'}});
  setBlockField(blocks[1], BF_TYPE, 5);
  ArchiveFixture archive(assembleArchive({blocks}, {}));
  expectFile(archive, s.records[0]);
  RecordDraft longer = s.records[0], ghost{"ghost", false, (uint32_t)firstEnd + 10, 100},
              beyond{"beyond", false, 0xFFFFFFF0u, 10};
  longer.length = 5000;
  const uint32_t key = ARCHIVE_HEADER_SIZE + SIGNATURE_SIZE;
  for (const RecordDraft& r : {s.records[1], ghost, longer, beyond}) {
    clearDamageReason();
    auto [rc, bytes] = extract(archive, r);
    EXPECT_EQ(rc, RC_DAMAGED) << r.name;
    EXPECT_TRUE(bytes.empty() || r.name.size() == 1) << r.name << ": cut from memory behind the decoded bytes";
    if (codec != &hostCodec) continue;  // the stub keeps no reasons
    const DamageReason& d = damageReason();
    EXPECT_EQ(std::tuple(std::string(d.text ? d.text : ""), d.value, d.site, d.stream, d.block, d.offset),
              std::tuple(std::string("unknown block type"), (int64_t)5, SITE_DATA_BLOCK, key, 1u,
                         key + (uint32_t)blocks[0].size()))
        << r.name;
  }
  expectFile(archive, s.records[0]);  // before them: the stream restarts
}

// In stream order every block decodes once, and the file in hand (starting its block) again from that
// block; a file before it restarts the stream, and what that decodes again is what the work budget counts.
TEST(StreamReader, OnlyWhatIsDecodedAgainCounts) {
  Stream s;
  for (uint32_t size : {5000, 300, 70000, 1}) s.add(std::to_string(size), textLike(size, size), "");
  const size_t edge = s.records[2].streamPosition + 100;
  ArchiveFixture archive(
      assembleArchive({cutStream(s.decoded, {{s.records[1].streamPosition + 5, 'c'}, {edge, 's'},
                                             {s.records[3].streamPosition, 'c'}, {s.decoded.size(), 'c'}})}, {}));
  uint32_t key = ARCHIVE_HEADER_SIZE + SIGNATURE_SIZE;
  uint64_t reach = 0;
  streamCheck = StreamCheck{};
  streamCheck.streamKeys = &key, streamCheck.streamReach = &reach, streamCheck.streamCount = 1;
  for (int i : {0, 1, 2, 3, 3}) expectFile(archive, s.records[i]);
  EXPECT_EQ(std::pair(streamCheck.redecodedBytes, reach), std::pair((uint64_t)0, (uint64_t)s.decoded.size()));
  expectFile(archive, s.records[1]);
  EXPECT_EQ(streamCheck.redecodedBytes, edge) << "the stream's first two blocks again";
  streamCheck = StreamCheck{};
}

// Work follows the bytes, not the blocks: 100-byte stored blocks behind a full window move the history
// only when the buffer is full (they moved all of it each), and a compressed block then still reaches
// 500,000 bytes back; 20 blocks that switch 63 times between equal sets build their tables once
// each; switches between different sets, each built, are charged to the work budget (1 MiB here),
// which stops an archive of them. Both builds decode them all; only the host's counts.
TEST_P(StreamReaderBuild, WorkFollowsTheBytesNotTheBlocks) {
  std::vector<uint8_t> far = randomBytes(1700000, 7), turns(20 * 63, 'q');  // 'q' and 'r' with sets of their own
  std::copy(far.end() - 501000, far.end() - 500000, far.end() - 1000);
  for (size_t i = 1; i < turns.size(); i += 2) turns[i] = 'r';
  const struct {
    const char* name;
    std::vector<uint8_t> data;
    size_t head, step;  // bytes of the stream in a first stored block; of the stream in each block after it
    uint64_t StreamCheck::*work;
    uint64_t bound;
  } cases[] = {{"small blocks", far, 600012, 100, &StreamCheck::movedBytes, far.size()},
               {"equal sets", std::vector<uint8_t>(20 * 63, 'q'), 12, 63, &StreamCheck::tableWork, 20 * 2560},
               {"different sets", turns, 12, 63, &StreamCheck::tableWork, UINT64_MAX}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> slice = streamSlice("f", c.data);
    const size_t tail = slice.size() - (c.step == 63 ? STREAM_RECORD_CRC_SIZE : 2000);
    std::vector<std::vector<uint8_t>> blocks = {storedBlock({slice.begin(), slice.begin() + (ptrdiff_t)c.head}, false)};
    for (size_t at = c.head; at < tail; at += c.step) {
      if (c.step != 63) {
        blocks.push_back(storedBlock({slice.begin() + (ptrdiff_t)at, slice.begin() + (ptrdiff_t)std::min(at + 100, tail)}, false));
        continue;
      }
      CompressedFrame frame(63, false);
      std::vector<std::vector<uint8_t>> sets(63, uniformSet(2));
      for (size_t j = 0; j < 63; ++j) std::swap(sets[j][0], sets[j][224 + slice[at + j] % 2]);  // 8 bits, or 9
      CodedWriter coder(frame.w, 2, sets);
      for (size_t j = 0; j < 63; ++j) {
        coder.literal(slice[at + j]);
        if (j < 62) coder.endOfSet();
      }
      blocks.push_back(frame.finish());
    }
    const std::vector<uint8_t> last(slice.begin() + (ptrdiff_t)tail, slice.end());
    blocks.push_back(c.step == 63 ? storedBlock(last, true)
                                  : compressBlock({slice.begin() + (ptrdiff_t)(tail - WINDOW_MAX), slice.begin() +
                                                   (ptrdiff_t)tail}, last, true));
    ArchiveFixture archive(assembleArchive({blocks}, {}));
    uint32_t key = ARCHIVE_HEADER_SIZE + SIGNATURE_SIZE;
    uint64_t reach = 0;
    streamCheck = StreamCheck{};
    streamCheck.streamKeys = &key, streamCheck.streamReach = &reach, streamCheck.streamCount = 1;
    streamCheck.decodeAllowance = 1 << 20;
    const RecordDraft r = fileRecord("f", c.data, 0);
    const bool refused = c.bound == UINT64_MAX && codec == &hostCodec;
    const bool decoded = extract(archive, r).first == RC_OK && state.runningCrc == r.crc;
    EXPECT_EQ(std::pair(decoded, streamCheck.tooMuchWork), std::pair(!refused, refused));
    EXPECT_LE(state.outputCapacity, WINDOW_MAX + BLOCK_MAX_OUTPUT + OUTPUT_BUFFER_SLACK);
    EXPECT_LE(codec == &hostCodec ? streamCheck.*c.work : 0, c.bound);
    streamCheck = StreamCheck{};
  }
}

}  // namespace
