// CRC-32 by slicing-by-8: crcTable is the classic byte table; crcSlices[k - 1]
// advances a byte that lies k positions before the end of an 8-byte group, so
// one group costs eight independent lookups instead of eight dependent ones.
// All tables live in InstallState (BSS) and are filled once at start-up.
//
// The stub sums its files a byte at a time with crcTable alone: the slices
// would cost it 7 KB of BSS and 200 bytes of code against its size budget,
// and its speed is bounded by the disk and the decoder anyway.
#include "codec/crc32.h"

#include "codec/word_load.h"
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
#ifndef JOV_STUB
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = state.crcTable[i];
    for (int k = 0; k < 7; ++k) {
      c = (c >> 8) ^ state.crcTable[c & 255];
      state.crcSlices[k][i] = c;
    }
  }
#endif
}

uint32_t crc32Update(const uint8_t* data, uint32_t count, uint32_t value) {
  const uint32_t* t0 = state.crcTable;
#ifndef JOV_STUB
  const uint32_t(*t)[256] = state.crcSlices;
  for (; count >= 8; count -= 8, data += 8) {
    uint32_t low = loadLe32(data) ^ value;
    uint32_t high = loadLe32(data + 4);
    value = t[6][low & 255] ^ t[5][(low >> 8) & 255] ^ t[4][(low >> 16) & 255] ^ t[3][low >> 24] ^
            t[2][high & 255] ^ t[1][(high >> 8) & 255] ^ t[0][(high >> 16) & 255] ^ t0[high >> 24];
  }
#endif
  for (; count; --count) value = (value >> 8) ^ t0[(value ^ *data++) & 255];
  return value;
}
