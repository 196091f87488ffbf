// Round trips through the installer's own core: trees are packed exactly as
// `jov pack` packs them, then every directory block and every file is read
// back with readDirectoryBlock and readStreamFile, and compared byte for byte
// with the source, together with the CRC-32, attributes and times.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/directory.h"
#include "archive/header.h"
#include "codec/crc32.h"
#include "codec/stream_reader.h"
#include "install_state.h"
#include "packer/archive_writer.h"
#include "packer/source_tree.h"
#include "packed_items.h"

namespace fs = std::filesystem;

namespace {

class Scratch {
 public:
  Scratch() {
    char tmpl[] = "/tmp/jov-roundtrip-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~Scratch() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string corePath(const fs::path& p) {
  std::string s = p.string();
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

void writeFile(const fs::path& p, const std::vector<uint8_t>& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary).write((const char*)bytes.data(), (std::streamsize)bytes.size());
}

std::vector<uint8_t> readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Packed {
  std::vector<jov::SourceEntry> entries;
  jov::PackStats stats;
};

Packed packTree(const fs::path& source, const fs::path& archive, int level, unsigned threads = 2) {
  Packed p;
  jov::ScanOptions scan;
  scan.hiddenPatterns = {"*.hid"};
  scan.systemPatterns = {"sys*"};
  p.entries = jov::scanSourceTree(source, scan);
  FILE* out = fopen(archive.c_str(), "wb");
  jov::PackOptions options;
  options.level = level;
  options.threads = threads;
  jov::ArchiveWriter writer(out, options);
  for (const jov::SourceEntry& e : p.entries) {
    if (e.info.folder) {
      writer.addFolder(e.info);
    } else {
      std::vector<uint8_t> bytes = readFile(e.path);
      writer.addFile(e.info, bytes);
    }
  }
  p.stats = writer.finish();
  fclose(out);
  return p;
}

// Reads the archive back as the extraction driver walks it, checking every
// record against the entry the packer was given.
void readBack(const fs::path& archive, const Packed& packed, const fs::path& scratch) {
  static bool crcReady = false;
  if (!crcReady) buildCrcTable();
  crcReady = true;
  std::vector<uint8_t> input(INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK);
  state.archiveFile = fileOpen(corePath(archive).c_str(), ACCESS_READ);
  ASSERT_NE(state.archiveFile, INVALID_FILE);
  state.archiveOffset = 0;
  ASSERT_EQ(readArchiveHeader(), RC_OK);
  ASSERT_EQ(state.header.entryCount, packed.entries.size());
  startStreamReading(input.data());
  state.cancelRequested = 0;
  uint8_t directory[DIRECTORY_BUFFER_SIZE];
  startDirectory(directory);
  const fs::path out = scratch / "out.bin";
  for (const jov::SourceEntry& expected : packed.entries) {
    DirectoryEntry e;
    const uint8_t* stored;
    ASSERT_EQ(nextDirectoryRecord(directory, &e, &stored), RC_OK);
    std::string name((const char*)stored, e.nameLength);
    EXPECT_EQ(name, expected.info.name);
    EXPECT_EQ(e.attributes, expected.info.attributes) << name;
    EXPECT_EQ(e.writeDate, expected.info.writeDate) << name;
    EXPECT_EQ(e.writeTime, expected.info.writeTime) << name;
    EXPECT_EQ(e.createDate, expected.info.createDate) << name;
    EXPECT_EQ((e.flags & ENTRY_FOLDER) != 0, expected.info.folder) << name;
    if (expected.info.folder) continue;
    FileHandle h = fileCreate(corePath(out).c_str(), ATTR_NORMAL);
    ResultCode rc = readStreamFile(h, e.streamOffset, e.streamPosition, e.length, e.flags);
    fileClose(h);
    ASSERT_EQ(rc, RC_OK) << name;
    EXPECT_EQ(state.runningCrc, e.crc) << name;
    EXPECT_TRUE(readFile(out) == readFile(expected.path)) << name;
  }
  memFree(state.outputBuffer);
  state.outputBuffer = nullptr;
  fileClose(state.archiveFile);
}

// Empty files and folders, deep paths, files over 1 MiB, incompressible
// data (stored blocks), long runs, repeats at distances near 1 MiB, and names
// in the Latin-1 range.
void makeEdgeTree(const fs::path& root) {
  fs::create_directories(root / "empty folder");
  writeFile(root / "Tovrel32.exe", std::vector<uint8_t>(3000, 0x90));
  writeFile(root / "empty.txt", {});
  writeFile(root / "one.hid", {'1'});
  writeFile(root / "sys.cfg", {'s', 'y', 's'});
  fs::path deep = root;
  for (int i = 0; i < 12; ++i) deep /= "level" + std::to_string(i);
  writeFile(deep / "deep.txt", std::vector<uint8_t>(100, 'd'));
  writeFile(root / "noise.bin", randomBytes(1500000, 1));
  writeFile(root / "runs.bin", std::vector<uint8_t>(1300000, 'r'));
  std::vector<uint8_t> block = randomBytes(700000, 2), far = block;
  std::vector<uint8_t> gap = randomBytes(300000, 3);
  far.insert(far.end(), gap.begin(), gap.end());
  far.insert(far.end(), block.begin(), block.end());
  writeFile(root / "far.bin", far);
  writeFile(root / "caf\xc3\xa9 cr\xc3\xa8me.txt", std::vector<uint8_t>(5000, 'c'));
  fs::path ro = root / "readonly.txt";
  writeFile(ro, {'r', 'o'});
  chmod(ro.c_str(), 0444);
}

}  // namespace

TEST(PackRoundTrip, EdgeTreeAtEveryKindOfLevel) {
  Scratch s;
  makeEdgeTree(s.path() / "src");
  for (int level : {0, 1, 5, 7}) {
    Packed p = packTree(s.path() / "src", s.path() / "a.jov", level);
    readBack(s.path() / "a.jov", p, s.path());
    if (level > 0) {
      EXPECT_GT(p.stats.storedBlocks, 0u);
    }
  }
}

TEST(PackRoundTrip, RealExecutablesWithTheCallFilter) {
  const fs::path wine = "/usr/lib/i386-linux-gnu/wine/i386-windows";
  if (!fs::exists(wine)) GTEST_SKIP() << "no i386 PE files on this machine";
  Scratch s;
  std::vector<fs::path> picks;
  for (const auto& d : fs::directory_iterator(wine))
    if (d.is_regular_file()) picks.push_back(d.path());
  std::sort(picks.begin(), picks.end());
  uint64_t total = 0;
  fs::create_directories(s.path() / "src");
  for (const fs::path& p : picks) {
    uint64_t size = fs::file_size(p);
    if (size > 1500000 || total + size > 6000000) continue;
    fs::copy_file(p, s.path() / "src" / p.filename());
    total += size;
  }
  Packed p = packTree(s.path() / "src", s.path() / "pe.jov", 6);
  EXPECT_GT(p.stats.filtered, 0u);
  readBack(s.path() / "pe.jov", p, s.path());
}

TEST(PackRoundTrip, PythonSources) {
  fs::path lib;
  for (const char* candidate : {"/usr/lib/python3.11", "/usr/lib/python3"})
    if (fs::exists(fs::path(candidate) / "json")) lib = candidate;
  if (lib.empty()) GTEST_SKIP() << "no Python standard library found";
  Scratch s;
  fs::create_directories(s.path() / "src");
  for (const char* sub : {"json", "email", "html"}) fs::copy(lib / sub, s.path() / "src" / sub, fs::copy_options::recursive);
  std::vector<fs::path> caches;  // compiled files: not what this test is about
  for (const auto& d : fs::recursive_directory_iterator(s.path() / "src"))
    if (d.path().filename() == "__pycache__") caches.push_back(d.path());
  for (const fs::path& c : caches) fs::remove_all(c);
  Packed p = packTree(s.path() / "src", s.path() / "py.jov", 9);
  readBack(s.path() / "py.jov", p, s.path());
}
