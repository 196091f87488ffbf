// Shared pieces of the fuzz targets, each of which is one source file. They
// link the scripted test front end, whose empty queues replace existing files
// and answer every message OK.
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

// Called by libFuzzer once, before the first input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  buildCrcTable();
  resetPlatformHooks();
  return 0;
}
