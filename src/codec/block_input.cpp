// Block input: one buffer through which a block's compressed bytes pass from
// state.archiveFile to the bit readers.
//
// Invariants while a block is loaded:
// - the block's loaded bytes start at inputBuffer; inputCursor/inputBitOffset
//   name the next unread bit;
// - while blockBytesLeft > 0, the INPUT_LOOKAHEAD bytes from inputEnd on are
//   loaded but held back: they move to the front at the next refill, so a bit
//   reader that tests inputEnd once per step may run into them;
// - the "loaded end" is inputEnd (+ INPUT_LOOKAHEAD while bytes are left);
//   at most 8 + INPUT_CHUNK bytes are loaded, and the ZERO_TAIL bytes after
//   the loaded end are cleared, so the decoders' whole-word over-reads stay
//   inside the allocation and never see stale or uninitialised bytes;
// - inputFilePos is the file position that corresponds to the loaded end.
//
// Running out of input: a read that comes back short means the file ends
// inside the block. The block then has no more bytes in the file
// (blockBytesLeft 0), the bytes that did arrive stay readable, and the next
// refill reports RC_INPUT_EXHAUSTED; a refill can never be asked again and
// again for bytes that do not come.
#include "codec/block_input.h"

#include "codec/word_load.h"
#include "install_state.h"

namespace {

// Cleared bytes behind the loaded end: the lookahead and the slack. The loaded
// end is at most inputBuffer + 8 + INPUT_CHUNK = INPUT_BUFFER_SIZE - 8, so the
// cleared tail ends exactly at the end of the allocation.
const uint32_t ZERO_TAIL = INPUT_LOOKAHEAD + INPUT_BUFFER_SLACK;
static_assert(8 + INPUT_CHUNK + ZERO_TAIL == INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK,
              "the cleared tail must end at the end of the allocation");

uint8_t* loadedEnd() { return state.inputEnd + (state.blockBytesLeft > 0 ? INPUT_LOOKAHEAD : 0); }

void clearTail() {
  uint8_t* p = loadedEnd();
  for (uint32_t i = 0; i < ZERO_TAIL; ++i) p[i] = 0;
}

// `loaded` bytes now stand at the buffer's start; sets inputEnd and clears the
// tail behind them.
void setLoaded(uint32_t loaded) {
  state.inputEnd = state.inputBuffer + loaded - (state.blockBytesLeft > 0 ? INPUT_LOOKAHEAD : 0);
  clearTail();
}

// Loads the next chunk of the block to inputBuffer + 8. Returns the count read
// or -1 after a failed read.
int32_t loadChunk() {
  uint32_t want = (uint32_t)state.blockBytesLeft < INPUT_CHUNK ? (uint32_t)state.blockBytesLeft : INPUT_CHUNK;
  int32_t got = archiveRead(state.inputBuffer + INPUT_LOOKAHEAD, want);
  if (got < 0) return -1;
  state.blockBytesLeft -= got;
  if ((uint32_t)got < want) state.blockBytesLeft = 0;  // the file ends inside the block
  return got;
}

ResultCode startBlock() {
  if (state.streamStarted && state.inputFilePos != state.archiveFilePos) {
    // The directory reader has moved the file since this stream's last load.
    state.archiveFilePos = fileSeek(state.archiveFile, state.inputFilePos, FROM_BEGIN);
    if (state.archiveFilePos == SEEK_FAILED) return RC_SEEK_FAILED;
  }
  // Loaded but unconsumed bytes belong to the new block: step back over them.
  // A cursor beyond the loaded end (a short block's header) steps forward.
  int32_t unconsumed = (int32_t)(loadedEnd() - state.inputCursor);
  if (unconsumed != 0) {
    state.archiveFilePos = fileSeek(state.archiveFile, (uint32_t)-unconsumed, FROM_CURRENT);
    if (state.archiveFilePos == SEEK_FAILED) return RC_SEEK_FAILED;
  }

  int32_t first = archiveRead(state.inputBuffer, INPUT_LOOKAHEAD);
  if (first < 0) return RC_READ_FAILED;
  state.blockBytesLeft = 0;
  uint32_t loaded = (uint32_t)first;
  if (loaded < BLOCK_HEADER_MIN_BYTES) {
    setLoaded(loaded);
    return DAMAGED("archive ends inside a block header");
  }
  uint32_t blockSize = readBlockField(state.inputBuffer, BF_BLOCK_SIZE);
  if (blockSize > INPUT_LOOKAHEAD && loaded == INPUT_LOOKAHEAD) {
    state.blockBytesLeft = (int32_t)(blockSize - INPUT_LOOKAHEAD);
    int32_t got = loadChunk();
    if (got < 0) return RC_READ_FAILED;
    loaded += (uint32_t)got;
  }
  // Otherwise the block lies within the bytes read (which may also hold the
  // start of the next block) or the file has ended.
  setLoaded(loaded);
  state.inputCursor = state.inputBuffer;
  state.inputBitOffset = 0;
  state.inputFilePos = state.archiveFilePos;
  return RC_OK;
}

ResultCode refill() {
  if (state.blockBytesLeft <= 0) return RC_INPUT_EXHAUSTED;
  if (state.cancelRequested) return RC_CANCELLED;
  // The held-back lookahead is still unread (the cursor may stand inside it):
  // it moves to the front, and the cursor with it.
  for (uint32_t i = 0; i < INPUT_LOOKAHEAD; ++i) state.inputBuffer[i] = state.inputEnd[i];
  state.inputCursor = state.inputBuffer + (state.inputCursor - state.inputEnd);
  int32_t got = loadChunk();
  if (got < 0) return RC_READ_FAILED;
  state.inputFilePos += (uint32_t)got;
  setLoaded(INPUT_LOOKAHEAD + (uint32_t)got);
  return RC_OK;
}

}  // namespace

int32_t archiveRead(void* buffer, uint32_t count) {
  int32_t n = fileRead(state.archiveFile, buffer, count);
  if (n != -1) state.archiveFilePos += (uint32_t)n;
  return n;
}

ResultCode fillInput(bool startBlockWanted) { return startBlockWanted ? startBlock() : refill(); }

int32_t copyStoredBytes(uint8_t* destination, uint32_t count) {
  if (state.inputBitOffset > 0) ++state.inputCursor;  // stored data start on a byte boundary
  uint8_t* end = loadedEnd();
  uint32_t available = state.inputCursor < end ? (uint32_t)(end - state.inputCursor) : 0;
  uint32_t copied = available < count ? available : count;
  copyForward(destination, state.inputCursor, copied);
  state.inputCursor += copied;
  if (state.cancelRequested) return RC_CANCELLED;
  if (copied == count) return (int32_t)count;

  // Every loaded byte is consumed; the rest comes straight from the file.
  // available == 0 with the cursor past the loaded end happens only when the
  // block has no bytes left in the file, so nothing is read out of place.
  uint32_t want = count - copied;
  if (state.blockBytesLeft <= 0) want = 0;
  else if ((uint32_t)state.blockBytesLeft < want) want = (uint32_t)state.blockBytesLeft;
  int32_t got = want ? archiveRead(destination + copied, want) : 0;
  if (got < 0) return RC_READ_FAILED;
  if (want) {
    // The bytes read directly count as consumed: an empty buffer whose loaded
    // end matches the file position puts the next block right after them.
    state.inputFilePos += (uint32_t)got;
    state.blockBytesLeft = 0;
    state.inputCursor = state.inputEnd = state.inputBuffer;
    clearTail();
  }
  return (int32_t)(copied + (uint32_t)got);
}
