#include "fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "codec/crc32.h"

void fuzzCheck(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}

void fuzzInit() {
  static bool done = false;
  if (done) return;
  done = true;
  buildCrcTable();
  resetPlatformHooks();
}

FileHandle memoryFile(const uint8_t* data, size_t size) {
  int fd = memfd_create("jov-fuzz", MFD_CLOEXEC);
  fuzzCheck(fd >= 0, "memfd_create");
  for (size_t done = 0; done < size;) {
    ssize_t n = write(fd, data + done, size - done);
    fuzzCheck(n > 0, "memfd write");
    done += (size_t)n;
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::vector<uint8_t> fileContents(FileHandle file) {
  std::vector<uint8_t> out;
  uint8_t chunk[65536];
  for (off_t at = 0;;) {
    ssize_t n = pread((int)file, chunk, sizeof chunk, at);
    fuzzCheck(n >= 0, "pread");
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
    at += n;
  }
  return out;
}
