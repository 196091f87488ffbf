// Code-length sets of a compressed block: the fixed set, or table sets read
// with the pre-code right after the block prefix.
#pragma once

#include <stdint.h>

#include "result.h"

// Reads `setCount` sets of `setSize` lengths into `destination` (all of it is
// written), or the fixed set when setCount is 0. Reads at the block input's
// cursor, refilling as needed, and leaves its cursor there on every return.
// RC_OK, DAMAGED(why), or the refill's failure (RC_INPUT_EXHAUSTED, ...).
ResultCode readCodeLengths(uint8_t* destination, uint32_t setSize, uint32_t setCount);

// The fixed set: SET_SIZE_2 lengths, every alphabet a complete code.
void setFixedCodeLengths(uint8_t* destination);
