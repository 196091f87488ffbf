#include "codec/call_filter.h"

#include "codec/crc32.h"
#include "codec/word_load.h"
#include "install_state.h"

#ifndef JOV_STUB
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
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

// Rewrites the operand at data + i, file offset dataOffset + i.
template <bool encode>
inline void convertOperand(uint8_t* data, uint32_t i, uint32_t dataOffset, uint32_t fileLength, uint32_t mode) {
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
}

#if !defined(JOV_STUB) && defined(__SSE2__)
// Bit k set where data[k] is an opcode, for 64 bytes.
inline uint64_t opcodeMask(const uint8_t* data) {
  const __m128i opcode = _mm_set1_epi8((char)CALL_OPCODE);
  const __m128i* p = (const __m128i*)data;
  uint64_t m0 = (uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(p), opcode));
  uint64_t m1 = (uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(p + 1), opcode));
  uint64_t m2 = (uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(p + 2), opcode));
  uint64_t m3 = (uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(p + 3), opcode));
  return m0 | m1 << 16 | m2 << 32 | m3 << 48;
}
#endif

// Scans data[start, stop) for opcodes, rewriting each operand in place; the
// caller guarantees `mode` bytes after every scanned position. Returns the
// first position not yet handled (past stop when an operand crossed it).
// `dataOffset` is the file offset of data[0].
template <bool encode>
uint32_t scanCalls(uint8_t* data, uint32_t start, uint32_t stop, uint32_t dataOffset,
                   uint32_t fileLength, uint32_t mode) {
  uint32_t i = start;
#if !defined(JOV_STUB) && defined(__SSE2__)
  // In machine code one byte in a few dozen is an opcode, at no predictable
  // place: 64 bytes are compared at once and their opcodes taken from the
  // mask in order, each clearing the bits of its operand, so a branch is
  // mispredicted about once per 64 bytes rather than once per opcode.
  while (i < stop && stop - i >= 64) {
    uint64_t hits = opcodeMask(data + i);
    uint32_t next = i + 64;
    while (hits) {
      uint32_t after = (uint32_t)__builtin_ctzll(hits) + 1;  // the operand's offset in the 64 bytes
      convertOperand<encode>(data, i + after, dataOffset, fileLength, mode);
      after += mode;
      if (after >= 64) {
        next = i + after;
        break;
      }
      hits &= ~0ull << after;
    }
    i = next;
  }
#endif
  while (i < stop) {
#ifdef JOV_STUB
    // Opcodes are a few percent of the bytes: skip four at a time while none
    // of them is one (a zero byte in word ^ E8E8E8E8 is exactly an opcode).
    for (; i + 4 <= stop; i += 4) {
      uint32_t x = loadLe32(data + i) ^ 0xE8E8E8E8u;
      if ((x - 0x01010101u) & ~x & 0x80808080u) break;
    }
    if (i >= stop) break;
#endif
    if (data[i++] != CALL_OPCODE) continue;
    convertOperand<encode>(data, i, dataOffset, fileLength, mode);
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
    for (uint32_t i = 0; i < take; ++i) staging[i] = bytes[current + i];
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
