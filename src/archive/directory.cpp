// Directory reader. A directory block is loaded whole into the block input's
// buffer (one read, never refilled: blockBytesLeft 0) and decoded into the
// driver's directory buffer. The data stream in progress shares that buffer:
// it needs nothing of its contents between files, only its cursor figures,
// from which its next block start finds the way back to its own next block.
// Those figures are saved here and put back on every return.
#include "archive/directory.h"

#include "archive/paths.h"
#include "codec/block_input.h"
#include "codec/lz_decoder.h"
#include "install_state.h"

namespace {

ResultCode fetchDirectoryBlock(uint8_t* directoryBuffer) {
  state.directoryCursor = state.directoryEnd = directoryBuffer;  // no stale record survives a failure
  if (state.archiveFilePos != state.directoryPos) {
    state.archiveFilePos = fileSeek(state.archiveFile, state.directoryPos, FROM_BEGIN);
    if (state.archiveFilePos == SEEK_FAILED) return RC_SEEK_FAILED;
  }

  uint8_t signature[SIGNATURE_SIZE];
  int32_t got = archiveRead(signature, SIGNATURE_SIZE);
  if (got < 0) return RC_READ_FAILED;
  if (got < (int32_t)SIGNATURE_SIZE || compareBytes(signature, DIRECTORY_SIGNATURE, SIGNATURE_SIZE) != 0)
    return RC_DAMAGED;

  got = archiveRead(state.inputBuffer, DIRECTORY_BLOCK_MAX_ENCODED);
  if (got < 0) return RC_READ_FAILED;
  // A block frame needs its header, as a data block does.
  if (got < (int32_t)BLOCK_HEADER_MIN_BYTES) return RC_DAMAGED;
  state.blockBytesLeft = 0;
  state.inputEnd = state.inputBuffer + got;
  // The decoders may read whole words past the loaded bytes.
  for (uint32_t i = 0; i < INPUT_LOOKAHEAD + INPUT_BUFFER_SLACK; ++i) state.inputEnd[i] = 0;
  state.inputCursor = state.inputBuffer;
  state.inputBitOffset = 0;

  const uint8_t* header = state.inputBuffer;
  uint32_t type = readBlockField(header, BF_TYPE);
  if (type > BLOCK_COMPRESSED) return RC_DAMAGED;
  uint32_t outputLength = readBlockField(header, BF_OUTPUT_LENGTH);
  if (outputLength > DIRECTORY_BUFFER_SIZE) return RC_DAMAGED;  // would not fit the buffer
  state.inputCursor += BLOCK_CODED_DATA_BIT / 8;
  state.inputBitOffset = BLOCK_CODED_DATA_BIT % 8;

  int32_t produced = type == BLOCK_COMPRESSED ? decodeBlock(directoryBuffer, 0, outputLength)
                                              : copyStoredBytes(directoryBuffer, outputLength);
  if (produced < 0) return produced;
  state.directoryEnd = directoryBuffer + produced;
  state.directoryPos += SIGNATURE_SIZE + (uint32_t)(state.inputCursor - state.inputBuffer);
  return RC_OK;
}

}  // namespace

void startDirectory(uint8_t* directoryBuffer) {
  state.directoryCursor = state.directoryEnd = directoryBuffer;
  state.directoryPos = state.archiveOffset + state.header.directoryOffset;
  // Any position but the directory's: the first fetch seeks there and checks
  // that it could.
  state.archiveFilePos = ~state.directoryPos;
}

ResultCode nextDirectoryRecord(uint8_t* directoryBuffer, DirectoryEntry* entry, const uint8_t** name) {
  if (state.directoryEnd - state.directoryCursor < (long)DIRECTORY_ENTRY_SIZE) {
    ResultCode rc = readDirectoryBlock(directoryBuffer);
    if (rc != RC_OK) return rc;
    if (state.directoryEnd - state.directoryCursor < (long)DIRECTORY_ENTRY_SIZE) return RC_DAMAGED;
  }
  parseDirectoryEntry(state.directoryCursor, entry);
  state.directoryCursor += DIRECTORY_ENTRY_SIZE;
  uint32_t rest = (uint32_t)entry->nameLength + entry->smallExtraLength + entry->extraLength;
  if ((uint32_t)(state.directoryEnd - state.directoryCursor) < rest) return RC_DAMAGED;
  *name = state.directoryCursor;
  state.directoryCursor += rest;
  return RC_OK;
}

ResultCode readDirectoryBlock(uint8_t* directoryBuffer) {
  uint8_t* cursor = state.inputCursor;
  uint32_t bitOffset = state.inputBitOffset;
  uint8_t* end = state.inputEnd;
  int32_t bytesLeft = state.blockBytesLeft;
  ResultCode rc = fetchDirectoryBlock(directoryBuffer);
  state.inputCursor = cursor;
  state.inputBitOffset = bitOffset;
  state.inputEnd = end;
  state.blockBytesLeft = bytesLeft;
  return rc;
}
