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
#include "codec/stream_reader.h"
#include "install_state.h"

namespace {

#ifndef JOV_STUB
// The directory block in hand, for the place of a refusal: its index (from
// 0) and file position.
uint32_t blockIndex, blockOffset;
void enterBlock() { ++blockIndex, blockOffset = state.directoryPos; }
ResultCode placeFailure(ResultCode rc) {
  if (isDamaged(rc)) {
    if (rc == RC_INPUT_EXHAUSTED) noteDamage("coded data runs past the end of its block");
    placeDamage(SITE_DIRECTORY_BLOCK, 0, blockIndex, blockOffset);
  }
  return rc;
}
#else
inline void enterBlock() {}
inline ResultCode placeFailure(ResultCode rc) { return rc; }
#endif

// The reason below names the size.
static_assert(DIRECTORY_BUFFER_SIZE == 8192, "directory blocks decode into a buffer of this size");

ResultCode fetchDirectoryBlock(uint8_t* directoryBuffer) {
  state.directoryCursor = state.directoryEnd = directoryBuffer;  // no stale record survives a failure
  if (state.archiveFilePos != state.directoryPos) {
    state.archiveFilePos = fileSeek(state.archiveFile, state.directoryPos, FROM_BEGIN);
    if (state.archiveFilePos == SEEK_FAILED) return RC_SEEK_FAILED;
  }

  uint8_t signature[SIGNATURE_SIZE];
  int32_t got = archiveRead(signature, SIGNATURE_SIZE);
  if (got < 0) return RC_READ_FAILED;
  if (got < (int32_t)SIGNATURE_SIZE) return DAMAGED("the file ends where this block should begin");
  if (compareBytes(signature, DIRECTORY_SIGNATURE, SIGNATURE_SIZE) != 0)
    return DAMAGED("directory block without its signature");

  got = archiveRead(state.inputBuffer, DIRECTORY_BLOCK_MAX_ENCODED);
  if (got < 0) return RC_READ_FAILED;
  // A block frame needs its header, as a data block does.
  if (got < (int32_t)BLOCK_HEADER_MIN_BYTES) return DAMAGED("the file ends inside the block's header");
  state.blockBytesLeft = 0;
  state.inputEnd = state.inputBuffer + got;
  // The decoders may read whole words past the loaded bytes.
  for (uint32_t i = 0; i < INPUT_LOOKAHEAD + INPUT_BUFFER_SLACK; ++i) state.inputEnd[i] = 0;
  state.inputCursor = state.inputBuffer;
  state.inputBitOffset = 0;

  const uint8_t* header = state.inputBuffer;
  uint32_t type = readBlockField(header, BF_TYPE);
  if (type > BLOCK_COMPRESSED) return DAMAGED_VALUE("unknown block type", type);
  uint32_t outputLength = readBlockField(header, BF_OUTPUT_LENGTH);
  if (outputLength > DIRECTORY_BUFFER_SIZE) return DAMAGED("directory block longer than 8192 bytes");
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
#ifndef JOV_STUB
  blockIndex = ~0u;
#endif
}

ResultCode nextDirectoryRecord(uint8_t* directoryBuffer, DirectoryEntry* entry, const uint8_t** name) {
  if (state.directoryEnd - state.directoryCursor < (long)DIRECTORY_ENTRY_SIZE) {
    ResultCode rc = readDirectoryBlock(directoryBuffer);
    if (rc != RC_OK) return rc;
    if (state.directoryEnd - state.directoryCursor < (long)DIRECTORY_ENTRY_SIZE)
      return placeFailure(DAMAGED("directory block too short for a record"));
  }
  parseDirectoryEntry(state.directoryCursor, entry);
  state.directoryCursor += DIRECTORY_ENTRY_SIZE;
  uint32_t rest = (uint32_t)entry->nameLength + entry->smallExtraLength + entry->extraLength;
  if ((uint32_t)(state.directoryEnd - state.directoryCursor) < rest)
    return placeFailure(DAMAGED("directory record runs past its block"));
  *name = state.directoryCursor;
#ifndef JOV_STUB
  streamCheck.expectedName = *name;
  streamCheck.expectedNameLength = entry->nameLength;
#endif
  state.directoryCursor += rest;
  return RC_OK;
}

ResultCode readDirectoryBlock(uint8_t* directoryBuffer) {
  uint8_t* cursor = state.inputCursor;
  uint32_t bitOffset = state.inputBitOffset;
  uint8_t* end = state.inputEnd;
  int32_t bytesLeft = state.blockBytesLeft;
  enterBlock();
  ResultCode rc = placeFailure(fetchDirectoryBlock(directoryBuffer));
  state.inputCursor = cursor;
  state.inputBitOffset = bitOffset;
  state.inputEnd = end;
  state.blockBytesLeft = bytesLeft;
  return rc;
}
