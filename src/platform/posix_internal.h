// What the files of the POSIX platform layer share, and nothing outside the
// layer includes: the error map (posix_files.cpp), the confinement of paths
// below the extraction root (posix_confine.cpp), staged files
// (posix_staged.cpp) and the test hooks (posix_hooks.cpp).
#pragma once

#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"

#ifdef JOV_PLATFORM_HOOKS
#include "platform/platform_hooks.h"
#endif

namespace posix {

#ifdef JOV_PLATFORM_HOOKS
// Counts the call and tells whether it is the one to fail.
inline bool faultDue(PlatformCall kind) { return ++platformHooks.calls[kind] == platformHooks.failAt[kind]; }

// Aborts when a path to be created, changed or deleted leaves the fence.
void checkFence(const char* native);
#define FAULT(kind) posix::faultDue(kind)
#define FENCE(native) posix::checkFence(native)
#else
#define FAULT(kind) false
#define FENCE(native) ((void)0)
#endif

const size_t NATIVE_PATH_SIZE = 4096;

// ---- paths and errors (posix_files.cpp) -------------------------------------

// Code-page text to UTF-8, then "\" separators become "/". False when the
// path does not fit NATIVE_PATH_SIZE.
bool nativePath(const char* path, char* out);

// The Win32 error number for errno `error`; `native`, when given, tells
// "file not found" from "path not found".
uint32_t win32Error(int error, const char* native);
void saveError(int error, const char* native);

// ---- below the extraction root (posix_confine.cpp) -------------------------

// Remembers why a confined call refused `name` (relative to the root) for
// takeRefusal.
void refuse(const char* what, const char* name);

// A path resolved for an *at call: `dir` holds the leaf. Unconfined paths
// keep the system's own resolution (AT_FDCWD and the whole path).
struct Resolved {
  int dir = AT_FDCWD;
  const char* leaf = nullptr;
  bool confined = false;
  char buffer[NATIVE_PATH_SIZE];

  Resolved() = default;
  Resolved(const Resolved&) = delete;
  Resolved& operator=(const Resolved&) = delete;
  bool borrowed = false;  // dir is the folder cache's, not ours to close

  ~Resolved() {
    if (dir >= 0 && !borrowed) close(dir);
  }
  // Hands a descriptor of the folder over to the caller.
  int release() {
    int fd = borrowed ? fcntl(dir, F_DUPFD_CLOEXEC, 0) : dir;
    dir = AT_FDCWD;
    borrowed = false;
    return fd;
  }
};

// Fills `r` for `native`. False with errno set (and the refusal when a link
// or a non-folder stands where a folder must be).
bool resolve(const char* native, Resolved& r);

// The folder holding `native` as a descriptor in r.dir, the name in r.leaf,
// whether or not the path is confined.
bool resolveParent(const char* native, Resolved& r);

// The path below the root that `native` names (after its "/"), or null
// when it is not confined.
const char* belowRoot(const char* native);

// A name made below the root (relative, as on disk), for the spelling of
// later paths.
void rememberName(const std::string& relative);
// Forgets the spelling of a confined path whose file did not come to be.
void forgetSpelling(const char* native);
// Forgets a name removed below the root.
void forgetName(const char* native);

// Converts the path, names it as Windows would below the root and lets a
// staged file waiting for that name take it first; or records 206 and fails.
bool prepare(const char* path, char* native);

// What stands at the leaf: 0 when nothing does, else st_mode's type bits
// (the leaf itself, never a link's target); -1 on another failure.
int leafType(const Resolved& r);

// A confined leaf that a file may replace: nothing, a regular file, or a
// link. Anything else is refused (errno set) without being opened.
bool replaceableLeaf(Resolved& r);

// ---- attributes (posix_files.cpp) -------------------------------------------

// Read-only, hidden and system onto the open file or folder; errno on
// failure.
bool applyAttributes(int fd, uint32_t attributes);

// ---- staged files (posix_staged.cpp) ----------------------------------------

// Syncs and names every queued file.
void publishPending();
// Names the queued files first when one of them is `native` or lies below it.
void settlePending(const char* native);

}  // namespace posix
