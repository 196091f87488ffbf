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

#ifndef JOV_STUB
// Host only: what `jov test` and `jov extract` check while the stream reader
// serves them. The stub carries none of it and keeps its documented
// behaviour.
//
// Record check (checkRecords): the StreamRecord in front of a file repeats
// the file's directory record (fileLength its length, the variable part its
// name). The installer skips the record whole, whatever it holds, and so does
// this reader; recordDiffers tells whether the last file's record did not
// repeat it. expectedName is the name of the directory
// record in hand (nextDirectoryRecord sets it for each record it yields).
//
// Work budget (decodeAllowance non-zero): records that jump back and forth
// restart their stream every time (as the installer does), which would make
// the work grow with the product of record count and stream length.
// redecodedBytes counts what is decoded again: the part of each block below
// how far its stream had been decoded before (streamReach, one entry per key
// of streamKeys, ascending; a stream missing there counts whole). servedBytes
// counts the stream bytes handed out (fixed StreamRecord parts and file
// bytes). No block is started once redecodedBytes exceeds
// DECODE_PER_SERVED_BYTE * servedBytes + decodeAllowance; that is refused as
// RC_DAMAGED with tooMuchWork set. Records in stream order decode every block
// once, however much data no record names lies between them, and count
// nothing. Building code tables counts too (tableWork: the entries of the
// tables built, tableEntriesBuilt while the stream's blocks were decoded),
// each entry as one byte decoded again: a block may switch tables after
// every symbol at a few bits a switch, and building a literal/length table
// (2048 entries) takes about as long as decoding 2 KB.
//
// movedBytes counts the history moved to the output buffer's start (at most
// a byte per byte decoded).
const uint64_t DECODE_PER_SERVED_BYTE = 2;

struct StreamCheck {
  bool checkRecords;
  const uint8_t* expectedName;
  uint32_t expectedNameLength;
  bool recordDiffers;
  uint64_t decodeAllowance;  // 0: no budget
  const uint32_t* streamKeys;
  uint64_t* streamReach;
  uint32_t streamCount;
  uint64_t* reach;  // of the stream in hand
  uint64_t redecodedBytes;
  uint64_t tableWork;
  uint64_t servedBytes;
  uint64_t movedBytes;
  bool tooMuchWork;
};

extern StreamCheck streamCheck;
#endif
