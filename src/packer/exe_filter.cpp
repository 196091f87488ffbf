#include "packer/exe_filter.h"

#include "codec/call_filter.h"
#include "format.h"

namespace jov {

namespace {

const uint32_t OPERAND = 4;  // mode 4: 32-bit operands

}  // namespace

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
