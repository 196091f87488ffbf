// Shared pieces of the fuzz targets: checks, the core's start-up, archives
// in memory-backed files, and the front end that answers without a person.
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

// What the front end (quiet_frontend.cpp) was asked to show: existing files
// are replaced and every message is answered OK (go on).
struct QuietFrontEnd {
  uint64_t questions, progressLines, messages;
};
extern QuietFrontEnd quietFrontEnd;
