// Archives whose records make a reader in directory order work hard: a few
// dozen archive bytes stand for a megabyte of stream.
#pragma once

#include <stdint.h>

#include <vector>

// A compressed block (one table set) of `head` as literals, then zeros up to
// `outputLength`.
std::vector<uint8_t> zeroPaddedBlock(const std::vector<uint8_t>& head, uint32_t outputLength, bool last);

// One stream of `files` such blocks, each starting with a one-byte file "fN"
// (N = 0, 1, ...), the records listed last, first, second to last, second,
// ...: a reader in directory order restarts the stream for every other
// record. Raw archive, no stub.
std::vector<uint8_t> backAndForthArchive(uint32_t files, uint32_t blockOutput);
