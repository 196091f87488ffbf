// The resource bounds the reader keeps whatever the headers claim, and every
// cut and every corrupted byte of real archives. Every run goes through the
// whole driver with the platform layer's fence around its folder (an escape
// aborts the test program) and its heap accounted (extractWith fails on a leak).
#include <gtest/gtest.h>

#include <algorithm>

#include "block_builder.h"
#include "heap_bound.h"
#include "install_state.h"
#include "robust_support.h"

namespace {

const char DAMAGED_TEXT[] = "Archive data is damaged, probably caused by\ncorrupt disk or download error";

using Bytes = std::vector<uint8_t>;

TEST(HostileArchive, ClaimsAndLongStreamsStayWithinTheHeapBound) {
  const Bytes data = {'d', 'a', 't', 'a'}, slice = streamSlice("f", data);
  // A stored block and a compressed one claiming 1048575 bytes of output and
  // of size with almost nothing behind them, each beside a record claiming 4 GiB.
  Bytes claiming = storedBlock(slice, false);
  setBlockField(claiming, BF_OUTPUT_LENGTH, BLOCK_MAX_OUTPUT);
  setBlockField(claiming, BF_BLOCK_SIZE, BLOCK_MAX_SIZE);
  CompressedFrame compressed(BLOCK_MAX_OUTPUT, true);
  CodedWriter(compressed.w, 2, {});
  RecordDraft huge = fileRecord("huge", data, 0);
  huge.length = 0xFFFFFFFFu;
  // Three stored blocks of the largest size, then a compressed block reaching
  // back into them with the largest window: the history is trimmed, never
  // accumulated.
  const std::string tailText = "and a tail that repeats, repeats, repeats";
  Bytes big(3 * BLOCK_MAX_OUTPUT - 100), tail(tailText.begin(), tailText.end());
  for (size_t i = 0; i < big.size(); ++i) big[i] = (uint8_t)(i * 31 + (i >> 12));
  const Bytes bigSlice = streamSlice("big", big);
  std::vector<Bytes> longStream;
  for (size_t at = 0; at < bigSlice.size(); at += BLOCK_MAX_OUTPUT - 7) {
    size_t n = std::min<size_t>(BLOCK_MAX_OUTPUT - 7, bigSlice.size() - at);
    longStream.push_back(storedBlock(Bytes(bigSlice.begin() + at, bigSlice.begin() + at + n), false));
  }
  longStream.push_back(compressBlock(Bytes(bigSlice.end() - WINDOW_MAX, bigSlice.end()), streamSlice("tail", tail), true));
  const struct {
    Bytes archive;
    std::map<std::string, Bytes> files;
    size_t damaged;  // messages
  } cases[] = {
      {assembleArchive({claiming}, {fileRecord("f", data, 0), huge}), {{"f", data}}, 1},
      {assembleArchive({storedBlock(slice, false), compressed.finish(BLOCK_MAX_SIZE)}, {fileRecord("f", data, 0), huge}),
       {{"f", data}}, 1},
      {assembleArchive(longStream, {fileRecord("big", big, 0), fileRecord("tail", tail, (uint32_t)bigSlice.size())}),
       {{"big", big}, {"tail", tail}}, 0},
  };
  TempDir dir;
  for (const auto& c : cases) {
    Outcome run = extractWith(dir, c.archive);
    EXPECT_EQ(run.result, RC_OK);
    EXPECT_TRUE(run.files == c.files);
    EXPECT_EQ(run.messages, std::vector<std::string>(c.damaged, DAMAGED_TEXT));
    EXPECT_LE(run.peakBytes, READER_HEAP_BOUND);
  }
}

// Every prefix of an archive, and every byte of it corrupted in turn: no
// crash, no escape, no leak, and any file that appears is one the intact
// archive holds, byte for byte (under its own name when only cut).
TEST(HostileArchive, TruncatedAndCorruptedAtEveryByte) {
  TempDir dir;
  for (const char* name : {"tree.jov", "small-blocks.jov"}) {
    SCOPED_TRACE(name);
    const Bytes archive = seedArchive(name);
    const Outcome clean = extractWith(dir, archive);
    ASSERT_EQ(clean.result, RC_OK);
    std::set<Bytes> contents;
    for (const auto& f : clean.files) contents.insert(f.second);
    for (size_t at = 0; at < archive.size(); ++at) {
      Bytes flipped = archive;
      flipped[at] ^= 0x5A;
      for (const auto& f : extractWith(dir, Bytes(archive.begin(), archive.begin() + at)).files)
        EXPECT_TRUE(clean.files.count(f.first) && clean.files.at(f.first) == f.second) << f.first << " cut at " << at;
      for (const auto& f : extractWith(dir, flipped).files) EXPECT_TRUE(contents.count(f.second)) << f.first << " at " << at;
      if (HasFailure()) return;
    }
  }
}

}  // namespace
