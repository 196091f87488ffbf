// The LZ token model shared by the parsers and the block encoder: literals,
// and matches whose distance is coded by one of the recent distances r0/r1,
// a small distance 1..4, or an explicit distance 5..1048576. Symbols and
// extra bits follow format.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "format.h"

namespace jov {

// Distance symbols 0 and 1 name r0 and r1; 2..5 the distances 1..4 (they
// leave r0/r1 alone); 6..41 explicit distances, which push onto r0/r1.
const uint32_t DIST_SYMBOL_REP0 = 0;
const uint32_t DIST_SYMBOL_REP1 = 1;
const uint32_t DIST_SYMBOL_SMALL = 2;     // distance 1
const uint32_t DIST_SYMBOL_EXPLICIT = 6;  // first explicit slot (distance 5)
const uint32_t MAX_DIST_SYMBOLS = DIST0_SYMBOLS;

// A literal (length 0, `distance` holds the byte) or a match. The parsers
// fill length and distance; resolveDistances then codes each distance under
// the block's recent-distance rules into distSymbol and distExtra.
struct Token {
  uint32_t length;
  uint32_t distance;
  uint32_t distSymbol;
  uint32_t distExtra;
};

inline Token literalToken(uint8_t byte) { return Token{0, byte, 0, 0}; }
inline Token matchToken(uint32_t length, uint32_t distance) { return Token{length, distance, 0, 0}; }

inline uint32_t distanceAlphabetSize(uint32_t alphabet) {
  return alphabet == 0 ? DIST0_SYMBOLS : alphabet == 1 ? DIST1_SYMBOLS : DIST2_SYMBOLS;
}

// Which distance alphabet codes a match of this length; `threeAlphabets` is
// whether the block uses distance alphabet 2.
inline uint32_t distanceAlphabetFor(uint32_t length, bool threeAlphabets) {
  if (length == 2) return 1;
  if (length == 3 && threeAlphabets) return 2;
  return 0;
}

// Length symbols of the lengths 0..258 (0 and 1 unused), for lengthSymbol.
struct LengthSymbolTable {
  uint16_t symbol[259];
  constexpr LengthSymbolTable() : symbol() {
    for (uint32_t l = 2; l <= 10; ++l) symbol[l] = (uint16_t)(SYMBOL_FIRST_LENGTH + l - 2);
    // 266..285: four symbols per extra-bit count g = 1..5, starting at 11
    // and stepping by 2^g.
    uint32_t l = 11;
    for (uint32_t s = 266; s <= 285; ++s)
      for (uint32_t n = 0; n < (1u << ((s - 266) / 4 + 1)); ++n) symbol[l++] = (uint16_t)s;
  }
};
inline constexpr LengthSymbolTable LENGTH_SYMBOLS{};

inline uint32_t lengthSymbol(uint32_t length) {
  return length >= 259 ? SYMBOL_LONG_LENGTH : LENGTH_SYMBOLS.symbol[length];
}
inline uint32_t lengthSymbolExtraBits(uint32_t symbol) {
  if (symbol < 266) return 0;
  if (symbol == SYMBOL_LONG_LENGTH) return 15;
  return lengthExtraBits(symbol);
}
inline uint32_t lengthSymbolBase(uint32_t symbol) {
  if (symbol < 266) return symbol - 255;
  if (symbol == SYMBOL_LONG_LENGTH) return 259;
  return lengthBase(symbol);
}

// Explicit distance symbol (6..41) for a distance of 5 or more.
inline uint32_t explicitDistanceSymbol(uint32_t distance) {
  uint32_t x = distance - 1;  // >= 4
  uint32_t m = 31 - (uint32_t)__builtin_clz(x);
  uint32_t half = (x >> (m - 1)) & 1;  // second-highest bit: upper half of the octave
  return DIST_SYMBOL_EXPLICIT + 2 * (m - 2) + half;
}
inline uint32_t distanceSymbolExtraBits(uint32_t symbol) {
  return symbol < DIST_SYMBOL_EXPLICIT ? 0 : distanceExtraBits(symbol);
}

}  // namespace jov
