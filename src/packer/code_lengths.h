// Writing the code-length sets of a compressed block: the pre-code (21 lengths
// in 5-bit fields, zero runs as bijective base-2 digits), then every set's
// lengths as pre-code symbols: differences modulo 17 against the previous
// set's length (or the running value where that is 0), zero runs and repeat
// runs, each run's count spelled in bijective base 2, least significant digit
// first.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "packer/bit_writer.h"

namespace jov {

// One pre-code symbol: 0..16 difference, 17/18 zero-run digit, 19/20
// repeat-run digit.
using CodeLengthSymbols = std::vector<uint8_t>;

// The symbols that reproduce `lengths` (setCount sets of setSize lengths, all
// 0..16, laid end to end) under the reader's rules.
CodeLengthSymbols codeLengthSymbols(const std::vector<uint8_t>& lengths, uint32_t setSize);

// Writes the pre-code and the symbols; returns the number of bits written.
uint64_t writeCodeLengths(BitWriter& out, const std::vector<uint8_t>& lengths, uint32_t setSize);

// The bits writeCodeLengths would write.
uint64_t codeLengthsCost(const std::vector<uint8_t>& lengths, uint32_t setSize);

// Appends the bijective base-2 digits (1 or 2, least significant first) of
// count >= 1.
void bijectiveDigits(uint32_t count, std::vector<uint8_t>& digits);

}  // namespace jov
