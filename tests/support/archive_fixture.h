// Test-only set-up of an archive file behind state.archiveFile, with the
// block input's buffer and a fresh stream state, as the extraction driver
// would leave them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/crc32.h"
#include "codec/stream_reader.h"
#include "install_state.h"
#include "stored_archive.h"
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
