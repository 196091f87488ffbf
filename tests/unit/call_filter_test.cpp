#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "archive_fixture.h"
#include "codec/call_filter.h"
#include "codec/crc32.h"

namespace {

// The restore transform written out plainly, one piece at a time.
std::vector<uint8_t> referenceRestore(std::vector<uint8_t> piece, uint32_t offset, uint32_t fileLength,
                                      uint32_t mode) {
  for (size_t i = 0; i + mode < piece.size(); ++i) {
    if (piece[i] != 0xE8) continue;
    int64_t p = offset + i + 1;
    if (mode == 2) {
      uint32_t w = piece[i + 1] | piece[i + 2] << 8;
      uint32_t r = (uint32_t)((w - p) & 0xFFFF);
      piece[i + 1] = (uint8_t)r, piece[i + 2] = (uint8_t)(r >> 8);
    } else {
      uint32_t v = piece[i + 1] | piece[i + 2] << 8 | piece[i + 3] << 16 | (uint32_t)piece[i + 4] << 24;
      int64_t s = (int32_t)v, r;
      if (v < fileLength) r = (int64_t)v - p;
      else if (s >= -p && s <= -1) r = fileLength - p - 1 - s;
      else r = v;
      for (int k = 0; k < 4; ++k) piece[i + 1 + k] = (uint8_t)((uint64_t)r >> (8 * k));
    }
    i += mode;
  }
  return piece;
}

std::vector<uint8_t> filtered(ArchiveFixture& archive, const std::vector<uint8_t>& file, uint32_t mode,
                              const std::vector<size_t>& cuts, int32_t* rc) {
  return archive.capture(
      [&](FileHandle h) {
        state.filterMode = mode;
        state.runningCrc = 0xFFFFFFFFu;
        size_t start = 0;
        for (size_t end : cuts) {
          ResultCode r = writeFiltered(h, file.data() + start, (uint32_t)(end - start), (uint32_t)start,
                                       (uint32_t)file.size());
          if (r < 0) return r;
          start = end;
        }
        return (ResultCode)RC_OK;
      },
      rc);
}

TEST(CallFilter, RestoresLikeTheReferenceInEveryPiece) {
  ArchiveFixture archive({});
  std::mt19937 rng(5);
  for (uint32_t mode : {2u, 4u}) {
    for (int round = 0; round < 20; ++round) {
      std::vector<uint8_t> file(1 + rng() % 50000);
      for (uint8_t& b : file) b = rng() % 4 ? 0xE8 : rng() % 2 ? 0xFF : (uint8_t)rng();
      std::vector<size_t> cuts;
      for (size_t at = 0; at < file.size();) cuts.push_back(at = std::min(file.size(), at + 1 + rng() % 20000));
      std::vector<uint8_t> expected;
      size_t start = 0;
      for (size_t end : cuts) {
        std::vector<uint8_t> piece(file.begin() + start, file.begin() + end);
        std::vector<uint8_t> restored = referenceRestore(piece, (uint32_t)start, (uint32_t)file.size(), mode);
        expected.insert(expected.end(), restored.begin(), restored.end());
        start = end;
      }
      int32_t rc;
      std::vector<uint8_t> out = filtered(archive, file, mode, cuts, &rc);
      ASSERT_EQ(rc, RC_OK);
      ASSERT_EQ(out, expected) << "mode " << mode << " round " << round;
      EXPECT_EQ(~state.runningCrc, plainCrc32(expected));

      // The packer's direction undoes exactly this, piece by piece.
      std::vector<uint8_t> encoded = expected;
      start = 0;
      for (size_t end : cuts) {
        convertCalls(encoded.data() + start, (uint32_t)(end - start), (uint32_t)start, (uint32_t)file.size(), mode, true);
        start = end;
      }
      ASSERT_EQ(encoded, file) << "mode " << mode << " round " << round;
    }
  }
}

TEST(CallFilter, OperandPositionsAndTheModeFourCases) {
  ArchiveFixture archive({});
  const uint32_t L = 100000;
  std::vector<uint8_t> file(L, 0x90);
  auto put32 = [&](size_t at, uint32_t v) { writeLe32(&file[at], v); };
  file[10] = 0xE8, put32(11, L);              // P 11, v = L: unchanged
  file[20] = 0xE8, put32(21, (uint32_t)-21);  // v = -P: L - 1
  file[30] = 0xE8, put32(31, 0);              // v = 0: -P
  file[40] = 0xE8, file[41] = 0xE8, put32(42, 41);  // E8 E8: the first takes the second as operand
  file[16378] = 0xE8, put32(16379, 16379 + 5);      // operand past the first pass's limit
  file[L - 3] = 0xE8;                               // among the last 4 bytes: left alone
  int32_t rc;
  std::vector<uint8_t> out = filtered(archive, file, 4, {L}, &rc);
  ASSERT_EQ(rc, RC_OK);
  EXPECT_EQ(readLe32(&out[11]), L);
  EXPECT_EQ(readLe32(&out[21]), L - 1);
  EXPECT_EQ(readLe32(&out[31]), (uint32_t)-31);
  EXPECT_EQ(out[41], 0xE8 - 41) << "operand bytes are not opcodes";
  EXPECT_EQ(readLe32(&out[16379]), 5u);
  EXPECT_EQ(out[L - 3], 0xE8);

  // Mode 2 with the operand at file offset 70000: only P's low 16 bits count.
  std::vector<uint8_t> piece = {0xE8, 0x00, 0x00, 0x90, 0xE8};
  out = archive.capture(
      [&](FileHandle h) {
        state.filterMode = 2;
        return writeFiltered(h, piece.data(), 5, 69999, 80000);
      },
      &rc);
  EXPECT_EQ(readLe16(&out[1]), (uint16_t)(0 - 70000));
  std::vector<uint8_t> shortPiece = {0xE8, 0x01};
  EXPECT_EQ(filtered(archive, shortPiece, 2, {2}, &rc), shortPiece) << "a piece of at most `mode` bytes passes";

  state.cancelRequested = 1;
  filtered(archive, file, 4, {L}, &rc);
  EXPECT_EQ(rc, RC_CANCELLED);
  state.cancelRequested = 0;
}

}  // namespace
