// CRC-32. The stub slices by eight: crcTable (in InstallState, BSS, filled
// once at start-up) holds eight 256-entry tables, table k giving the CRC of a
// byte followed by k zero bytes, so one step folds eight input bytes with
// eight independent lookups. Byte at a time the CRC cost the stub as much time
// as its whole decoder; the slices cost it about 200 bytes of code and 8 KB
// of BSS. The host takes libdeflate's, which folds with carry-less multiplies
// where the processor has them (checked at run time) and falls back to table
// slicing elsewhere: `jov test` sums at memory speed.
#include "codec/crc32.h"

#ifdef JOV_STUB
#include "codec/word_load.h"
#include "install_state.h"

namespace {
const uint32_t CRC_POLYNOMIAL = 0xEDB88320u;  // reflected 0x04C11DB7
}

void buildCrcTable() {
  uint32_t* table = state.crcTable;
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ CRC_POLYNOMIAL : c >> 1;
    table[i] = c;
  }
  for (uint32_t i = 256; i < 8 * 256; ++i) table[i] = (table[i - 256] >> 8) ^ table[table[i - 256] & 255];
}

uint32_t crc32Update(const uint8_t* data, uint32_t count, uint32_t value) {
  const uint32_t* table = state.crcTable;
  for (; count >= 8; count -= 8, data += 8) {
    uint32_t low = value ^ loadLe32(data), high = loadLe32(data + 4);
    value = table[7 * 256 + (low & 255)] ^ table[6 * 256 + ((low >> 8) & 255)] ^
            table[5 * 256 + ((low >> 16) & 255)] ^ table[4 * 256 + (low >> 24)] ^
            table[3 * 256 + (high & 255)] ^ table[2 * 256 + ((high >> 8) & 255)] ^
            table[1 * 256 + ((high >> 16) & 255)] ^ table[high >> 24];
  }
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
