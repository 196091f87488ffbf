// Test-only set-up of the block input: over an archive file behind
// state.archiveFile, with a fresh stream state, as the extraction driver
// would leave them; or over bytes already in its buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/crc32.h"
#include "codec/stream_reader.h"
#include "install_state.h"
#include "block_builder.h"
#include "temp_dir.h"

class ArchiveFixture {
 public:
  explicit ArchiveFixture(const std::vector<uint8_t>& bytes) : input_(INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK, 0x5A) {
    writeFile(dir_.path() / "archive.bin", bytes);
    state.archiveFile = fileOpen(dir_.corePath("archive.bin").c_str(), ACCESS_READ);
    state.archiveFilePos = state.archiveOffset = 0;
    startStreamReading(input_.data());
    state.cancelRequested = 0;
    buildCrcTable();
  }
  ~ArchiveFixture() {
    fileClose(state.archiveFile);
    memFree(state.outputBuffer);
    state.outputBuffer = nullptr;
  }
  // Runs `produce` with a fresh output file and returns what it wrote.
  template <typename F>
  std::vector<uint8_t> capture(F produce, int32_t* result) {
    FileHandle h = fileCreate(dir_.corePath("out.bin").c_str(), 0);
    *result = produce(h);
    fileClose(h);
    std::string out = readFile(dir_.path() / "out.bin");
    return {out.begin(), out.end()};
  }

 private:
  TempDir dir_;
  std::vector<uint8_t> input_;
};

// Puts `data` (as much as one load holds) into a fresh block-input buffer as
// a block that lies wholly in it (blockBytesLeft 0), cursor at `startBit`.
struct LoadedInput {
  std::vector<uint8_t> buffer;
  LoadedInput(const std::vector<uint8_t>& data, uint64_t startBit)
      : buffer(INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK, 0) {
    size_t size = std::min<size_t>(data.size(), INPUT_BUFFER_SIZE - INPUT_LOOKAHEAD);  // what one load holds
    std::copy(data.begin(), data.begin() + (ptrdiff_t)size, buffer.begin());
    state.inputBuffer = buffer.data();
    state.inputEnd = buffer.data() + size;
    state.blockBytesLeft = 0;
    state.inputCursor = buffer.data() + startBit / 8;
    state.inputBitOffset = startBit % 8;
  }
};
