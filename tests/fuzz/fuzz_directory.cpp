// readDirectoryBlock and the walk over the directory records.
//
// Input: the entryCount (u32), then the directory as it lies in the archive
// (blocks, each behind its signature), read from a file as the driver reads
// it. The walk takes records as the driver does and checks: the directory
// buffer (exactly 8192 bytes) is never overrun, every record lies within the
// decoded bytes of its block, the data stream's block-input figures survive
// every fetch whatever its result, nothing stays allocated, and a name that
// isSafeEntryName accepts is relative and free of "." and ".." components.
#include "archive/directory.h"
#include "archive/names.h"
#include "fuzz_support.h"

namespace {

void checkAcceptedName(const uint8_t* name, uint32_t length) {
  fuzzCheck(length > 0 && name[0] != '\\' && name[0] != '/', "accepted names are relative");
  uint32_t start = 0;
  for (uint32_t i = 0; i <= length; ++i) {
    if (i < length && name[i] != '\\' && name[i] != '/') continue;
    uint32_t n = i - start;
    fuzzCheck(n > 0, "no empty component");
    fuzzCheck(!(n == 1 && name[start] == '.') && !(n == 2 && name[start] == '.' && name[start + 1] == '.'),
              "no . or .. component");
    for (uint32_t k = start; k < i; ++k) fuzzCheck(name[k] != ':' && name[k] >= 32, "no drive, stream or control");
    start = i + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzInit();
  if (size < 4) return 0;
  state.archiveFile = memoryFile(data, size);
  state.archiveOffset = 0;
  state.header.entryCount = readLe32(data);
  state.header.directoryOffset = 4;
  state.cancelRequested = 0;

  std::vector<uint8_t> input(INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK, 0);
  std::vector<uint8_t> directory(DIRECTORY_BUFFER_SIZE);
  state.inputBuffer = input.data();
  // A data stream in progress: its figures must come back unchanged.
  uint8_t* const streamCursor = input.data() + 1234;
  uint8_t* const streamEnd = input.data() + 5678;
  state.directoryCursor = state.directoryEnd = directory.data();
  state.directoryPos = state.archiveFilePos = 4;
  fileSeek(state.archiveFile, 4, FROM_BEGIN);
  uint64_t blocksBefore = platformHooks.liveBlocks;

  for (uint32_t index = 0; index < state.header.entryCount; ++index) {
    if (state.directoryEnd - state.directoryCursor < (long)DIRECTORY_ENTRY_SIZE) {
      state.inputCursor = streamCursor;
      state.inputBitOffset = 5;
      state.inputEnd = streamEnd;
      state.blockBytesLeft = 4321;
      ResultCode rc = readDirectoryBlock(directory.data());
      fuzzCheck(state.inputCursor == streamCursor && state.inputBitOffset == 5 && state.inputEnd == streamEnd &&
                    state.blockBytesLeft == 4321,
                "the stream's block-input figures survive a directory fetch");
      fuzzCheck(state.directoryCursor == directory.data(), "a fetch starts at the buffer's start");
      fuzzCheck(state.directoryEnd >= directory.data() && state.directoryEnd <= directory.data() + directory.size(),
                "decoded bytes within the directory buffer");
      if (rc != RC_OK) {
        fuzzCheck(state.directoryEnd == state.directoryCursor, "a failed fetch leaves no record");
        fuzzCheck(rc == RC_DAMAGED || rc == RC_INPUT_EXHAUSTED, "a file in memory fails only as damaged data");
        break;
      }
      if (state.directoryEnd - state.directoryCursor < (long)DIRECTORY_ENTRY_SIZE) break;
    }
    DirectoryEntry entry;
    parseDirectoryEntry(state.directoryCursor, &entry);
    state.directoryCursor += DIRECTORY_ENTRY_SIZE;
    uint32_t rest = (uint32_t)entry.nameLength + entry.smallExtraLength + entry.extraLength;
    if ((uint32_t)(state.directoryEnd - state.directoryCursor) < rest) break;
    if (isSafeEntryName(state.directoryCursor, entry.nameLength))
      checkAcceptedName(state.directoryCursor, entry.nameLength);
    state.directoryCursor += rest;
  }
  fuzzCheck(platformHooks.liveBlocks == blocksBefore, "nothing stays allocated");
  fileClose(state.archiveFile);
  return 0;
}
