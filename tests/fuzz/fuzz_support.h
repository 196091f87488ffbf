// Shared by the fuzz targets, which link the scripted test front end: its empty
// queues replace existing files and answer every message OK.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include "codec/crc32.h"
#include "heap_bound.h"
#include "install_state.h"
#include "platform/platform_hooks.h"

// Aborts with the message when `condition` is false: a finding.
inline void fuzzCheck(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}
