#include "platform/host_files.h"

#ifdef JOV_PLATFORM_HOOKS
#include "platform/platform_hooks.h"
#endif

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

// Draws the last `length` characters of `name` from `alphabet`.
void drawSuffix(char* name, size_t length, const char* alphabet) {
  static uint32_t counter = 0;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t x = ((uint64_t)getpid() << 32) ^ (uint64_t)now.tv_nsec ^ ((uint64_t)++counter << 20);
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  const size_t letters = strlen(alphabet);
  char* suffix = name + strlen(name) - length;
  for (size_t i = 0; i < length; ++i) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    suffix[i] = alphabet[(x >> 33) % letters];
  }
}

// Runs `make` (which tries one name) under fresh names while the name drawn
// is taken.
template <typename Make>
bool withFreshName(char* name, size_t length, const char* alphabet, Make make) {
  for (int attempt = 0; attempt < FRESH_TRIES; ++attempt) {
    drawSuffix(name, length, alphabet);
    if (make()) return true;
    if (errno != EEXIST && errno != EINTR) return false;
  }
  errno = EEXIST;
  return false;
}

// The guarded temporary; read by the signal handler.
char guardedPath[4096];
volatile sig_atomic_t guardActive = 0;

void onStopSignal(int sig) {
  if (guardActive) unlink(guardedPath);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Runs `make` with the stopping signals held and records `name` when it
// made the file. errno is make's.
template <typename Make>
bool guarded(const char* name, Make make) {
  if (strlen(name) >= sizeof guardedPath) {
    errno = ENAMETOOLONG;
    return false;
  }
  sigset_t stops, before;
  sigemptyset(&stops);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&stops, sig);
    signal(sig, onStopSignal);
  }
  sigprocmask(SIG_BLOCK, &stops, &before);
  const bool made = make();
  const int error = errno;
  if (made) strcpy(guardedPath, name);
  guardActive = made;
  sigprocmask(SIG_SETMASK, &before, nullptr);
  errno = error;
  return made;
}

}  // namespace

int openUnnamed(int dir, const char* folder, mode_t mode) {
#ifdef JOV_PLATFORM_HOOKS
  if (platformHooks.unnamedUnsupported) {
    errno = EOPNOTSUPP;
    return -1;
  }
#endif
  int fd;
  do fd = openat(dir, folder, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

bool noUnnamedFiles(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// linkat through /proc needs no privilege (AT_EMPTY_PATH would need
// CAP_DAC_READ_SEARCH).
bool linkUnnamed(int fd, int dir, const char* name) {
  char self[32];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, self, dir, name, AT_SYMLINK_FOLLOW) == 0;
}

int createFresh(int dir, char* name, size_t length, const char* alphabet, mode_t mode) {
  int fd = -1;
  withFreshName(name, length, alphabet, [&] {
    fd = openat(dir, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    return fd >= 0;
  });
  return fd;
}

bool linkFresh(int fd, int dir, char* name, size_t length, const char* alphabet) {
  return withFreshName(name, length, alphabet, [&] { return linkUnnamed(fd, dir, name); });
}

int createGuarded(char* name, size_t length, const char* alphabet, mode_t mode) {
  int fd = -1;
  guarded(name, [&] { return (fd = createFresh(AT_FDCWD, name, length, alphabet, mode)) >= 0; });
  return fd;
}

bool linkGuarded(int fd, char* name, size_t length, const char* alphabet) {
  return guarded(name, [&] { return linkFresh(fd, AT_FDCWD, name, length, alphabet); });
}

void releaseGuarded(bool remove) {
  if (guardActive && remove) unlink(guardedPath);
  guardActive = 0;
}

int openSpool(const char* stem, std::string& folder) {
  const char* tmp = getenv("TMPDIR");
  folder = tmp && *tmp ? tmp : "/tmp";
  int fd = openUnnamed(AT_FDCWD, folder.c_str(), 0600);
  if (fd >= 0 || !noUnnamedFiles(errno)) return fd;
  std::string name = folder + "/" + stem + ".XXXXXX";
  fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) unlink(name.c_str());
  return fd;
}

bool writeAll(int fd, const void* data, size_t count) {
  const char* p = static_cast<const char*>(data);
  for (size_t done = 0; done < count;) {
    ssize_t n = write(fd, p + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += (size_t)n;
  }
  return true;
}
