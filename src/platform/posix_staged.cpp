// A file being extracted is an unnamed file of its folder (O_TMPFILE) until
// its content has checked out and reached the disk: a run stopped at any
// point, even by SIGKILL or a power loss, leaves no partial file and nothing
// to clean up. Where the file system has no unnamed files it is a named
// temporary (".jov-tmp-" and 8 hex digits) beside its name, which this run
// removes when the file fails; one left by SIGKILL stays, since no run can
// tell it from another run's live file, and a run only deletes its own.
//
// Syncs are batched: fileCommit starts the file's write-out and queues it;
// when the queue is full, when a later call names a queued path, and at
// fileCommitAll, the queue is synced (syncfs: the file system as a whole,
// by then mostly a wait for write-out under way) and only then does each
// file get its name. A name thus never holds bytes that a power loss could
// still take back.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "format.h"  // PATH_CAPACITY, the size of a path fileTakeFailedCommit fills
#include "platform/host_files.h"
#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace posix {

namespace {

const char STAGE_PREFIX[] = ".jov-tmp-";
const size_t STAGE_SUFFIX_LENGTH = 8;  // hex digits
const size_t STAGE_NAME_LENGTH = sizeof STAGE_PREFIX - 1 + STAGE_SUFFIX_LENGTH;
// Batches of up to 1024 files, two descriptors each, as far as the limit
// on open files allows (raised to its hard limit for this); below
// SYNC_ALONE files each is synced on its own.
const size_t PENDING_MOST = 1024;
const size_t SYNC_ALONE = 8;

size_t pendingLimit() {
  static size_t limit = 0;
  if (limit == 0) {
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
      files.rlim_cur = files.rlim_max;
      setrlimit(RLIMIT_NOFILE, &files);
      getrlimit(RLIMIT_NOFILE, &files);
    }
    const rlim_t spare = files.rlim_cur > 64 ? (files.rlim_cur - 64) / 2 : 1;
    limit = spare < PENDING_MOST ? (size_t)spare : PENDING_MOST;
    if (limit < 1) limit = 1;
  }
  return limit;
}

struct Staged {
  int fd = -1;   // the file; -1: slot free
  int dir = -1;  // its folder
  bool named = false;  // a named temporary (no O_TMPFILE)
  bool replacing = false;  // the name was taken when the run asked, and may be replaced
  char temp[STAGE_NAME_LENGTH + 1];
  char leaf[NAME_MAX + 1];
  std::string native;  // the final path, to match later calls
  std::string core;    // the same in the core's notation, for reports
};
// The driver has one file open at a time; a few slots spare.
Staged staged[4];
std::vector<Staged> pending;
// Queued files that could not be put in place: core path, Win32 error.
std::vector<std::pair<std::string, uint32_t>> failedCommits;

Staged* findStaged(FileHandle file) {
  for (Staged& s : staged) {
    if (s.fd >= 0 && s.fd == (int)file) return &s;
  }
  return nullptr;
}

void releaseStaged(Staged& s, bool removeTemp) {
  if (removeTemp && s.named) unlinkat(s.dir, s.temp, 0);
  if (s.fd >= 0) close(s.fd);
  close(s.dir);
  s.fd = s.dir = -1;
}

// Gives a synced file its name; errno on failure. An unnamed file is linked
// straight to a free name; over an existing one it is linked under a fresh
// temporary name and renamed, as rename is the one call that replaces.
int publish(Staged& s) {
  // Something may have taken the name since fileCreateStaged looked.
  struct stat st;
  if (fstatat(s.dir, s.leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    refuse(S_ISDIR(st.st_mode) ? "a folder stands where a file belongs" : "not a regular file; left alone", s.leaf);
    return S_ISDIR(st.st_mode) ? EISDIR : EACCES;
  }
  // A name that was free when the run asked and is taken now was taken by
  // someone else meanwhile (another run into the same folder): it fails
  // cleanly ("file exists") rather than being replaced unasked.
  if (FAULT(CALL_RENAME)) return EIO;
  if (s.named) {
    unsigned flags = s.replacing ? 0 : RENAME_NOREPLACE;
    return renameat2(s.dir, s.temp, s.dir, s.leaf, flags) == 0 ? 0 : errno;
  }
  if (linkUnnamed(s.fd, s.dir, s.leaf)) return 0;
  if (errno != EEXIST || !s.replacing) return errno;
  snprintf(s.temp, sizeof s.temp, "%s%08x", STAGE_PREFIX, 0u);
  if (!linkFresh(s.fd, s.dir, s.temp, STAGE_SUFFIX_LENGTH, FRESH_HEX)) return errno;
  s.named = true;
  return renameat(s.dir, s.temp, s.dir, s.leaf) == 0 ? 0 : errno;
}

}  // namespace

void publishPending() {
  std::vector<Staged> batch;
  batch.swap(pending);
  std::vector<int> errors(batch.size(), 0);
  // A data sync on ext4 commits the journal and flushes the disk's cache,
  // a few milliseconds each: one syncfs for a whole batch costs about as
  // much as one of them. A few files are synced alone, so that a small run
  // does not wait for whatever else the file system holds unwritten.
  if (batch.size() > SYNC_ALONE) {
    int error = FAULT(CALL_SYNC) ? EIO : syncfs(batch[0].fd) != 0 ? errno : 0;
    std::fill(errors.begin(), errors.end(), error);
  } else {
    for (size_t i = 0; i < batch.size(); ++i) {
      if (FAULT(CALL_SYNC)) errors[i] = EIO;
      else if (fdatasync(batch[i].fd) != 0) errors[i] = errno;
    }
  }
  for (size_t i = 0; i < batch.size(); ++i) {
    Staged& s = batch[i];
    int error = errors[i] ? errors[i] : publish(s);
    if (error) {
      failedCommits.emplace_back(s.core, win32Error(error, nullptr));
      forgetSpelling(s.native.c_str());
    }
    releaseStaged(s, error != 0);
  }
}

// A queued file goes in place before any call looks at its path, or at a
// folder above it.
void settlePending(const char* native) {
  for (const Staged& s : pending) {
    size_t n = s.native.size();
    if (strncmp(native, s.native.c_str(), n) == 0 && (native[n] == 0 || native[n] == '/')) {
      publishPending();
      return;
    }
  }
}

}  // namespace posix

using namespace posix;

FileHandle fileCreateStaged(const char* path) {
  lastSystemError = 0;
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return INVALID_FILE;
  FENCE(native);
  Staged* slot = nullptr;
  for (Staged& s : staged) {
    if (s.fd < 0 && !slot) slot = &s;
  }
  Resolved r;
  int error = 0;
  if (!slot) error = EMFILE;
  else if (!resolveParent(native, r) || !replaceableLeaf(r)) error = errno;
  else if (strlen(r.leaf) > NAME_MAX) error = ENAMETOOLONG;
  int fd = -1;
  if (!error && FAULT(CALL_CREATE)) error = EACCES;
  if (!error) {
    fd = openUnnamed(r.dir, ".", 0666);
    slot->named = false;
    if (fd < 0 && !noUnnamedFiles(errno)) error = errno;
  }
  if (!error && fd < 0) {  // no unnamed files here: a named temporary
    snprintf(slot->temp, sizeof slot->temp, "%s%08x", STAGE_PREFIX, 0u);
    fd = createFresh(r.dir, slot->temp, STAGE_SUFFIX_LENGTH, FRESH_HEX, 0666);
    slot->named = fd >= 0;
    if (fd < 0) error = errno;
  }
  if (error) {
    saveError(error, native);
    return INVALID_FILE;
  }
  slot->fd = fd;
  slot->dir = r.release();
  strcpy(slot->leaf, r.leaf);
  slot->native = native;
  slot->core = path;
  return fd;
}

int fileCommit(FileHandle file, const char* path, uint32_t attributes, int replacing) {
  (void)path;
  lastSystemError = 0;
  Staged* s = findStaged(file);
  if (!s) {
    lastSystemError = ERR_INVALID_HANDLE;
    return 0;
  }
  if (!applyAttributes(s->fd, attributes)) {
    saveError(errno, nullptr);
    releaseStaged(*s, true);
    return 0;
  }
  s->replacing = replacing != 0;
  // Starts the write-out now, so that the batch's sync finds it done.
  sync_file_range(s->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  if (const char* rest = belowRoot(s->native.c_str())) rememberName(rest);
  pending.push_back(std::move(*s));
  s->fd = s->dir = -1;
  if (pending.size() >= pendingLimit()) publishPending();
  return 1;
}

void fileDiscard(FileHandle file, const char* path) {
  uint32_t saved = lastSystemError;
  Staged* s = findStaged(file);
  if (s) {
    releaseStaged(*s, true);
  } else {
    fileClose(file);
    fileDelete(path);
  }
  lastSystemError = saved;
}

void fileCommitAll() { publishPending(); }

int fileTakeFailedCommit(char* path) {
  if (failedCommits.empty()) return 0;
  const auto& [core, error] = failedCommits.front();
  size_t n = core.size() < PATH_CAPACITY - 1 ? core.size() : PATH_CAPACITY - 1;
  memcpy(path, core.c_str(), n);
  path[n] = 0;
  lastSystemError = error;
  failedCommits.erase(failedCommits.begin());
  return 1;
}
