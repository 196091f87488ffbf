// Block input: the framing of blocks and the one compressed-input buffer.
#pragma once

#include <stdint.h>

#include "result.h"

// fileRead on state.archiveFile; a result other than -1 is added to
// state.archiveFilePos.
int32_t archiveRead(void* buffer, uint32_t count);

// startBlock: load the next block of the stream in hand, cursor on its first
// byte. Otherwise refill during a block (RC_INPUT_EXHAUSTED when the block has
// no more bytes in the file).
ResultCode fillInput(bool startBlock);

// Copies the next `count` bytes of a stored block to `destination`; returns
// the count copied (short when the block's bytes run out) or a negative code.
int32_t copyStoredBytes(uint8_t* destination, uint32_t count);
