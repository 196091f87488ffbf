#include "codec/call_filter.h"

#include "codec/crc32.h"
#include "codec/word_load.h"
#include "install_state.h"

#ifndef JOV_STUB
#include <string.h>
#endif

namespace {

const uint8_t CALL_OPCODE = 0xE8;
// Staging for restored bytes: one pass scans at most STAGING_SIZE - 1 - mode
// opcode positions, and its last operand may reach `mode` bytes further, so a
// write never exceeds STAGING_SIZE - 1 bytes. Each write is a system call (a
// server round trip under Wine), so the staging is as large as a block's
// typical share of a file: 64 KiB of stack, which the decoder's tables are
// not using at the time.
const uint32_t STAGING_SIZE = 65536;

// Scans data[start, stop) for opcodes, rewriting each operand in place; the
// caller guarantees `mode` bytes after every scanned position. Returns the
// first position not yet handled (past stop when an operand crossed it).
// `dataOffset` is the file offset of data[0].
template <bool encode>
uint32_t scanCalls(uint8_t* data, uint32_t start, uint32_t stop, uint32_t dataOffset,
                   uint32_t fileLength, uint32_t mode) {
  uint32_t i = start;
  while (i < stop) {
#ifdef JOV_STUB
    // Opcodes are a few percent of the bytes: skip four at a time while none
    // of them is one (a zero byte in word ^ E8E8E8E8 is exactly an opcode).
    for (; i + 4 <= stop; i += 4) {
      uint32_t x = loadLe32(data + i) ^ 0xE8E8E8E8u;
      if ((x - 0x01010101u) & ~x & 0x80808080u) break;
    }
    if (i >= stop) break;
    if (data[i++] != CALL_OPCODE) continue;
#else
    // Opcodes are a few percent of the bytes: the library's word-wide search
    // skips the rest several times faster than a byte loop.
    const uint8_t* hit = (const uint8_t*)memchr(data + i, CALL_OPCODE, stop - i);
    if (!hit) return stop;
    i = (uint32_t)(hit - data) + 1;
#endif
    uint8_t* operand = data + i;
    uint32_t p = dataOffset + i;  // file offset of the operand's first byte
    if (mode == FILTER_OPERAND_16) {
      uint32_t w = readLe16(operand);
      writeLe16(operand, (uint16_t)(encode ? w + p : w - p));
    } else {
      uint32_t v = readLe32(operand), result;
      if (encode) {
        if (v + p < fileLength) result = v + p;
        else if (v - (fileLength - p) < p) result = fileLength - p - 1 - v;
        else result = v;
      } else {
        if (v < fileLength) result = v - p;
        else if (v + p < p) result = fileLength - p - 1 - v;  // v from -p to -1
        else result = v;
      }
      writeLe32(operand, result);
    }
    i += mode;
  }
  return i;
}

ResultCode writeOut(FileHandle output, const uint8_t* bytes, uint32_t count) {
  if (state.cancelRequested) return RC_CANCELLED;
  return fileWrite(output, bytes, count) == (int32_t)count ? RC_OK : RC_WRITE_FAILED;
}

}  // namespace

ResultCode writeFiltered(FileHandle output, const uint8_t* bytes, uint32_t count, uint32_t passed,
                         uint32_t fileLength) {
  uint32_t mode = state.filterMode;
  uint32_t limit = count > mode ? count - mode : 0;  // no opcode at or after this
  uint32_t passSpan = STAGING_SIZE - 1 - mode;
  uint8_t staging[STAGING_SIZE];
  uint32_t current = 0;
  while (current < limit) {
    uint32_t stop = limit - current < passSpan ? limit : current + passSpan;
    uint32_t take = stop - current + mode;
#ifdef JOV_STUB
    copyForward(staging, bytes + current, take);
#else
    memcpy(staging, bytes + current, take);
#endif
    uint32_t done = scanCalls<false>(staging, 0, stop - current, passed + current, fileLength, mode);
    state.runningCrc = crc32Update(staging, done, state.runningCrc);
    ResultCode rc = writeOut(output, staging, done);
    if (rc < 0) return rc;
    current += done;
  }
  // The tail (at most `mode` bytes) passes unchanged.
  uint32_t tail = count - current;
  if (tail == 0) return RC_OK;
  state.runningCrc = crc32Update(bytes + current, tail, state.runningCrc);
  return writeOut(output, bytes + current, tail);
}

#ifndef JOV_STUB
void convertCalls(uint8_t* data, uint32_t count, uint32_t fileOffset, uint32_t fileLength,
                  uint32_t mode, bool encode) {
  uint32_t limit = count > mode ? count - mode : 0;
  if (encode) scanCalls<true>(data, 0, limit, fileOffset, fileLength, mode);
  else scanCalls<false>(data, 0, limit, fileOffset, fileLength, mode);
}
#endif
