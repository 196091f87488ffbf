// Temporary files of the host (POSIX only, never in the stub): one set of
// wrappers for the output `jov pack` builds, the files an extraction stages
// (posix_staged.cpp) and the spool of input that cannot be read at any
// position.
//
// - An unnamed file (O_TMPFILE) of a folder: no other run can see, take or
//   remove it, and a run that is killed leaves nothing behind. Once complete
//   it is linked under its name, or under a fresh name and renamed.
// - Where the file system has no unnamed files, a named temporary under a
//   fresh name beside the final one. A run only ever deletes its own: one
//   left by SIGKILL or a power loss stays for the user, since no run can
//   tell it from another run's live file.
// - A spool: a file without a name in TMPDIR, for bytes that must be stored
//   before they can be used.
//
// Every call returns -1 or false with errno set when it fails.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <string>

// Characters a fresh name draws from.
inline constexpr char FRESH_HEX[] = "0123456789abcdef";
inline constexpr char FRESH_LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// An unnamed file, open for reading and writing, in the folder that `dir`
// (a descriptor, or AT_FDCWD) and `folder` name.
int openUnnamed(int dir, const char* folder, mode_t mode);

// Whether openUnnamed failed (with `error`) because the file system has no
// unnamed files: EOPNOTSUPP, or EISDIR and EINVAL from kernels and file
// systems that predate them. Any other error a named file would meet too.
bool noUnnamedFiles(int error);

// Gives the unnamed file `fd` the name `name` in `dir` (EEXIST: taken).
bool linkUnnamed(int fd, int dir, const char* name);

// Fresh names: the last `length` characters of `name` are drawn anew from
// `alphabet` for every try (the process, the clock and a count mixed, so
// that runs started together draw apart); a name that is taken makes
// another try, up to FRESH_TRIES. `name` ends holding the name used.
const int FRESH_TRIES = 64;
// Creates a file of its own under a fresh name (O_EXCL, no link followed).
int createFresh(int dir, char* name, size_t length, const char* alphabet, mode_t mode);
// Links the unnamed file `fd` under a fresh name.
bool linkFresh(int fd, int dir, char* name, size_t length, const char* alphabet);

// The one named temporary of the process that a stopping signal (SIGINT,
// SIGTERM, SIGHUP) removes before the signal takes its course. These make
// it as createFresh and linkFresh do (`name` a whole path) with those
// signals held, so that none comes between the file's making and its
// record. releaseGuarded forgets it: renamed into place (`remove` false) or
// removed.
int createGuarded(char* name, size_t length, const char* alphabet, mode_t mode);
bool linkGuarded(int fd, char* name, size_t length, const char* alphabet);
void releaseGuarded(bool remove);

// A spool: a file without a name in TMPDIR (/tmp when unset or empty), open
// for reading and writing. An unnamed file where the file system has them,
// else `stem` and six characters, removed at once. `folder` receives the
// folder, for messages.
int openSpool(const char* stem, std::string& folder);

// Writes all `count` bytes, through interruptions and short writes.
bool writeAll(int fd, const void* data, size_t count);
