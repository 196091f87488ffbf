// Unaligned little-endian word loads and forward copies for the decoders' hot
// paths. A fixed-size
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

// The bit readers' word: 64 bits on the host, 32 bits in the stub, the i686
// machine word. Chosen by JOV_STUB, not by size_t, so that the host's test
// build of the stub's codec (tests/support) reads as the stub does.
#ifdef JOV_STUB
typedef uint32_t Word;
#else
typedef uint64_t Word;
#endif

inline Word loadWord(const uint8_t* p) {
  Word v;
  memcpy(&v, p, sizeof v);
  return v;
}

// Copies `count` bytes forward with the result of a byte-by-byte copy: where
// the destination starts inside the source, the bytes just written are read
// again (an LZ match shorter than its length repeats; a move toward the
// buffer's start is safe). The stub uses the string move, whose semantics are
// exactly that, in a few bytes of code and at many bytes a cycle where the
// areas are apart; the host's test build of the stub's codec runs the same
// instruction, with a 64-bit count register.
inline void copyForward(uint8_t* destination, const uint8_t* source, uint32_t count) {
#if defined(JOV_STUB) && (defined(__i386__) || defined(__x86_64__))
  size_t n = count;
  __asm__ volatile("rep movsb" : "+D"(destination), "+S"(source), "+c"(n) : : "memory");
#else
  for (; count; --count) *destination++ = *source++;
#endif
}
