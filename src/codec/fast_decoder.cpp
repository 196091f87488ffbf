// Host-only block decoder.
//
// Decodes what the reference decoder (lz_decoder.cpp) decodes: the tables
// (fast_tables.h) accept, refuse and decode every set as the reference's
// lookup-plus-tree build (huffman.h) does, and every step consumes the same
// fields in the same order. What differs is how the work is done:
// - one wide table per alphabet whose entries carry the kind of symbol, the
//   code length and, for lengths and distances, the base and the extra-bit
//   count: a length or a distance costs one lookup (two for codes longer
//   than the main table), and one shift consumes code and extra bits together;
// - a fast loop without per-symbol bounds checks while the input and output
//   margins below hold, which decodes up to three literals per refill and
//   looks up the next literal/length entry before a match is copied;
// - word-wide match copies that may write past the match (never past the
//   block's end), with their own paths for distance 1 and distances below 8;
// - a careful step, the reference's step, for everything near the ends of
//   the input or output and for the rare symbols (end of set, symbol 287, no
//   code), so the block's end is found exactly where the reference finds it.
// A code that starts no entry (EMPTY) is never consumed: the reference ends
// the block before it.
//
// Bit reader, table-set loop and the block's end are the reference's
// (coded_block.h); on the host a refill loads the 8 bytes at `in`, so right
// after it all 64 bits are input bits, and after consuming c bits 64 - c of
// them still are.
#ifndef JOV_STUB

#include "codec/fast_decoder.h"

#include "codec/coded_block.h"
#include "codec/fast_tables.h"
#include "codec/lz_decoder.h"

bool fastDecoderEnabled = true;

namespace {

static_assert(BITBUF_BITS == 64, "the margins below count on the host's 64-bit reader");

const uint32_t LIT_TABLE_MASK = (1u << LIT_TABLE_BITS) - 1;
const uint32_t DIST_TABLE_MASK = (1u << DIST_TABLE_BITS) - 1;

// Widest fields of one step.
const uint32_t LENGTH_EXTRA_MAX = LONG_LENGTH_EXTRA_BITS;
const uint32_t STEP_BITS_MAX = MAX_CODE_LENGTH + LENGTH_EXTRA_MAX + MAX_CODE_LENGTH + DIST_EXTRA_MAX;
static_assert(STEP_BITS_MAX <= 8 * INPUT_LOOKAHEAD + 1, "the careful step relies on the lookahead like the reference");
static_assert(MAX_CODE_LENGTH + LENGTH_EXTRA_MAX <= REFILL_GUARANTEE &&
                  MAX_CODE_LENGTH + DIST_EXTRA_MAX <= REFILL_GUARANTEE,
              "a step refills twice: before the literal/length code and before the distance code");

// Fast loop margins. One iteration decodes up to two literals with table
// codes (at most LIT_TABLE_BITS each) and then a literal or a whole match:
// its bits all lie within FAST_ITERATION_BITS after the cursor, which lies
// before `in`; so with FAST_INPUT_MARGIN bytes between `in` and inputEnd at
// the iteration's start, every bit it consumes is real input. Its loads (the
// refill entering the loop, then two per iteration, each moving `in` by at
// most 7 bytes and reading 8) end at most FAST_LOAD_REACH bytes after `in`,
// inside the block input's cleared tail.
const uint32_t FAST_LITERALS = 3;
const uint32_t FAST_ITERATION_BITS = 2 * LIT_TABLE_BITS + STEP_BITS_MAX;  // 87
const uint32_t FAST_INPUT_MARGIN = 24;
const uint32_t FAST_LOAD_REACH = 3 * (WORD_BYTES - 1) + WORD_BYTES;  // 29
static_assert(FAST_INPUT_MARGIN * 8 >= FAST_ITERATION_BITS, "an iteration's bits end before inputEnd");
static_assert(FAST_LOAD_REACH <= FAST_INPUT_MARGIN + INPUT_LOOKAHEAD + INPUT_BUFFER_SLACK,
              "the fast loop's loads stay inside the block input's buffer");
static_assert(2 * LIT_TABLE_BITS + MAX_CODE_LENGTH + LENGTH_EXTRA_MAX <= REFILL_GUARANTEE,
              "two literals and a length fit one refill");
static_assert(REFILL_GUARANTEE - (FAST_LITERALS - 1) * LIT_TABLE_BITS >= MAX_CODE_LENGTH,
              "after two literals the buffer still holds any code");
static_assert(BITBUF_BITS - (2 * LIT_TABLE_BITS + MAX_CODE_LENGTH + LENGTH_EXTRA_MAX) >= DIST_TABLE_BITS,
              "before the refill for the distance the buffer still holds the distance entry's index");
static_assert(REFILL_GUARANTEE - (MAX_CODE_LENGTH + DIST_EXTRA_MAX) >= LIT_TABLE_BITS,
              "after a distance the buffer still holds the next entry's index, looked up before the copy");
// A fast match copy writes whole words or 16-byte moves: at most
// max(2 words, length + 15) bytes from the match's start, so it needs
// length + COPY_SLOP bytes of room.
const uint32_t COPY_SLOP = 2 * WORD_BYTES;

const uint32_t TOTAL_MASK = FAST_TOTAL_MASK;
const uint32_t CODE_SHIFT = FAST_CODE_SHIFT;
const uint32_t CODE_MASK = FAST_CODE_MASK;
const uint32_t KIND_SHIFT = FAST_KIND_SHIFT;
const uint32_t KIND_MASK = FAST_KIND_MASK;
const uint32_t ALPHABET_SHIFT = FAST_ALPHABET_SHIFT;
const uint32_t LIT_PAYLOAD_SHIFT = FAST_LIT_PAYLOAD_SHIFT;
const uint32_t DIST_PAYLOAD_SHIFT = FAST_DIST_PAYLOAD_SHIFT;
static_assert(LIT_TABLE_BITS + LENGTH_EXTRA_MAX <= TOTAL_MASK && DIST_TABLE_BITS + DIST_EXTRA_MAX <= TOTAL_MASK &&
                  LIT_TABLE_BITS <= CODE_MASK && MAX_CODE_LENGTH - LIT_TABLE_BITS <= LIT_TABLE_BITS &&
                  MAX_CODE_LENGTH - DIST_TABLE_BITS <= DIST_TABLE_BITS,
              "entry fields fit, subtable entries' too");
static_assert(distanceBase(DIST0_SYMBOLS - 1) < (1u << (32 - DIST_PAYLOAD_SHIFT)) &&
                  DIST_TABLE_SIZE < (1u << (32 - DIST_PAYLOAD_SHIFT)) &&
                  LIT_TABLE_SIZE <= (1u << (32 - LIT_PAYLOAD_SHIFT)),
              "a distance base and a subtable's start fit their fields");

inline uint32_t kindOf(uint32_t e) { return (e >> KIND_SHIFT) & KIND_MASK; }
// One test instruction each, for the fast loop.
inline bool isKind(uint32_t e, FastKind k) { return (e & (KIND_MASK << KIND_SHIFT)) == ((uint32_t)k << KIND_SHIFT); }
inline bool isEmptyOrSubtable(uint32_t e) { return (e & ((uint32_t)K_EMPTY << KIND_SHIFT)) != 0; }
inline uint32_t totalOf(uint32_t e) { return e & TOTAL_MASK; }
inline uint32_t codeOf(uint32_t e) { return (e >> CODE_SHIFT) & CODE_MASK; }
// The extra bits of entry `e` from the bits as they were before it was consumed.
inline uint32_t extraOf(uint32_t e, Word before) {
  return (uint32_t)((before & (((Word)1 << totalOf(e)) - 1)) >> codeOf(e));
}
// The subtable entry that link entry `e` of a main table of `mainBits` selects
// with `bits`, the bits at the link's code.
inline uint32_t subtableEntry(const uint32_t* table, uint32_t e, uint32_t payloadShift, uint32_t mainBits,
                              Word bits) {
  return table[(e >> payloadShift) + (uint32_t)((bits >> mainBits) & ((1u << totalOf(e)) - 1))];
}

// A power of two, so that selecting a distance table is a shift, not a
// multiplication, on the way from a length's entry to its distance's.
const uint32_t DIST_TABLE_STRIDE = 2048;
static_assert(DIST_TABLE_STRIDE >= DIST_TABLE_SIZE && (DIST_TABLE_STRIDE & (DIST_TABLE_STRIDE - 1)) == 0,
              "a distance table fits its power-of-two stride");

struct FastTables {
  uint32_t lit[LIT_TABLE_SIZE];
  uint32_t dist[DIST_ALPHABETS_MAX][DIST_TABLE_STRIDE];
  // Per block: the rules of every symbol.
  uint32_t litRule[LITLEN_SYMBOLS];
  uint32_t distRule[DIST0_SYMBOLS];

  // The decoder that decodeCodedBlock (coded_block.h) drives. Table entries
  // built are counted in tableEntriesBuilt, as the reference counts its own.
  void startBlock(uint32_t alphabetsWithTables);
  bool buildLiteralTable(const uint8_t* lengths) {
    if (!buildFastTable(lit, LIT_ALPHABET, lengths, LITLEN_SYMBOLS, litRule)) return false;
    tableEntriesBuilt += 1u << LIT_TABLE_BITS;
    return true;
  }
  bool buildDistanceTable(uint32_t a, const uint8_t* lengths, uint32_t count) {
    if (!buildFastTable(dist[a], DIST_ALPHABET, lengths, count, distRule)) return false;
    tableEntriesBuilt += 1u << DIST_TABLE_BITS;
    return true;
  }
  JOV_ALWAYS_INLINE Step decodeSet(BitReader& r, Output& o) const;
  JOV_ALWAYS_INLINE Step decodeSymbols(BitReader& r, Output& o) const;
};

void FastTables::startBlock(uint32_t alphabetsWithTables) {
  for (uint32_t s = 0; s < LITLEN_SYMBOLS; ++s) {
    uint32_t rule;
    if (s < SYMBOL_END_OF_SET) {
      rule = (K_LITERAL << KIND_SHIFT) | (s << LIT_PAYLOAD_SHIFT);
    } else if (s == SYMBOL_END_OF_SET) {
      rule = K_END_OF_SET << KIND_SHIFT;
    } else if (s == SYMBOL_UNUSED) {
      rule = K_INVALID << KIND_SHIFT;
    } else {
      uint32_t base = lengthBase(s);
      rule = (K_LENGTH << KIND_SHIFT) | (base << LIT_PAYLOAD_SHIFT) | lengthExtraBits(s) |
             (distanceAlphabetOf(base, alphabetsWithTables) << ALPHABET_SHIFT);
    }
    litRule[s] = rule;
  }
  for (uint32_t s = 0; s < DIST0_SYMBOLS; ++s) {
    uint32_t rule;
    if (s == DIST_SYMBOL_REP0) rule = K_REPEAT0 << KIND_SHIFT;
    else if (s == DIST_SYMBOL_REP1) rule = K_REPEAT1 << KIND_SHIFT;
    else if (s < DIST_SYMBOL_EXPLICIT)
      rule = (K_SHORT << KIND_SHIFT) | (smallDistance(s) << DIST_PAYLOAD_SHIFT);
    else
      rule = (K_EXPLICIT << KIND_SHIFT) | (distanceBase(s) << DIST_PAYLOAD_SHIFT) | distanceExtraBits(s);
    distRule[s] = rule;
  }
}

inline void storeWord(uint8_t* p, uint64_t v) { memcpy(p, &v, 8); }

// A match with at least length + COPY_SLOP bytes of room behind `out`.
inline void copyWithSlop(uint8_t* out, uint32_t distance, uint32_t length) {
  const uint8_t* from = out - distance;
  uint8_t* const end = out + length;
  if (distance >= COPY_SLOP) {
    // 16-byte moves (one vector load and store each); each read lies wholly
    // before its own store.
    do {
      memcpy(out, from, COPY_SLOP);
      out += COPY_SLOP;
      from += COPY_SLOP;
    } while (out < end);
  } else if (distance >= WORD_BYTES) {
    // Each word read lies wholly before the write position of its own store.
    storeWord(out, loadLe64(from));
    storeWord(out + 8, loadLe64(from + 8));
    if (length <= 2 * WORD_BYTES) return;
    out += 2 * WORD_BYTES;
    from += 2 * WORD_BYTES;
    do {
      storeWord(out, loadLe64(from));
      out += WORD_BYTES;
      from += WORD_BYTES;
    } while (out < end);
  } else if (distance == 1) {
    uint64_t word = from[0] * 0x0101010101010101ull;
    storeWord(out, word);
    storeWord(out + 8, word);
    for (out += 2 * WORD_BYTES; out < end; out += WORD_BYTES) storeWord(out, word);
  } else {
    // 2..7: the bytes repeat with period `distance`, so with any multiple of
    // it. The first four go one by one; the next four come from the nearest
    // multiple at least 4 back, the rest a word at a time from the nearest
    // multiple at least 8 back: each read lies wholly before its store.
    static const uint8_t BACK4[WORD_BYTES] = {0, 0, 4, 6, 4, 5, 6, 7};
    static const uint8_t BACK8[WORD_BYTES] = {0, 0, 8, 9, 8, 10, 12, 14};
    out[0] = from[0];
    out[1] = from[1];
    out[2] = from[2];
    out[3] = from[3];
    memcpy(out + 4, out + 4 - BACK4[distance], 4);
    from = out + WORD_BYTES - BACK8[distance];
    for (out += WORD_BYTES; out < end; out += WORD_BYTES, from += WORD_BYTES) storeWord(out, loadLe64(from));
  }
}

// A match copy that writes exactly `length` bytes.
inline void copyExact(uint8_t* out, uint32_t distance, uint32_t length) {
  const uint8_t* from = out - distance;
  if (distance >= WORD_BYTES)
    for (; length >= WORD_BYTES; length -= WORD_BYTES, out += WORD_BYTES, from += WORD_BYTES)
      storeWord(out, loadLe64(from));
  for (; length; --length) *out++ = *from++;
}

// The loops' two refusals, which decodeSet turns into Step::Damaged with
// the reason noted (values of their own, beyond Step's).
const Step UNUSED_SYMBOL = (Step)100;
const Step REPEAT_BEFORE_DISTANCE = (Step)101;

// The fast loop: no bounds checks inside an iteration, which it repeats
// while the input and output margins hold. Step::Next when they no longer do
// or a symbol is left, unconsumed, to the careful step.
JOV_ALWAYS_INLINE Step fastLoop(const FastTables& t, BitReader& reader, Output& output) {
  // The loop works on copies, written back at its end: the compiler keeps
  // them in registers throughout.
  BitReader r = reader;
  Output o = output;
  Step end = Step::Next;
  r.refill();
  uint32_t entry = t.lit[r.bits & LIT_TABLE_MASK];
  do {
    if (isKind(entry, K_LITERAL)) {
      r.consume(totalOf(entry));
      *o.pos++ = (uint8_t)(entry >> LIT_PAYLOAD_SHIFT);
      entry = t.lit[r.bits & LIT_TABLE_MASK];
      if (isKind(entry, K_LITERAL)) {
        r.consume(totalOf(entry));
        *o.pos++ = (uint8_t)(entry >> LIT_PAYLOAD_SHIFT);
        entry = t.lit[r.bits & LIT_TABLE_MASK];
        if (isKind(entry, K_LITERAL)) {
          r.consume(totalOf(entry));
          *o.pos++ = (uint8_t)(entry >> LIT_PAYLOAD_SHIFT);
          r.refill();
          entry = t.lit[r.bits & LIT_TABLE_MASK];
          continue;
        }
      }
    }
    if (!isKind(entry, K_LENGTH)) {
      // A long code is resolved here; what ends a set or a block is left to
      // the careful step.
      if (!isKind(entry, K_SUBTABLE)) break;
      entry = subtableEntry(t.lit, entry, LIT_PAYLOAD_SHIFT, LIT_TABLE_BITS, r.bits);
      if (!isKind(entry, K_LITERAL) && !isKind(entry, K_LENGTH)) break;
      r.consume(LIT_TABLE_BITS);
      if (isKind(entry, K_LITERAL)) {
        r.consume(totalOf(entry));
        *o.pos++ = (uint8_t)(entry >> LIT_PAYLOAD_SHIFT);
        r.refill();
        entry = t.lit[r.bits & LIT_TABLE_MASK];
        continue;
      }
    }
    Word before = r.bits;
    r.consume(totalOf(entry));
    uint32_t length = (entry >> LIT_PAYLOAD_SHIFT) + extraOf(entry, before);
    uint32_t a = (entry >> ALPHABET_SHIFT) & 3;

    // The distance entry's index bits are in the buffer already: look it up
    // while the refill loads.
    uint32_t d = t.dist[a][r.bits & DIST_TABLE_MASK];
    r.refill();
    if (isEmptyOrSubtable(d)) {
      if (isKind(d, K_SUBTABLE)) d = subtableEntry(t.dist[a], d, DIST_PAYLOAD_SHIFT, DIST_TABLE_BITS, r.bits);
      if (isKind(d, K_EMPTY)) {  // no distance code: the block ends here
        end = Step::EndOfBlock;
        break;
      }
      r.consume(DIST_TABLE_BITS);
    }
    before = r.bits;
    r.consume(totalOf(d));
    // Without branches: the four kinds mix unpredictably in machine code.
    // Explicit and short distances come from the entry, repeats from
    // r0/r1; explicit distances and repeats of r1 move r0 to r1.
    uint32_t kind = kindOf(d);
    uint32_t coded = (d >> DIST_PAYLOAD_SHIFT) + extraOf(d, before);
    uint32_t repeated = kind == K_REPEAT0 ? o.recent0 : o.recent1;
    uint32_t distance = kind <= K_SHORT ? coded : repeated;
    bool moves = kind == K_EXPLICIT || kind == K_REPEAT1;
    o.recent1 = moves ? o.recent0 : o.recent1;
    o.recent0 = moves ? distance : o.recent0;
    if (__builtin_expect(distance == 0, 0)) {  // only a repeat can be 0
      end = REPEAT_BEFORE_DISTANCE;
      break;
    }
    entry = t.lit[r.bits & LIT_TABLE_MASK];
    if (distance <= (uint32_t)(o.pos - o.start)) {  // else reaches before the buffer: dropped
      uint32_t room = (uint32_t)(o.end - o.pos);
      if (length + COPY_SLOP <= room) {
        copyWithSlop(o.pos, distance, length);
      } else {
        if (length > room) length = room;
        copyExact(o.pos, distance, length);
      }
      o.pos += length;
    }
    r.refill();
  } while (r.inEnd - r.in >= (ptrdiff_t)FAST_INPUT_MARGIN && o.end - o.pos > (ptrdiff_t)FAST_LITERALS);
  reader = r;
  output.pos = o.pos;
  output.recent0 = o.recent0;
  output.recent1 = o.recent1;
  return end;
}

// The careful step: the reference's, for everything near the ends of the
// input or output and for the rare symbols.
JOV_ALWAYS_INLINE Step carefulStep(const FastTables& t, BitReader& r, Output& o) {
  r.refill();
  uint32_t entry = t.lit[r.bits & LIT_TABLE_MASK];
  if (kindOf(entry) == K_SUBTABLE) {
    entry = subtableEntry(t.lit, entry, LIT_PAYLOAD_SHIFT, LIT_TABLE_BITS, r.bits);
    if (kindOf(entry) == K_EMPTY) return Step::EndOfBlock;
    r.consume(LIT_TABLE_BITS);
  }
  if (kindOf(entry) == K_EMPTY) return Step::EndOfBlock;
  Word before = r.bits;
  r.consume(totalOf(entry));
  uint32_t kind = kindOf(entry);
  if (kind == K_LITERAL) {
    *o.pos++ = (uint8_t)(entry >> LIT_PAYLOAD_SHIFT);
    return Step::Next;
  }
  if (kind == K_END_OF_SET) return Step::EndOfSet;
  if (kind == K_INVALID) return UNUSED_SYMBOL;
  uint32_t length = (entry >> LIT_PAYLOAD_SHIFT) + extraOf(entry, before);
  uint32_t a = (entry >> ALPHABET_SHIFT) & 3;
  r.refill();
  uint32_t d = t.dist[a][r.bits & DIST_TABLE_MASK];
  if (kindOf(d) == K_SUBTABLE) {
    d = subtableEntry(t.dist[a], d, DIST_PAYLOAD_SHIFT, DIST_TABLE_BITS, r.bits);
    if (kindOf(d) == K_EMPTY) return Step::EndOfBlock;
    r.consume(DIST_TABLE_BITS);
  }
  if (kindOf(d) == K_EMPTY) return Step::EndOfBlock;
  before = r.bits;
  r.consume(totalOf(d));
  uint32_t distance;
  switch (kindOf(d)) {
    case K_EXPLICIT:
      distance = (d >> DIST_PAYLOAD_SHIFT) + extraOf(d, before);
      o.recent1 = o.recent0;
      o.recent0 = distance;
      break;
    case K_SHORT:
      distance = d >> DIST_PAYLOAD_SHIFT;
      break;
    case K_REPEAT0:
      distance = o.recent0;
      break;
    default:
      distance = o.recent1;
      o.recent1 = o.recent0;
      o.recent0 = distance;
      break;
  }
  if (distance == 0) return REPEAT_BEFORE_DISTANCE;
  placeMatch<copyExact>(o, distance, length);
  return Step::Next;
}

// One set's symbols: the fast loop while its margins hold, a careful step
// between its runs, so that the block's end is found exactly where the
// reference finds it.
JOV_ALWAYS_INLINE Step FastTables::decodeSymbols(BitReader& r, Output& o) const {
  bool tryFast = true;
  for (;;) {
    const Step ready = beforeStep(r, o);
    if (ready != Step::Next) return ready;
    if (tryFast && r.inEnd - r.in >= (ptrdiff_t)FAST_INPUT_MARGIN && o.end - o.pos > (ptrdiff_t)FAST_LITERALS) {
      Step end = fastLoop(*this, r, o);
      if (end != Step::Next) return end;
      tryFast = false;
      continue;
    }
    tryFast = true;
    o.stepStart = o.pos;
    Step end = carefulStep(*this, r, o);
    if (end != Step::Next) return end;
  }
}

// decodeSymbols, noting why the data were refused away from its loops: a
// call inside them, however rare, costs the loops registers.
JOV_ALWAYS_INLINE Step FastTables::decodeSet(BitReader& r, Output& o) const {
  Step end = decodeSymbols(r, o);
  if (end == UNUSED_SYMBOL) return refuse(DAMAGED_VALUE("unused literal/length symbol", SYMBOL_UNUSED));
  if (end == REPEAT_BEFORE_DISTANCE) return refuse(DAMAGED("repeated distance before any distance"));
  return end;
}

// The decoder, compiled twice: for any x86-64, and with BMI2, whose shifts by
// a variable count (the bit reader's every step) take one instruction
// instead of three. decodeBlockFast picks one at run time. Only a careful
// step can run past inputEnd, where the block's end undoes it: the fast loop
// keeps FAST_INPUT_MARGIN bytes away.
int32_t decodePortable(uint8_t* buffer, uint32_t historyLength, uint32_t requested) {
  return decodeCodedBlock<FastTables>(buffer, historyLength, requested);
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("bmi2"))) int32_t decodeBmi2(uint8_t* buffer, uint32_t historyLength, uint32_t requested) {
  return decodeCodedBlock<FastTables>(buffer, historyLength, requested);
}
#endif

}  // namespace

int32_t decodeBlockFast(uint8_t* buffer, uint32_t historyLength, uint32_t requested) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool hasBmi2 = __builtin_cpu_supports("bmi2");
  if (hasBmi2) return decodeBmi2(buffer, historyLength, requested);
#endif
  return decodePortable(buffer, historyLength, requested);
}

#endif
