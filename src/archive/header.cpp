#include "archive/header.h"

#include "install_state.h"

ResultCode readArchiveHeader() {
  uint8_t bytes[ARCHIVE_HEADER_SIZE];
  state.archiveFilePos = fileSeek(state.archiveFile, state.archiveOffset, FROM_BEGIN);
  if (state.archiveFilePos == SEEK_FAILED) return RC_SEEK_FAILED;
  int32_t n = fileRead(state.archiveFile, bytes, ARCHIVE_HEADER_SIZE);
  if (n != (int32_t)ARCHIVE_HEADER_SIZE) return RC_READ_FAILED;
  state.archiveFilePos += ARCHIVE_HEADER_SIZE;
#ifdef JOV_STUB
  // The stub reads no other field, and parsing the rest would cost it code.
  state.header.directoryOffset = readLe32(bytes + AH_DIRECTORY_OFFSET);
  state.header.entryCount = readLe32(bytes + AH_ENTRY_COUNT);
#else
  parseArchiveHeader(bytes, &state.header);
#endif
  return RC_OK;
}
