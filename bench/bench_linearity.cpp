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
  for (size_t b = 0; b < blocks; ++b) stream.push_back(switchingBlock(sets, 2, literals, false));
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
