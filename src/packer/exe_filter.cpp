#include "packer/exe_filter.h"

#include "archive/pe_header.h"
#include "codec/call_filter.h"
#include "format.h"

namespace jov {

namespace {

const uint32_t OPERAND = FILTER_OPERAND_32;

}  // namespace

bool isPe32I386(const uint8_t* data, uint64_t size) {
  // Headers lie within the first 4 GiB; a larger file is read as its head.
  PeHeaders pe;
  return readPeHeaders(data, size > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)size, &pe) && pe.machine == PE_MACHINE_I386;
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
