// LZ block decoder, the stub's, and the reference the host's fast decoder
// (fast_decoder.cpp) keeps to; bit reader and table-set loop in coded_block.h.
//
// One symbol step (literal, or match with its extra bits and distance) tests
// inputEnd once, at its start, as the block input's lookahead allows: from a
// cursor before inputEnd it uses at most 65 bits, all within the 8 held-back
// bytes. Refills inside a step follow the budget below; the words they load
// reach MAX_OVERREAD bytes past inputEnd, inside the block input's cleared
// tail (never into unallocated or uninitialised memory).
//
// Tables. Each table set is built into the reference lookup-plus-tree form
// (huffman.h) and then widened into a "fast" table indexed by more bits, whose
// entries carry symbol and code length together:
//   >= 0         (symbol << ENTRY_LENGTH_BITS) | code length
//   EMPTY_ENTRY  no code begins with these bits
//   -k           longer code: walk the tree from node k with the next bits
// Derived by walking the reference table, so it decodes exactly what the
// reference table decodes, over-subscribed sets included. The stub decodes
// from the reference lookups themselves: its entries are the bare symbols,
// whose code lengths it reads from the set as it consumes them. That saves
// 14 KB of stack and the code that widens, and packing the length into the
// entry would only be undone again at once.
//
// Readings of what the format leaves open (the packer writes none of these):
// - distanceAlphabets 1: sets still hold SET_SIZE_2 lengths; the lengths of
//   alphabet 1 are ignored and every match, length 2 included, takes its
//   distance from alphabet 0. Likewise a length-3 match uses alphabet 0 when
//   alphabet 2 has no table (distanceAlphabets 3 with the fixed set).
// - literal/length symbol 287 is damaged data.
// - a distance of 0 (a repeat symbol before the block has named enough
//   explicit distances) is damaged data: copying "in place" would pass on
//   whatever the output buffer held there, possibly never-written memory.
// - a match that runs past the requested length is cut at it: the bytes up to
//   there are what a whole copy would have written, and nothing is written
//   outside the caller's area.
// - a step that needs bits beyond the block's loaded bytes while the file has
//   none left (the archive is cut short inside it) is dropped with its
//   output: the zeros behind inputEnd are no data, and a symbol made of them
//   would put an invented byte into a name of an unchecked directory block.
#include "codec/lz_decoder.h"

#include "codec/coded_block.h"
#include "codec/fast_decoder.h"
#include "codec/huffman.h"

namespace {

// Worst-case bits of the fields of one step.
const uint32_t LITLEN_CODE_MAX = MAX_CODE_LENGTH;
const uint32_t LENGTH_EXTRA_MAX = LONG_LENGTH_EXTRA_BITS;
const uint32_t DIST_CODE_MAX = MAX_CODE_LENGTH;
const uint32_t STEP_BITS_MAX = LITLEN_CODE_MAX + LENGTH_EXTRA_MAX + DIST_CODE_MAX + DIST_EXTRA_MAX;
static_assert(STEP_BITS_MAX <= 8 * INPUT_LOOKAHEAD + 1,
              "a step begun before inputEnd must end within the held-back lookahead");

// Refill plan: at the step's start, before the length's extra bits when the
// code and the extra bits do not fit one refill (the stub), before the
// distance code, and before the distance's extra bits when code and extra bits
// do not fit one refill (the stub).
const bool REFILL_BEFORE_LENGTH_EXTRA = REFILL_GUARANTEE < LITLEN_CODE_MAX + LENGTH_EXTRA_MAX;
const bool REFILL_BEFORE_DIST_EXTRA = REFILL_GUARANTEE < DIST_CODE_MAX + DIST_EXTRA_MAX;
static_assert(REFILL_GUARANTEE >= LITLEN_CODE_MAX && REFILL_GUARANTEE >= LENGTH_EXTRA_MAX &&
                  REFILL_GUARANTEE >= DIST_CODE_MAX && REFILL_GUARANTEE >= DIST_EXTRA_MAX,
              "every single field must fit one refill");

// The last refill of a step comes at most this many bits after its start.
const uint32_t LAST_REFILL_AT =
    REFILL_BEFORE_DIST_EXTRA ? LITLEN_CODE_MAX + LENGTH_EXTRA_MAX + DIST_CODE_MAX
                             : LITLEN_CODE_MAX + LENGTH_EXTRA_MAX;
// A step starts at bit <= inputEnd * 8 - 1; a refill at logical bit P loads
// the word at in <= P / 8 + WORD_BYTES.
const uint32_t MAX_OVERREAD = (LAST_REFILL_AT - 1) / 8 + 2 * WORD_BYTES;
static_assert(MAX_OVERREAD <= INPUT_LOOKAHEAD + INPUT_BUFFER_SLACK,
              "word loads must stay inside the block input's cleared tail");

#ifdef JOV_STUB
const uint32_t LITLEN_FAST_BITS = LITLEN_LOOKUP_BITS;
const uint32_t DIST_FAST_BITS = DIST_LOOKUP_BITS;
#else
const uint32_t LITLEN_FAST_BITS = 11;
const uint32_t DIST_FAST_BITS = 9;
#endif
static_assert(LITLEN_FAST_BITS >= LITLEN_LOOKUP_BITS && DIST_FAST_BITS >= DIST_LOOKUP_BITS,
              "fast tables widen the reference lookups");

// A fast entry's low bits hold the code length, the rest the symbol (the host's only).
const uint32_t ENTRY_LENGTH_BITS = 8;
static_assert(MAX_CODE_LENGTH < (1u << ENTRY_LENGTH_BITS), "a code length fits its entry field");
[[maybe_unused]] inline int32_t makeEntry(uint32_t symbol, uint32_t codeLength) {
  return (int32_t)((symbol << ENTRY_LENGTH_BITS) | codeLength);
}
#ifdef JOV_STUB
inline int32_t leafEntry(uint32_t symbol, const uint8_t*) { return (int32_t)symbol; }
inline uint32_t entrySymbol(int32_t entry) { return (uint32_t)entry; }
inline uint32_t entryCodeLength(int32_t entry, const uint8_t* lengths) { return lengths[entry]; }
#else
inline int32_t leafEntry(uint32_t symbol, const uint8_t* lengths) { return makeEntry(symbol, lengths[symbol]); }
inline uint32_t entrySymbol(int32_t entry) { return (uint32_t)entry >> ENTRY_LENGTH_BITS; }
inline uint32_t entryCodeLength(int32_t entry, const uint8_t*) {
  return (uint32_t)entry & ((1u << ENTRY_LENGTH_BITS) - 1);
}
#endif

struct DecodeTables {
  int32_t litLookup[1u << LITLEN_LOOKUP_BITS];
  int32_t litTree[2 * LITLEN_SYMBOLS];
#ifndef JOV_STUB
  int32_t litFast[1u << LITLEN_FAST_BITS];
#endif
  int32_t distLookup[DIST_ALPHABETS_MAX][1u << DIST_LOOKUP_BITS];
  int32_t distTree[DIST_ALPHABETS_MAX][2 * DIST0_SYMBOLS];
#ifndef JOV_STUB
  int32_t distFast[DIST_ALPHABETS_MAX][1u << DIST_FAST_BITS];
#endif
  uint32_t codes[LITLEN_SYMBOLS];
  const uint8_t* distLengths[DIST_ALPHABETS_MAX];
  const uint8_t* litLengths;
  // Per length symbol, from SYMBOL_FIRST_LENGTH: base, extra bits, distance alphabet.
  uint16_t lengthBaseOf[LENGTH_SYMBOL_COUNT];
  uint8_t lengthExtraOf[LENGTH_SYMBOL_COUNT];
  uint8_t alphabetOf[LENGTH_SYMBOL_COUNT];
  // Per explicit distance symbol (below DIST_SYMBOL_EXPLICIT unused).
  uint32_t distBaseOf[DIST0_SYMBOLS];
  uint8_t distExtraOf[DIST0_SYMBOLS];

  // The decoder that decodeCodedBlock (coded_block.h) drives.
  void startBlock(uint32_t alphabetsWithTables);
  bool buildLiteralTable(const uint8_t* lengths);
  bool buildDistanceTable(uint32_t a, const uint8_t* lengths, uint32_t count);
  Step decodeSet(BitReader& r, Output& o) const;
};

// The fast entries of the next bits: literal/length, distance alphabet `a`.
#ifdef JOV_STUB
inline int32_t litEntry(const DecodeTables& t, Word bits) {
  return t.litLookup[bits & ((1u << LITLEN_FAST_BITS) - 1)];
}
inline int32_t distEntry(const DecodeTables& t, uint32_t a, Word bits) {
  return t.distLookup[a][bits & ((1u << DIST_FAST_BITS) - 1)];
}
void widenLiteralTable(DecodeTables*) {}
void widenDistanceTable(DecodeTables*, uint32_t) {}
#else
inline int32_t litEntry(const DecodeTables& t, Word bits) {
  return t.litFast[bits & ((1u << LITLEN_FAST_BITS) - 1)];
}
inline int32_t distEntry(const DecodeTables& t, uint32_t a, Word bits) {
  return t.distFast[a][bits & ((1u << DIST_FAST_BITS) - 1)];
}

void buildFastTable(int32_t* fast, uint32_t fastBits, const int32_t* lookup, const int32_t* tree,
                    uint32_t lookupBits, const uint8_t* lengths) {
  uint32_t lookupMask = (1u << lookupBits) - 1;
  for (uint32_t i = 0; i < (1u << fastBits); ++i) {
    int32_t entry = lookup[i & lookupMask];
    int32_t result;
    if (entry >= 0) {
      result = makeEntry((uint32_t)entry, lengths[entry]);
    } else if (entry == EMPTY_ENTRY) {
      result = EMPTY_ENTRY;
    } else {
      uint32_t node = (uint32_t)-entry;
      result = entry;
      for (uint32_t depth = lookupBits; depth < fastBits; ++depth) {
        int32_t next = tree[2 * node + ((i >> depth) & 1)];
        if (next > 0) {
          node = (uint32_t)next;
          result = -next;
          continue;
        }
        result = next == EMPTY_ENTRY ? EMPTY_ENTRY : makeEntry((uint32_t)-next, lengths[-next]);
        break;
      }
    }
    fast[i] = result;
  }
}

void widenLiteralTable(DecodeTables* t) {
  buildFastTable(t->litFast, LITLEN_FAST_BITS, t->litLookup, t->litTree, LITLEN_LOOKUP_BITS, t->litLengths);
}
void widenDistanceTable(DecodeTables* t, uint32_t a) {
  buildFastTable(t->distFast[a], DIST_FAST_BITS, t->distLookup[a], t->distTree[a], DIST_LOOKUP_BITS,
                 t->distLengths[a]);
}
#endif

// Codes longer than the fast width: the rest of the walk, bit by bit. `bits`
// starts with the bit after the fast index.
__attribute__((noinline)) int32_t walkTree(const int32_t* tree, const uint8_t* lengths, int32_t link,
                                           Word bits) {
  uint32_t node = (uint32_t)-link;
  for (;;) {
    int32_t entry = tree[2 * node + (bits & 1)];
    bits >>= 1;
    if (entry > 0) {
      node = (uint32_t)entry;
    } else {
      return entry == EMPTY_ENTRY ? EMPTY_ENTRY : leafEntry((uint32_t)-entry, lengths);
    }
  }
}

#ifndef JOV_STUB
inline void countEntries(uint32_t n) { tableEntriesBuilt += n; }
#else
inline void countEntries(uint32_t) {}
#endif

bool DecodeTables::buildLiteralTable(const uint8_t* lengths) {
  litLengths = lengths;
  assignCodes(codes, lengths, LITLEN_SYMBOLS);
  if (!buildDecodeTable(litLookup, litTree, codes, lengths, LITLEN_LOOKUP_BITS, LITLEN_SYMBOLS)) return false;
  widenLiteralTable(this);
  countEntries((1u << LITLEN_FAST_BITS) + 2 * LITLEN_SYMBOLS);
  return true;
}

bool DecodeTables::buildDistanceTable(uint32_t a, const uint8_t* lengths, uint32_t count) {
  distLengths[a] = lengths;
  assignCodes(codes, lengths, count);
  if (!buildDecodeTable(distLookup[a], distTree[a], codes, lengths, DIST_LOOKUP_BITS, count)) return false;
  widenDistanceTable(this, a);
  countEntries((1u << DIST_FAST_BITS) + 2 * count);
  return true;
}

// Length and distance rules, worked out per call from format.h's rules.
void DecodeTables::startBlock(uint32_t alphabetsWithTables) {
  for (uint32_t i = 0; i < LENGTH_SYMBOL_COUNT; ++i) {
    uint32_t symbol = SYMBOL_FIRST_LENGTH + i;
    lengthBaseOf[i] = (uint16_t)lengthBase(symbol);
    lengthExtraOf[i] = (uint8_t)lengthExtraBits(symbol);
    alphabetOf[i] = (uint8_t)distanceAlphabetOf(lengthBaseOf[i], alphabetsWithTables);
  }
  for (uint32_t s = DIST_SYMBOL_EXPLICIT; s < DIST0_SYMBOLS; ++s) {
    distBaseOf[s] = distanceBase(s);
    distExtraOf[s] = (uint8_t)distanceExtraBits(s);
  }
}

// Copies `length` bytes from `distance` back, with the result of a forward
// byte-by-byte copy (overlaps repeat the bytes just written). The stub does
// just that copy, long ones by its string move.
inline void copyMatch(uint8_t* out, uint32_t distance, uint32_t length) {
  const uint8_t* from = out - distance;
#ifndef JOV_STUB
  if (length >= 16) {
    if (distance < 8) {
      // The bytes from `from` on repeat with period `distance`, and so with
      // any multiple of it: once one multiple of at least 8 lies behind the
      // output, whole words can be copied from that far back.
      uint32_t stride = distance * ((8 + distance - 1) / distance);
      for (uint32_t i = distance; i < stride; ++i) *out++ = *from++;
      length -= stride - distance;
      from = out - stride;
    }
    for (; length >= 8; length -= 8, out += 8, from += 8) {
      uint64_t word;
      memcpy(&word, from, 8);
      memcpy(out, &word, 8);
    }
  }
#else
  // The string move has a start-up cost of its own: most matches are short.
  if (length < 32) {
    for (; length; --length) *out++ = *from++;
    return;
  }
#endif
  copyForward(out, from, length);
}

// One symbol step: a literal, or a match with its extra bits and distance.
JOV_ALWAYS_INLINE Step step(const DecodeTables& t, BitReader& r, Output& o) {
  r.refill();
  int32_t entry = litEntry(t, r.bits);
  if (entry < 0) {
    if (entry == EMPTY_ENTRY) return Step::EndOfBlock;
    entry = walkTree(t.litTree, t.litLengths, entry, r.bits >> LITLEN_FAST_BITS);
    if (entry == EMPTY_ENTRY) return Step::EndOfBlock;
  }
  uint32_t symbol = entrySymbol(entry);
  r.consume(entryCodeLength(entry, t.litLengths));
  if (symbol < SYMBOL_END_OF_SET) {
    *o.pos++ = (uint8_t)symbol;
    return Step::Next;
  }
  if (symbol == SYMBOL_END_OF_SET) return Step::EndOfSet;
  if (symbol == SYMBOL_UNUSED) return refuse(DAMAGED_VALUE("unused literal/length symbol", symbol));

  uint32_t li = symbol - SYMBOL_FIRST_LENGTH;
  if (REFILL_BEFORE_LENGTH_EXTRA) r.refill();
  uint32_t length = t.lengthBaseOf[li] + r.take(t.lengthExtraOf[li]);

  r.refill();
  uint32_t a = t.alphabetOf[li];
  entry = distEntry(t, a, r.bits);
  if (entry < 0) {
    if (entry == EMPTY_ENTRY) return Step::EndOfBlock;
    entry = walkTree(t.distTree[a], t.distLengths[a], entry, r.bits >> DIST_FAST_BITS);
    if (entry == EMPTY_ENTRY) return Step::EndOfBlock;
  }
  uint32_t ds = entrySymbol(entry);
  r.consume(entryCodeLength(entry, t.distLengths[a]));
  uint32_t distance;
  if (ds >= DIST_SYMBOL_EXPLICIT) {
    if (REFILL_BEFORE_DIST_EXTRA) r.refill();
    distance = t.distBaseOf[ds] + r.take(t.distExtraOf[ds]);
    o.recent1 = o.recent0;
    o.recent0 = distance;
  } else if (ds >= DIST_SYMBOL_SMALL) {
    distance = smallDistance(ds);
  } else if (ds == DIST_SYMBOL_REP1) {
    distance = o.recent1;
    o.recent1 = o.recent0;
    o.recent0 = distance;
  } else {
    distance = o.recent0;
  }
  if (distance == 0) return refuse(DAMAGED("repeated distance before any distance"));
  placeMatch<copyMatch>(o, distance, length);
  return Step::Next;
}

// Steps with one table set until a step ends the set or the block. Tests the
// input once per step, refilling the block input at its end.
Step DecodeTables::decodeSet(BitReader& r, Output& o) const {
  for (;;) {
    const Step ready = beforeStep(r, o);
    if (ready != Step::Next) return ready;
    o.stepStart = o.pos;
    Step result = step(*this, r, o);
    if (result != Step::Next) return result;
  }
}

}  // namespace

#ifndef JOV_STUB
uint64_t tableEntriesBuilt;
#endif

int32_t decodeBlock(uint8_t* buffer, uint32_t historyLength, uint32_t requested) {
#ifndef JOV_STUB
  if (fastDecoderEnabled) return decodeBlockFast(buffer, historyLength, requested);
#endif
  return decodeCodedBlock<DecodeTables>(buffer, historyLength, requested);
}
