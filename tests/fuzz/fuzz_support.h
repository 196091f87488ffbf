// Shared pieces of the fuzz targets: the core's state set up as the
// extraction driver leaves it, archives in memory-backed files, and the
// checks of the fuzz targets.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "format.h"
#include "heap_bound.h"
#include "install_state.h"
#include "platform/platform_hooks.h"

// Aborts with the message when `condition` is false: a finding.
void fuzzCheck(bool condition, const char* what);

// CRC table and platform hooks, once per process.
void fuzzInit();

// A file holding `size` bytes at `data`, positioned at 0, in memory (memfd).
FileHandle memoryFile(const uint8_t* data, size_t size);
// Everything in the file, from its start.
std::vector<uint8_t> fileContents(FileHandle file);

// `data` loaded as a block that lies wholly in a fresh block-input buffer
// (blockBytesLeft 0, zeroed tail), cursor at `startBit`; the buffer lives in
// `buffer`.
void loadWholeBlock(std::vector<uint8_t>& buffer, const uint8_t* data, size_t size, uint64_t startBit);

// Kraft sum of the lengths (0 = unused) in units of 2^-16: at most 1 << 16
// is a prefix code, exactly that a complete one.
uint64_t kraftSum(const uint8_t* lengths, uint32_t count);
inline bool isPrefixCode(const uint8_t* lengths, uint32_t count) { return kraftSum(lengths, count) <= (1u << 16); }
inline bool isCompleteCode(const uint8_t* lengths, uint32_t count) { return kraftSum(lengths, count) == (1u << 16); }

// Whether buildDecodeTable accepts the lengths (an incomplete code with long
// codes may exhaust its nodes).
bool tableBuilds(const uint8_t* lengths, uint32_t count, uint32_t lookupBits);
