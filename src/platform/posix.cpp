// POSIX platform layer: the contract of platform.h on Linux, for the `jov`
// command and the tests. errno becomes the Win32 error number that the same
// failure gives on Windows, so messages read alike on both.
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
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include "install_state.h"
#include "platform/platform.h"
#include "platform/posix.h"

#ifdef JOV_PLATFORM_HOOKS
#include "platform/platform_hooks.h"
#endif

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

// From the selected code page to UTF-8; none while no code page is selected.
iconv_t pathConverter = (iconv_t)-1;

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
    case ENFILE: return 4;     // ERROR_TOO_MANY_OPEN_FILES
    case EBUSY: return 32;     // ERROR_SHARING_VIOLATION
    case EINVAL: return 87;    // ERROR_INVALID_PARAMETER
    case EIO: return 31;       // ERROR_GEN_FAILURE
    case ENXIO:
    case ENODEV: return 21;    // ERROR_NOT_READY
    default: return 31;
  }
}

void saveError(int error, const char* native) { state.lastSystemError = win32Error(error, native); }

// Converts the path or records 206 and fails.
bool prepare(const char* path, char* native) {
  if (nativePath(path, native)) return true;
  state.lastSystemError = ERR_FILENAME_EXCED_RANGE;
  return false;
}

uint8_t storedAttributes(const char* native) {
  uint8_t value = 0;
  if (getxattr(native, ATTRIBUTE_XATTR, &value, 1) != 1) return 0;
  return value & (ATTR_HIDDEN | ATTR_SYSTEM);
}

int32_t convertToUtf8(iconv_t converter, const char* text, uint32_t length, char* out, uint32_t capacity) {
  if (capacity == 0) return -1;
  if (converter == (iconv_t)-1) {
    if (length >= capacity) return -1;
    memcpy(out, text, length);
    out[length] = 0;
    return (int32_t)length;
  }
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(text);
  size_t inLeft = length;
  char* o = out;
  size_t outLeft = capacity - 1;  // the terminator's place
  while (iconv(converter, &in, &inLeft, &o, &outLeft) == (size_t)-1) {
    if (errno == E2BIG) return -1;
    // EILSEQ or EINVAL: a byte the code page does not define, or a lead byte
    // without its trail byte. It stands for the character of its number,
    // after whatever the converter holds back (1258 waits for combining marks).
    if (iconv(converter, nullptr, nullptr, &o, &outLeft) == (size_t)-1) return -1;
    uint8_t byte = (uint8_t)*in++;
    --inLeft;
    size_t need = byte < 0x80 ? 1 : 2;
    if (outLeft < need) return -1;
    if (byte < 0x80) {
      *o++ = (char)byte;
    } else {
      *o++ = (char)(0xC0 | (byte >> 6));
      *o++ = (char)(0x80 | (byte & 0x3F));
    }
    outLeft -= need;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
  }
  if (iconv(converter, nullptr, nullptr, &o, &outLeft) == (size_t)-1) return -1;
  *o = 0;
  return (int32_t)(o - out);
}

}  // namespace

bool setPathCodePage(int codepage) {
  iconv_t converter = (iconv_t)-1;
  if (codepage != 0) {
    char name[24];
    snprintf(name, sizeof name, "CP%d", codepage);
    converter = iconv_open("UTF-8", name);
    if (converter == (iconv_t)-1) {
      snprintf(name, sizeof name, "WINDOWS-%d", codepage);
      converter = iconv_open("UTF-8", name);
      if (converter == (iconv_t)-1) return false;
    }
    // The core vets names byte by byte (no "..", "/", ":" and so on) before
    // they reach this layer; that holds on disk only for a code page that
    // writes ASCII as ASCII. EBCDIC ones (37, 500, ...) would turn a vetted
    // "KK" into "..".
    char ascii[128], utf8[512];
    for (int i = 1; i < 128; ++i) ascii[i - 1] = (char)i;
    ascii[127] = 0;
    if (convertToUtf8(converter, ascii, 127, utf8, sizeof utf8) != 127 || memcmp(ascii, utf8, 127) != 0) {
      iconv_close(converter);
      return false;
    }
  }
  if (pathConverter != (iconv_t)-1) iconv_close(pathConverter);
  pathConverter = converter;
  return true;
}

int32_t codePageToUtf8(const char* text, uint32_t length, char* out, uint32_t capacity) {
  return convertToUtf8(pathConverter, text, length, out, capacity);
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
  state.lastSystemError = 0;
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return INVALID_FILE;
  FENCE(native);
  mode_t mode = (attributes & ATTR_READONLY) ? 0444 : 0666;
  int fd;
  if (FAULT(CALL_CREATE)) fd = -1, errno = EACCES;
  else do fd = open(native, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    saveError(errno, native);
    return INVALID_FILE;
  }
  return fd;
}

FileHandle fileOpen(const char* path, uint32_t access) {
  state.lastSystemError = 0;
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return INVALID_FILE;
  int flags = O_CLOEXEC;
  if ((access & ACCESS_READ) && (access & ACCESS_WRITE)) flags |= O_RDWR;
  else if (access & ACCESS_WRITE) flags |= O_WRONLY;
  else flags |= O_RDONLY;
  int fd;
  do fd = open(native, flags);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    saveError(errno, native);
    return INVALID_FILE;
  }
  // Win32 cannot open a folder as a file; neither can we.
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    state.lastSystemError = ERR_ACCESS_DENIED;
    return INVALID_FILE;
  }
  return fd;
}

int fileClose(FileHandle file) {
  if (close((int)file) == 0) return 1;
  if (state.lastSystemError == 0) saveError(errno, nullptr);
  return 0;
}

int32_t fileRead(FileHandle file, void* buffer, uint32_t count) {
  state.lastSystemError = 0;
#ifdef JOV_PLATFORM_HOOKS
  if (platformHooks.calls[CALL_READ] + 1 == platformHooks.cancelAtRead) state.cancelRequested = 1;
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
  state.lastSystemError = 0;
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
    state.lastSystemError = ERR_DISK_FULL;
    return -1;
  }
  return (int32_t)done;
}

uint32_t fileSeek(FileHandle file, uint32_t distance, uint32_t method) {
  state.lastSystemError = 0;
  int whence = method == FROM_END ? SEEK_END : method == FROM_CURRENT ? SEEK_CUR : SEEK_SET;
  off_t at;
  if (FAULT(CALL_SEEK)) at = -1, errno = EIO;
  else at = lseek((int)file, method == FROM_BEGIN ? (off_t)distance : (off_t)(int32_t)distance, whence);
  if (at < 0) {
    state.lastSystemError = errno == EINVAL ? 131 : win32Error(errno, nullptr);  // ERROR_NEGATIVE_SEEK
    return SEEK_FAILED;
  }
  if ((uint64_t)at >= SEEK_FAILED) {  // beyond what a 32-bit position can name
    state.lastSystemError = 87;
    return SEEK_FAILED;
  }
  return (uint32_t)at;
}

int32_t archiveRead(void* buffer, uint32_t count) {
  int32_t n = fileRead(state.archiveFile, buffer, count);
  if (n != -1) state.archiveFilePos += (uint32_t)n;
  return n;
}

uint32_t fileAttributes(const char* path) {
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return INVALID_ATTRIBUTES;
  struct stat st;
  if (stat(native, &st) != 0) {
    saveError(errno, native);
    return INVALID_ATTRIBUTES;
  }
  uint32_t bits = storedAttributes(native);
  if (S_ISDIR(st.st_mode)) bits |= ATTR_DIRECTORY;
  if ((st.st_mode & 0222) == 0) bits |= ATTR_READONLY;
  return bits ? bits : ATTR_NORMAL;
}

int fileDelete(const char* path) {
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return 0;
  FENCE(native);
  struct stat st;
  // DeleteFileA removes files only.
  if (lstat(native, &st) == 0 && S_ISDIR(st.st_mode)) {
    state.lastSystemError = ERR_ACCESS_DENIED;
    return 0;
  }
  if (unlink(native) == 0) return 1;
  saveError(errno, native);
  return 0;
}

int folderCreate(const char* path) {
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return 0;
#ifdef JOV_PLATFORM_HOOKS
  struct stat existing;
  if (stat(native, &existing) != 0) FENCE(native);  // asking for a folder that is there changes nothing
#endif
  if (FAULT(CALL_FOLDER)) {
    saveError(EACCES, native);
    return 0;
  }
  if (mkdir(native, 0777) == 0) return 1;
  saveError(errno, native);
  return 0;
}

int fileSetTimes(FileHandle file, uint16_t createDate, uint16_t createTime, uint16_t writeDate,
                 uint16_t writeTime) {
  (void)createDate;
  (void)createTime;
  state.lastSystemError = 0;
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
    local.tm_isdst = -1;  // the date's own daylight-saving rule, as DOS times are wall-clock
    times[1].tv_sec = mktime(&local);
    times[1].tv_nsec = 0;
  }
  if (futimens((int)file, times) == 0) return 1;
  saveError(errno, nullptr);
  return 0;
}

int fileSetAttributes(const char* path, uint32_t attributes) {
  state.lastSystemError = 0;
  char native[NATIVE_PATH_SIZE];
  if (!prepare(path, native)) return 0;
  FENCE(native);
  struct stat st;
  if (stat(native, &st) != 0) {
    saveError(errno, native);
    return 0;
  }
  mode_t mode = st.st_mode & 07777;
  if (attributes & ATTR_READONLY) {
    mode &= ~(mode_t)0222;
  } else if ((mode & 0222) == 0) {
    mode_t mask = umask(0);
    umask(mask);
    mode |= 0222 & ~mask;  // writable again, as a new file would be
    if ((mode & 0222) == 0) mode |= 0200;
  }
  // User attributes need write permission: set them while the file is still
  // (or already) writable, i.e. before taking the write bits away.
  bool changeMode = mode != (st.st_mode & 07777);
  bool becomesReadOnly = (mode & 0222) == 0;
  if (changeMode && !becomesReadOnly && chmod(native, mode) != 0) {
    saveError(errno, native);
    return 0;
  }
  uint8_t extra = (uint8_t)(attributes & (ATTR_HIDDEN | ATTR_SYSTEM));
  if (extra) {
    setxattr(native, ATTRIBUTE_XATTR, &extra, 1, 0);
  } else {
    removexattr(native, ATTRIBUTE_XATTR);
  }
  if (changeMode && becomesReadOnly && chmod(native, mode) != 0) {
    saveError(errno, native);
    return 0;
  }
  return 1;
}

void pumpMessages() {}
