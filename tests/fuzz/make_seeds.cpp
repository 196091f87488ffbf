// Writes the committed seed corpora (tests/fuzz/corpus/<target>/) from the
// packer's output on small trees and from the stored-archive builder. Run by
// hand after a format change: build-fuzz/tests/fuzz/make_seeds tests/fuzz/corpus
// Deterministic: the same bytes every run.
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "format.h"
#include "packer/archive_writer.h"
#include "packer/bit_string.h"
#include "packer/code_lengths.h"
#include "packed_items.h"
#include "stored_archive.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> textOf(const std::string& s) { return {s.begin(), s.end()}; }

void save(const fs::path& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary).write((const char*)bytes.data(), (std::streamsize)bytes.size());
}

// Bits from `bit` on, as whole bytes starting at bit 0.
std::vector<uint8_t> bitsFrom(const std::vector<uint8_t>& in, size_t at, uint64_t bit, size_t count) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < count; ++i) {
    uint64_t b = (uint64_t)at * 8 + bit + 8 * i;
    uint32_t lo = b / 8 < in.size() ? in[b / 8] : 0, hi = b / 8 + 1 < in.size() ? in[b / 8 + 1] : 0;
    out.push_back((uint8_t)(((hi << 8 | lo) >> (b % 8)) & 0xFF));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_seeds CORPUS_DIR\n");
    return 2;
  }
  fs::path corpus = argv[1];
  std::mt19937 rng(7);
  std::vector<uint8_t> noise(700);
  for (uint8_t& b : noise) b = (uint8_t)rng();
  std::string prose;
  for (int i = 0; i < 40; ++i) prose += "line " + std::to_string(i * i % 17) + " of the readme, again and again\r\n";

  std::vector<PackItem> tree = {
      {"docs", true, {}},
      {"docs\\readme.txt", false, textOf(prose)},
      {"docs\\empty.txt", false, {}},
      {"bin", true, {}},
      {"bin\\tool.exe", false, callHeavyPe(3000)},
      {"noise.bin", false, noise},
      {"a.txt", false, textOf("a")},
  };
  std::vector<PackItem> many;
  for (int i = 0; i < 220; ++i) many.push_back({"file" + std::to_string(i) + ".txt", false, textOf(std::to_string(i))});

  struct Archive {
    std::string name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Archive> archives = {
      {"tree-l0", packItems(tree, 0)}, {"tree-l1", packItems(tree, 1)}, {"tree-l6", packItems(tree, 6)},
      {"tree-l9", packItems(tree, 9)}, {"many-l6", packItems(many, 6)},
  };
  // Stored blocks of 64 bytes: a stream of many blocks, records split across them.
  std::vector<StoredEntry> stored;
  for (const PackItem& item : tree) {
    StoredEntry e;
    e.name = item.name;
    e.folder = item.folder;
    e.data = std::vector<uint8_t>(item.bytes.begin(), item.bytes.begin() + std::min<size_t>(item.bytes.size(), 300));
    stored.push_back(e);
  }
  StoredArchiveOptions small;
  small.blockOutput = 64;
  small.recordsPerDirectoryBlock = 3;
  archives.push_back({"stored-small-blocks", buildStoredArchive(stored, small)});

  for (const Archive& a : archives) {
    save(corpus / "extract", a.name, a.bytes);
    uint32_t directoryOffset = readLe32(a.bytes.data() + AH_DIRECTORY_OFFSET);
    std::vector<uint8_t> directory(4);
    writeLe32(directory.data(), readLe32(a.bytes.data() + AH_ENTRY_COUNT));
    directory.insert(directory.end(), a.bytes.begin() + directoryOffset, a.bytes.end());
    save(corpus / "directory", a.name, directory);
    // The first block of the first stream, behind each kind of history.
    const size_t block = ARCHIVE_HEADER_SIZE + SIGNATURE_SIZE;
    uint32_t blockSize = (readLe32(a.bytes.data() + block + 3) >> 1) & 0xFFFFF;
    std::vector<uint8_t> raw(a.bytes.begin() + block, a.bytes.begin() + std::min<size_t>(block + blockSize, a.bytes.size()));
    if ((raw[0] & 15) == BLOCK_COMPRESSED) {
      for (uint8_t control : {0, 4, 7}) {
        std::vector<uint8_t> seed = {control};
        seed.insert(seed.end(), raw.begin(), raw.end());
        save(corpus / "decode_block", a.name + "-h" + std::to_string(control), seed);
      }
      // Its code lengths: bit 58 on, with setSize and setCount from the prefix.
      uint32_t prefix = ((raw[6] | raw[7] << 8) >> 2) & 0xFF;
      std::vector<uint8_t> seed = {(uint8_t)(((prefix & 3) == 3 ? 1 : 0) | ((prefix >> 2) << 1))};
      std::vector<uint8_t> bits = bitsFrom(raw, 7, 2, raw.size() - 7);
      seed.insert(seed.end(), bits.begin(), bits.end());
      save(corpus / "code_lengths", a.name, seed);
    }
  }
  // Round-trip seeds: lengths as bytes.
  std::vector<uint8_t> lengths = {0x80 | (2 << 1)};
  for (uint32_t i = 0; i < 2 * SET_SIZE_2; ++i) lengths.push_back((uint8_t)(i < 288 ? 8 + (i % 2) : 5));
  save(corpus / "code_lengths", "roundtrip-two-sets", lengths);

  std::vector<uint8_t> pe = callHeavyPe(1500);
  for (uint8_t control : {0, 1}) {
    std::vector<uint8_t> seed = {control, 0x00, 0x02};  // pieces of 512 bytes
    seed.insert(seed.end(), pe.begin(), pe.end());
    save(corpus / "call_filter", "fake-pe-mode" + std::to_string(control ? 2 : 4), seed);
  }
  return 0;
}
