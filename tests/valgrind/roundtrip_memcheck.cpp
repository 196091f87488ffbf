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
#include "packer/archive_writer.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

struct Item {
  std::string name;
  bool folder;
  std::vector<uint8_t> bytes;
};

std::vector<uint8_t> fakePe(uint32_t size) {
  std::vector<uint8_t> pe(size, 0x90);
  pe[0] = 'M', pe[1] = 'Z';
  writeLe32(pe.data() + 0x3C, 0x80);
  pe[0x80] = 'P', pe[0x81] = 'E', pe[0x82] = 0, pe[0x83] = 0;
  writeLe16(pe.data() + 0x84, 0x014C);
  for (uint32_t at = 0x200, k = 0; at + 5 < size; at += 7, ++k) {
    pe[at] = 0xE8;
    writeLe32(pe.data() + at + 1, 0x400 * (1 + k % 3) - (at + 5));
  }
  return pe;
}

std::vector<uint8_t> readFile(const fs::path& path) {
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
  std::vector<Item> items = {
      {"docs", true, {}},
      {"docs\\notes.txt", false, {text.begin(), text.end()}},
      {"docs\\empty", false, {}},
      {"bin", true, {}},
      {"bin\\tool.exe", false, fakePe(20000)},
      {"mixed.bin", false, mixed},  // more than one block of the stream
  };

  const fs::path archive = dir.path() / "archive.jov";
  FILE* out = fopen(archive.c_str(), "wb");
  {
    jov::PackOptions options;
    options.level = 6;
    jov::ArchiveWriter writer(out, options);
    for (const Item& item : items) {
      jov::EntryInfo info;
      info.name = item.name;
      info.folder = item.folder;
      if (item.folder) {
        writer.addFolder(info);
      } else {
        std::vector<uint8_t> bytes = item.bytes;
        writer.addFile(info, bytes);
      }
    }
    jov::PackStats stats = writer.finish();
    if (stats.filtered == 0) {
      fprintf(stderr, "the call filter was not used\n");
      return 1;
    }
  }
  fclose(out);

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
  for (const Item& item : items) {
    std::string relative = item.name;
    for (char& c : relative)
      if (c == '\\') c = '/';
    fs::path path = folder / relative;
    bool good = item.folder ? fs::is_directory(path) : readFile(path) == item.bytes;
    if (!good) {
      fprintf(stderr, "%s differs\n", item.name.c_str());
      return 1;
    }
  }
  printf("round trip of %zu entries byte-exact\n", items.size());
  return 0;
}
