// The forward executable call filter (mode 4): rewrites the operand of every
// x86 near call (0xE8) into absolute form, exactly where the reader's filter
// will undo it. The reader filters each piece of a file (its bytes within one
// block of the stream) on its own, looks for opcodes only before the piece's
// last 4 bytes and skips the 4 operand bytes after each opcode; this does the
// same, piece by piece.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace jov {

// Rewrites one piece in place. `piece` holds the file's bytes from file
// offset `fileOffset` on, `count` of them; `fileLength` is the whole file's.
void forwardFilterPiece(uint8_t* piece, uint32_t count, uint32_t fileOffset, uint32_t fileLength);

// Splits a file that starts at stream offset `streamStart` into its pieces
// for blocks of `blockLength` bytes, and filters each.
void forwardFilterFile(uint8_t* bytes, uint32_t length, uint64_t streamStart, uint32_t blockLength);

}  // namespace jov
