// The resource bounds the reader keeps whatever the headers claim, and
// every cut and every corrupted byte of real archives. Every run goes through the whole
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

// Every prefix of an archive, and every byte of it corrupted in turn: no
// crash, no escape, no leak, and any file that appears is one the intact
// archive holds, byte for byte.
TEST(HostileArchive, TruncatedAndCorruptedAtEveryByte) {
  TempDir dir;
  for (const char* name : {"tree.jov", "small-blocks.jov"}) {
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
