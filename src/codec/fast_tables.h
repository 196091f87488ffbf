// Host-only wide decoding tables for the fast block decoder: one lookup per
// symbol (two for codes longer than the table), entries that carry what the
// decoder does with the symbol.
#pragma once

#ifndef JOV_STUB
#include <stdint.h>

#include "format.h"
#include "result.h"

// Table entries, 32 bits:
//   bits 0..4   bits to consume: code length plus extra bits; in a subtable
//               link, the subtable's index width
//   bits 5..8   code length (in a subtable, the bits after the main table's)
//   bits 9..11  kind
//   literal/length: bits 12..13 the match's distance alphabet, 16..31 the
//                   literal, the length base or the subtable's start
//   distance:       bits 12..31 the distance base or the subtable's start
// A rule is the entry of a symbol without its code; an entry adds its code
// length to both fields.
const uint32_t FAST_TOTAL_MASK = 0x1F;
const uint32_t FAST_CODE_SHIFT = 5;
const uint32_t FAST_CODE_MASK = 0xF;
const uint32_t FAST_KIND_SHIFT = 9;
const uint32_t FAST_KIND_MASK = 7;
const uint32_t FAST_ALPHABET_SHIFT = 12;
const uint32_t FAST_LIT_PAYLOAD_SHIFT = 16;
const uint32_t FAST_DIST_PAYLOAD_SHIFT = 12;

enum FastKind : uint32_t {
  K_LITERAL = 0,
  K_LENGTH = 1,
  K_END_OF_SET = 2,
  K_INVALID = 3,
  K_EXPLICIT = 0,  // distance kinds
  K_SHORT = 1,
  K_REPEAT0 = 2,
  K_REPEAT1 = 3,
  K_EMPTY = 4,     // no code begins with these bits
  K_SUBTABLE = 5,  // a longer code: look up the next bits in the subtable
};

// An alphabet's table: main table width, and the reference lookup's width,
// on which the reference's refusal of malformed sets depends.
struct FastAlphabet {
  uint32_t mainBits, lookupBits, payloadShift;
};
const uint32_t LIT_TABLE_BITS = 11;
const uint32_t DIST_TABLE_BITS = 8;
const FastAlphabet LIT_ALPHABET = {LIT_TABLE_BITS, LITLEN_LOOKUP_BITS, FAST_LIT_PAYLOAD_SHIFT};
const FastAlphabet DIST_ALPHABET = {DIST_TABLE_BITS, DIST_LOOKUP_BITS, FAST_DIST_PAYLOAD_SHIFT};
static_assert(LIT_TABLE_BITS > LITLEN_LOOKUP_BITS && DIST_TABLE_BITS > DIST_LOOKUP_BITS,
              "the wide tables extend the reference lookups");
static_assert(LITLEN_SYMBOLS <= 1u << LIT_TABLE_BITS && DIST0_SYMBOLS <= 1u << DIST_TABLE_BITS,
              "a complete code has a code no longer than the main table");

// Room for the subtables of a set the reference builder accepts: a subtable
// of width d hangs below d tree nodes of its own at or past the main table's
// depth, and an alphabet of n symbols has at most n - 1 nodes; 2^d / d grows
// with d, so the widest subtables (d = MAX_CODE_LENGTH - main bits) with the
// nodes left over in one last subtable fill the most.
constexpr uint32_t subtableRoom(uint32_t symbols, uint32_t mainBits) {
  uint32_t nodes = symbols - 1, widest = MAX_CODE_LENGTH - mainBits;
  return (nodes / widest << widest) + (nodes % widest ? 1u << nodes % widest : 0);
}
const uint32_t LIT_TABLE_SIZE = (1u << LIT_TABLE_BITS) + subtableRoom(LITLEN_SYMBOLS, LIT_TABLE_BITS);
const uint32_t DIST_TABLE_SIZE = (1u << DIST_TABLE_BITS) + subtableRoom(DIST0_SYMBOLS, DIST_TABLE_BITS);

// Fills `table` (main table of 1 << mainBits entries, then subtables) for the
// code `lengths` (each 0..MAX_CODE_LENGTH) of `count` symbols; rule[s] is
// symbol s's entry without its code. Decodes what the reference table
// (huffman.h) decodes and refuses what it refuses (false): a complete code,
// or one without symbols, is built directly; any other set goes through the
// reference builder.
bool buildFastTable(uint32_t* table, const FastAlphabet& alphabet, const uint8_t* lengths, uint32_t count,
                          const uint32_t* rule);
#endif
