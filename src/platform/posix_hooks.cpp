// The test hooks of the POSIX layer (platform_hooks.h): the path fence and
// the accounted heap. Compiled to nothing without JOV_PLATFORM_HOOKS, so
// that `jov` carries none of it.
#ifdef JOV_PLATFORM_HOOKS
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"
#include "platform/platform_hooks.h"
#include "platform/posix_internal.h"

PlatformHooks platformHooks;

void resetPlatformHooks() {
  uint64_t blocks = platformHooks.liveBlocks, bytes = platformHooks.liveBytes;
  memset(&platformHooks, 0, sizeof platformHooks);
  platformHooks.writeBudget = UINT64_MAX;
  platformHooks.liveBlocks = blocks;
  platformHooks.liveBytes = platformHooks.peakBytes = bytes;
}

namespace posix {

// Aborts when a path to be created, changed or deleted leaves the fence: it
// must continue the fence with "/" and components that are neither empty
// (a trailing "/" aside) nor "." nor "..".
void checkFence(const char* native) {
  const char* fence = platformHooks.fence;
  if (!fence) return;
  size_t n = strlen(fence);
  bool inside = strncmp(native, fence, n) == 0 && native[n] == '/' && native[n + 1] != 0;
  for (const char* c = native + n + 1; inside && *c;) {
    size_t length = strcspn(c, "/");
    bool dots = (length == 1 && c[0] == '.') || (length == 2 && c[0] == '.' && c[1] == '.');
    bool empty = length == 0 && c[0] == '/';
    if (dots || empty) inside = false;
    c += length;
    if (*c == '/') ++c;
  }
  if (!inside) {
    fprintf(stderr, "platform fence: %s lies outside %s\n", native, fence);
    abort();
  }
}

}  // namespace posix

namespace {
// Each block carries its size in front, for the accounting; the caller's part
// keeps malloc's alignment.
const size_t BLOCK_PREFIX = 16;

void* account(uint8_t* raw, uint64_t size) {
  memcpy(raw, &size, sizeof size);
  platformHooks.liveBytes += size;
  if (platformHooks.liveBytes > platformHooks.peakBytes) platformHooks.peakBytes = platformHooks.liveBytes;
  return raw + BLOCK_PREFIX;
}

uint64_t unaccount(uint8_t* raw) {
  uint64_t size;
  memcpy(&size, raw, sizeof size);
  platformHooks.liveBytes -= size;
  return size;
}
}  // namespace

void* memAlloc(uint32_t size) {
  if (FAULT(CALL_ALLOC)) return nullptr;
  uint8_t* raw = (uint8_t*)malloc(BLOCK_PREFIX + size);
  if (!raw) return nullptr;
  ++platformHooks.liveBlocks;
  return account(raw, size);
}

void* memRealloc(void* block, uint32_t size) {
  if (FAULT(CALL_REALLOC)) return nullptr;
  if (!block) return memAlloc(size);
  uint8_t* raw = (uint8_t*)block - BLOCK_PREFIX;
  uint64_t old = unaccount(raw);
  uint8_t* moved = (uint8_t*)realloc(raw, BLOCK_PREFIX + size);
  if (!moved) {
    account(raw, old);
    return nullptr;
  }
  return account(moved, size);
}

void memFree(void* block) {
  if (!block) return;
  uint8_t* raw = (uint8_t*)block - BLOCK_PREFIX;
  unaccount(raw);
  --platformHooks.liveBlocks;
  free(raw);
}
#endif
