// A small round trip for valgrind's memcheck: packs a tree (text, a file the
// call filter rewrites, an empty file, folders, two streams' worth of blocks)
// and extracts it with the core, byte-exact. Under memcheck, an uninitialised
// byte reaching a written file shows as an error in write(), as does any
// read of undefined memory on the way, and every leak counts.
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/extract.h"
#include "archive/header.h"
#include "codec/crc32.h"
#include "install_state.h"
#include "packed_items.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main() {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "row " + std::to_string(i * 7 % 1000) + " of some text\n";
  std::vector<uint8_t> mixed(1200000);
  for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = (uint8_t)((i % 4096 < 2048) ? i * 13 : (i >> 9));
  std::vector<PackItem> items = {
      {"docs", true, {}},
      {"docs\\notes.txt", false, {text.begin(), text.end()}},
      {"docs\\empty", false, {}},
      {"bin", true, {}},
      {"bin\\tool.exe", false, callHeavyPe(20000)},
      {"mixed.bin", false, mixed},  // more than one block of the stream
  };

  const fs::path archive = dir.path() / "archive.jov";
  jov::PackOptions options;
  options.level = 6;
  jov::PackStats stats;
  const std::vector<uint8_t> packed = packItems(items, options, &stats);
  if (stats.filtered == 0) {
    fprintf(stderr, "the call filter was not used\n");
    return 1;
  }
  std::ofstream(archive, std::ios::binary).write((const char*)packed.data(), (std::streamsize)packed.size());

  buildCrcTable();
  state.archiveFile = fileOpen(toCorePath(archive.string()).c_str(), ACCESS_READ);
  state.archiveOffset = 0;
  if (state.archiveFile == INVALID_FILE || readArchiveHeader() != RC_OK) return 1;
  const fs::path folder = dir.path() / "out";
  strcpy(state.installPath, toCorePath(folder.string()).c_str());
  ResultCode rc = extractArchive(nullptr);
  fileClose(state.archiveFile);
  if (rc != RC_OK) {
    fprintf(stderr, "extraction ended with %d\n", rc);
    return 1;
  }
  for (const PackItem& item : items) {
    std::string relative = item.name;
    for (char& c : relative)
      if (c == '\\') c = '/';
    fs::path path = folder / relative;
    bool good = item.folder ? fs::is_directory(path) : readBytes(path) == item.bytes;
    if (!good) {
      fprintf(stderr, "%s differs\n", item.name.c_str());
      return 1;
    }
  }
  printf("round trip of %zu entries byte-exact\n", items.size());
  return 0;
}
