#include "codec/huffman.h"

#include "codec/word_load.h"

void assignCodes(uint32_t* codes, const uint8_t* lengths, uint32_t count) {
  uint32_t lengthCount[MAX_CODE_LENGTH + 1];
  uint32_t next[MAX_CODE_LENGTH + 1];
  for (uint32_t l = 0; l <= MAX_CODE_LENGTH; ++l) lengthCount[l] = 0;
  for (uint32_t s = 0; s < count; ++s) ++lengthCount[lengths[s]];
  lengthCount[0] = 0;
  uint32_t code = 0;
  for (uint32_t l = 1; l <= MAX_CODE_LENGTH; ++l) {
    code = (code + lengthCount[l - 1]) << 1;
    next[l] = code;
  }
  for (uint32_t s = 0; s < count; ++s) {
    uint32_t l = lengths[s];
    if (l == 0) continue;
    uint32_t c = next[l]++, reversed = 0;
#ifdef JOV_STUB
    for (uint32_t b = 0; b < l; ++b) reversed |= ((c >> b) & 1) << (l - 1 - b);
#else
    // The host builds up to 4 x 63 code tables per block: reverse the low 16
    // bits by swapping bits, pairs, nibbles and bytes, then drop all but l.
    reversed = c & 0xFFFF;
    reversed = ((reversed >> 1) & 0x5555) | ((reversed & 0x5555) << 1);
    reversed = ((reversed >> 2) & 0x3333) | ((reversed & 0x3333) << 2);
    reversed = ((reversed >> 4) & 0x0F0F) | ((reversed & 0x0F0F) << 4);
    reversed = ((reversed >> 8) & 0x00FF) | ((reversed & 0x00FF) << 8);
    reversed >>= MAX_CODE_LENGTH - l;
#endif
    codes[s] = reversed;
  }
}

// Codes that are not a prefix code at all: a code longer than lookupBits is
// refused (false) when its path would have to pass through, or end on, a
// code of another length: a symbol in its lookup entry, a leaf before its
// last bit, or a node at its last bit. Only a code equal to an earlier code of
// the same length replaces it, as in the lookup. So every leaf lies exactly
// its symbol's length deep, walks end within MAX_CODE_LENGTH bits, and no
// entry outside the two arrays is ever read or written.
bool buildDecodeTable(int32_t* lookup, int32_t* tree, const uint32_t* codes, const uint8_t* lengths,
                      uint32_t lookupBits, uint32_t count) {
  uint32_t lookupSize = 1u << lookupBits;
  for (uint32_t i = 0; i < lookupSize; ++i) lookup[i] = EMPTY_ENTRY;
  for (uint32_t i = 0; i < 2 * count; ++i) tree[i] = EMPTY_ENTRY;
  int32_t nextNode = 1;
  for (uint32_t s = 0; s < count; ++s) {
    uint32_t length = lengths[s];
    if (length == 0) continue;
    uint32_t code = codes[s];
    if (length <= lookupBits) {
      for (uint32_t i = code; i < lookupSize; i += 1u << length) lookup[i] = (int32_t)s;
      continue;
    }
    uint32_t index = code & (lookupSize - 1), rest = code >> lookupBits;
    int32_t node = -lookup[index];
    if (lookup[index] == EMPTY_ENTRY) {
      if ((uint32_t)nextNode >= count) return false;  // node limit
      node = nextNode++;
      lookup[index] = -node;
    } else if (lookup[index] >= 0) {
      return false;  // a shorter code is a prefix of this one
    }
    uint32_t slot;
    for (uint32_t remaining = length - lookupBits;; ) {
      slot = 2 * (uint32_t)node + (rest & 1);
      rest >>= 1;
      if (--remaining == 0) break;
      int32_t entry = tree[slot];
      if (entry > 0) {
        node = entry;
      } else if (entry == EMPTY_ENTRY) {
        if ((uint32_t)nextNode >= count) return false;  // node limit
        node = nextNode++;
        tree[slot] = node;
      } else {
        return false;  // a shorter code is a prefix of this one
      }
    }
    if (tree[slot] > 0) return false;  // this code is a prefix of longer ones
    tree[slot] = -(int32_t)s;
  }
  return true;
}

int32_t decodeSymbol(const HuffmanTable* table, const uint8_t* lengths, const uint8_t** cursor,
                     uint32_t* bitOffset) {
  // 32 bits shifted by at most 7 leave 25, enough for any code.
  uint32_t bits = loadLe32(*cursor) >> *bitOffset;
  int32_t entry = table->lookup[bits & ((1u << table->lookupBits) - 1)];
  if (entry == EMPTY_ENTRY) return EMPTY_ENTRY;
  if (entry < 0) {
    uint32_t node = (uint32_t)-entry;
    bits >>= table->lookupBits;
    for (;;) {
      entry = table->tree[2 * node + (bits & 1)];
      bits >>= 1;
      if (entry <= 0) break;
      node = (uint32_t)entry;
    }
    if (entry == EMPTY_ENTRY) return EMPTY_ENTRY;
    entry = -entry;
  }
  uint32_t position = *bitOffset + lengths[entry];
  *cursor += position >> 3;
  *bitOffset = position & 7;
  return entry;
}
