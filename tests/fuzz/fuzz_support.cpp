#include "fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "codec/crc32.h"
#include "codec/huffman.h"

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

void loadWholeBlock(std::vector<uint8_t>& buffer, const uint8_t* data, size_t size, uint64_t startBit) {
  const size_t most = INPUT_BUFFER_SIZE - INPUT_LOOKAHEAD;  // what one load can hold
  if (size > most) size = most;
  buffer.assign(INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK, 0);
  std::copy(data, data + size, buffer.begin());
  state.inputBuffer = buffer.data();
  state.inputEnd = buffer.data() + size;
  state.blockBytesLeft = 0;
  state.inputCursor = buffer.data() + startBit / 8;
  state.inputBitOffset = (uint32_t)(startBit % 8);
}

uint64_t kraftSum(const uint8_t* lengths, uint32_t count) {
  uint64_t sum = 0;
  for (uint32_t s = 0; s < count; ++s)
    if (lengths[s]) sum += (uint64_t)1 << (16 - lengths[s]);
  return sum;
}

bool tableBuilds(const uint8_t* lengths, uint32_t count, uint32_t lookupBits) {
  uint32_t codes[LITLEN_SYMBOLS];
  int32_t lookup[1u << LITLEN_LOOKUP_BITS];
  int32_t tree[2 * LITLEN_SYMBOLS];
  assignCodes(codes, lengths, count);
  return buildDecodeTable(lookup, tree, codes, lengths, lookupBits, count) == RC_OK;
}
