// Decoding speed of the engine: one large file cut from a block-structured
// stream (blocks of 900000 bytes, compressed behind the largest window of
// history), through the whole path: block input, LZ decoder, CRC-32, write to
// /dev/null. Reported as bytes of output per second. The archives come from
// the tests' builders, with code lengths fitted to each block.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "block_builder.h"
#include "codec/crc32.h"
#include "codec/fast_tables.h"
#include "codec/huffman.h"
#include "codec/stream_reader.h"
#include "format.h"
#include "install_state.h"

namespace {

const uint32_t BLOCK = 900000;
static_assert(BLOCK <= BLOCK_MAX_OUTPUT, "a block's output fits its outputLength field");

std::vector<uint8_t> textLike(size_t n) {
  static const char* words[] = {"installer ", "archive ", "stream ", "decoder ", "window ", "history ",
                                "block ",     "folder ",  "file ",   "the ",     "of ",     "\r\n"};
  std::mt19937 rng(1);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const char* w = words[rng() % 12];
    v.insert(v.end(), w, w + strlen(w));
    if (rng() % 4 == 0) v.push_back((uint8_t)('0' + rng() % 10));
  }
  v.resize(n);
  return v;
}

std::vector<uint8_t> noisy(size_t n) {
  std::mt19937 rng(2);
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(rng() % 7 == 0 ? rng() : rng() % 160);  // few matches, long codes
  return v;
}

// Huffman code lengths of at most MAX_CODE_LENGTH bits for the used symbols.
std::vector<uint8_t> codeLengthsFor(std::vector<uint64_t> freq) {
  std::vector<uint8_t> lengths(freq.size(), 0);
  for (;;) {
    std::vector<size_t> used;
    for (size_t s = 0; s < freq.size(); ++s)
      if (freq[s]) used.push_back(s);
    if (used.size() < 2) {
      for (size_t s : used) lengths[s] = 1;
      return lengths;
    }
    typedef std::pair<uint64_t, int> Item;
    std::priority_queue<Item, std::vector<Item>, std::greater<Item>> queue;
    std::vector<int> parent(2 * used.size(), -1);
    for (size_t i = 0; i < used.size(); ++i) queue.push({freq[used[i]], (int)i});
    for (int next = (int)used.size(); queue.size() > 1; ++next) {
      Item a = queue.top();
      queue.pop();
      Item b = queue.top();
      queue.pop();
      parent[a.second] = parent[b.second] = next;
      queue.push({a.first + b.first, next});
    }
    bool fits = true;
    for (size_t i = 0; i < used.size(); ++i) {
      uint8_t depth = 0;
      for (int k = (int)i; parent[k] >= 0; k = parent[k]) ++depth;
      lengths[used[i]] = depth;
      fits = fits && depth <= MAX_CODE_LENGTH;
    }
    if (fits) return lengths;
    for (uint64_t& f : freq) f = f ? (f + 1) / 2 : 0;
  }
}

// A block with one set of code lengths fitted to its tokens (a BlockEncoder).
// The builder's parse makes no matches of length 2: distance alphabet 1 stays
// unused.
std::vector<uint8_t> fittedBlock(const std::vector<uint8_t>& history, const std::vector<uint8_t>& data, bool last,
                                 uint32_t row, uint32_t column) {
  std::vector<BuilderToken> tokens = findMatches(history, data);
  std::vector<uint64_t> lit(LITLEN_SYMBOLS, 0), dist(DIST0_SYMBOLS, 0);
  for (const BuilderToken& t : tokens) {
    uint32_t symbol, extra, bits;
    if (!t.length) {
      ++lit[t.value];
      continue;
    }
    lengthSymbol(t.length, &symbol, &extra, &bits);
    ++lit[symbol];
    distanceSymbol(t.value, &symbol, &extra, &bits);
    ++dist[symbol];
  }
  std::vector<uint8_t> set = codeLengthsFor(lit), d = codeLengthsFor(dist);
  set.insert(set.end(), d.begin(), d.end());
  set.resize(SET_SIZE_2, 0);
  return encodeTokens(tokens, set, (uint32_t)data.size(), last, row, column);
}

struct Archive {
  std::string path;
  DirectoryEntry entry;
  size_t encodedSize = 0;
};

// An archive of one file in one stream of compressed blocks.
Archive buildArchive(const std::vector<uint8_t>& data, const char* name) {
  Stream stream;
  stream.add(name, data, name);
  std::vector<Cut> cuts;
  for (size_t end = BLOCK; end < stream.decoded.size(); end += BLOCK) cuts.push_back({end, 'c'});
  cuts.push_back({stream.decoded.size(), 'c'});
  std::vector<uint8_t> file = assembleArchive({cutStream(stream.decoded, cuts, fittedBlock)}, stream.records);
  Archive a{std::string("/tmp/jov_bench_") + name, {}, file.size()};
  // The directory is one stored block; its first record is the file's.
  parseDirectoryEntry(&file[readLe32(&file[AH_DIRECTORY_OFFSET]) + SIGNATURE_SIZE + BLOCK_STORED_DATA_BYTE], &a.entry);
  std::ofstream(a.path, std::ios::binary).write((const char*)file.data(), (std::streamsize)file.size());
  return a;
}

void decodeArchive(benchmark::State& s, const Archive& a) {
  std::vector<uint8_t> input(INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK);
  buildCrcTable();
  state.archiveFile = fileOpen(a.path.c_str(), ACCESS_READ);
  state.archiveOffset = state.archiveFilePos = 0;
  startStreamReading(input.data());
  FileHandle sink = fileCreate("\\dev\\null", 0);
  for (auto _ : s) {
    state.streamKey = NO_STREAM;  // decode from the stream's start every time
    ResultCode rc = readStreamFile(sink, a.entry.streamOffset, a.entry.streamPosition, a.entry.length, a.entry.flags);
    if (rc != RC_OK || state.runningCrc != a.entry.crc) {
      fprintf(stderr, "rc %d\n", rc);
      s.SkipWithError("decoding failed");
    }
  }
  s.SetBytesProcessed((int64_t)s.iterations() * a.entry.length);
  s.counters["ratio"] = (double)a.encodedSize / a.entry.length;
  fileClose(sink);
  fileClose(state.archiveFile);
  memFree(state.outputBuffer);
  state.outputBuffer = nullptr;
}

void BM_DecodeTextLike(benchmark::State& s) {
  static Archive a = buildArchive(textLike(16 << 20), "text");
  decodeArchive(s, a);
}

void BM_DecodeLiteralHeavy(benchmark::State& s) {
  static Archive a = buildArchive(noisy(8 << 20), "noisy");
  decodeArchive(s, a);
}

// Table builds: blocks of machine code change table sets every 30 KiB or so,
// and each set needs a literal/length table. A skewed code of LITLEN_SYMBOLS
// symbols, lengths up to MAX_CODE_LENGTH, built into the wide table and, for
// comparison, into the reference lookup and tree.
std::vector<uint8_t> skewedLengths() {
  std::mt19937 rng(3);
  std::vector<uint64_t> freq(LITLEN_SYMBOLS);
  for (uint64_t& f : freq) f = 1 + (rng() % 1000) * (rng() % 1000) * (rng() % 100);
  return codeLengthsFor(freq);
}

void BM_BuildWideTable(benchmark::State& s) {
  std::vector<uint8_t> lengths = skewedLengths();
  std::vector<uint32_t> rule(LITLEN_SYMBOLS), table(LIT_TABLE_SIZE);
  for (uint32_t i = 0; i < LITLEN_SYMBOLS; ++i) rule[i] = i << FAST_LIT_PAYLOAD_SHIFT;  // each a literal
  for (auto _ : s) {
    bool built = buildFastTable(table.data(), LIT_ALPHABET, lengths.data(), LITLEN_SYMBOLS, rule.data());
    benchmark::DoNotOptimize(built);
    benchmark::ClobberMemory();
  }
}

void BM_BuildReferenceTable(benchmark::State& s) {
  std::vector<uint8_t> lengths = skewedLengths();
  std::vector<uint32_t> codes(LITLEN_SYMBOLS);
  std::vector<int32_t> lookup(1u << LITLEN_LOOKUP_BITS), tree(2 * LITLEN_SYMBOLS);
  for (auto _ : s) {
    assignCodes(codes.data(), lengths.data(), LITLEN_SYMBOLS);
    benchmark::DoNotOptimize(buildDecodeTable(lookup.data(), tree.data(), codes.data(), lengths.data(),
                                              LITLEN_LOOKUP_BITS, LITLEN_SYMBOLS));
    benchmark::ClobberMemory();
  }
}

}  // namespace

BENCHMARK(BM_BuildWideTable);
BENCHMARK(BM_BuildReferenceTable);
BENCHMARK(BM_DecodeTextLike)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeLiteralHeavy)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
