// CRC-32. The stub sums its files a byte at a time with crcTable (in
// InstallState, BSS, filled once at start-up): faster tables would cost it
// kilobytes against its size budget, and its speed is bounded by the disk and
// the decoder anyway. The host takes libdeflate's, which folds with carry-less
// multiplies where the processor has them (checked at run time) and falls
// back to table slicing elsewhere: `jov test` sums at memory speed.
#include "codec/crc32.h"

#ifdef JOV_STUB
#include "install_state.h"

namespace {
const uint32_t CRC_POLYNOMIAL = 0xEDB88320u;  // reflected 0x04C11DB7
}

void buildCrcTable() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ CRC_POLYNOMIAL : c >> 1;
    state.crcTable[i] = c;
  }
}

uint32_t crc32Update(const uint8_t* data, uint32_t count, uint32_t value) {
  const uint32_t* table = state.crcTable;
  for (; count; --count) value = (value >> 8) ^ table[(value ^ *data++) & 255];
  return value;
}
#else
#include <libdeflate.h>

void buildCrcTable() {}

// libdeflate takes and returns the complemented value.
uint32_t crc32Update(const uint8_t* data, uint32_t count, uint32_t value) {
  return ~libdeflate_crc32(~value, data, count);
}
#endif
