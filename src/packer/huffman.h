// Prefix codes for the writer: length-limited optimal code lengths and the
// canonical codes the reader derives from them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace jov {

// Optimal code lengths (minimum sum of frequency x length) with no length
// above `maxLength`, by package-merge. Symbols of frequency 0 get length 0.
// The result is always a code the reader's table builder accepts: with two or
// more used symbols the code is complete (Kraft sum exactly 1); a single used
// symbol gets length 1, paired with `partner` (which must differ from it and
// then also gets length 1), so that the code is complete as well; no used
// symbol gives all zeros. Ties are broken by symbol number, so equal inputs
// give equal outputs.
std::vector<uint8_t> limitedCodeLengths(const std::vector<uint64_t>& frequencies,
                                        uint32_t maxLength, uint32_t partner = 0);

// Canonical codes from lengths (at most MAX_CODE_LENGTH), assigned by the
// reader's own assignCodes: shorter codes first, equal lengths in symbol
// order, each bit-reversed, ready for the LSB-first writer.
std::vector<uint32_t> canonicalCodes(const std::vector<uint8_t>& lengths);

// Kraft sum scaled by 2^maxLength; equals 1 << maxLength for a complete code.
uint64_t kraftSum(const std::vector<uint8_t>& lengths, uint32_t maxLength);

}  // namespace jov
