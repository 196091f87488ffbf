#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "archive_fixture.h"
#include "codec/call_filter.h"
#include "codec/crc32.h"
#include "reference_reader.h"

namespace {

// The file restored by writeFiltered, fed in pieces ending at `cuts`.
std::vector<uint8_t> filtered(ArchiveFixture& archive, const std::vector<uint8_t>& file, uint32_t mode,
                              const std::vector<size_t>& cuts, int32_t* rc) {
  return archive.capture(
      [&](FileHandle h) {
        state.filterMode = mode;
        state.runningCrc = 0xFFFFFFFFu;
        for (size_t start = 0, i = 0; i < cuts.size(); start = cuts[i++]) {
          ResultCode r = writeFiltered(h, file.data() + start, (uint32_t)(cuts[i] - start), (uint32_t)start,
                                       (uint32_t)file.size());
          if (r < 0) return r;
        }
        return (ResultCode)RC_OK;
      },
      rc);
}

TEST(CallFilter, RestoresLikeTheReferenceInEveryPieceAndUndoesThePackersDirection) {
  ArchiveFixture archive({});
  std::mt19937 rng(5);
  for (uint32_t mode : {2u, 4u}) {
    for (int round = 0; round < 20; ++round) {
      std::vector<uint8_t> file(1 + rng() % 50000);
      for (uint8_t& b : file) b = rng() % 4 ? 0xE8 : rng() % 2 ? 0xFF : (uint8_t)rng();
      std::vector<size_t> cuts;
      for (size_t at = 0; at < file.size();) cuts.push_back(at = std::min(file.size(), at + 1 + rng() % 20000));
      std::vector<uint8_t> expected = file;
      for (size_t start = 0, i = 0; i < cuts.size(); start = cuts[i++])
        reference::restoreCalls(&expected[start], (uint32_t)(cuts[i] - start), (uint32_t)start,
                                (uint32_t)file.size(), mode);
      int32_t rc;
      ASSERT_EQ(filtered(archive, file, mode, cuts, &rc), expected) << "mode " << mode << " round " << round;
      ASSERT_EQ(rc, RC_OK);
      EXPECT_EQ(~state.runningCrc, plainCrc32(expected));

      for (size_t start = 0, i = 0; i < cuts.size(); start = cuts[i++])
        convertCalls(&expected[start], (uint32_t)(cuts[i] - start), (uint32_t)start, (uint32_t)file.size(), mode, true);
      ASSERT_EQ(expected, file) << "mode " << mode << " round " << round;
    }
  }
}

TEST(CallFilter, OperandPositionsAndTheModeFourCases) {
  ArchiveFixture archive({});
  const uint32_t L = 100000;
  std::vector<uint8_t> file(L, 0x90);
  auto call = [&](size_t at, uint32_t v) { file[at] = 0xE8, writeLe32(&file[at + 1], v); };
  call(10, L);                 // P 11, v = L: unchanged
  call(20, (uint32_t)-21);     // v = -P: L - 1
  call(30, 0);                 // v = 0: -P
  call(41, 41), file[40] = 0xE8;  // E8 E8: the first takes the second as operand
  call(16378, 16379 + 5);      // operand past the first pass's limit
  file[L - 3] = 0xE8;          // among the last 4 bytes: left alone
  int32_t rc;
  std::vector<uint8_t> out = filtered(archive, file, 4, {L}, &rc);
  ASSERT_EQ(rc, RC_OK);
  EXPECT_EQ(readLe32(&out[11]), L);
  EXPECT_EQ(readLe32(&out[21]), L - 1);
  EXPECT_EQ(readLe32(&out[31]), (uint32_t)-31);
  EXPECT_EQ(out[41], 0xE8 - 41) << "operand bytes are not opcodes";
  EXPECT_EQ(readLe32(&out[16379]), 5u);
  EXPECT_EQ(out[L - 3], 0xE8);
  std::vector<uint8_t> shortPiece = {0xE8, 0x01};
  EXPECT_EQ(filtered(archive, shortPiece, 2, {2}, &rc), shortPiece) << "a piece of at most `mode` bytes passes";

  state.cancelRequested = 1;
  filtered(archive, file, 4, {L}, &rc);
  EXPECT_EQ(rc, RC_CANCELLED);
  state.cancelRequested = 0;
}

}  // namespace
