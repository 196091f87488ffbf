// Time against input size for the whole extraction of archives built to
// stress one part of the reader each: well-formed packed data, streams of
// many empty blocks, one-byte blocks behind a full window, blocks of 63 table
// sets (equal, or two in turn) switched after every literal, and directories
// of many records; the Stub families run the stub's build of the stream
// reader over the same shapes. Google Benchmark fits each family to O(N) in
// the archive's bytes; a small RMS (a few per cent) means time grows linearly
// with the input. Run: build/bench/bench_linearity
#include <benchmark/benchmark.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/extract.h"
#include "archive/header.h"
#include "block_builder.h"
#include "codec/crc32.h"
#include "codec/stream_reader.h"
#include "codecs.h"
#include "frontend.h"
#include "install_state.h"
#include "packed_items.h"

namespace fs = std::filesystem;

// A front end that answers nothing: the benchmark's runs show no messages.
int askOverwrite(const char*) { return OVERWRITE_YES; }
void showProgress(WindowHandle, const char*) {}
int showMessage(WindowHandle, const char*, int) { return 1; }

namespace {

const fs::path WORK = fs::exists("/dev/shm") ? fs::path("/dev/shm/jov-bench-linearity") : fs::temp_directory_path() / "jov-bench-linearity";

std::vector<uint8_t> textLike(size_t n) {
  static const char* words[] = {"installer ", "archive ", "stream ", "decoder ", "window ", "the ", "of ", "\r\n"};
  std::mt19937 rng(1);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const char* w = words[rng() % 8];
    v.insert(v.end(), w, w + strlen(w));
    if (rng() % 3 == 0) v.push_back((uint8_t)('0' + rng() % 10));
  }
  v.resize(n);
  return v;
}

std::vector<uint8_t> packed(size_t n) {
  return packItems({{"text.txt", false, textLike(n)}}, 1);
}

std::vector<uint8_t> emptyBlocks(size_t count) {
  std::vector<uint8_t> data = {'x', 'y', 'z'};
  std::vector<std::vector<uint8_t>> blocks(count, storedBlock({}, false));
  blocks.push_back(storedBlock(streamSlice("f", data), true));
  return assembleArchive({blocks}, {fileRecord("f", data, 0)});
}

// A compressed block that sends `sets` as cheaply as runs allow (repeat runs across sets, zero runs,
// differences; the most frequent pre-code symbols get the shortest codes: 1, 2, 3, ... bits) and then,
// per set, its literals and the end-of-set symbol (none after the last): many switches in few bytes.
inline std::vector<uint8_t> switchingBlock(const std::vector<std::vector<uint8_t>>& sets,
                                           const std::vector<std::vector<uint8_t>>& literals) {
  std::vector<uint8_t> all;
  for (const auto& set : sets) all.insert(all.end(), set.begin(), set.end());
  std::vector<uint32_t> symbols;  // differences; then the digits of zero runs and of repeat runs
  uint32_t value = 0, runs[2] = {0, 0}, outputLength = 0;
  auto digits = [](uint32_t n, auto put) {  // bijective base 2, least significant first
    for (; n; n = (n - 2 + n % 2) / 2) put(n % 2 ? 0 : 1);
  };
  const uint32_t firstDigit[2] = {CL_ZERO_RUN_1, CL_REPEAT_RUN_1};
  auto flush = [&](int kind) {
    digits(runs[kind], [&](uint32_t d) { symbols.push_back(firstDigit[kind] + d); }), runs[kind] = 0;
  };
  for (size_t p = 0; p < all.size(); ++p) {
    uint32_t previous = p >= SET_SIZE_2 ? all[p - SET_SIZE_2] : 0, repeated = previous ? previous : value;
    int kind = all[p] == repeated ? 1 : all[p] == 0 ? 0 : -1;
    if (kind != 0) flush(0);
    if (kind != 1) flush(1);
    if (kind >= 0) ++runs[kind];
    else symbols.push_back((all[p] + CODE_LENGTH_MODULUS - repeated) % CODE_LENGTH_MODULUS);
    value = all[p] ? all[p] : value;
  }
  flush(0), flush(1);
  std::vector<uint32_t> order(PRECODE_SYMBOLS), counts(PRECODE_SYMBOLS, 0);
  for (uint32_t s : symbols) ++counts[s];
  for (uint32_t i = 0; i < PRECODE_SYMBOLS; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) { return counts[x] > counts[y]; });
  size_t used = std::count_if(counts.begin(), counts.end(), [](uint32_t c) { return c > 0; });
  std::vector<uint8_t> precode(PRECODE_SYMBOLS, 0);
  for (size_t i = 0; i < used; ++i) precode[order[i]] = (uint8_t)std::min(i + 1, std::max<size_t>(used - 1, 1));
  for (const auto& l : literals) outputLength += (uint32_t)l.size();
  CompressedFrame frame(outputLength, false);
  frame.w.put(makeBlockPrefix(2, (uint32_t)sets.size()), BLOCK_PREFIX_BITS);
  // A used symbol's length, biased; unused ones in zero runs.
  for (uint32_t i = 0, unused = 0; i <= PRECODE_SYMBOLS; ++i) {
    if (i < PRECODE_SYMBOLS && !precode[i]) ++unused;
    else digits(unused, [&](uint32_t d) { frame.w.put(d, PRECODE_FIELD_BITS); }), unused = 0;
    if (i < PRECODE_SYMBOLS && precode[i]) frame.w.put(precode[i] + PRECODE_FIELD_LENGTH_BIAS, PRECODE_FIELD_BITS);
  }
  std::vector<uint32_t> codes = msbFirstCodes(precode.data(), PRECODE_SYMBOLS);
  for (uint32_t s : symbols) frame.w.putCode(codes[s], precode[s]);
  for (size_t j = 0; j < sets.size(); ++j) {
    codes = msbFirstCodes(sets[j].data(), LITLEN_SYMBOLS);
    for (uint8_t b : literals[j]) frame.w.putCode(codes[b], sets[j][b]);
    if (j + 1 < sets.size()) frame.w.putCode(codes[SYMBOL_END_OF_SET], sets[j][SYMBOL_END_OF_SET]);
  }
  return frame.finish();
}

// Two distance alphabets (the builder's uniform codes); `literal` takes 1 bit, the end-of-set symbol
// 2, every other symbol (SYMBOL_UNUSED too, which a hostile archive may code) 10 or 11: dense, so
// that a repeat run copies it whole.
inline std::vector<uint8_t> skewedSet(uint8_t literal) {
  std::vector<uint8_t> set = uniformSet(2);
  const uint32_t others = LITLEN_SYMBOLS - 2, tenBits = 512 - others;  // 1/2 + 1/4 + a quarter in 10 and 11 bits
  for (uint32_t s = 0, other = 0; s < LITLEN_SYMBOLS; ++s)
    set[s] = s == literal ? 1 : s == SYMBOL_END_OF_SET ? 2 : other++ < tenBits ? 10 : 11;
  return set;
}

// A 600,000-byte stored block, then `count` one-byte stored blocks: each
// block adds a byte to a full window of history.
std::vector<uint8_t> tinyBlocks(size_t count) {
  const size_t head = 600000;
  std::vector<uint8_t> data = textLike(head + count);
  std::vector<uint8_t> slice = streamSlice("f", data);
  const size_t first = slice.size() - count - STREAM_RECORD_CRC_SIZE;
  std::vector<std::vector<uint8_t>> blocks = {storedBlock({slice.begin(), slice.begin() + (ptrdiff_t)first}, false)};
  for (size_t at = first; at + STREAM_RECORD_CRC_SIZE < slice.size(); ++at) blocks.push_back(storedBlock({slice[at]}, false));
  blocks.push_back(storedBlock({slice.end() - STREAM_RECORD_CRC_SIZE, slice.end()}, true));
  return assembleArchive({blocks}, {fileRecord("f", data, 0)});
}

// Blocks of 63 table sets sent as cheaply as runs allow, one literal each:
// all equal (a few bits a switch, built once a block) or two sets in turn
// (a few bytes a switch, each built).
std::vector<uint8_t> setSwitches(size_t blocks, bool alternate) {
  std::vector<std::vector<uint8_t>> sets, literals;
  for (uint32_t j = 0; j < MAX_SET_COUNT; ++j) {
    uint8_t b = alternate && j % 2 ? 'r' : 'q';
    sets.push_back(skewedSet(b)), literals.push_back({b});
  }
  std::vector<uint8_t> data;
  for (size_t b = 0; b < blocks; ++b)
    for (const auto& l : literals) data.push_back(l[0]);
  std::vector<uint8_t> slice = streamSlice("f", data);
  const size_t head = STREAM_RECORD_FIXED_SIZE + 1, tail = slice.size() - STREAM_RECORD_CRC_SIZE;
  std::vector<std::vector<uint8_t>> stream = {storedBlock({slice.begin(), slice.begin() + (ptrdiff_t)head}, false)};
  for (size_t b = 0; b < blocks; ++b) stream.push_back(switchingBlock(sets, literals));
  stream.push_back(storedBlock({slice.begin() + (ptrdiff_t)tail, slice.end()}, true));
  return assembleArchive({stream}, {fileRecord("f", data, 0)});
}
std::vector<uint8_t> equalSets(size_t blocks) { return setSwitches(blocks, false); }
std::vector<uint8_t> alternatingSets(size_t blocks) { return setSwitches(blocks, true); }

std::vector<uint8_t> skippedRecords(size_t count) {
  std::vector<RecordDraft> records(count, RecordDraft{std::string(300, 'n'), false, 0, 0, 0});  // never fit: skipped
  return assembleArchive({{storedBlock({}, true)}}, records);
}

void extractFamily(benchmark::State& s, std::vector<uint8_t> (*build)(size_t), size_t unit) {
  std::vector<uint8_t> archive = build((size_t)s.range(0) * unit);
  fs::create_directories(WORK);
  const fs::path file = WORK / "archive.jov";
  std::ofstream(file, std::ios::binary).write((const char*)archive.data(), (std::streamsize)archive.size());
  buildCrcTable();
  for (auto _ : s) {
    state.archiveFile = fileOpen(file.c_str(), ACCESS_READ);
    state.archiveOffset = 0;
    state.overwriteAll = 1;
    if (readArchiveHeader() != RC_OK) s.SkipWithError("header");
    strcpy(state.installPath, (WORK / "out").c_str());
    if (extractArchive(nullptr) != RC_OK) s.SkipWithError("extraction failed");
    fileClose(state.archiveFile);
  }
  s.SetComplexityN((int64_t)archive.size());
  s.counters["archive_bytes"] = (double)archive.size();
  fs::remove_all(WORK);
}

// The stub's build of the stream reader (as the installer runs it, on the
// host) over the archive's one file, written nowhere.
void stubFamily(benchmark::State& s, std::vector<uint8_t> (*build)(size_t), size_t unit) {
  std::vector<uint8_t> archive = build((size_t)s.range(0) * unit);
  fs::create_directories(WORK);
  const fs::path file = WORK / "archive.jov";
  std::ofstream(file, std::ios::binary).write((const char*)archive.data(), (std::streamsize)archive.size());
  std::vector<uint8_t> input(INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK);
  DirectoryEntry entry;
  parseDirectoryEntry(archive.data() + readLe32(archive.data() + AH_DIRECTORY_OFFSET) + SIGNATURE_SIZE +
                          BLOCK_STORED_DATA_BYTE, &entry);
  jovStubCodec.buildCrcTable();
  for (auto _ : s) {
    state.archiveFile = fileOpen(file.c_str(), ACCESS_READ);
    state.archiveOffset = state.archiveFilePos = 0;
    startStreamReading(input.data());
    FileHandle sink = fileCreate((WORK / "out").c_str(), 0);
    int32_t rc = jovStubCodec.readStreamFile(sink, entry.streamOffset, entry.streamPosition, entry.length, 0);
    if (rc != RC_OK || state.runningCrc != entry.crc) s.SkipWithError("the file did not decode");
    fileClose(sink);
    fileClose(state.archiveFile);
    memFree(state.outputBuffer);
  }
  buildCrcTable();
  s.SetComplexityN((int64_t)archive.size());
  s.counters["archive_bytes"] = (double)archive.size();
  fs::remove_all(WORK);
}

void BM_PackedText(benchmark::State& s) { extractFamily(s, packed, 1 << 16); }
void BM_EmptyBlocks(benchmark::State& s) { extractFamily(s, emptyBlocks, 1 << 10); }
void BM_TinyBlocks(benchmark::State& s) { extractFamily(s, tinyBlocks, 1 << 12); }
void BM_EqualSets(benchmark::State& s) { extractFamily(s, equalSets, 1 << 6); }
void BM_AlternatingSets(benchmark::State& s) { extractFamily(s, alternatingSets, 1 << 4); }
void BM_SkippedRecords(benchmark::State& s) { extractFamily(s, skippedRecords, 1 << 8); }
void BM_StubTinyBlocks(benchmark::State& s) { stubFamily(s, tinyBlocks, 1 << 12); }
void BM_StubEqualSets(benchmark::State& s) { stubFamily(s, equalSets, 1 << 6); }
void BM_StubAlternatingSets(benchmark::State& s) { stubFamily(s, alternatingSets, 1 << 4); }

}  // namespace

BENCHMARK(BM_PackedText)->RangeMultiplier(2)->Range(2, 64)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmptyBlocks)->RangeMultiplier(2)->Range(2, 64)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
#define FAMILY(f) BENCHMARK(f)->RangeMultiplier(2)->Range(2, 64)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond)
FAMILY(BM_TinyBlocks);
FAMILY(BM_EqualSets);
FAMILY(BM_AlternatingSets);
FAMILY(BM_SkippedRecords);
FAMILY(BM_StubTinyBlocks);
FAMILY(BM_StubEqualSets);
FAMILY(BM_StubAlternatingSets);
BENCHMARK_MAIN();
