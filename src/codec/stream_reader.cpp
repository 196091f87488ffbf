// Solid stream reader. Between calls the stream stays open: outputBuffer
// holds historyLength bytes of earlier output and then the current block's
// blockLength bytes, which are decoded-stream offsets
// [blockStreamPos, blockStreamPos + blockLength). That range only ever names
// bytes that were really produced: while a block is being started or decoded
// it is empty, so a stream whose block failed can serve nothing more from it
// (a later file either restarts the stream or meets headerPending).
//
// History. Only the last historyKept bytes of the history can still be
// reached: a compressed block narrows them to its window and a stored block
// to WINDOW_MAX before it starts, and every block adds its own bytes. A match
// reaching further is dropped, so what lies before them is dead. It stays in
// place until the buffer would outgrow OUTPUT_BUFFER_LIMIT; only then are the
// kept bytes (at most WINDOW_MAX) moved to the buffer's start. Such a move
// comes after at least BLOCK_MAX_OUTPUT >= 2 * WINDOW_MAX - 1 bytes of output
// (since the last move, and of the block about to start), so moving costs at
// most a byte per byte decoded, however small the blocks; moving the window
// before every block cost a stream of one-byte blocks 512 KiB each.
#include "codec/stream_reader.h"

#include "codec/block_input.h"
#include "codec/call_filter.h"
#include "codec/crc32.h"
#include "codec/lz_decoder.h"
#include "codec/word_load.h"
#include "install_state.h"

namespace {

uint8_t recordScratch[STREAM_RECORD_FIXED_SIZE];

// The host's checks (streamCheck, see the header). In the stub every one of
// these is a constant that the compiler folds away.
#ifndef JOV_STUB
inline void clearRecordCheck() { streamCheck.recordDiffers = false; }
inline void countServed(uint32_t n) { streamCheck.servedBytes += n; }
inline void checkFixedPart(uint32_t length, uint32_t variableLength) {
  if (streamCheck.checkRecords && (readLe32(recordScratch + SR_FILE_LENGTH) != length ||
                                   variableLength != streamCheck.expectedNameLength))
    streamCheck.recordDiffers = true;
}
// Called only while the variable part is as long as the expected name.
inline void checkNamePart(const uint8_t* bytes, uint32_t skipped, uint32_t n) {
  if (streamCheck.checkRecords && !streamCheck.recordDiffers && n &&
      memcmp(bytes, streamCheck.expectedName + skipped, n) != 0)
    streamCheck.recordDiffers = true;
}
// Finds how far the stream of `key` has been decoded (by bisection of the
// ascending keys). A stream missing there counts as decoded throughout.
uint64_t unknownReach;
void enterStream(uint32_t key) {
  unknownReach = ~0ull;
  uint32_t low = 0, high = streamCheck.streamCount;
  while (low < high) {
    uint32_t middle = low + (high - low) / 2;
    if (streamCheck.streamKeys[middle] < key) low = middle + 1;
    else high = middle;
  }
  bool known = low < streamCheck.streamCount && streamCheck.streamKeys[low] == key;
  streamCheck.reach = known ? &streamCheck.streamReach[low] : &unknownReach;
}
// The block just decoded: what of it lies below its stream's reach is
// decoded again.
inline void countDecoded() {
  if (!streamCheck.reach) enterStream(state.streamKey);  // a stream begun without a restart (key NO_STREAM)
  uint64_t start = state.blockStreamPos, end = start + state.blockLength, reach = *streamCheck.reach;
  if (start < reach) streamCheck.redecodedBytes += (end < reach ? end : reach) - start;
  if (end > reach) *streamCheck.reach = end;
}
inline bool overBudget() {
  return streamCheck.decodeAllowance &&
         streamCheck.redecodedBytes + streamCheck.tableWork >
             DECODE_PER_SERVED_BYTE * streamCheck.servedBytes + streamCheck.decodeAllowance;
}
inline void countMoved(uint32_t n) { streamCheck.movedBytes += n; }
inline uint64_t tableWorkSoFar() { return tableEntriesBuilt; }
inline void countTableWork(uint64_t before) { streamCheck.tableWork += tableEntriesBuilt - before; }
// A run over budget is stopped as a whole: the extraction driver reports the
// record in hand and then sees the cancel.
ResultCode refuseWork() {
  streamCheck.tooMuchWork = true;
  state.cancelRequested = 1;
  return DAMAGED("decoding work over budget");
}
// Where the stream in hand stands, for the reasons of its refusals: the
// block in hand (or being started) by its index since the stream's start and
// its file position, and what stopped the stream if a block failed.
uint32_t blockIndex, blockOffset;
DamageReason streamFailure;
void restartPlaces() { blockIndex = ~0u; }
// The next block begins where the block input's cursor stands: at the
// stream's start before its first block, else behind the bytes consumed.
void enterBlock() {
  ++blockIndex;
  if (!state.streamStarted) {
    blockOffset = state.archiveFilePos;
    return;
  }
  const uint8_t* loadedEnd = state.inputEnd + (state.blockBytesLeft > 0 ? INPUT_LOOKAHEAD : 0);
  blockOffset = state.inputFilePos - (uint32_t)(loadedEnd - state.inputCursor);
}
// A block that failed stops its stream (headerPending); data met there is
// damaged here, and later files of the stream repeat why (refuseStopped).
ResultCode placeFailure(ResultCode rc) {
  if (rc == RC_INPUT_EXHAUSTED) noteDamage("coded data runs past the end of its block");
  if (isDamaged(rc)) {
    placeDamage(SITE_DATA_BLOCK, state.streamKey, blockIndex, blockOffset);
    streamFailure = damageReason();
  } else {
    streamFailure = {};
    streamFailure.text = "the block could not be read for an earlier file";
    streamFailure.site = SITE_DATA_BLOCK;
    streamFailure.stream = state.streamKey, streamFailure.block = blockIndex, streamFailure.offset = blockOffset;
  }
  return rc;
}
ResultCode refuseStopped() { return noteDamageAgain(streamFailure); }
#else
inline void clearRecordCheck() {}
inline void countServed(uint32_t) {}
inline void checkFixedPart(uint32_t, uint32_t) {}
inline void checkNamePart(const uint8_t*, uint32_t, uint32_t) {}
inline void enterStream(uint32_t) {}
inline void countDecoded() {}
inline bool overBudget() { return false; }
inline void countMoved(uint32_t) {}
inline uint64_t tableWorkSoFar() { return 0; }
inline void countTableWork(uint64_t) {}
inline ResultCode refuseWork() { return DAMAGED("decoding work over budget"); }
inline void restartPlaces() {}
inline void enterBlock() {}
inline ResultCode placeFailure(ResultCode rc) { return rc; }
inline ResultCode refuseStopped() { return DAMAGED("an earlier block of this stream failed"); }
#endif

// The most history plus block the output buffer holds (besides its slack).
const uint32_t OUTPUT_BUFFER_LIMIT = WINDOW_MAX + BLOCK_MAX_OUTPUT;

// Makes room for a block of `outputLength` bytes behind the history that may
// be reached from it (historyKept, already narrowed for the block): moves
// the kept bytes to the buffer's start when the buffer would outgrow its
// limit otherwise, then grows the buffer as needed.
ResultCode makeRoom(uint32_t outputLength) {
  if (state.historyLength + outputLength > OUTPUT_BUFFER_LIMIT) {
    // Toward the start, so a forward copy is right where the two overlap
    // (a large block behind a history just over the window).
#ifndef JOV_STUB
    memmove(state.outputBuffer, state.outputBuffer + state.historyLength - state.historyKept, state.historyKept);
#else
    copyForward(state.outputBuffer, state.outputBuffer + state.historyLength - state.historyKept, state.historyKept);
#endif
    countMoved(state.historyKept);
    state.historyLength = state.historyKept;
  }
  return growOutputBuffer(state.historyLength);
}

ResultCode restartStream(uint32_t key) {
  enterStream(key);
  restartPlaces();
  memFree(state.outputBuffer);
  startStreamReading(state.inputBuffer);
  state.streamKey = key;
  state.archiveFilePos = fileSeek(state.archiveFile, key, FROM_BEGIN);
  if (state.archiveFilePos == SEEK_FAILED) {
    state.streamKey = NO_STREAM;  // nothing of this stream is in hand: the next file restarts it
    return RC_SEEK_FAILED;
  }
  return RC_OK;
}

// Reads the header of the block just started, sizes the buffer and decodes
// the block behind the history.
ResultCode decodeNextBlock() {
  ResultCode rc;
  const uint8_t* header = state.inputCursor;
  uint32_t type = readBlockField(header, BF_TYPE);
  if (type > BLOCK_COMPRESSED) return DAMAGED_VALUE("unknown block type", type);
  state.lastBlockSeen = (uint8_t)readBlockField(header, BF_LAST);
  uint32_t outputLength = readBlockField(header, BF_OUTPUT_LENGTH);
  state.blockLength = outputLength;
  if (!state.outputBuffer) {
    uint8_t* buffer = (uint8_t*)memAlloc(outputLength + OUTPUT_BUFFER_SLACK);
    if (!buffer) return RC_NO_MEMORY;
    state.outputBuffer = buffer;
    state.outputCapacity = outputLength + OUTPUT_BUFFER_SLACK;
  }

  // The first block since a restart has no history: its selector is not read.
  if (state.streamStarted)
    state.historyKept = keptHistory(state.historyKept, blockWindow(type, readBlockField(header, BF_WINDOW_SELECTOR)));
  rc = makeRoom(outputLength);
  if (rc < 0) return rc;
  state.inputCursor += BLOCK_CODED_DATA_BIT / 8;
  state.inputBitOffset = BLOCK_CODED_DATA_BIT % 8;
  int32_t produced;
  if (type == BLOCK_COMPRESSED) {
    uint64_t tablesBefore = tableWorkSoFar();
    produced = decodeBlock(state.outputBuffer + state.historyLength - state.historyKept, state.historyKept,
                           outputLength);
    countTableWork(tablesBefore);
  } else {
    produced = copyStoredBytes(state.outputBuffer + state.historyLength, outputLength);
  }
  if (produced < 0) return produced;
  if ((uint32_t)produced < outputLength) {
    state.blockLength = (uint32_t)produced;  // the stream ends with this block
    state.lastBlockSeen = 1;
  }
  state.headerPending = 0;
  state.streamStarted = 1;
  return RC_OK;
}

// Where a file's cut stands in the StreamRecord in front of its bytes.
struct RecordProgress {
  uint32_t gathered;  // bytes of the fixed part copied into recordScratch
  uint32_t skipped;   // bytes of the variable part (the name) stepped over
};

// Takes the next of the StreamRecord's bytes from `bytes` (`available` > 0
// of them): its fixed part is gathered, its variable part stepped over
// whatever it holds, and on the host both are held against the directory
// record of a file of `length` bytes. The count taken, 0 once the record is
// behind.
uint32_t stepOverRecord(RecordProgress& record, const uint8_t* bytes, uint32_t available, uint32_t length) {
  if (record.gathered < STREAM_RECORD_FIXED_SIZE) {
    uint32_t n = STREAM_RECORD_FIXED_SIZE - record.gathered;
    if (n > available) n = available;
    for (uint32_t i = 0; i < n; ++i) recordScratch[record.gathered + i] = bytes[i];
    countServed(n);
    record.gathered += n;
    return n;
  }
  uint32_t variableLength = readLe16(recordScratch + SR_VARIABLE_LENGTH);
  checkFixedPart(length, variableLength);
  uint32_t n = variableLength - record.skipped;
  if (n > available) n = available;
  checkNamePart(bytes, record.skipped, n);
  record.skipped += n;
  return n;
}

// Once the block in hand is served: makes it history and decodes the
// stream's next block behind it, unless the run was cancelled, the stream
// has ended or failed before, or the work budget is spent.
ResultCode advanceBlock() {
  // A long file spans many blocks: the queue is drained between them (the
  // pump limits how often), so the dialog stays painted and a Cancel is
  // seen within one block.
  pumpMessages();
  if (state.cancelRequested) return RC_CANCELLED;
  if (state.headerPending) return refuseStopped();  // an earlier block of this stream failed
  if (overBudget()) return refuseWork();
  state.headerPending = 1;
  // The stream ended before the file did. Its CRC alone would not always
  // tell: a record may claim the CRC of the bytes that did come (0 for
  // none), so a short file is damaged data in its own right.
  if (state.lastBlockSeen) return placeFailure(DAMAGED("the file runs past its stream's last block"));
  enterBlock();
  ResultCode rc = fillInput(true);
  if (rc < 0) return placeFailure(rc);
  // The finished block becomes history; the new one holds nothing until
  // it has been decoded.
  state.historyLength += state.blockLength;
  state.historyKept += state.blockLength;
  state.blockStreamPos += state.blockLength;
  state.blockLength = 0;
  rc = decodeNextBlock();
  if (rc < 0) {
    state.blockLength = 0;
    return placeFailure(rc);
  }
  countDecoded();
  return RC_OK;
}

}  // namespace

#ifndef JOV_STUB
StreamCheck streamCheck;
#endif

void startStreamReading(uint8_t* input) {
  state.inputBuffer = input;
  state.inputCursor = state.inputEnd = input;
  state.inputBitOffset = 0;
  state.blockBytesLeft = 0;
  state.outputBuffer = nullptr;
  state.outputCapacity = 0;
  state.streamKey = NO_STREAM;
  state.streamStarted = state.headerPending = state.lastBlockSeen = 0;
  state.historyLength = state.historyKept = state.blockLength = state.blockStreamPos = 0;
}

ResultCode growOutputBuffer(uint32_t historyBytes) {
  uint32_t needed = historyBytes + state.blockLength;
  if (needed <= state.outputCapacity) return RC_OK;
  // By half again, up to the limit: a stream of small blocks grows the
  // buffer a few dozen times, not once per block (a reallocation may copy).
  uint32_t size = needed + needed / 2;
  if (size > OUTPUT_BUFFER_LIMIT) size = needed > OUTPUT_BUFFER_LIMIT ? needed : OUTPUT_BUFFER_LIMIT;
  uint8_t* buffer = (uint8_t*)memRealloc(state.outputBuffer, size + OUTPUT_BUFFER_SLACK);
  if (!buffer) return RC_NO_MEMORY;
  state.outputBuffer = buffer;
  state.outputCapacity = size + OUTPUT_BUFFER_SLACK;
  return RC_OK;
}

ResultCode readStreamFile(FileHandle output, uint32_t streamOffset, uint32_t streamPosition,
                          uint32_t length, uint8_t flags) {
  state.runningCrc = 0xFFFFFFFFu;
  clearRecordCheck();
  if (length == 0) {
    state.runningCrc = ~state.runningCrc;
    return RC_OK;
  }
  state.lastBlockSeen = 0;
  RecordProgress record = {0, 0};
  uint32_t passed = 0;  // file bytes already through the call filter
  state.filterMode = (flags & ENTRY_FILTER_2)   ? FILTER_OPERAND_16
                     : (flags & ENTRY_FILTER_4) ? FILTER_OPERAND_32
                                                : FILTER_NONE;

  uint32_t key = state.archiveOffset + streamOffset + SIGNATURE_SIZE;
  if (key != state.streamKey || streamPosition < state.blockStreamPos) {
    ResultCode rc = restartStream(key);
    if (rc < 0) return rc;
  }

  // position >= blockStreamPos holds throughout: it starts there or later and
  // a new block begins only once position has reached the current one's end.
  uint32_t position = streamPosition, remaining = length;
  for (;;) {
    if (position - state.blockStreamPos < state.blockLength) {
      uint32_t offset = position - state.blockStreamPos;
      uint32_t available = state.blockLength - offset;
      const uint8_t* bytes = state.outputBuffer + state.historyLength + offset;
      uint32_t taken = stepOverRecord(record, bytes, available, length);
      if (taken > 0) {
        position += taken;
        continue;
      }
      uint32_t n = remaining < available ? remaining : available;
      if (state.filterMode == FILTER_NONE) {
        state.runningCrc = crc32Update(bytes, n, state.runningCrc);
        if (fileWrite(output, bytes, n) != (int32_t)n) return RC_WRITE_FAILED;
      } else {
        ResultCode rc = writeFiltered(output, bytes, n, passed, length);
        if (rc < 0) return rc;
        passed += n;
      }
      remaining -= n;
      position += n;
      countServed(n);
    }
    if (remaining == 0) break;
    ResultCode rc = advanceBlock();
    if (rc < 0) return rc;
  }
  state.runningCrc = ~state.runningCrc;
  return RC_OK;
}
