// The platform folder owns every call into the operating system the core
// makes: files, the heap, the message pump, and the last system error; on
// the host also the conversion of code-page names (code_page.h). It sits at
// the bottom of the layers and includes nothing of the project above it but
// the leaf format.h (src/README.md).
//
// Platform layer: the only way the core reaches files, the heap and the
// message queue. win32.cpp makes the real calls (the stub), the posix_*.cpp
// files map POSIX onto the same contract (the `jov` command and the tests);
// which one is linked decides the platform.
//
// Contract shared by both:
// - Wrappers show nothing and return a handle, a count, 1/0 or -1; callers
//   turn failures into their own ResultCode.
// - On failure a wrapper saves the platform's error number in
//   lastSystemError (below), always as a Win32 error number (POSIX maps
//   errno), so that the core tells causes apart one way everywhere; the
//   installer and `jov` each word them (archive/messages.h). "Clears"
//   below means the wrapper sets lastSystemError to 0 before its call.
// - Paths are 8-bit, "\"-separated; the POSIX layer turns "\" into "/".
#pragma once

#include <stdint.h>

typedef intptr_t FileHandle;  // HANDLE on Win32, a file descriptor on POSIX
typedef void* WindowHandle;   // HWND on Win32, unused (null) on POSIX

const FileHandle INVALID_FILE = (FileHandle)-1;
const uint32_t INVALID_ATTRIBUTES = 0xFFFFFFFFu;
const uint32_t SEEK_FAILED = 0xFFFFFFFFu;

// fileOpen access bits (GENERIC_READ, GENERIC_WRITE)
const uint32_t ACCESS_READ = 0x80000000u;
const uint32_t ACCESS_WRITE = 0x40000000u;

// fileSeek methods
const uint32_t FROM_BEGIN = 0;
const uint32_t FROM_CURRENT = 1;
const uint32_t FROM_END = 2;

// File attribute bits (FILE_ATTRIBUTE_*)
const uint32_t ATTR_READONLY = 0x01;
const uint32_t ATTR_HIDDEN = 0x02;
const uint32_t ATTR_SYSTEM = 0x04;
const uint32_t ATTR_DIRECTORY = 0x10;
const uint32_t ATTR_ARCHIVE = 0x20;
const uint32_t ATTR_NORMAL = 0x80;

// Win32 error numbers the core and the messages use.
const uint32_t ERR_FILE_NOT_FOUND = 2;
const uint32_t ERR_PATH_NOT_FOUND = 3;
const uint32_t ERR_TOO_MANY_OPEN_FILES = 4;
const uint32_t ERR_ACCESS_DENIED = 5;
const uint32_t ERR_INVALID_HANDLE = 6;
const uint32_t ERR_NOT_ENOUGH_MEMORY = 8;
const uint32_t ERR_INVALID_DRIVE = 15;
const uint32_t ERR_WRITE_PROTECT = 19;
const uint32_t ERR_NOT_READY = 21;
const uint32_t ERR_SEEK = 25;
const uint32_t ERR_NOT_DOS_DISK = 26;
const uint32_t ERR_SECTOR_NOT_FOUND = 27;
const uint32_t ERR_WRITE_FAULT = 29;
const uint32_t ERR_READ_FAULT = 30;
const uint32_t ERR_GEN_FAILURE = 31;
const uint32_t ERR_SHARING_VIOLATION = 32;
const uint32_t ERR_HANDLE_DISK_FULL = 39;
// The network errors, ERROR_NOT_SUPPORTED (50) to ERROR_REQ_NOT_ACCEP (71).
const uint32_t ERR_NETWORK_FIRST = 50;
const uint32_t ERR_NETWORK_LAST = 71;
const uint32_t ERR_FILE_EXISTS = 80;
const uint32_t ERR_INVALID_PARAMETER = 87;
const uint32_t ERR_DISK_FULL = 112;
const uint32_t ERR_NEGATIVE_SEEK = 131;
const uint32_t ERR_BAD_PATHNAME = 161;
const uint32_t ERR_ALREADY_EXISTS = 183;
const uint32_t ERR_DIR_NOT_EMPTY = 145;
const uint32_t ERR_FILENAME_EXCED_RANGE = 206;

// Win32 error number of the last failed call, 0 when it succeeded. The layer
// owns it; callers read it to explain a failure, and may set it to name
// their own reason (a path too long) or to keep an earlier failure's number
// across a clean-up call.
extern uint32_t lastSystemError;

// Heap. lastSystemError untouched.
void* memAlloc(uint32_t size);                   // null when out of memory
void* memRealloc(void* block, uint32_t size);    // may move; null leaves block
void memFree(void* block);

// Files. fileCreate: read/write, no sharing, create or truncate, given
// attributes. fileOpen: OPEN_EXISTING with the given access; shares reading
// (and writing too when the access is read-only). Both clear; save.
FileHandle fileCreate(const char* path, uint32_t attributes);
FileHandle fileOpen(const char* path, uint32_t access);
// 1 or 0; on failure saves the error only when lastSystemError is 0.
int fileClose(FileHandle file);
// Count read (short at the end, 0 there), or -1. Clears; saves.
int32_t fileRead(FileHandle file, void* buffer, uint32_t count);
// Count written, or -1; a short write and ERR_HANDLE_DISK_FULL are saved
// as ERR_DISK_FULL.
int32_t fileWrite(FileHandle file, const void* buffer, uint32_t count);
// New position, or SEEK_FAILED, also for a position of 4 GiB - 1 or more,
// which the 32-bit positions of the format cannot name (ERR_INVALID_PARAMETER). From the
// beginning the distance is an unsigned position (every 32-bit one can be
// reached); from the current position or the end it is a signed step.
// Clears; saves.
uint32_t fileSeek(FileHandle file, uint32_t distance, uint32_t method);
// Attribute bits, or INVALID_ATTRIBUTES. Saves (does not clear).
uint32_t fileAttributes(const char* path);
// 1 or 0. Save (do not clear).
int fileDelete(const char* path);
int folderCreate(const char* path);
// DOS local date/time words to the file system's UTC; a zero date leaves that
// time alone. 1 or 0; clear, save.
int fileSetTimes(FileHandle file, uint16_t createDate, uint16_t createTime,
                 uint16_t writeDate, uint16_t writeTime);
// 1 or 0; clears, saves.
int fileSetAttributes(const char* path, uint32_t attributes);

// Extraction's output. fileCreateStaged opens a new, empty file for `path`
// that may stand under another name in the same folder until fileCommit
// (called once its content checked out) closes it, gives it `attributes` and
// puts it under `path` (`replacing`: a file stood there before, whose
// attributes must be reset even when `attributes` is 0); fileDiscard closes
// it and leaves whatever `path` named as it was, as far as the platform can. fileCreateStaged and
// fileCommit clear and save; fileCommit gives 1 or 0; fileDiscard keeps
// lastSystemError.
// What stands at `path`, for the question "is something in the way?":
// fileAttributes, except that a link is reported as a file that is there
// (never followed), where fileAttributes would refuse it.
#ifdef _WIN32
inline uint32_t fileProbe(const char* path) { return fileAttributes(path); }
#else
uint32_t fileProbe(const char* path);
#endif

// fileCreateFresh: the output file when nothing stands at `path` yet, made in
// one call; INVALID_FILE when something does or the call fails, and the
// caller goes the long way (fileProbe, then fileCreateStaged). Keeps
// lastSystemError. Most files of an install are new, and under Wine every
// lookup of a missing name reads its whole folder: the probe would cost a
// second such read per file.
#ifdef _WIN32
FileHandle fileCreateFresh(const char* path);
#else
// Staged files are new inodes anyway: no lookup to save.
inline FileHandle fileCreateFresh(const char*) { return INVALID_FILE; }
#endif

#ifdef _WIN32
// The installer writes in place, then deletes a file that failed.
inline FileHandle fileCreateStaged(const char* path) { return fileCreate(path, ATTR_NORMAL); }
// A file created where none was has none of the applied attributes, so only
// a record that sets some, or a replaced file, needs the call (it opens the
// file again).
inline int fileCommit(FileHandle file, const char* path, uint32_t attributes, int replacing) {
  fileClose(file);
  if (attributes || replacing) fileSetAttributes(path, attributes);
  return 1;
}
inline void fileDiscard(FileHandle file, const char* path) {
  fileClose(file);
  fileDelete(path);
}
inline void fileCommitAll() {}
inline int fileTakeFailedCommit(char*) { return 0; }
#else
// Written as an unnamed file and named after a data sync: `path` never
// holds partial or unchecked bytes, even after a crash. fileCommit may
// queue the file (the syncs are batched): it is in place after the next
// call that names its path, or fileCommitAll at the latest.
FileHandle fileCreateStaged(const char* path);
// Without `replacing`, a file that another process put at `path` since
// then is not replaced: the commit fails with ERR_FILE_EXISTS.
int fileCommit(FileHandle file, const char* path, uint32_t attributes, int replacing);
void fileDiscard(FileHandle file, const char* path);
#endif
// fileCommitAll puts every queued file in place. fileTakeFailedCommit
// reports a queued file that could not be put in place: its path goes into
// `path` (PATH_CAPACITY bytes), its error into lastSystemError, and it
// returns 1; 0 when none is left. The installer queues nothing.
#ifndef _WIN32
void fileCommitAll();
int fileTakeFailedCommit(char* path);
#endif

// Dispatches every queued message of this thread, without waiting. Cheap to
// call often: the Win32 layer drains the queue at most every 25 ms and returns
// at once in between; other platforms have no queue.
void pumpMessages();
