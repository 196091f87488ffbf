// The LZ token model shared by the parsers and the block encoder: literals,
// and matches whose distance is coded by one of the recent distances r0/r1,
// a small distance, or an explicit distance. Symbols, extra bits and the
// recent-distance rule are format.h's.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "format.h"

namespace jov {

const uint32_t MAX_DIST_SYMBOLS = DIST0_SYMBOLS;  // the largest distance alphabet

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

// The block's recent distances r0 (the most recent) and r1, as the reader
// keeps them; both start at 0 in every block.
struct RecentDistances {
  uint32_t r0 = 0, r1 = 0;

  // The symbol that codes `distance` the cheapest way: a recent distance,
  // then a small one, else the explicit symbol.
  uint32_t symbolFor(uint32_t distance) const {
    if (distance == r0) return DIST_SYMBOL_REP0;
    if (distance == r1) return DIST_SYMBOL_REP1;
    if (distance <= SMALL_DISTANCE_MAX) return smallDistanceSymbol(distance);
    return explicitDistanceSymbol(distance);
  }
  // The update after a match sent with symbolFor(distance).
  void use(uint32_t distance) {
    if (distance == r0) return;
    if (distance == r1) {
      r1 = r0;
      r0 = distance;
      return;
    }
    if (distance <= SMALL_DISTANCE_MAX) return;
    r1 = r0;
    r0 = distance;
  }
};

inline uint32_t alphabetCount(bool threeAlphabets) { return threeAlphabets ? DIST_ALPHABETS_MAX : FIXED_SET_ALPHABETS; }

// Which distance alphabet codes a match of this length; `threeAlphabets` is
// whether the block uses distance alphabet 2.
inline uint32_t distanceAlphabetFor(uint32_t length, bool threeAlphabets) {
  return distanceAlphabetOf(length, alphabetCount(threeAlphabets));
}

// The length symbol of every length below LONG_LENGTH_BASE (0 and 1 unused).
struct LengthSymbolTable {
  uint16_t symbol[LONG_LENGTH_BASE];
  constexpr LengthSymbolTable() : symbol() {
    for (uint32_t s = SYMBOL_FIRST_LENGTH; s < SYMBOL_LONG_LENGTH; ++s)
      for (uint32_t n = 0; n < (1u << lengthExtraBits(s)); ++n) symbol[lengthBase(s) + n] = (uint16_t)s;
  }
};
inline constexpr LengthSymbolTable lengthSymbolTable{};

inline uint32_t lengthSymbol(uint32_t length) {
  return length >= LONG_LENGTH_BASE ? SYMBOL_LONG_LENGTH : lengthSymbolTable.symbol[length];
}
inline uint32_t distanceSymbolExtraBits(uint32_t symbol) {
  return symbol < DIST_SYMBOL_EXPLICIT ? 0 : distanceExtraBits(symbol);
}

}  // namespace jov
