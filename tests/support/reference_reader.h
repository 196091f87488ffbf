// A small, slow, strict reader of JOV archives, written plainly from the
// format's rules, against which the packer's output is checked. Where the
// installer's reader would merely cope (a distance reaching before the kept
// history, a repeat distance before any explicit one, symbol 287, a table
// that is not a valid prefix code, a match running past the block, a block
// size that disagrees with where the data end), this one fails, so that a
// test catches every stream the installer might read differently.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "format.h"

namespace reference {

struct File {
  DirectoryEntry entry;
  std::string name;
  std::vector<uint8_t> bytes;  // unfiltered content (files only)
};

struct BlockInfo {
  uint32_t type, outputLength, blockSize, distanceAlphabets, setCount;
  bool last;
};

struct Archive {
  ArchiveHeader header;
  std::vector<File> entries;
  std::vector<BlockInfo> blocks;  // data blocks of every stream, in order
  uint32_t directoryBlocks = 0;
};

// Decodes the coded data of one compressed block that starts at `block` (bit
// 50 onwards) and appends to `out`, behind `history` usable bytes already at
// its end. Throws std::runtime_error on anything doubtful. Returns the number
// of bytes the block occupies (its cursor rounded up).
uint32_t decodeCompressedBlock(const uint8_t* block, uint32_t available, std::vector<uint8_t>& out,
                               uint32_t history, uint32_t outputLength, BlockInfo* info);

// Reads `sets` code-length sets of `setSize` from bit 0 of `bytes`.
std::vector<uint8_t> readCodeLengthSets(const std::vector<uint8_t>& bytes, uint32_t setSize, uint32_t sets);

// Undoes the call filter (`mode` 2 or 4: operand bytes) on one piece of a
// file of `length` bytes that starts `passed` bytes into the file.
void restoreCalls(uint8_t* piece, uint32_t n, uint32_t passed, uint32_t length, uint32_t mode);

// Reads a whole archive (starting at its header). Throws std::runtime_error.
Archive readArchive(const std::vector<uint8_t>& archive);

}  // namespace reference
