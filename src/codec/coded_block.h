// The frame of a coded block that both block decoders share (lz_decoder.cpp,
// the stub's and the reference; fast_decoder.cpp, the host's): the bit
// reader, the block prefix and code lengths, the loop over the table sets and
// the block's end. A decoder brings its tables and its way through one set's
// symbols, as a type (a local of decodeCodedBlock) with these members:
//   void startBlock(uint32_t alphabetsWithTables);  // the block's symbol rules
//   bool buildLiteralTable(const uint8_t* lengths); // false: no prefix code
//   bool buildDistanceTable(uint32_t a, const uint8_t* lengths, uint32_t count);
//   Step decodeSet(BitReader& r, Output& o);        // until the set or block ends
// The frame is inline, so that each decoder compiles into one function with
// its steps (the fast decoder's twice, once per instruction set) and the
// reader and the output stay in registers.
//
// Bit reader. `bits` holds `bitCount` unread input bits, the next one in bit
// 0; bits above bitCount are either 0 or copies of the input bits that follow
// (so OR-ing a fresh load over them changes nothing). `in` is the first byte
// not yet accounted for, so the logical cursor is bit in * 8 - bitCount.
// refill() loads one machine word at `in` and accounts whole bytes until at
// least REFILL_GUARANTEE bits are held, without a branch.
#pragma once

#include <stdint.h>
#include <string.h>

#include "codec/block_input.h"
#include "codec/code_lengths.h"
#include "codec/word_load.h"
#include "format.h"
#include "install_state.h"
#include "platform/platform.h"
#include "result.h"

#define JOV_ALWAYS_INLINE inline __attribute__((always_inline))

const uint32_t WORD_BYTES = sizeof(Word);
const uint32_t BITBUF_BITS = 8 * WORD_BYTES;
const uint32_t REFILL_GUARANTEE = BITBUF_BITS - 8;  // 56 on the host, 24 in the stub

// How a step or a set ends. A negative value is the block's ResultCode:
// Damaged (the reason noted where it was found), or a failed refill of the
// block input (inputFailed; a refill refuses no data, so never RC_DAMAGED),
// after which the cursor stays where the refill left it.
enum class Step : int32_t {
  Next,        // a literal or a match was decoded (or a match dropped)
  EndOfSet,    // the set's end-of-set symbol
  EndOfBlock,  // the output is complete, the input used up, or no code matches
  Damaged = RC_DAMAGED,
};

struct BitReader {
  const uint8_t* in;
  const uint8_t* inEnd;
  Word bits;
  uint32_t bitCount;

  JOV_ALWAYS_INLINE void refill() {
    bits |= loadWord(in) << bitCount;
    in += (BITBUF_BITS - 1 - bitCount) >> 3;
    bitCount |= REFILL_GUARANTEE;
  }
  JOV_ALWAYS_INLINE void consume(uint32_t n) {
    bits >>= n;
    bitCount -= n;
  }
  JOV_ALWAYS_INLINE uint32_t take(uint32_t n) {
    uint32_t value = (uint32_t)(bits & (((Word)1 << n) - 1));
    consume(n);
    return value;
  }
  // The cursor's byte (the logical position rounded down).
  JOV_ALWAYS_INLINE const uint8_t* cursorByte() const { return in - ((bitCount + 7) >> 3); }
  JOV_ALWAYS_INLINE bool atInputEnd() const { return cursorByte() >= inEnd; }
  // Whether the cursor has gone past the loaded bytes, into the cleared tail.
  JOV_ALWAYS_INLINE bool pastInputEnd() const { return (int64_t)(in - inEnd) * 8 > (int64_t)bitCount; }

  JOV_ALWAYS_INLINE void load() {
    in = state.inputCursor;
    inEnd = state.inputEnd;
    bits = 0;
    bitCount = 0;
    refill();
    static_assert(REFILL_GUARANTEE >= 7, "the start offset must fit one refill");
    consume(state.inputBitOffset);
  }
  JOV_ALWAYS_INLINE void store() const {
    state.inputCursor = (uint8_t*)cursorByte();
    state.inputBitOffset = (0u - bitCount) & 7;
  }
};

// A step's refusal of the data: refuse(DAMAGED("why")) where it is found.
JOV_ALWAYS_INLINE Step refuse(ResultCode damaged) { return (Step)damaged; }
// The block input's failed refill (RC_READ_FAILED, RC_CANCELLED...).
JOV_ALWAYS_INLINE Step inputFailed(ResultCode failure) { return (Step)failure; }

// Where a block's output goes, and the block's recent distances (they carry
// across table sets).
struct Output {
  uint8_t* const start;  // the earliest byte a match may copy from
  uint8_t* pos;
  uint8_t* const end;
  uint8_t* stepStart;  // pos at the start of the last step that may pass inputEnd
  uint32_t recent0, recent1;
};

// Before each step of a set loop: the block's end once its output is
// complete; else, while the reader stands at the end of the loaded input,
// refills the block input and loads the reader again, ending the block when
// the input is used up or passing a failed refill on. Step::Next: go on.
JOV_ALWAYS_INLINE Step beforeStep(BitReader& r, const Output& o) {
  if (o.pos >= o.end) return Step::EndOfBlock;
  while (r.atInputEnd()) {
    r.store();
    ResultCode rc = fillInput(false);
    if (rc == RC_INPUT_EXHAUSTED) return Step::EndOfBlock;
    if (rc < 0) return inputFailed(rc);
    r.load();
  }
  return Step::Next;
}

// Places a match through `Copy`, each decoder's own copy routine: a match
// reaching before the buffer is dropped, one running past the block's end is
// cut there.
template <void (*Copy)(uint8_t*, uint32_t, uint32_t)>
JOV_ALWAYS_INLINE void placeMatch(Output& o, uint32_t distance, uint32_t length) {
  if (distance > (uint32_t)(o.pos - o.start)) return;
  const uint32_t room = (uint32_t)(o.end - o.pos);
  if (length > room) length = room;
  Copy(o.pos, distance, length);
  o.pos += length;
}

// Whether `count` lengths at `a` equal those at `b` (none: no).
JOV_ALWAYS_INLINE bool sameLengths(const uint8_t* a, const uint8_t* b, uint32_t count) {
  if (!b) return false;
#ifdef JOV_STUB
  for (uint32_t i = 0; i < count; ++i)
    if (a[i] != b[i]) return false;
  return true;
#else
  return memcmp(a, b, count) == 0;
#endif
}

// Builds the tables of `set` whose lengths differ from those of `previous`
// (the set before it in the block, whose tables are in place; none for the
// first): a block may send one set many times over at a few bits a switch,
// and rebuilding the same tables each time would make the cost of a block
// grow with its switches rather than with its bytes.
template <class Decoder>
ResultCode buildTableSet(Decoder& d, const uint8_t* set, const uint8_t* previous, uint32_t alphabetsWithTables) {
  if (!sameLengths(set, previous, LITLEN_SYMBOLS) && !d.buildLiteralTable(set))
    return DAMAGED("over-subscribed literal/length code");
  for (uint32_t a = 0; a < alphabetsWithTables; ++a) {
    const uint8_t* lengths = set + DIST_ALPHABET_POSITION[a];
    uint32_t count = DIST_ALPHABET_SIZE[a];
    if (previous && sameLengths(lengths, previous + DIST_ALPHABET_POSITION[a], count)) continue;
    if (!d.buildDistanceTable(a, lengths, count)) return DAMAGED_VALUE("over-subscribed code of distance alphabet", a);
  }
  return RC_OK;
}

// decodeBlock's contract (lz_decoder.h) with a Decoder, from the block
// prefix at the block input's cursor.
template <class Decoder>
JOV_ALWAYS_INLINE int32_t decodeCodedBlock(uint8_t* buffer, uint32_t historyLength, uint32_t requested) {
  uint32_t prefix = (loadLe32(state.inputCursor) >> state.inputBitOffset) & ((1u << BLOCK_PREFIX_BITS) - 1);
  state.inputCursor += (state.inputBitOffset + BLOCK_PREFIX_BITS) >> 3;
  state.inputBitOffset = (state.inputBitOffset + BLOCK_PREFIX_BITS) & 7;
  uint32_t alphabets = prefixAlphabets(prefix), setCount = prefixSetCount(prefix);
  if (alphabets == 0) return DAMAGED("block prefix with no distance alphabet");

  uint32_t setSize = setSizeFor(alphabets);
  uint8_t* lengths = (uint8_t*)memAlloc(setCount ? setCount * setSize : SET_SIZE_2);
  if (!lengths) return RC_NO_MEMORY;
  ResultCode rc = readCodeLengths(lengths, setSize, setCount);
  if (rc < 0) {
    memFree(lengths);
    return rc;
  }
  // Alphabet 2 has a table only in transmitted sets; the fixed set has two.
  uint32_t alphabetsWithTables = setCount == 0 && alphabets > FIXED_SET_ALPHABETS ? FIXED_SET_ALPHABETS : alphabets;
  Output o = {buffer, buffer + historyLength, buffer + historyLength + requested, buffer + historyLength, 0, 0};
  BitReader r;
  r.load();
  Decoder d;
  d.startBlock(alphabetsWithTables);
  uint32_t setsLeft = setCount ? setCount : 1;
  const uint8_t *nextSet = lengths, *previousSet = nullptr;
  Step end = Step::EndOfSet;
  for (;;) {
    if (state.cancelRequested) {
      rc = RC_CANCELLED;
      break;
    }
    if (setsLeft == 0) break;
    --setsLeft;
    rc = buildTableSet(d, nextSet, previousSet, alphabetsWithTables);
    if (rc < 0) break;
    previousSet = nextSet;
    nextSet += setSize;
    end = d.decodeSet(r, o);
    if (end != Step::EndOfSet) break;
  }
  memFree(lengths);
  if ((int32_t)end < 0) {
    rc = (ResultCode)end;
    if (end != Step::Damaged) return rc;  // a failed refill: the cursor stays as it left it
  }

  // With nothing of the block left in the file, the bytes past inputEnd are
  // no input: a last step that ran into them (a file cut inside its code)
  // decoded bits the archive does not have, so its output is not kept.
  if (rc >= 0 && state.blockBytesLeft <= 0 && r.pastInputEnd()) o.pos = o.stepStart;
  r.store();
  if (rc < 0) return rc;
  // Round up: a partly used byte counts as used.
  if (state.inputBitOffset) ++state.inputCursor;
  state.inputBitOffset = 0;
  return (int32_t)(o.pos - (buffer + historyLength));
}
