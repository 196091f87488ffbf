// sealstub: fills the seal of a freshly linked stub (archive/seal.h) and
// checks the stub's size budget. Run by the build after the stub links; safe
// to run again on a sealed stub (the file is rewritten only when it changes).
//
//   sealstub [--max-size BYTES] STUB.exe
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/seal.h"
#include "codec/crc32.h"
#include "format.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "sealstub: %s\n", message.c_str());
  return 1;
}

std::vector<size_t> magicPositions(const std::vector<uint8_t>& bytes) {
  std::vector<size_t> found;
  for (size_t i = 0; i + SEAL_MAGIC_SIZE <= bytes.size(); ++i)
    if (std::memcmp(&bytes[i], SEAL_MAGIC, SEAL_MAGIC_SIZE) == 0) found.push_back(i);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long maxSize = 0;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--max-size") == 0 && i + 1 < argc) {
      maxSize = std::strtoul(argv[++i], nullptr, 10);
    } else if (!path && argv[i][0] != '-') {
      path = argv[i];
    } else {
      return fail("usage: sealstub [--max-size BYTES] STUB.exe");
    }
  }
  if (!path) return fail("usage: sealstub [--max-size BYTES] STUB.exe");

  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(std::string("cannot read ") + path);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();

  // Exactly one occurrence: a second copy of the magic (SEAL_MAGIC kept by
  // the linker, say) could be taken for the seal by the archive finders.
  std::vector<size_t> at = magicPositions(bytes);
  if (at.size() != 1)
    return fail(std::string(path) + ": the seal magic occurs " + std::to_string(at.size()) + " times, not once");
  size_t offset = at[0];
  if (offset + SEAL_SIZE > bytes.size()) return fail(std::string(path) + ": the seal record is cut off");

  std::vector<uint8_t> sealed = bytes;
  buildCrcTable();
  std::vector<uint8_t> scratch(sealed.size());
  fillSeal(sealed.data(), scratch.data(), (uint32_t)sealed.size(), (uint32_t)offset);

  if (sealed != bytes) {
    std::string temporary = std::string(path) + ".sealing";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(sealed.data()), (std::streamsize)sealed.size());
    out.close();
    std::error_code error;
    if (!out) return fail("cannot write " + temporary);
    std::filesystem::permissions(temporary, std::filesystem::status(path).permissions(), error);
    std::filesystem::rename(temporary, path, error);
    if (error) return fail("cannot replace " + std::string(path) + ": " + error.message());
  }

  std::printf("sealstub: %s sealed, %zu bytes", path, sealed.size());
  if (maxSize) std::printf(" (budget %lu)", maxSize);
  std::printf("\n");
  if (maxSize && sealed.size() > maxSize)
    return fail(std::string(path) + " is " + std::to_string(sealed.size()) + " bytes, over the budget of " +
                std::to_string(maxSize));
  return 0;
}
