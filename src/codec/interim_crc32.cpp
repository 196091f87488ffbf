// INTERIM, removed when the engine's CRC-32 lands on main: a plain definition
// of the two CRC functions so that the seal builds and links meanwhile.
#include "codec/crc32.h"
#include "install_state.h"

void buildCrcTable() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    state.crcTable[i] = c;
  }
}

uint32_t crc32Update(const uint8_t* data, uint32_t count, uint32_t value) {
  while (count--) value = (value >> 8) ^ state.crcTable[(value ^ *data++) & 255];
  return value;
}
