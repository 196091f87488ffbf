#include "packer/exe_filter.h"

#include "format.h"

namespace jov {

namespace {

const uint32_t OPERAND = 4;
const uint8_t CALL_OPCODE = 0xE8;

}  // namespace

bool isPe32I386(const uint8_t* data, uint64_t size) {
  if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') return false;
  uint32_t pe = readLe32(data + 0x3C);
  if ((uint64_t)pe + 6 > size) return false;
  return data[pe] == 'P' && data[pe + 1] == 'E' && data[pe + 2] == 0 && data[pe + 3] == 0 &&
         readLe16(data + pe + 4) == 0x014C;
}

// With P the operand's file offset and L the file's length, a displacement d
// is stored as P + d when that lands inside the file, as L - P - 1 - d
// (-1 down to -P) when d lies in [L - P, L - 1], and unchanged otherwise: the
// bijection the reader inverts. All arithmetic is modulo 2^32, as the
// reader's is.
void forwardFilterPiece(uint8_t* piece, uint32_t count, uint32_t fileOffset, uint32_t fileLength) {
  if (count <= OPERAND) return;
  const uint32_t scanLimit = count - OPERAND;
  for (uint32_t i = 0; i < scanLimit;) {
    if (piece[i] != CALL_OPCODE) {
      ++i;
      continue;
    }
    const uint32_t p = fileOffset + i + 1;
    const uint32_t d = readLe32(piece + i + 1);
    const int64_t sd = (int32_t)d;
    uint32_t v = d;
    if ((int64_t)p + sd >= 0 && (int64_t)p + sd < (int64_t)fileLength)
      v = p + d;
    else if (sd >= (int64_t)fileLength - p && sd <= (int64_t)fileLength - 1)
      v = fileLength - p - 1 - d;
    writeLe32(piece + i + 1, v);
    i += 1 + OPERAND;
  }
}

void inverseFilterPiece(uint8_t* piece, uint32_t count, uint32_t fileOffset, uint32_t fileLength) {
  if (count <= OPERAND) return;
  const uint32_t scanLimit = count - OPERAND;
  for (uint32_t i = 0; i < scanLimit;) {
    if (piece[i] != CALL_OPCODE) {
      ++i;
      continue;
    }
    const uint32_t p = fileOffset + i + 1;
    const uint32_t v = readLe32(piece + i + 1);
    uint32_t d = v;
    if (v < fileLength)
      d = v - p;
    else if ((int32_t)v < 0 && (int64_t)(int32_t)v >= -(int64_t)p)
      d = fileLength - p - 1 - v;
    writeLe32(piece + i + 1, d);
    i += 1 + OPERAND;
  }
}

void forwardFilterFile(uint8_t* bytes, uint32_t length, uint64_t streamStart, uint32_t blockLength) {
  uint32_t done = 0;
  while (done < length) {
    uint64_t at = streamStart + done;
    uint32_t room = (uint32_t)(blockLength - at % blockLength);
    uint32_t n = length - done < room ? length - done : room;
    forwardFilterPiece(bytes + done, n, done, length);
    done += n;
  }
}

}  // namespace jov
