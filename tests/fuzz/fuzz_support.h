// Shared pieces of the fuzz targets: checks, the core's start-up and
// archives in memory-backed files.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "format.h"
#include "heap_bound.h"
#include "install_state.h"
#include "platform/platform_hooks.h"

// Aborts with the message when `condition` is false: a finding.
void fuzzCheck(bool condition, const char* what);

// CRC table and platform hooks, once per process. Its object also holds the
// front end the core's driver calls: existing files are replaced and every
// message is answered OK (go on).
void fuzzInit();

// A file holding `size` bytes at `data`, positioned at 0, in memory (memfd).
FileHandle memoryFile(const uint8_t* data, size_t size);
