// Unaligned little-endian word loads for the decoders' hot paths. A fixed-size
// memcpy compiles to one move on both targets (x86-64 host, i686 stub); the
// stub supplies the memcpy symbol should a compiler ever call it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the archive is little-endian and the word loads assume a little-endian machine");

inline uint32_t loadLe32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

inline uint64_t loadLe64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// The natural word: 64 bits on the host, 32 bits in the stub.
inline size_t loadWord(const uint8_t* p) {
  size_t v;
  memcpy(&v, p, sizeof v);
  return v;
}
