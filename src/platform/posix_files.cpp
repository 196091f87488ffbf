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
// The layer's files by concern: this one (the wrappers and the error map),
// posix_confine.cpp (paths below the extraction root), posix_staged.cpp
// (staged files) and posix_hooks.cpp (the test hooks), sharing
// posix_internal.h.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

#include "format.h"  // the DOS date and time fields fileSetTimes converts
#include "platform/code_page.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "platform/posix_internal.h"

uint32_t lastSystemError;

namespace posix {

namespace {

const char ATTRIBUTE_XATTR[] = "user.jov.attributes";

// The selected code page; none: bytes pass through.
std::unique_ptr<CodePageConverter> pathCodePage;

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

}  // namespace

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

namespace {

uint8_t storedAttributes(const char* native) {
  uint8_t value = 0;
  if (getxattr(native, ATTRIBUTE_XATTR, &value, 1) != 1) return 0;
  return value & (ATTR_HIDDEN | ATTR_SYSTEM);
}

}  // namespace

}  // namespace posix

using namespace posix;

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

#ifndef JOV_PLATFORM_HOOKS
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

// Calls `step(done)`, one read or write of what is left after `done` bytes,
// until `count` bytes have moved or a call moves none, retrying calls that a
// signal broke off. The bytes moved, or -1 with the error saved.
namespace {

template <class Step>
int32_t transferAll(uint32_t count, Step step) {
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = step(done);
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

}  // namespace

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
  return transferAll(count, [&](uint32_t done) { return read((int)file, p + done, count - done); });
}

int32_t fileWrite(FileHandle file, const void* buffer, uint32_t count) {
  lastSystemError = 0;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
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
  const int32_t moved =
      transferAll(count, [&](uint32_t at) { return at < room ? write((int)file, p + at, room - at) : (ssize_t)0; });
  if (moved < 0) return -1;
  const uint32_t done = (uint32_t)moved;
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

// `path` made native, past the test fence and resolved below the root: how
// the calls that change one name begin. False with the error saved.
bool resolvePath(const char* path, char* native, Resolved& r) {
  if (!prepare(path, native)) return false;
  FENCE(native);
  if (resolve(native, r)) return true;
  saveError(errno, native);
  return false;
}

}  // namespace

uint32_t fileAttributes(const char* path) { return attributesOf(path, false); }

uint32_t fileProbe(const char* path) { return attributesOf(path, true); }

int fileDelete(const char* path) {
  char native[NATIVE_PATH_SIZE];
  Resolved r;
  if (!resolvePath(path, native, r)) return 0;
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
  Resolved r;
  if (!resolvePath(path, native, r)) return 0;
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

void pumpMessages() {}
