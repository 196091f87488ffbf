// POSIX platform layer: the contract of platform.h on Linux, for the `jov`
// command and the tests. errno becomes the Win32 error number that the same
// failure gives on Windows, so the core tells causes apart as it does there.
//
// What POSIX cannot express:
// - share modes: ignored (no mandatory locking);
// - creation times: Linux cannot set a birth time, so only the last-write
//   time is set;
// - hidden and system attributes: kept in the extended attribute
//   "user.jov.attributes" (one byte) where the file system supports user
//   attributes, silently dropped where it does not. Read-only is the absence
//   of every write bit;
// - file names: the core's are 8-bit in a Windows code page, and are
//   converted to UTF-8 once a caller selects that code page (posix.h).
//
// Links in the destination: once an extraction root is set (posix.h), a path
// below it is resolved one component at a time from a descriptor of the
// root, with O_NOFOLLOW, so that no symbolic link met on the way (planted
// before the run or swapped in during it) can lead a create, write, chmod or
// xattr outside the root. The root itself is followed, as the user named it.
// Below the root, every change goes through a descriptor (futimens, fchmod,
// fsetxattr) or an *at call that does not follow the last component.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "format.h"  // the DOS date and time fields fileSetTimes converts
#include "platform/code_page.h"
#include "platform/platform.h"
#include "platform/posix.h"

#ifdef JOV_PLATFORM_HOOKS
#include "platform/platform_hooks.h"
#endif

uint32_t lastSystemError;

namespace {

#ifdef JOV_PLATFORM_HOOKS
// Counts the call and tells whether it is the one to fail.
bool faultDue(PlatformCall kind) { return ++platformHooks.calls[kind] == platformHooks.failAt[kind]; }

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
#define FAULT(kind) faultDue(kind)
#define FENCE(native) checkFence(native)
#else
#define FAULT(kind) false
#define FENCE(native) ((void)0)
#endif

const char ATTRIBUTE_XATTR[] = "user.jov.attributes";
const size_t NATIVE_PATH_SIZE = 4096;

// The selected code page; none: bytes pass through.
std::unique_ptr<CodePageConverter> pathCodePage;

// Code-page text to UTF-8, then "\" separators become "/" (after the
// conversion: in a double-byte code page a trail byte may equal "\", in
// UTF-8 that byte is only ever the character itself). False when the path
// does not fit.
bool nativePath(const char* path, char* out) {
  int32_t length = codePageToUtf8(path, (uint32_t)strlen(path), out, NATIVE_PATH_SIZE);
  if (length < 0) return false;
  for (int32_t i = 0; i < length; ++i) {
    if (out[i] == '\\') out[i] = '/';
  }
  return true;
}

// ENOENT is "file not found" when the folder holding the path exists and
// "path not found" when it does not, as Win32 tells the two apart.
bool parentMissing(const char* native) {
  char parent[NATIVE_PATH_SIZE];
  size_t length = strlen(native);
  memcpy(parent, native, length + 1);
  while (length > 0 && parent[length - 1] == '/') parent[--length] = 0;
  char* slash = strrchr(parent, '/');
  if (!slash) return false;  // relative to the current folder, which exists
  if (slash == parent) return false;
  *slash = 0;
  struct stat st;
  return stat(parent, &st) != 0 || !S_ISDIR(st.st_mode);
}

uint32_t win32Error(int error, const char* native) {
  switch (error) {
    case 0: return 0;
    case ENOENT: return native && parentMissing(native) ? ERR_PATH_NOT_FOUND : ERR_FILE_NOT_FOUND;
    case ENOTDIR: return ERR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY: return ERR_ACCESS_DENIED;
    case EEXIST: return ERR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return ERR_DISK_FULL;
    case EROFS: return ERR_WRITE_PROTECT;
    case ENAMETOOLONG: return ERR_FILENAME_EXCED_RANGE;
    case ELOOP: return ERR_BAD_PATHNAME;
    case ENOMEM: return ERR_NOT_ENOUGH_MEMORY;
    case EBADF: return ERR_INVALID_HANDLE;
    case ENOTEMPTY: return ERR_DIR_NOT_EMPTY;
    case EMFILE:
    case ENFILE: return ERR_TOO_MANY_OPEN_FILES;
    case EBUSY: return ERR_SHARING_VIOLATION;
    case EINVAL: return ERR_INVALID_PARAMETER;
    case EIO: return ERR_GEN_FAILURE;
    case ENXIO:
    case ENODEV: return ERR_NOT_READY;
    default: return ERR_GEN_FAILURE;
  }
}

void saveError(int error, const char* native) { lastSystemError = win32Error(error, native); }

// ---- extraction root ----------------------------------------------------

// Native path of the extraction root, without trailing "/"; "" is the
// current folder (relative paths lie below it). Unset: nothing is confined.
char rootPath[NATIVE_PATH_SIZE];
bool rootSet = false;

// Why the last confined call refused a path, for the host's messages.
char refusal[NATIVE_PATH_SIZE + 80];

void refuse(const char* what, const char* name) {
  size_t n = strlen(name), w = strlen(what);
  if (n > NATIVE_PATH_SIZE) n = NATIVE_PATH_SIZE;
  if (w > 76) w = 76;
  memcpy(refusal, name, n);
  memcpy(refusal + n, ": ", 2);
  memcpy(refusal + n + 2, what, w);
  refusal[n + 2 + w] = 0;
}

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

// The folder of the last confined path, kept open: the files of an archive
// come folder by folder, so most paths skip the walk from the root. The
// descriptor stays bound to the folder it was opened on (no link is
// followed later); setExtractionRoot and every removal below the root drop it.
std::string cachedParent;  // relative to the root, "/" separators
int cachedDir = -1;

void dropCachedFolder() {
  if (cachedDir >= 0) close(cachedDir);
  cachedDir = -1;
  cachedParent.clear();
}

bool isDots(const char* name) { return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)); }

// Fills `r` for `native`. False with errno set (and `refusal` when a link or
// a non-folder stands where a folder must be).
bool resolve(const char* native, Resolved& r) {
  refusal[0] = 0;
  r.leaf = native;
  if (!rootSet) return true;
  size_t n = strlen(rootPath);
  const char* rest;
  if (n == 0) {
    if (native[0] == '/') return true;
    rest = native;
  } else {
    if (strncmp(native, rootPath, n) != 0 || native[n] != '/') return true;
    rest = native + n;
  }
  while (*rest == '/') ++rest;
  if (!*rest) return true;  // the root itself
  r.confined = true;
  size_t length = strlen(rest);
  memcpy(r.buffer, rest, length + 1);
  while (length > 0 && r.buffer[length - 1] == '/') r.buffer[--length] = 0;
  const char* lastSlash = strrchr(r.buffer, '/');
  if (lastSlash && cachedDir >= 0 && !isDots(lastSlash + 1) &&
      cachedParent.compare(0, std::string::npos, r.buffer, (size_t)(lastSlash - r.buffer)) == 0) {
    r.dir = cachedDir;
    r.borrowed = true;
    r.leaf = lastSlash + 1;
    return true;
  }
  int fd = open(n ? rootPath : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  char* component = r.buffer;
  for (;;) {
    char* slash = strchr(component, '/');
    if (!slash) break;
    *slash = 0;
    int next = -1;
    if (*component && !isDots(component)) {
      do next = openat(fd, component, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      while (next < 0 && errno == EINTR);
    } else {
      errno = EINVAL;
    }
    if (next < 0) {
      int error = errno;
      struct stat st;
      if (fstatat(fd, component, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
        if (S_ISLNK(st.st_mode)) {
          refuse("a symbolic link stands where a folder belongs; not followed", r.buffer);
          error = ELOOP;
        } else {
          refuse("not a folder", r.buffer);
          error = ENOTDIR;
        }
      }
      close(fd);
      errno = error;
      return false;
    }
    close(fd);
    fd = next;
    *slash = '/';
    component = slash + 1;
    while (*component == '/') ++component;
  }
  if (isDots(component)) {
    close(fd);
    errno = EINVAL;
    return false;
  }
  r.dir = fd;
  r.leaf = component;
  if (component != r.buffer) {
    dropCachedFolder();
    cachedParent.assign(r.buffer, (size_t)(component - 1 - r.buffer));
    cachedDir = fd;
    r.borrowed = true;
  }
  return true;
}

// The path below the root that `native` names (after its "/"), or null
// when it is not confined.
const char* belowRoot(const char* native) {
  if (!rootSet) return nullptr;
  size_t n = strlen(rootPath);
  if (n == 0) return native[0] == '/' ? nullptr : native;
  if (strncmp(native, rootPath, n) != 0 || native[n] != '/') return nullptr;
  return native + n + 1;
}

// ---- names as Windows sees them -------------------------------------------

// Below the root a path names what Windows would open for it: a component
// that differs only in case from an entry already there (on disk, or made
// by this run) takes that entry's spelling, so a later record replaces an
// earlier one as the installer's does, under the same overwrite rules. A
// folder's entries are read once, when a path first goes through it.
// Keyed by a hash of the folded relative path, so that a name is held once;
// a hit is checked against the name itself.
std::unordered_map<size_t, std::string> spelled;  // -> the relative path as on disk
size_t foldedKey(const std::string& relative) { return std::hash<std::string>()(foldNameCase(relative)); }
std::unordered_set<std::string> listed;               // relative folders (as on disk) already read

void rememberName(const std::string& relative) { spelled.emplace(foldedKey(relative), relative); }

void listFolder(const std::string& relative) {
  if (!listed.insert(relative).second) return;
  std::string full = rootPath[0] ? std::string(rootPath) + "/" + relative : relative;
  DIR* folder = opendir(full.empty() ? "." : full.c_str());
  if (!folder) return;
  while (struct dirent* entry = readdir(folder)) {
    if (!isDots(entry->d_name)) rememberName(relative.empty() ? entry->d_name : relative + "/" + entry->d_name);
  }
  closedir(folder);
}

// Respells the confined part of `native` in place. False when the result
// would not fit.
bool spellAsOnDisk(char* native) {
  const char* rest = belowRoot(native);
  if (!rest) return true;
  while (*rest == '/') ++rest;
  std::string onDisk, folded;
  for (const char* c = rest; *c;) {
    size_t length = strcspn(c, "/");
    std::string component(c, length);
    c += length;
    while (*c == '/') ++c;
    if (component.empty() || isDots(component.c_str())) return true;  // resolve refuses it
    listFolder(onDisk);
    std::string path = onDisk.empty() ? component : onDisk + "/" + component;
    const std::string folded = foldNameCase(path);
    auto found = spelled.find(std::hash<std::string>()(folded));
    onDisk = found != spelled.end() && foldNameCase(found->second) == folded ? found->second : path;
  }
  size_t prefix = (size_t)(rest - native);
  if (prefix + onDisk.size() >= NATIVE_PATH_SIZE) return false;
  memcpy(native + prefix, onDisk.c_str(), onDisk.size() + 1);
  return true;
}

// Forgets a name removed below the root.
void forgetName(const char* native) {
  if (const char* rest = belowRoot(native)) spelled.erase(foldedKey(rest));
  dropCachedFolder();
}

void settlePending(const char* native);  // staged files, below

// Converts the path, names it as Windows would below the root and lets a
// staged file waiting for that name take it first; or records 206 and fails.
bool prepare(const char* path, char* native) {
  if (nativePath(path, native) && spellAsOnDisk(native)) {
    settlePending(native);
    return true;
  }
  lastSystemError = ERR_FILENAME_EXCED_RANGE;
  return false;
}

// What stands at the leaf: 0 when nothing does, else st_mode's type bits
// (the leaf itself, never a link's target); -1 on another failure.
int leafType(const Resolved& r) {
  struct stat st;
  if (fstatat(r.dir, r.leaf, &st, AT_SYMLINK_NOFOLLOW) == 0) return (int)(st.st_mode & S_IFMT);
  return errno == ENOENT ? 0 : -1;
}

// A confined leaf that a file may replace: nothing, a regular file, or a
// link (the link is replaced, its target never touched). A folder, FIFO,
// socket or device is refused without being opened: opening a FIFO waits for
// a writer, opening a device may act on it.
bool replaceableLeaf(Resolved& r) {
  int type = leafType(r);
  if (type == 0 || type == S_IFREG || type == S_IFLNK) return true;
  if (type > 0) {
    refuse(type == S_IFDIR ? "a folder stands where a file belongs" : "not a regular file; left alone", r.buffer);
    errno = type == S_IFDIR ? EISDIR : EACCES;
  }
  return false;
}

// Hidden and system go to the xattr first (user attributes need write
// permission), then read-only takes the write bits away.
bool applyAttributes(int fd, uint32_t attributes) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  if (attributes & ATTR_READONLY) {
    mode &= ~(mode_t)0222;
  } else if ((mode & 0222) == 0) {
    mode_t mask = umask(0);
    umask(mask);
    mode |= 0222 & ~mask;  // writable again, as a new file would be
    if ((mode & 0222) == 0) mode |= 0200;
  }
  bool changeMode = mode != (st.st_mode & 07777);
  bool becomesReadOnly = (mode & 0222) == 0;
  if (changeMode && !becomesReadOnly && fchmod(fd, mode) != 0) return false;
  uint8_t extra = (uint8_t)(attributes & (ATTR_HIDDEN | ATTR_SYSTEM));
  if (extra) {
    fsetxattr(fd, ATTRIBUTE_XATTR, &extra, 1, 0);
  } else {
    fremovexattr(fd, ATTRIBUTE_XATTR);
  }
  return !(changeMode && becomesReadOnly && fchmod(fd, mode) != 0);
}

// ---- staged files -----------------------------------------------------------

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
const char STAGE_PREFIX[] = ".jov-tmp-";
const size_t STAGE_NAME_LENGTH = sizeof STAGE_PREFIX - 1 + 8;
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

uint32_t nextStageNumber() {
  static uint32_t counter = 0;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t x = ((uint64_t)getpid() << 32) ^ (uint64_t)now.tv_nsec ^ ((uint64_t)++counter << 20);
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  return (uint32_t)x;
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
  char self[32];
  snprintf(self, sizeof self, "/proc/self/fd/%d", s.fd);
  if (linkat(AT_FDCWD, self, s.dir, s.leaf, AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != EEXIST || !s.replacing) return errno;
  for (int attempt = 0;; ++attempt) {
    snprintf(s.temp, sizeof s.temp, "%s%08x", STAGE_PREFIX, nextStageNumber());
    if (linkat(AT_FDCWD, self, s.dir, s.temp, AT_SYMLINK_FOLLOW) == 0) break;
    if (errno != EEXIST || attempt == 16) return errno;
  }
  s.named = true;
  return renameat(s.dir, s.temp, s.dir, s.leaf) == 0 ? 0 : errno;
}

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
      if (const char* rest = belowRoot(s.native.c_str())) spelled.erase(foldedKey(rest));
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

uint8_t storedAttributes(const char* native) {
  uint8_t value = 0;
  if (getxattr(native, ATTRIBUTE_XATTR, &value, 1) != 1) return 0;
  return value & (ATTR_HIDDEN | ATTR_SYSTEM);
}

}  // namespace

bool setPathCodePage(int codepage) {
  std::unique_ptr<CodePageConverter> converter;
  if (codepage != 0) {
    try {
      converter = std::make_unique<CodePageConverter>(codepage);
    } catch (const std::runtime_error&) {
      return false;
    }
  }
  pathCodePage = std::move(converter);
  return true;
}

int32_t codePageToUtf8(const char* text, uint32_t length, char* out, uint32_t capacity) {
  if (pathCodePage) return pathCodePage->toUtf8(text, length, out, capacity);
  if (length >= capacity) return -1;
  memcpy(out, text, length);
  out[length] = 0;
  return (int32_t)length;
}

#ifdef JOV_PLATFORM_HOOKS
PlatformHooks platformHooks;

void resetPlatformHooks() {
  uint64_t blocks = platformHooks.liveBlocks, bytes = platformHooks.liveBytes;
  memset(&platformHooks, 0, sizeof platformHooks);
  platformHooks.writeBudget = UINT64_MAX;
  platformHooks.liveBlocks = blocks;
  platformHooks.liveBytes = platformHooks.peakBytes = bytes;
}

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
#else
void* memAlloc(uint32_t size) { return malloc(size ? size : 1); }

void* memRealloc(void* block, uint32_t size) { return realloc(block, size ? size : 1); }

void memFree(void* block) { free(block); }
#endif

FileHandle fileCreate(const char* path, uint32_t attributes) {
  lastSystemError = 0;
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return INVALID_FILE;
  FENCE(native);
  mode_t mode = (attributes & ATTR_READONLY) ? 0444 : 0666;
  Resolved r;
  int fd = -1;
  if (FAULT(CALL_CREATE)) {
    errno = EACCES;
  } else if (resolve(native, r)) {
    int flags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;
    bool ready = true;
    if (r.confined) {
      // A new inode, not a truncated one: a hard link's other names and a
      // symbolic link's target keep their bytes.
      ready = replaceableLeaf(r) && (unlinkat(r.dir, r.leaf, 0) == 0 || errno == ENOENT);
      flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    }
    if (ready) {
      do fd = openat(r.dir, r.leaf, flags, mode);
      while (fd < 0 && errno == EINTR);
    }
  }
  if (fd < 0) {
    saveError(errno, native);
    return INVALID_FILE;
  }
  return fd;
}

FileHandle fileOpen(const char* path, uint32_t access) {
  lastSystemError = 0;
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return INVALID_FILE;
  int flags = O_CLOEXEC;
  if ((access & ACCESS_READ) && (access & ACCESS_WRITE)) flags |= O_RDWR;
  else if (access & ACCESS_WRITE) flags |= O_WRONLY;
  else flags |= O_RDONLY;
  Resolved r;
  if (!resolve(native, r)) {
    saveError(errno, native);
    return INVALID_FILE;
  }
  if (r.confined) {
    int type = leafType(r);
    if (type == S_IFLNK && !(access & ACCESS_WRITE)) {
      // The link itself, never its target: the name is taken (the driver's
      // "does it exist?"), and reading from it fails.
      int fd = openat(r.dir, r.leaf, O_PATH | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) saveError(errno, native);
      return fd < 0 ? INVALID_FILE : fd;
    }
    if (type > 0 && type != S_IFREG && type != S_IFDIR) {
      refuse("not a regular file; left alone", r.buffer);
      lastSystemError = ERR_ACCESS_DENIED;
      return INVALID_FILE;
    }
    flags |= O_NOFOLLOW | O_NONBLOCK;  // a FIFO swapped in meanwhile must not block
  }
  int fd;
  do fd = openat(r.dir, r.leaf, flags);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    saveError(errno, native);
    return INVALID_FILE;
  }
  // Win32 cannot open a folder as a file; neither can we.
  struct stat st;
  if (fstat(fd, &st) == 0 && (S_ISDIR(st.st_mode) || (r.confined && !S_ISREG(st.st_mode)))) {
    close(fd);
    lastSystemError = ERR_ACCESS_DENIED;
    return INVALID_FILE;
  }
  if (r.confined) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int fileClose(FileHandle file) {
  if (close((int)file) == 0) return 1;
  if (lastSystemError == 0) saveError(errno, nullptr);
  return 0;
}

int32_t fileRead(FileHandle file, void* buffer, uint32_t count) {
  lastSystemError = 0;
#ifdef JOV_PLATFORM_HOOKS
  if (platformHooks.calls[CALL_READ] + 1 == platformHooks.cancelAtRead) {
    if (!platformHooks.cancelFlag) abort();  // a cancel asked for with nothing to set
    *platformHooks.cancelFlag = 1;
  }
  if (FAULT(CALL_READ)) {
    if (!platformHooks.shortTransfer) {
      saveError(EIO, nullptr);
      return -1;
    }
    count /= 2;  // then the end of the file
  }
#endif
  uint8_t* p = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = read((int)file, p + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      saveError(errno, nullptr);
      return -1;
    }
    if (n == 0) break;
    done += (uint32_t)n;
  }
  return (int32_t)done;
}

int32_t fileWrite(FileHandle file, const void* buffer, uint32_t count) {
  lastSystemError = 0;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  uint32_t done = 0;
  uint32_t room = count;  // what the medium takes before it is full
#ifdef JOV_PLATFORM_HOOKS
  if (FAULT(CALL_WRITE)) {
    if (!platformHooks.shortTransfer) {
      saveError(EIO, nullptr);
      return -1;
    }
    room = count / 2;
  }
  if (platformHooks.writeBudget < room) room = (uint32_t)platformHooks.writeBudget;
#endif
  while (done < count) {
    ssize_t n = done < room ? write((int)file, p + done, room - done) : 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      saveError(errno, nullptr);
      return -1;
    }
    if (n == 0) break;
    done += (uint32_t)n;
  }
#ifdef JOV_PLATFORM_HOOKS
  platformHooks.writeBudget -= done;
#endif
  if (done < count) {  // a short write means the medium is full
    lastSystemError = ERR_DISK_FULL;
    return -1;
  }
  return (int32_t)done;
}

uint32_t fileSeek(FileHandle file, uint32_t distance, uint32_t method) {
  lastSystemError = 0;
  int whence = method == FROM_END ? SEEK_END : method == FROM_CURRENT ? SEEK_CUR : SEEK_SET;
  off_t at;
  if (FAULT(CALL_SEEK)) at = -1, errno = EIO;
  else at = lseek((int)file, method == FROM_BEGIN ? (off_t)distance : (off_t)(int32_t)distance, whence);
  if (at < 0) {
    lastSystemError = errno == EINVAL ? ERR_NEGATIVE_SEEK : win32Error(errno, nullptr);
    return SEEK_FAILED;
  }
  if ((uint64_t)at >= SEEK_FAILED) {  // beyond what a 32-bit position can name
    lastSystemError = ERR_INVALID_PARAMETER;
    return SEEK_FAILED;
  }
  return (uint32_t)at;
}

namespace {

// `linkIsFile`: a link below the extraction root is reported as a plain file
// standing in the way (the driver's "is something there?"), not refused.
uint32_t attributesOf(const char* path, bool linkIsFile) {
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return INVALID_ATTRIBUTES;
  Resolved r;
  if (!resolve(native, r)) {
    saveError(errno, native);
    return INVALID_ATTRIBUTES;
  }
  struct stat st;
  uint32_t bits = 0;
  if (!r.confined) {
    if (stat(native, &st) != 0) {
      saveError(errno, native);
      return INVALID_ATTRIBUTES;
    }
    bits = storedAttributes(native);
  } else {
    if (fstatat(r.dir, r.leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // The folder is open in r.dir: a missing leaf is "file not found"
      // without another walk to look for the folder.
      lastSystemError = errno == ENOENT ? ERR_FILE_NOT_FOUND : win32Error(errno, native);
      return INVALID_ATTRIBUTES;
    }
    if (linkIsFile && S_ISLNK(st.st_mode)) return ATTR_NORMAL;
    if (linkIsFile && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      // A FIFO, socket or device is never a file of ours to ask about or
      // replace: the record fails when its file is created.
      refuse("not a regular file; left alone", r.buffer);
      lastSystemError = ERR_ACCESS_DENIED;
      return INVALID_ATTRIBUTES;
    }
    if (S_ISLNK(st.st_mode)) {
      // Neither a file nor a folder of ours: a folder record over it fails
      // (folderCreate refuses it too) instead of passing through it.
      refuse("a symbolic link stands here; not followed", r.buffer);
      lastSystemError = ERR_BAD_PATHNAME;
      return INVALID_ATTRIBUTES;
    }
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
      int fd = openat(r.dir, r.leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      uint8_t value = 0;
      if (fd >= 0) {
        if (fgetxattr(fd, ATTRIBUTE_XATTR, &value, 1) == 1) bits = value & (ATTR_HIDDEN | ATTR_SYSTEM);
        close(fd);
      }
    }
  }
  if (S_ISDIR(st.st_mode)) bits |= ATTR_DIRECTORY;
  if ((st.st_mode & 0222) == 0) bits |= ATTR_READONLY;
  return bits ? bits : ATTR_NORMAL;
}

}  // namespace

uint32_t fileAttributes(const char* path) { return attributesOf(path, false); }

uint32_t fileProbe(const char* path) { return attributesOf(path, true); }

int fileDelete(const char* path) {
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return 0;
  FENCE(native);
  Resolved r;
  if (!resolve(native, r)) {
    saveError(errno, native);
    return 0;
  }
  struct stat st;
  // DeleteFileA removes files only. A link goes, never its target.
  if (fstatat(r.dir, r.leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
    lastSystemError = ERR_ACCESS_DENIED;
    return 0;
  }
  if (unlinkat(r.dir, r.leaf, 0) == 0) {
    forgetName(native);
    return 1;
  }
  saveError(errno, native);
  return 0;
}

int folderCreate(const char* path) {
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return 0;
#ifdef JOV_PLATFORM_HOOKS
  struct stat existing;
  if (lstat(native, &existing) != 0) FENCE(native);  // asking for a folder that is there changes nothing
#endif
  if (FAULT(CALL_FOLDER)) {
    saveError(EACCES, native);
    return 0;
  }
  Resolved r;
  if (!resolve(native, r)) {
    saveError(errno, native);
    return 0;
  }
  if (mkdirat(r.dir, r.leaf, 0777) == 0) {
    if (const char* rest = belowRoot(native)) rememberName(rest);
    return 1;
  }
  int error = errno;
  if (error == EEXIST && r.confined && leafType(r) == S_IFLNK) {
    // Taking the link for the folder would put the folder's contents
    // wherever it points.
    refuse("a symbolic link stands where a folder belongs; not followed", r.buffer);
    error = ELOOP;
  }
  saveError(error, native);
  return 0;
}

namespace {

// Wall-clock `local` (a DOS time) as seconds since the epoch, by the date's
// own daylight-saving rule. mktime would do, but it checks the time-zone
// file (a stat) on every call; localtime_r reads the zone once.
time_t localToUtc(struct tm local) {
  const time_t wall = timegm(&local);  // the same fields read as UTC
  struct tm probe;
  long offset = localtime_r(&wall, &probe) ? probe.tm_gmtoff : 0;
  // The offset at the guessed instant settles it, except across a change of
  // offset, where one more step lands on the rule of the instant found.
  for (int step = 0; step < 2; ++step) {
    const time_t guess = wall - offset;
    if (!localtime_r(&guess, &probe) || probe.tm_gmtoff == offset) break;
    offset = probe.tm_gmtoff;
  }
  return wall - offset;
}

}  // namespace

int fileSetTimes(FileHandle file, uint16_t createDate, uint16_t createTime, uint16_t writeDate,
                 uint16_t writeTime) {
  (void)createDate;
  (void)createTime;
  lastSystemError = 0;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // no last-access time is stored
  times[1].tv_sec = 0;
  times[1].tv_nsec = UTIME_OMIT;
  if (writeDate != 0) {
    DosDateTime d = splitDosDateTime(writeDate, writeTime);
    struct tm local;
    memset(&local, 0, sizeof local);
    local.tm_year = d.year - 1900;
    local.tm_mon = d.month - 1;
    local.tm_mday = d.day;
    local.tm_hour = d.hour;
    local.tm_min = d.minute;
    local.tm_sec = d.second;
    times[1].tv_sec = localToUtc(local);
    times[1].tv_nsec = 0;
  }
  if (futimens((int)file, times) == 0) return 1;
  saveError(errno, nullptr);
  return 0;
}

int fileSetAttributes(const char* path, uint32_t attributes) {
  lastSystemError = 0;
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return 0;
  FENCE(native);
  Resolved r;
  if (!resolve(native, r)) {
    saveError(errno, native);
    return 0;
  }
  int fd;
  if (r.confined) {
    // Only folders: a file below the root gets its attributes from
    // fileCommit, and an existing one is replaced, never changed (a hard
    // link would carry the change to its other names).
    if (leafType(r) != S_IFDIR) {
      lastSystemError = ERR_ACCESS_DENIED;
      return 0;
    }
    fd = openat(r.dir, r.leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } else {
    fd = open(native, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  if (fd < 0) {
    saveError(errno, native);
    return 0;
  }
  bool done = applyAttributes(fd, attributes);
  if (!done) saveError(errno, native);
  close(fd);
  return done ? 1 : 0;
}

namespace {

// The folder holding `native` as a descriptor in r.dir, the name in r.leaf,
// whether or not the path is confined.
bool resolveParent(const char* native, Resolved& r) {
  if (!resolve(native, r)) return false;
  if (r.confined) return true;
  size_t length = strlen(native);
  memcpy(r.buffer, native, length + 1);
  while (length > 1 && r.buffer[length - 1] == '/') r.buffer[--length] = 0;
  char* slash = strrchr(r.buffer, '/');
  const char* parent = ".";
  r.leaf = r.buffer;
  if (slash) {
    *slash = 0;
    parent = slash == r.buffer ? "/" : r.buffer;
    r.leaf = slash + 1;
  }
  r.dir = open(parent, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (r.dir < 0) {
    r.dir = AT_FDCWD;
    return false;
  }
  return true;
}

}  // namespace

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
    do fd = openat(r.dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    slot->named = false;
    // No unnamed files here (EOPNOTSUPP; EISDIR or EINVAL from kernels and
    // file systems that predate them): a named temporary.
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) error = errno;
  }
  for (int attempt = 0; !error && fd < 0; ++attempt) {
    snprintf(slot->temp, sizeof slot->temp, "%s%08x", STAGE_PREFIX, nextStageNumber());
    fd = openat(r.dir, slot->temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    slot->named = fd >= 0;
    if (fd < 0 && (errno != EEXIST || attempt == 16) && errno != EINTR) error = errno;
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

void setExtractionRoot(const char* path) {
  publishPending();
  dropCachedFolder();
  spelled.clear();
  listed.clear();
  rootSet = false;
  if (!path) return;
  if (!nativePath(path, rootPath)) return;
  size_t length = strlen(rootPath);
  while (length > 1 && rootPath[length - 1] == '/') rootPath[--length] = 0;
  if (length == 1 && rootPath[0] == '/') rootPath[0] = 0, length = 0;
  rootSet = true;
}

const char* takeRefusal() {
  static char taken[sizeof refusal];
  memcpy(taken, refusal, sizeof refusal);
  refusal[0] = 0;
  return taken;
}

void pumpMessages() {}
