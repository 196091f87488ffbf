// Transmitted sets are coded as one run of N x S lengths with the 21-symbol
// pre-code: differences modulo 17 against the same symbol's length in the
// previous set (or, where that is 0 or in the first set, against the current
// value v), and zero and repeat runs whose counts are bijective base-2 numbers
// spelled by consecutive run symbols, least significant digit first.
#include "codec/code_lengths.h"

#include "codec/block_input.h"
#include "codec/fast_tables.h"
#include "codec/huffman.h"
#include "codec/word_load.h"
#include "install_state.h"

namespace {

// Run weights only matter up to the longest destination (63 sets of 372);
// capping them keeps the doubling from overflowing without changing a run.
const uint32_t WEIGHT_CAP = 1u << 15;
static_assert(WEIGHT_CAP >= MAX_SET_COUNT * SET_SIZE_3, "a capped run must still reach the end");

struct BitCursor {
  const uint8_t* byte;
  uint32_t bit;
};

// Refills when the cursor has reached inputEnd: before each field or symbol.
ResultCode ensureInput(BitCursor* c) {
  if (c->byte < state.inputEnd) return RC_OK;
  state.inputCursor = (uint8_t*)c->byte;
  state.inputBitOffset = c->bit;
  ResultCode rc = fillInput(false);
  c->byte = state.inputCursor;
  c->bit = state.inputBitOffset;
  return rc < 0 ? rc : RC_OK;
}

uint32_t readField(BitCursor* c, uint32_t width) {
  uint32_t value = (loadLe32(c->byte) >> c->bit) & ((1u << width) - 1);
  uint32_t position = c->bit + width;
  c->byte += position >> 3;
  c->bit = position & 7;
  return value;
}

uint32_t doubled(uint32_t weight) { return weight < WEIGHT_CAP ? 2 * weight : weight; }

ResultCode readPrecode(BitCursor* c, uint8_t* precode) {
  for (uint32_t i = 0; i < PRECODE_SYMBOLS; ++i) precode[i] = 0;
  uint32_t i = 0, weight = 1;
  while (i < PRECODE_SYMBOLS) {
    ResultCode rc = ensureInput(c);
    if (rc < 0) return rc;
    uint32_t field = readField(c, PRECODE_FIELD_BITS);
    if (field > PRECODE_FIELD_LENGTH_BIAS) {
      // Lengths 17 to 30 fit the field but no code table: damaged data.
      if (field - PRECODE_FIELD_LENGTH_BIAS > MAX_CODE_LENGTH)
        return DAMAGED_VALUE("too long a pre-code length", field - PRECODE_FIELD_LENGTH_BIAS);
      precode[i++] = (uint8_t)(field - PRECODE_FIELD_LENGTH_BIAS);
      weight = 1;
    } else {
      i += weight * (field + 1);  // a zero run; going past the end ends the pre-code
      weight = doubled(weight);
    }
  }
  return RC_OK;
}

#ifndef JOV_STUB
// The host decodes the pre-code with a wide table: one lookup per symbol
// where the reference table often walks its tree (pre-codes run to 8 bits and
// more), decoding and refusing the same codes.
const uint32_t PRECODE_TABLE_BITS = 8;
const FastAlphabet PRECODE_ALPHABET = {PRECODE_TABLE_BITS, PRECODE_LOOKUP_BITS, FAST_LIT_PAYLOAD_SHIFT};

struct PrecodeTable {
  uint32_t entries[(1u << PRECODE_TABLE_BITS) + subtableRoom(PRECODE_SYMBOLS, PRECODE_TABLE_BITS)];
};

bool buildPrecodeTable(PrecodeTable* table, const uint8_t* precode) {
  uint32_t rule[PRECODE_SYMBOLS];
  for (uint32_t s = 0; s < PRECODE_SYMBOLS; ++s)
    rule[s] = (K_LITERAL << FAST_KIND_SHIFT) | (s << FAST_LIT_PAYLOAD_SHIFT);
  return buildFastTable(table->entries, PRECODE_ALPHABET, precode, PRECODE_SYMBOLS, rule);
}

// decodeSymbol's contract, on the wide table.
int32_t decodeSymbol(const PrecodeTable* table, const uint8_t*, const uint8_t** cursor, uint32_t* bitOffset) {
  uint32_t bits = loadLe32(*cursor) >> *bitOffset;  // 25 bits or more: any code
  uint32_t entry = table->entries[bits & ((1u << PRECODE_TABLE_BITS) - 1)], length = 0;
  if (((entry >> FAST_KIND_SHIFT) & FAST_KIND_MASK) == K_SUBTABLE) {
    uint32_t width = entry & FAST_TOTAL_MASK;
    entry = table->entries[(entry >> FAST_LIT_PAYLOAD_SHIFT) + ((bits >> PRECODE_TABLE_BITS) & ((1u << width) - 1))];
    length = PRECODE_TABLE_BITS;
  }
  if (((entry >> FAST_KIND_SHIFT) & FAST_KIND_MASK) == K_EMPTY) return EMPTY_ENTRY;
  uint32_t position = *bitOffset + length + ((entry >> FAST_CODE_SHIFT) & FAST_CODE_MASK);
  *cursor += position >> 3;
  *bitOffset = position & 7;
  return (int32_t)(entry >> FAST_LIT_PAYLOAD_SHIFT);
}
#endif

}  // namespace

void setFixedCodeLengths(uint8_t* d) {
  uint32_t p = 0;
  for (uint32_t r = 0; r < FIXED_SET_RUNS; ++r)
    for (; p < fixedSetRunEnd[r]; ++p) d[p] = fixedSetRunLength[r];
}

ResultCode readCodeLengths(uint8_t* destination, uint32_t setSize, uint32_t setCount) {
  if (setCount == 0) {
    setFixedCodeLengths(destination);
    return RC_OK;
  }
  BitCursor c = {state.inputCursor, state.inputBitOffset};
  uint8_t precode[PRECODE_SYMBOLS];
#ifdef JOV_STUB
  uint32_t codes[PRECODE_SYMBOLS];
  int32_t lookup[1u << PRECODE_LOOKUP_BITS];
  int32_t tree[2 * PRECODE_SYMBOLS];
  HuffmanTable table = {lookup, tree, PRECODE_LOOKUP_BITS, PRECODE_SYMBOLS};
#else
  PrecodeTable table;
#endif

  ResultCode rc = readPrecode(&c, precode);
  if (rc == RC_OK) {
#ifdef JOV_STUB
    assignCodes(codes, precode, PRECODE_SYMBOLS);
    bool built = buildDecodeTable(lookup, tree, codes, precode, PRECODE_LOOKUP_BITS, PRECODE_SYMBOLS);
#else
    bool built = buildPrecodeTable(&table, precode);
#endif
    if (!built) rc = DAMAGED("over-subscribed pre-code");
  }

  uint32_t total = setSize * setCount, p = 0;
  uint32_t value = 0, zeroWeight = 1, repeatWeight = 1;
  while (rc == RC_OK && p < total) {
    rc = ensureInput(&c);
    if (rc < 0) break;
    int32_t symbol = decodeSymbol(&table, precode, &c.byte, &c.bit);
    if (symbol == EMPTY_ENTRY) {
      rc = DAMAGED("code lengths use a code missing from the pre-code");
      break;
    }
    uint32_t s = (uint32_t)symbol;
    if (s <= MAX_CODE_LENGTH) {
      uint32_t base = p >= setSize && destination[p - setSize] ? destination[p - setSize] : value;
      value = base + s;
      if (value >= CODE_LENGTH_MODULUS) value -= CODE_LENGTH_MODULUS;
      destination[p++] = (uint8_t)value;
      zeroWeight = repeatWeight = 1;
    } else if (s <= CL_ZERO_RUN_2) {
      uint32_t run = zeroWeight * (s - CL_ZERO_RUN_1 + 1);
      for (; run && p < total; --run) destination[p++] = 0;
      zeroWeight = doubled(zeroWeight);
      repeatWeight = 1;
    } else {
      uint32_t run = repeatWeight * (s - CL_REPEAT_RUN_1 + 1);
      for (; run && p < total; --run) {
        if (p >= setSize && destination[p - setSize]) value = destination[p - setSize];
        destination[p++] = (uint8_t)value;
      }
      repeatWeight = doubled(repeatWeight);
      zeroWeight = 1;
    }
  }
  state.inputCursor = (uint8_t*)c.byte;
  state.inputBitOffset = c.bit;
  return rc;
}
