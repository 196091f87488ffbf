#include "packer/code_lengths.h"

#include "format.h"
#include "packer/huffman.h"

namespace jov {

void bijectiveDigits(uint32_t count, std::vector<uint8_t>& digits) {
  while (count > 0) {
    uint8_t digit = (count & 1) ? 1 : 2;
    digits.push_back(digit);
    count = (count - digit) / 2;
  }
}

// Greedy choice, which stays within a few bits of the best: at each position
// take the longer of the zero run and the repeat run when it covers two or
// more lengths (one symbol for two, against two differences), else one
// difference. Runs are always maximal, so a run is never followed by a run of
// the same kind, which the reader would merge into one count.
CodeLengthSymbols codeLengthSymbols(const std::vector<uint8_t>& t, uint32_t setSize) {
  CodeLengthSymbols symbols;
  const size_t total = t.size();
  uint32_t v = 0;
  std::vector<uint8_t> digits;
  size_t p = 0;
  while (p < total) {
    size_t zeroRun = 0;
    while (p + zeroRun < total && t[p + zeroRun] == 0) ++zeroRun;
    size_t repeatRun = 0;
    uint32_t rv = v;
    while (p + repeatRun < total) {
      size_t q = p + repeatRun;
      uint32_t expected = (q >= setSize && t[q - setSize] != 0) ? t[q - setSize] : rv;
      if (t[q] != expected) break;
      rv = expected;
      ++repeatRun;
    }
    if (zeroRun >= 2 && zeroRun >= repeatRun) {
      digits.clear();
      bijectiveDigits((uint32_t)zeroRun, digits);
      for (uint8_t d : digits) symbols.push_back((uint8_t)(CL_ZERO_RUN_1 + d - 1));
      p += zeroRun;
    } else if (repeatRun >= 2) {
      digits.clear();
      bijectiveDigits((uint32_t)repeatRun, digits);
      for (uint8_t d : digits) symbols.push_back((uint8_t)(CL_REPEAT_RUN_1 + d - 1));
      p += repeatRun;
      v = rv;
    } else {
      uint32_t base = (p >= setSize && t[p - setSize] != 0) ? t[p - setSize] : v;
      symbols.push_back((uint8_t)((t[p] + CODE_LENGTH_MODULUS - base) % CODE_LENGTH_MODULUS));
      v = t[p];
      ++p;
    }
  }
  return symbols;
}

namespace {

// The pre-code's lengths as fields: PRECODE_FIELD_LENGTH_BIAS + length for a
// used symbol, zero runs as digits f = 0 (digit 1) and f = 1 (digit 2).
std::vector<uint8_t> preCodeFields(const std::vector<uint8_t>& preLengths) {
  std::vector<uint8_t> fields, digits;
  size_t i = 0;
  while (i < preLengths.size()) {
    if (preLengths[i]) {
      fields.push_back((uint8_t)(preLengths[i] + PRECODE_FIELD_LENGTH_BIAS));
      ++i;
      continue;
    }
    size_t run = 0;
    while (i + run < preLengths.size() && preLengths[i + run] == 0) ++run;
    digits.clear();
    bijectiveDigits((uint32_t)run, digits);
    for (uint8_t d : digits) fields.push_back((uint8_t)(d - 1));
    i += run;
  }
  return fields;
}

struct Plan {
  CodeLengthSymbols symbols;
  std::vector<uint8_t> preLengths;
  std::vector<uint8_t> fields;
  uint64_t bits = 0;
};

Plan planCodeLengths(const std::vector<uint8_t>& lengths, uint32_t setSize) {
  Plan plan;
  plan.symbols = codeLengthSymbols(lengths, setSize);
  std::vector<uint64_t> freq(PRECODE_SYMBOLS, 0);
  for (uint8_t s : plan.symbols) freq[s]++;
  // With no symbol at all (no lengths) the pre-code still needs a valid
  // table: two symbols of length 1.
  if (plan.symbols.empty()) freq[0] = freq[1] = 1;
  plan.preLengths = limitedCodeLengths(freq, MAX_CODE_LENGTH, plan.symbols.empty() ? 1 : (freq[0] ? 1 : 0));
  plan.fields = preCodeFields(plan.preLengths);
  plan.bits = plan.fields.size() * PRECODE_FIELD_BITS;
  for (uint8_t s : plan.symbols) plan.bits += plan.preLengths[s];
  return plan;
}

}  // namespace

uint64_t writeCodeLengths(BitWriter& out, const std::vector<uint8_t>& lengths, uint32_t setSize) {
  Plan plan = planCodeLengths(lengths, setSize);
  for (uint8_t f : plan.fields) out.put(f, PRECODE_FIELD_BITS);
  std::vector<uint32_t> codes = canonicalCodes(plan.preLengths);
  for (uint8_t s : plan.symbols) out.put(codes[s], plan.preLengths[s]);
  return plan.bits;
}

uint64_t codeLengthsCost(const std::vector<uint8_t>& lengths, uint32_t setSize) {
  return planCodeLengths(lengths, setSize).bits;
}

}  // namespace jov
