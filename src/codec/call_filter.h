// Executable call filter: x86 near calls (opcode 0xE8) whose operands the
// archive holds in absolute form, the operand's file offset P added. Mode 2
// rewrites 16-bit operands (mod 65536); mode 4 rewrites 32-bit operands as a
// bijection on displacements d, for a file of length L:
//   0 <= P + d < L        stored as P + d
//   L - P <= d <= L - 1   stored as L - P - 1 - d   (-1 down to -P)
//   any other d           stored unchanged
//
// Contract of one piece (the file's bytes within one block of its stream):
// opcodes are looked for only before (piece end - mode); an opcode's operand
// is taken whole and is never examined as an opcode; a 0xE8 in the last
// `mode` bytes is left alone, also when the file goes on in the next piece.
// No state passes from one piece to the next: the caller supplies the
// piece's file offset and the file's length, nothing else. The packer must cut
// pieces exactly where the reader will (at block boundaries of the stream).
#pragma once

#include <stdint.h>

#include "platform/platform.h"
#include "result.h"

// Restores one piece of a file, updates state.runningCrc over the restored
// bytes and writes them to `output`; mode state.filterMode (2 or 4).
// `passed` is the number of this file's bytes handed over in earlier pieces,
// `fileLength` the file's length.
ResultCode writeFiltered(FileHandle output, const uint8_t* bytes, uint32_t count, uint32_t passed,
                         uint32_t fileLength);

#ifndef JOV_STUB
// The same transform in place, for the packer (encode true: original to
// archive form) and for tests (encode false). `fileOffset` is the file offset
// of data[0].
void convertCalls(uint8_t* data, uint32_t count, uint32_t fileOffset, uint32_t fileLength,
                  uint32_t mode, bool encode);
#endif
