// The packer folder owns writing archives, on the host only: the source
// tree, match finder, parser, code builder, block and directory writer and
// the forward call filter. It uses format.h and the core's shared pieces
// (CRC-32, call filter, name rule); nothing in the core includes it
// (src/README.md).
//
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
  // Where the first stream's blocks end (BlockPlanner), ascending; a block
  // goes to the next of them within DATA_BLOCK_LENGTH, else that far.
  std::vector<uint64_t> blockEnds;
  // Called after every block with the stream bytes consumed so far and the
  // archive bytes written so far.
  std::function<void(uint64_t in, uint64_t out)> progress;
};

// Readers name file positions with 32 bits and keep 0xFFFFFFFF for a failed
// seek, so the whole output, stub included, must end at 0xFFFFFFFE at most:
// the installer seeks to its own end before it reads anything.
const uint64_t MAX_OUTPUT_BYTES = 0xFFFFFFFEu;

struct PackStats {
  uint64_t inputBytes = 0;     // file bytes
  uint64_t archiveBytes = 0;   // header to the end of the directory
  uint32_t entries = 0, files = 0, filtered = 0, streams = 0;
  uint32_t storedBlocks = 0, compressedBlocks = 0, directoryBlocks = 0;
};

// Blocks of a data stream decode to this many bytes each (the last block
// less): the largest length whose stored form still fits blockSize.
const uint32_t DATA_BLOCK_LENGTH = STORED_BLOCK_MAX_DATA;

// A file's bytes as the writer reads them: in order, a piece (at most one
// block) at a time, plus a few small reads at other offsets when it tries the
// call filter. Nothing holds more than a few MiB of one file.
class FileSource {
 public:
  virtual ~FileSource() = default;
  virtual uint64_t size() const = 0;
  // Fills `to` with the `n` bytes at `offset`; throws std::runtime_error
  // naming the file when it cannot (a file that shrank included).
  virtual void read(uint64_t offset, uint8_t* to, size_t n) = 0;
};

// A file already in memory.
class MemorySource : public FileSource {
 public:
  explicit MemorySource(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  uint64_t size() const override { return bytes_.size(); }
  void read(uint64_t offset, uint8_t* to, size_t n) override;

 private:
  const std::vector<uint8_t>& bytes_;
};

class ArchiveWriter {
 public:
  // Writes to `out` from its current position, which becomes archive offset 0.
  // Throws std::runtime_error on a write failure.
  ArchiveWriter(FILE* out, const PackOptions& options);
  ~ArchiveWriter();
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;

  void addFolder(const EntryInfo& info);
  // Streams the file through the writer: memory stays bounded whatever its
  // size. The source is read once in order, after a short look when it is
  // a PE file.
  void addFile(const EntryInfo& info, FileSource& file);
  void addFile(const EntryInfo& info, const std::vector<uint8_t>& bytes);
  // Ends the last stream, writes the directory and fills in the header.
  PackStats finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace jov
