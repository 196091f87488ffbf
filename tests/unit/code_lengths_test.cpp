#include <gtest/gtest.h>

#include <vector>

#include "bit_string.h"
#include "block_builder.h"
#include "codec/code_lengths.h"
#include "install_state.h"

namespace {

// Pre-code giving symbols 0..20 five-bit codes equal to the symbol.
void flatPrecode(BitString& w) {
  for (int i = 0; i < 21; ++i) w.put(6, 5);  // length 5 each
}

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

TEST(CodeLengths, FixedSetReadsNothing) {
  BitString w;
  w.put(0xFFFF, 16);
  Read r = readSets(w, 344, 0);
  ASSERT_EQ(r.rc, RC_OK);
  EXPECT_EQ(r.endBit, 0u);
  std::vector<uint8_t> fixed(344);
  setFixedCodeLengths(fixed.data());
  EXPECT_EQ(r.lengths, fixed);
}

TEST(CodeLengths, PrecodeZeroRunsEndThePrecode) {
  // Fields 0,0,0,0 skip 1+2+4+8 = 15 symbols; a length resets the weight,
  // then 1,0 skip 2+2 = 4 more. Symbols 15 and 20 get length 1 (codes 0, 1).
  BitString w;
  for (int i = 0; i < 4; ++i) w.put(0, 5);  // zero-run digit 1, weights 1, 2, 4, 8
  w.put(2, 5);                             // symbol 15: length 1
  w.put(1, 5);                             // zero-run digit 2, weight 1: 16, 17
  w.put(0, 5);                             // zero-run digit 1, weight 2: 18, 19
  w.put(2, 5);                             // symbol 20: length 1
  w.putCode(1, 1);                         // symbol 20: repeat run of 2 (v = 0: zeros)
  Read r = readSets(w, 2, 1);
  ASSERT_EQ(r.rc, RC_OK);
  EXPECT_EQ(r.lengths, (std::vector<uint8_t>{0, 0}));

  // A zero run past position 20 ends the pre-code: no further field is read.
  BitString v;
  for (int i = 0; i < 5; ++i) v.put(0, 5);  // 1+2+4+8+16 = 31 > 21
  Read all = readSets(v, 1, 1);
  EXPECT_EQ(all.rc, RC_DAMAGED) << "an all-empty pre-code cannot code a length";
  EXPECT_EQ(all.endBit, 25u);

  BitString big;
  big.put(18, 5);  // length 17: more than a code table takes
  EXPECT_EQ(readSets(big, 1, 1).rc, RC_DAMAGED);
}

TEST(CodeLengths, DifferencesRunsAndThePreviousSet) {
  BitString w;
  flatPrecode(w);
  // Set 0 (size 8): 5, zero, 6 (zero runs keep v), 16, wrap 16+3 -> 2,
  // then 17,17 = 3 zeros.
  for (uint32_t s : {5, 17, 1, 10, 3, 17, 17}) w.putCode(s, 5);
  // Set 1: difference 0 over a non-zero length keeps it (5, v = 5); over a
  // zero it applies to v (5 + 1 = 6); then repeat runs of 2, 2 and 8 copy
  // set 0 where non-zero (6, 16, 2), else repeat v, and the last one is cut
  // at the end without error.
  for (uint32_t s : {0, 1, 20, 19, 20}) w.putCode(s, 5);
  Read r = readSets(w, 8, 2);
  ASSERT_EQ(r.rc, RC_OK);
  EXPECT_EQ(r.lengths, (std::vector<uint8_t>{5, 0, 6, 16, 2, 0, 0, 0,   //
                                             5, 6, 6, 16, 2, 2, 2, 2}));

  BitString x;
  flatPrecode(x);
  for (uint32_t s : {19, 4, 17, 19, 18, 17}) x.putCode(s, 5);  // repeat at start gives 0; 17,19 resets weights
  Read y = readSets(x, 8, 1);
  ASSERT_EQ(y.rc, RC_OK);
  EXPECT_EQ(y.lengths, (std::vector<uint8_t>{0, 4, 0, 4, 0, 0, 0, 0}));
}

TEST(CodeLengths, MissingCodeAndExhaustedInput) {
  BitString w;
  w.put(3, 5);     // symbol 0: length 2 (code 00)
  w.put(3, 5);     // symbol 1: length 2 (code 01)
  w.put(1, 5);     // zero run 2: symbols 2, 3
  w.put(0, 5);     // zero run 1 weight 2: 4, 5
  w.put(1, 5);     // zero run 2 weight 4: 6..13
  w.put(0, 5);     // zero run 1 weight 8: 14..21, end
  uint64_t codesStart = w.bits;
  w.putCode(3, 2);  // 11: no code
  Read r = readSets(w, 4, 1);
  EXPECT_EQ(r.rc, RC_DAMAGED);
  EXPECT_EQ(r.endBit, codesStart) << "the cursor stays before the missing code";

  BitString shortInput;
  flatPrecode(shortInput);
  shortInput.putCode(3, 5);
  EXPECT_EQ(readSets(shortInput, 100, 1).rc, RC_INPUT_EXHAUSTED);
}

}  // namespace
