// The codec folder owns decoding: CRC-32, block input, Huffman tables, code
// lengths, the LZ decoder, the call filter and this reader, which the archive
// layer drives. It uses the platform layer and format.h, never the archive,
// shell, packer or cli folders (src/README.md).
//
// Solid stream reader: cuts one file's bytes out of its decoded data stream.
#pragma once

#include <stdint.h>

#include "platform/platform.h"
#include "result.h"

// Puts the block input and the stream reader in their starting state over
// `input` (INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK bytes, owned by the
// caller): nothing buffered, no stream open, no output buffer yet.
void startStreamReading(uint8_t* input);

// Writes the file's `length` bytes to `output` (through the call filter when
// `flags` ask for it); RC_OK with state.runningCrc the CRC-32 of what was
// written, or a negative code (RC_DAMAGED also when the stream ends before
// the file's last byte).
ResultCode readStreamFile(FileHandle output, uint32_t streamOffset, uint32_t streamPosition,
                          uint32_t length, uint8_t flags);

// Makes room for `historyBytes` of history plus state.blockLength bytes of
// block in state.outputBuffer (growing it with OUTPUT_BUFFER_SLACK to spare,
// contents kept). RC_NO_MEMORY leaves the old buffer in place.
ResultCode growOutputBuffer(uint32_t historyBytes);
