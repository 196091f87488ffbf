// The archive producer: header, solid data streams of blocks, and the
// directory. Files are appended in directory order, so the reader walks each
// stream forward and never restarts it.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "format.h"

namespace jov {

struct EntryInfo {
  std::string name;  // 8-bit, "\" between components, no leading separator
  bool folder = false;
  uint8_t attributes = 0;
  uint16_t createDate = 0, createTime = 0, writeDate = 0, writeTime = 0;
};

struct PackOptions {
  int level = 6;          // 0 stores, 1..9
  unsigned threads = 1;   // never changes the output, only the speed
  // Called after every block with the stream bytes consumed so far and the
  // archive bytes written so far.
  std::function<void(uint64_t in, uint64_t out)> progress;
};

struct PackStats {
  uint64_t inputBytes = 0;     // file bytes
  uint64_t archiveBytes = 0;   // header to the end of the directory
  uint32_t entries = 0, files = 0, filtered = 0, streams = 0;
  uint32_t storedBlocks = 0, compressedBlocks = 0, directoryBlocks = 0;
};

// Blocks of a data stream decode to this many bytes each (the last block
// less): the largest length whose stored form still fits blockSize.
const uint32_t DATA_BLOCK_LENGTH = STORED_BLOCK_MAX_DATA;

class ArchiveWriter {
 public:
  // Writes to `out` from its current position, which becomes archive offset 0.
  // Throws std::runtime_error on a write failure.
  ArchiveWriter(FILE* out, const PackOptions& options);
  ~ArchiveWriter();
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;

  void addFolder(const EntryInfo& info);
  // `bytes` is the file's content; it may be modified (filtered) in place.
  void addFile(const EntryInfo& info, std::vector<uint8_t>& bytes);
  // Ends the last stream, writes the directory and fills in the header.
  PackStats finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Applies the forward call filter to this PE file when a quick trial
// compression of both forms finds the filtered one smaller, and says whether
// it did. `streamStart` decides the pieces.
bool filterIfItPays(std::vector<uint8_t>& bytes, uint64_t streamStart);

}  // namespace jov
