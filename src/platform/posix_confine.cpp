// Links in the destination: once an extraction root is set (posix.h), a path
// below it is resolved one component at a time from a descriptor of the
// root, with O_NOFOLLOW, so that no symbolic link met on the way (planted
// before the run or swapped in during it) can lead a create, write, chmod or
// xattr outside the root. The root itself is followed, as the user named it.
// Below the root, every change goes through a descriptor (futimens, fchmod,
// fsetxattr) or an *at call that does not follow the last component.
//
// Names below the root are also compared as Windows compares them.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/code_page.h"
#include "platform/posix.h"
#include "platform/posix_internal.h"

namespace posix {

namespace {

// Native path of the extraction root, without trailing "/"; "" is the
// current folder (relative paths lie below it). Unset: nothing is confined.
char rootPath[NATIVE_PATH_SIZE];
bool rootSet = false;

// Why the last confined call refused a path, for the host's messages.
char refusal[NATIVE_PATH_SIZE + 80];

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

}  // namespace

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

namespace {

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

}  // namespace

void refuse(const char* what, const char* name) {
  size_t n = strlen(name), w = strlen(what);
  if (n > NATIVE_PATH_SIZE) n = NATIVE_PATH_SIZE;
  if (w > 76) w = 76;
  memcpy(refusal, name, n);
  memcpy(refusal + n, ": ", 2);
  memcpy(refusal + n + 2, what, w);
  refusal[n + 2 + w] = 0;
}

void rememberName(const std::string& relative) { spelled.emplace(foldedKey(relative), relative); }

void forgetSpelling(const char* native) {
  if (const char* rest = belowRoot(native)) spelled.erase(foldedKey(rest));
}

// Forgets a name removed below the root.
void forgetName(const char* native) {
  forgetSpelling(native);
  dropCachedFolder();
}

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

}  // namespace posix

using namespace posix;

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
