// Test-only control over the POSIX platform layer, compiled in when
// JOV_PLATFORM_HOOKS is defined (the fault-injection tests, the fuzz targets):
// never part of `jov` or the stub.
//
// - Faults: every wrapped call of a kind is counted; the call whose 1-based
//   number equals failAt[kind] fails the way the medium or the heap would, and
//   the wrapper then takes its own failure path (so errno mapping, short-write
//   handling and the callers' clean-up are the real ones).
//     CALL_READ      EIO, or with shortTransfer half the bytes and then the
//                    end of the file
//     CALL_WRITE     EIO, or with shortTransfer half the bytes and then a full
//                    medium (the layer's short-write path, "Disk full")
//     CALL_SEEK      EIO
//     CALL_CREATE    EACCES from fileCreate and fileCreateStaged
//     CALL_FOLDER    EACCES from folderCreate
//     CALL_SYNC      EIO from fileCommit's data sync
//     CALL_RENAME    EIO from fileCommit's rename onto the final name
//     CALL_ALLOC     memAlloc returns null
//     CALL_REALLOC   memRealloc returns null, the block kept
// - A small disk: fileWrite writes at most writeBudget bytes in all; what does
//   not fit comes back short (full medium).
// - A user's Cancel: the read numbered cancelAtRead sets *cancelFlag (the
//   caller points it at the run's cancel flag, which this layer does not
//   know), which the readers see at their next block, refill or table set
//   (keeps a fuzzed archive from decoding for minutes).
// - Heap accounting: blocks and bytes live now and the peak of live bytes.
// - No unnamed files: with unnamedUnsupported, openUnnamed fails as on a file
//   system that has none (EOPNOTSUPP), so staged files and spools take their
//   named fallback.
// - A path fence: when fence is set, every path that a wrapper creates,
//   changes or deletes must lie strictly inside that folder with no "." or
//   ".." component; a path outside aborts the process (the fuzzers' oracle).
#pragma once

#include <stdint.h>

enum PlatformCall {
  CALL_READ,
  CALL_WRITE,
  CALL_SEEK,
  CALL_CREATE,
  CALL_FOLDER,
  CALL_SYNC,
  CALL_RENAME,
  CALL_ALLOC,
  CALL_REALLOC,
  CALL_KINDS
};

struct PlatformHooks {
  uint64_t calls[CALL_KINDS];   // calls made so far, per kind
  uint64_t failAt[CALL_KINDS];  // number of the call to fail; 0: none
  bool shortTransfer;           // CALL_READ/CALL_WRITE faults come back short
  uint64_t writeBudget;         // bytes fileWrite may still write
  uint64_t cancelAtRead;        // number of the read that sets *cancelFlag; 0: none
  volatile uint8_t* cancelFlag; // what that read sets; must be given with cancelAtRead
  uint64_t liveBlocks;          // heap blocks not yet freed
  uint64_t liveBytes;           // their bytes
  uint64_t peakBytes;           // highest liveBytes since the reset
  const char* fence;            // native folder that holds every change, or null
  bool unnamedUnsupported;      // openUnnamed fails with EOPNOTSUPP
};

extern PlatformHooks platformHooks;

// No faults, unlimited disk, counters at 0, no fence. Blocks still live keep
// their accounting.
void resetPlatformHooks();
