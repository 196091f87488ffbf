#include "packer/exe_filter.h"

#include "codec/call_filter.h"
#include "format.h"

namespace jov {

namespace {

const uint32_t OPERAND = FILTER_OPERAND_32;

}  // namespace

bool isPe32I386(const uint8_t* data, uint64_t size) {
  if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') return false;
  uint32_t pe = readLe32(data + 0x3C);
  if ((uint64_t)pe + 6 > size) return false;
  return data[pe] == 'P' && data[pe + 1] == 'E' && data[pe + 2] == 0 && data[pe + 3] == 0 &&
         readLe16(data + pe + 4) == 0x014C;
}

// The transform itself is the core's, one body for both directions.
void forwardFilterPiece(uint8_t* piece, uint32_t count, uint32_t fileOffset, uint32_t fileLength) {
  convertCalls(piece, count, fileOffset, fileLength, OPERAND, true);
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
