#include "fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "codec/crc32.h"
#include "frontend.h"

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

// The front end the core's driver calls.
int askOverwrite(const char*) { return OVERWRITE_YES; }
void showProgress(WindowHandle, const char*) {}
int showMessage(WindowHandle, const char*, int) { return 1; }
