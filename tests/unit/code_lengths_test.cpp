#include <gtest/gtest.h>

#include <vector>

#include "block_builder.h"
#include "codec/code_lengths.h"
#include "install_state.h"

namespace {

struct Read {
  ResultCode rc;
  std::vector<uint8_t> lengths;
  uint64_t endBit;
};

Read readSets(const BitString& w, uint32_t size, uint32_t count) {
  LoadedInput input(w.bytes, 0);
  Read r{0, std::vector<uint8_t>(size * (count ? count : 1), 0xEE), 0};
  r.rc = readCodeLengths(r.lengths.data(), size, count);
  r.endBit = (uint64_t)(state.inputCursor - state.inputBuffer) * 8 + state.inputBitOffset;
  return r;
}

// Pre-code fields (by default every symbol 5 bits, so that its code is the
// symbol), then `symbols` as 5-bit codes.
BitString codedLengths(std::vector<uint32_t> fields, const std::vector<uint32_t>& symbols) {
  BitString w;
  if (fields.empty()) fields.assign(PRECODE_SYMBOLS, PRECODE_FIELD_LENGTH_BIAS + 5);
  for (uint32_t f : fields) w.put(f, PRECODE_FIELD_BITS);
  for (uint32_t s : symbols) w.putCode(s, 5);
  return w;
}

TEST(CodeLengths, PrecodeRunsDifferencesRepeatsAndThePreviousSet) {
  // Pre-code fields 0,0,0,0 skip 1+2+4+8 = 15 symbols; a length resets the
  // weight, then 1,0 skip 2+2 more: symbols 15 and 20 get 1 bit (codes 0, 1);
  // symbol 20 (code 1) repeats v = 0 twice.
  BitString w = codedLengths({0, 0, 0, 0, 2, 1, 0, 2}, {});
  w.putCode(1, 1);
  Read r = readSets(w, 2, 1);
  ASSERT_EQ(r.rc, RC_OK);
  EXPECT_EQ(r.lengths, (std::vector<uint8_t>{0, 0}));

  // Set 0 (size 8): 5, zero, 6 (zero runs keep v), 16, wrap 16+3 -> 2, then
  // 17,17 = 3 zeros. Set 1: difference 0 over a non-zero length keeps it
  // (5, v = 5); over a zero it applies to v (6); then repeat runs of 2, 2
  // and 8 copy set 0 where non-zero (6, 16, 2), else repeat v, and the last
  // one is cut at the end without error.
  r = readSets(codedLengths({}, {5, 17, 1, 10, 3, 17, 17, 0, 1, 20, 19, 20}), 8, 2);
  ASSERT_EQ(r.rc, RC_OK);
  EXPECT_EQ(r.lengths, (std::vector<uint8_t>{5, 0, 6, 16, 2, 0, 0, 0, 5, 6, 6, 16, 2, 2, 2, 2}));
  // A repeat at the start gives 0; 17 and 19 reset each other's weights.
  r = readSets(codedLengths({}, {19, 4, 17, 19, 18, 17}), 8, 1);
  ASSERT_EQ(r.rc, RC_OK);
  EXPECT_EQ(r.lengths, (std::vector<uint8_t>{0, 4, 0, 4, 0, 0, 0, 0}));
}

TEST(CodeLengths, DamageAndExhaustedInput) {
  // A zero run past symbol 20 ends the pre-code; all empty, it codes nothing.
  Read r = readSets(codedLengths({0, 0, 0, 0, 0}, {}), 1, 1);
  EXPECT_EQ(r.rc, RC_DAMAGED);
  EXPECT_EQ(r.endBit, 25u);
  EXPECT_EQ(readSets(codedLengths({18}, {}), 1, 1).rc, RC_DAMAGED) << "pre-code length 17";
  // Symbols 0 and 1 get 2 bits (00, 01); code 11 is no symbol: the cursor
  // stays before it.
  BitString w = codedLengths({3, 3, 1, 0, 1, 0}, {});
  uint64_t codesStart = w.bits;
  w.putCode(3, 2);
  r = readSets(w, 4, 1);
  EXPECT_EQ(r.rc, RC_DAMAGED);
  EXPECT_EQ(r.endBit, codesStart);
  EXPECT_EQ(readSets(codedLengths({}, {3}), 100, 1).rc, RC_INPUT_EXHAUSTED);
}

}  // namespace
