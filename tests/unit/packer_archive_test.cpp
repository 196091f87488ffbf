// The packer's blocks, streams and directory, read by the strict reference reader.
#include <gtest/gtest.h>

#include <stdio.h>

#include <random>

#include "packer/archive_writer.h"
#include "packer/block_encoder.h"
#include "packer/block_plan.h"
#include "packer/exe_filter.h"
#include "packer/lz_parser.h"
#include "packer/match_finder.h"
#include "packed_items.h"
#include "reference_reader.h"

using namespace jov;

namespace {

// Text-like data: words from a small vocabulary, so every level finds matches
// of all lengths, near and far.
std::vector<uint8_t> wordy(size_t n, uint32_t seed) {
  static const std::string words[] = {"the ", "packer ", "writes ", "blocks ", "of ", "tokens ", "and ", "codes ",
                                      "distance ", "length ", "literal ", "\n", "0123 ", "{x} ", "; ", "call "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const std::string& w = words[rng() % 16];
    v.insert(v.end(), w.begin(), w.end());
  }
  v.resize(n);
  return v;
}

// Half history, half block for text with a far exact repeat (matches reach
// into the history the reader keeps), then tiny and degenerate inputs.
TEST(PackerBlocks, EveryLevelDecodesAgainstHistory) {
  std::vector<uint8_t> text = wordy(120000, 1), noise = randomBytes(3000, 2), all(256);
  text.insert(text.begin() + 70000, noise.begin(), noise.end());
  std::copy(noise.begin(), noise.begin() + 2000, text.begin() + 100000);
  for (int i = 0; i < 256; ++i) all[i] = (uint8_t)i;
  const std::pair<std::vector<uint8_t>, uint32_t> cases[] = {
      {text, 60000}, {{'a'}, 0}, {{'a', 'a'}, 0}, {std::vector<uint8_t>(70000, 0), 0}, {all, 0}};
  for (const auto& [data, history] : cases) {
    const uint32_t length = (uint32_t)data.size() - history;
    for (int level = 1; level <= 9; ++level) {
      SCOPED_TRACE("size " + std::to_string(data.size()) + " level " + std::to_string(level));
      ParsedBlock p = parseBlock(BlockSpan{data.data(), history, length}, levelConfig(level));
      CodingOptions o = codingFor(levelConfig(level), p.threeAlphabets);
      o.chunkTokens = 1000;  // several table sets
      std::vector<uint8_t> bytes = frameCompressedBlock(p.tokens, length, true, 2, 1, o);
      std::vector<uint8_t> out(data.begin(), data.begin() + history);
      reference::BlockInfo info{};
      reference::decodeCompressedBlock(bytes.data(), (uint32_t)bytes.size(), out, history, length, &info);
      EXPECT_TRUE(out == data);
      EXPECT_TRUE(history == 0 || (info.setCount > 1 && bytes.size() < length / 3)) << info.setCount << " sets";
    }
  }
}

// Literals from two disjoint alphabets meet at token 3000, off the chunk grid:
// refined set boundaries find the change, the grid alone stops at a chunk edge.
TEST(PackerBlocks, SetBoundariesMoveToWhereStatisticsChange) {
  std::mt19937 rng(3);
  std::vector<Token> tokens;
  for (int i = 0; i < 7000; ++i) tokens.push_back(literalToken((uint8_t)(rng() % 32 + (i < 3000 ? 0 : 128))));
  CodingOptions o;
  o.chunkTokens = 1024;
  EXPECT_EQ(chooseSetStarts(tokens, o), (std::vector<size_t>{0, 3072}));
  o.refineStarts = true;
  std::vector<size_t> starts = chooseSetStarts(tokens, o);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_NEAR((double)starts[1], 3000.0, 16.0);
}

// A file is filtered in the pieces its stream's block edges cut, as the reader restores it.
TEST(PackerFilter, FileIsFilteredInThePiecesOfItsBlocks) {
  const std::vector<uint8_t> file = callHeavyPe(50000);
  std::vector<uint8_t> whole = file, pieces = file;
  forwardFilterFile(whole.data(), 50000, 1000000 - 9000, 1000000);  // a block edge 9000 bytes in
  forwardFilterPiece(pieces.data(), 9000, 0, 50000);
  forwardFilterPiece(pieces.data() + 9000, 41000, 9000, 50000);
  EXPECT_TRUE(whole == pieces && whole != file);
}

// Stored blocks, a program filtered across block edges, empty files and folders, repeats near
// the largest distance, a directory of several blocks; the same bytes for any thread count.
TEST(PackerArchive, EdgeTreesDecodeByteExact) {
  std::vector<uint8_t> far = randomBytes(1300000, 8);  // its first 400000 bytes again at the end
  std::copy(far.begin(), far.begin() + 400000, far.end() - 400000);
  std::vector<PackItem> items = {
      {"noise.bin", false, randomBytes(1100000, 6)},  // fills the first block: stored
      {"Tovrel32.exe", false, callHeavyPe(300000)}, {"data", true, {}},  {"data\\empty.txt", false, {}},
      {"data\\one", false, {'x'}},  {"data\\text.txt", false, wordy(300000, 7)}, {"data\\empty folder", true, {}},
      {"data\\zeros", false, std::vector<uint8_t>(200000, 0)}, {"data\\far", false, far},
      {"big.exe", false, callHeavyPe(1200000)},
  };
  for (int i = 0; i < 400; ++i) {  // a directory of several blocks of whole records
    std::string name = "folder with a rather long name " + std::to_string(i / 50);
    if (i % 50 == 0) items.push_back({name, true, {}});
    const std::string file = name + "\\file " + std::to_string(i) + std::string(100, 'n');
    items.push_back({file, false, std::vector<uint8_t>(i % 3, 'n')});
  }
  for (int level : {0, 2, 7}) {
    SCOPED_TRACE("level " + std::to_string(level));
    PackOptions options;
    options.level = level;
    options.threads = 2;
    PackStats stats;
    std::vector<uint8_t> a = packItems(items, options, &stats);
    const reference::Archive r = reference::readArchive(a);  // throws on any damage
    ASSERT_EQ(r.entries.size(), items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      const reference::File& e = r.entries[i];
      EXPECT_TRUE(e.name == items[i].name && ((e.entry.flags & ENTRY_FOLDER) != 0) == items[i].folder &&
                  (items[i].folder || e.bytes == items[i].bytes)) << items[i].name;
    }
    EXPECT_GT(r.directoryBlocks, (level == 0 ? 6u : 1u));
    // Only the noise is stored: the far copy of random bytes is found and coded.
    EXPECT_TRUE(level == 0 || (stats.filtered == 2 && stats.storedBlocks == 1 && a.size() < 2300000 &&
                               (r.entries[1].entry.flags & ENTRY_FILTER_4)));
    for (size_t i = 0; i < r.blocks.size(); ++i) EXPECT_EQ(r.blocks[i].last, i + 1 == r.blocks.size());
    if (level != 2) continue;
    for (unsigned threads : {1u, 5u}) {
      options.threads = threads;
      EXPECT_EQ(packItems(items, options), a) << threads << " threads";
    }
  }
}

// A copy 800000 bytes back: fixed blocks leave the first 288000 bytes of the block that holds
// it out of reach, planned ones keep nearly all of it; a program cut by planned ends is filtered
// in those pieces. Random bytes, so only the repeat compresses.
TEST(PackerArchive, PlannedBlocksKeepFarRepeatsInReach) {
  const std::vector<uint8_t> copied = randomBytes(800000, 31);
  const std::vector<PackItem> items = {
      {"a", false, copied}, {"b", false, copied}, {"c.exe", false, callHeavyPe(1200000)}};
  BlockPlanner planner;
  uint64_t at = 0;
  for (const PackItem& item : items) {
    at += STREAM_RECORD_FIXED_SIZE + item.name.size();
    planner.add(at, item.bytes.data(), item.bytes.size());
    at += item.bytes.size() + STREAM_RECORD_CRC_SIZE;
  }
  PackOptions options;
  options.level = 6;
  const std::vector<uint8_t> fixed = packItems(items, options);
  options.blockEnds = planner.finish(at);
  const std::vector<uint8_t> planned = packItems(items, options);
  const reference::Archive r = reference::readArchive(planned);
  for (size_t i = 0; i < items.size(); ++i) EXPECT_TRUE(r.entries[i].bytes == items[i].bytes) << i;
  EXPECT_TRUE(r.entries[2].entry.flags & ENTRY_FILTER_4);
  std::vector<uint64_t> ends;
  for (const reference::BlockInfo& b : r.blocks) ends.push_back((ends.empty() ? 0 : ends.back()) + b.outputLength);
  EXPECT_EQ(ends, options.blockEnds);
  EXPECT_LT(planned.size() + 200000, fixed.size()) << planned.size() << " " << fixed.size();
}

// Near-identical units of 856000 bytes, each a cheap part (four symbols) and a dear one
// (all 256): every block start leaves 856000 - 524288 bytes after it blind to the copy
// one unit back, and the plan puts those stretches on the cheap parts.
TEST(PackerArchive, PlannedBlocksLeaveCheapBytesBlind) {
  const size_t unit = 856000, cheap = 400000, blind = unit - WINDOW_MAX;
  std::vector<uint8_t> one = randomBytes(unit, 32);
  for (size_t i = 0; i < cheap; ++i) one[i] &= 3;
  BlockPlanner planner;
  for (uint64_t k = 0; k < 5; ++k) planner.add(k * unit, one.data(), unit);
  const std::vector<uint64_t> ends = planner.finish(5 * unit);
  uint64_t dear = 0, checked = 0;
  for (size_t b = 0; b + 1 < ends.size(); ++b) {
    if (ends[b] < unit) continue;  // the first unit has no copy to be blind to
    for (uint64_t x = ends[b]; x < ends[b] + blind && x < 5 * unit; ++x, ++checked) dear += x % unit >= cheap;
  }
  EXPECT_GT(checked, 2 * blind);
  EXPECT_LT(dear * 5, checked) << dear << " of " << checked;
}

// Packs `files` into a temporary file from `start` on: the writer's error ("" for none), the end.
std::pair<std::string, uint64_t> packAt(uint64_t start, const PackOptions& options,
                                        const std::vector<std::pair<const char*, FileSource*>>& files,
                                        PackStats* stats = nullptr) {
  FILE* file = tmpfile();
  if (!file || fseeko(file, (off_t)start, SEEK_SET) != 0) return {"no temporary file", 0};
  std::string error;
  try {
    ArchiveWriter writer(file, options);
    EntryInfo info;
    for (const auto& [name, source] : files) {
      info.name = name;
      writer.addFile(info, *source);
    }
    const PackStats s = writer.finish();
    if (stats) *stats = s;
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  const uint64_t end = (uint64_t)ftello(file);
  fclose(file);
  return {error, end};
}

// Readers name positions with 32 bits and keep 0xFFFFFFFF for a failed seek: the output, whatever
// stands in front of the archive, ends at 0xFFFFFFFE at most. A sparse file holds the 4 GiB.
TEST(PackerArchive, OutputEndsBelow4GiB) {
  const std::vector<uint8_t> bytes = wordy(5000, 21);
  const uint64_t size = packItems({{"a.txt", false, bytes}}, 0).size(), lastEnd = 0xFFFFFFFEu;
  MemorySource source(bytes);
  PackOptions stored;
  stored.level = 0;
  EXPECT_EQ(packAt(lastEnd - size, stored, {{"a.txt", &source}}), std::make_pair(std::string(), lastEnd));
  const auto [error, end] = packAt(lastEnd - size + 1, stored, {{"a.txt", &source}});
  EXPECT_NE(error.find("4 GiB; an installer or archive holds at most 4294967294 bytes"), std::string::npos) << error;
  EXPECT_LE(end, lastEnd) << "nothing is written past the limit";
}

// Words with a planted copy at exactly the largest distance, and one a byte beyond it.
TEST(PackerMatchFinder, RowsFindFarRepeatsAndOnlyRealMatches) {
  std::vector<uint8_t> data = wordy(1200000, 21), marker = randomBytes(600, 22), other = randomBytes(300, 24);
  const uint32_t atLimit = 1000 + MAX_DISTANCE, beyond = 100 + MAX_DISTANCE + 1;
  for (uint32_t at : {1000u, atLimit}) std::copy(marker.begin(), marker.end(), data.begin() + at);
  for (uint32_t at : {100u, beyond}) std::copy(other.begin(), other.end(), data.begin() + at);
  RowHashFinder finder(data.data(), (uint32_t)data.size());
  std::mt19937 rng(23);
  uint32_t checked = 0;
  for (uint32_t p = 0; p < data.size(); ++p) {
    if (p != atLimit && p != beyond && rng() % 64 != 0) {
      finder.insert(p);
      continue;
    }
    Match m = finder.findAndInsert(p, 16, 258, 64);
    EXPECT_TRUE(p != atLimit || (m.distance == MAX_DISTANCE && m.length >= 258)) << m.distance << " " << m.length;
    if (m.length == 0) continue;
    ++checked;
    ASSERT_TRUE(m.length >= 3 && m.distance >= 1 && m.distance <= std::min<uint32_t>(p, MAX_DISTANCE) &&
                p + m.length <= data.size()) << p;
    EXPECT_TRUE(std::equal(data.begin() + p, data.begin() + p + m.length, data.begin() + (p - m.distance))) << p;
  }
  EXPECT_GT(checked, 10000u);
}

// Files stream through the writer: no read asks for more than a block, and
// the bytes are read once in order (PE files also get a few trial reads).
TEST(PackerArchive, FilesAreReadABlockAtATime) {
  struct Watched : MemorySource {
    uint64_t largest = 0, total = 0, next = 0;
    bool inOrder = true;
    using MemorySource::MemorySource;
    void read(uint64_t offset, uint8_t* to, size_t n) override {
      largest = std::max<uint64_t>(largest, n);
      total += n;
      inOrder = inOrder && (offset == next || offset == 0);  // a look at the head may come first
      next = offset + n;
      MemorySource::read(offset, to, n);
    }
  };
  const std::vector<uint8_t> text = wordy(3500000, 14), exe = callHeavyPe(1500000);
  Watched a(text), b(exe);
  PackStats stats;
  EXPECT_EQ(packAt(0, PackOptions{}, {{"a.txt", &a}, {"b.exe", &b}}, &stats).first, "");
  EXPECT_EQ(stats.filtered, 1u);
  EXPECT_TRUE(a.largest <= DATA_BLOCK_LENGTH && a.inOrder && a.total <= text.size() + 64);
  EXPECT_TRUE(b.largest <= 2 * DATA_BLOCK_LENGTH && b.total < exe.size() + 9 * DATA_BLOCK_LENGTH);
}

// A thread keeps the memory of its last tables: once the spare list is full
// the oldest goes, and no piece may then be handed to two live tables.
TEST(PackerMatchFinder, SpareTablesAreNeverSharedByTwoTables) {
  const size_t mib2 = (size_t)2 << 20;
  for (size_t k = 1; k <= 9; ++k) BigTable<uint8_t>(k * mib2, 0);  // nine sizes: one more than is kept
  for (size_t k = 1; k <= 9; ++k) {
    BigTable<uint8_t> a(k * mib2, 1), b(k * mib2, 2);
    EXPECT_TRUE(a[k * mib2 - 1] == 1 && b[0] == 2) << k;
  }
}

}  // namespace
