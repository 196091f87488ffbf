// An archive whose records make a reader in directory order work hard: a few
// dozen archive bytes stand for a megabyte of stream.
#pragma once

#include <stdint.h>

#include <vector>

// One stream of `files` compressed blocks of `blockOutput` bytes, each a
// one-byte file "fN" (N = 0, 1, ...) padded with zeros, the records listed
// last, first, second to last, second, ...: a reader in directory order
// restarts the stream for every other record. Raw archive, no stub.
std::vector<uint8_t> backAndForthArchive(uint32_t files, uint32_t blockOutput);
