// Host-only wide decoding tables.
//
// Packers send complete codes (every bit string starts a code): those are
// built here directly, in canonical order, without the reference lookup and
// tree. A complete code is a prefix code whose trie has n - 1 inner nodes for
// n symbols, so the reference builder accepts it, and both assign the same
// canonical codes. Anything else (an incomplete, over-subscribed or
// malformed set) is built by the reference builder, which decides whether it
// is refused, and its lookup and tree are then spread into the wide form.
#ifndef JOV_STUB

#include "codec/fast_tables.h"

#include <string.h>

#include "codec/huffman.h"

namespace {

const uint32_t EMPTY_FAST = K_EMPTY << FAST_KIND_SHIFT;

inline uint32_t codedEntry(const uint32_t* rule, uint32_t symbol, uint32_t codeLength) {
  return rule[symbol] + (codeLength << FAST_CODE_SHIFT) + codeLength;
}

inline uint32_t subtableLink(uint32_t start, uint32_t bits, uint32_t payloadShift) {
  return (K_SUBTABLE << FAST_KIND_SHIFT) | (start << payloadShift) | bits;
}

// The next canonical code of `length` bits, kept bit-reversed (first bit in
// bit 0): adding 1 to the code carries from its last bit, the reversed
// form's top bit, down. The reversed code of the first code one bit longer
// is the same number, so it carries over between lengths unchanged.
inline uint32_t nextReversedCode(uint32_t code, uint32_t length) {
  uint32_t bit = 1u << (length - 1);
  while (code & bit) bit >>= 1;
  return (code & (bit - 1)) | bit;
}

// Complete codes only (count[1..MAX_CODE_LENGTH] checked by the caller).
void buildComplete(uint32_t* table, uint32_t mainBits, const uint8_t* lengths, uint32_t symbols,
                   const uint32_t* count, const uint32_t* rule, uint32_t payloadShift) {
  uint16_t sorted[LITLEN_SYMBOLS];
  uint32_t offset[MAX_CODE_LENGTH + 2];
  offset[1] = 0;
  for (uint32_t l = 1; l <= MAX_CODE_LENGTH; ++l) offset[l + 1] = offset[l] + count[l];
  for (uint32_t s = 0; s < symbols; ++s)
    if (lengths[s]) sorted[offset[lengths[s]]++] = (uint16_t)s;

  // Codes of at most mainBits bits, shortest first: each goes to its one
  // slot in a table of 2^length entries, which then doubles for the next
  // length, so every code ends up in all the slots its bits select. Slots
  // not yet written hold what the next longer codes write over them.
  uint32_t length = 1;
  while (count[length] == 0) ++length;
  uint32_t code = 0, next = 0, size = 1u << length;
  for (; length <= mainBits; ++length) {
    for (uint32_t k = 0; k < count[length]; ++k, ++next) {
      table[code] = codedEntry(rule, sorted[next], length);
      code = nextReversedCode(code, length);
    }
    if (length == mainBits) break;  // reached: a complete code of < 2^mainBits symbols has a shorter code
    memcpy(table + size, table, size * sizeof *table);
    size *= 2;
  }

  // Longer codes: the codes sharing their first mainBits bits are adjacent
  // in canonical order and fill a complete subtree, whose depth below the
  // main table is the subtable's width: the first width at which the codes
  // still to place, from this one, fill it.
  uint32_t left[MAX_CODE_LENGTH + 1];
  memcpy(left, count, sizeof left);
  const uint32_t mainMask = (1u << mainBits) - 1;
  uint32_t end = 1u << mainBits, prefix = ~0u, start = 0, width = 0;
  for (length = mainBits + 1; length <= MAX_CODE_LENGTH; ++length) {
    for (; left[length]; --left[length], ++next) {
      if ((code & mainMask) != prefix) {
        prefix = code & mainMask;
        start = end;
        width = length - mainBits;
        uint32_t filled = left[length];
        while (filled < (1u << width)) {
          ++width;
          filled = 2 * filled + left[mainBits + width];
        }
        end += 1u << width;
        table[prefix] = subtableLink(start, width, payloadShift);
      }
      uint32_t entry = codedEntry(rule, sorted[next], length - mainBits);
      for (uint32_t i = code >> mainBits; i < (1u << width); i += 1u << (length - mainBits))
        table[start + i] = entry;
      code = nextReversedCode(code, length);
    }
  }
}

// Depth of the deepest leaf below tree node `node` (0 for the node itself).
uint32_t subtreeDepth(const int32_t* tree, uint32_t node) {
  uint32_t deepest = 0;
  for (uint32_t bit = 0; bit < 2; ++bit) {
    int32_t e = tree[2 * node + bit];
    uint32_t depth = e > 0 ? 1 + subtreeDepth(tree, (uint32_t)e) : e != EMPTY_ENTRY ? 1 : 0;
    if (depth > deepest) deepest = depth;
  }
  return deepest;
}

// The entry for the bits `bits` below tree node `node`, whose code so far is
// `depth` bits long, walking at most `limit` more bits; the node reached
// when the walk stops at the limit (else 0).
uint32_t walkEntry(const int32_t* tree, const uint8_t* lengths, const uint32_t* rule, uint32_t node,
                   uint32_t bits, uint32_t limit, uint32_t lengthBias, uint32_t* stoppedAt) {
  *stoppedAt = 0;
  for (uint32_t i = 0; i < limit; ++i) {
    int32_t e = tree[2 * node + ((bits >> i) & 1)];
    if (e > 0) {
      node = (uint32_t)e;
      continue;
    }
    if (e == EMPTY_ENTRY) return EMPTY_FAST;
    uint32_t s = (uint32_t)-e;
    return codedEntry(rule, s, lengths[s] - lengthBias);
  }
  *stoppedAt = node;
  return 0;
}

// Any set: the reference builder decides, and its lookup and tree (every
// leaf lies its symbol's length deep) are spread into the main table and
// subtables below the nodes that reach past it.
bool buildThroughReference(uint32_t* table, uint32_t mainBits, uint32_t lookupBits, const uint8_t* lengths,
                                 uint32_t symbols, const uint32_t* rule, uint32_t payloadShift) {
  uint32_t codes[LITLEN_SYMBOLS];
  int32_t lookup[1u << LITLEN_LOOKUP_BITS];
  int32_t tree[2 * LITLEN_SYMBOLS];
  assignCodes(codes, lengths, symbols);
  if (!buildDecodeTable(lookup, tree, codes, lengths, lookupBits, symbols)) return false;

  uint32_t end = 1u << mainBits;
  for (uint32_t i = 0; i < (1u << mainBits); ++i) {
    int32_t e = lookup[i & ((1u << lookupBits) - 1)];
    if (e == EMPTY_ENTRY) {
      table[i] = EMPTY_FAST;
    } else if (e >= 0) {
      table[i] = codedEntry(rule, (uint32_t)e, lengths[e]);
    } else {
      uint32_t node;
      table[i] = walkEntry(tree, lengths, rule, (uint32_t)-e, i >> lookupBits, mainBits - lookupBits, 0, &node);
      if (!node) continue;
      uint32_t width = subtreeDepth(tree, node), unused;
      table[i] = subtableLink(end, width, payloadShift);
      for (uint32_t k = 0; k < (1u << width); ++k)
        table[end + k] = walkEntry(tree, lengths, rule, node, k, width, mainBits, &unused);
      end += 1u << width;
    }
  }
  return true;
}

}  // namespace

bool buildFastTable(uint32_t* table, const FastAlphabet& alphabet, const uint8_t* lengths, uint32_t symbols,
                    const uint32_t* rule) {
  const uint32_t mainBits = alphabet.mainBits, payloadShift = alphabet.payloadShift;
  uint32_t count[MAX_CODE_LENGTH + 1] = {};
  for (uint32_t s = 0; s < symbols; ++s) ++count[lengths[s]];
  // Code space left, in units of the current length's codes: 0 at the end
  // for a complete code, negative once over-subscribed.
  int32_t space = 1;
  for (uint32_t l = 1; l <= MAX_CODE_LENGTH && space >= 0; ++l) space = 2 * space - (int32_t)count[l];
  if (space == 0) {
    buildComplete(table, mainBits, lengths, symbols, count, rule, payloadShift);
    return true;
  }
  if (count[0] == symbols) {
    for (uint32_t i = 0; i < (1u << mainBits); ++i) table[i] = EMPTY_FAST;
    return true;
  }
  return buildThroughReference(table, mainBits, alphabet.lookupBits, lengths, symbols, rule, payloadShift);
}

#endif
