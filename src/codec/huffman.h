// Prefix-code tables: canonical codes from code lengths (RFC 1951 order, the
// code's first bit in bit 0) and a decoding table of a lookup array plus an
// overflow tree.
//
// Entries (signed 32-bit):
//   lookup, indexed by the next `lookupBits` input bits:
//     >= 0         the symbol (its code has at most lookupBits bits)
//     EMPTY_ENTRY  no code begins with these bits
//     -k           the code is longer; tree node k resolves the rest
//   tree, node k (1 .. symbolCount - 1) at entries 2k (next bit 0), 2k + 1:
//     > 0          the next node
//     EMPTY_ENTRY  no code continues this way
//     0 or -s      a leaf: symbol s
// The table stores no lengths: after a symbol the caller advances the input
// by that symbol's length from the array the table was built from.
#pragma once

#include <stdint.h>

#include "format.h"
#include "result.h"

struct HuffmanTable {
  int32_t* lookup;       // 1 << lookupBits entries
  int32_t* tree;         // 2 * symbolCount entries
  uint32_t lookupBits;   // at most MAX_CODE_LENGTH
  uint32_t symbolCount;  // at most LITLEN_SYMBOLS
};

// codes[s] = the canonical code of symbol s, bit-reversed; symbols of length
// 0 keep their slot untouched. Lengths must be 0..MAX_CODE_LENGTH.
void assignCodes(uint32_t* codes, const uint8_t* lengths, uint32_t count);

// Fills lookup (1 << lookupBits) and tree (2 * count) from the codes and
// lengths. False when the lengths need more than count - 1 tree nodes or a
// code longer than lookupBits would have to continue below a shorter code
// (the lengths are then over-subscribed, no prefix code; the caller, which
// knows the alphabet, refuses them); an over-subscribed set otherwise builds,
// a later symbol replacing an earlier one on the same code.
bool buildDecodeTable(int32_t* lookup, int32_t* tree, const uint32_t* codes,
                            const uint8_t* lengths, uint32_t lookupBits, uint32_t count);

// Decodes one symbol at (*cursor, *bitOffset) and advances past its code;
// EMPTY_ENTRY (cursor unchanged) when no code matches. Reads the 32-bit word
// at *cursor: the caller keeps 4 readable bytes there.
int32_t decodeSymbol(const HuffmanTable* table, const uint8_t* lengths, const uint8_t** cursor,
                     uint32_t* bitOffset);
