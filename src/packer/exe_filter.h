// The forward executable call filter (mode 4): rewrites the operand of every
// x86 near call (0xE8) into absolute form, exactly where the reader's filter
// will undo it. The reader filters each piece of a file (its bytes within one
// block of the stream) on its own, looks for opcodes only before the piece's
// last 4 bytes and skips the 4 operand bytes after each opcode; this does the
// same, piece by piece, and first tries whether that pays for the file.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace jov {

class FileSource;

// Whether the bytes are a PE file for i386 (archive/pe_header.h: headers that
// read as far as the machine field, and machine type 0x14C).
bool isPe32I386(const uint8_t* data, uint64_t size);

// Rewrites one piece in place. `piece` holds the file's bytes from file
// offset `fileOffset` on, `count` of them; `fileLength` is the whole file's.
void forwardFilterPiece(uint8_t* piece, uint32_t count, uint32_t fileOffset, uint32_t fileLength);

// Splits a file that starts at stream offset `streamStart` into its pieces
// for blocks of `blockLength` bytes, and filters each.
void forwardFilterFile(uint8_t* bytes, uint32_t length, uint64_t streamStart, uint32_t blockLength);

// Whether the forward call filter pays for this file: it is a PE file and a
// quick trial compression of both forms finds the filtered one smaller.
// `streamStart`, the stream offset of the file's first byte, decides the
// pieces the filter works on.
bool callFilterPays(FileSource& file, uint64_t streamStart);

}  // namespace jov
