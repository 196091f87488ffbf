// Time against input size for the whole extraction of archives built to
// stress one part of the reader each: well-formed packed data, streams of
// many empty blocks, blocks of 63 table sets switched after every literal, and
// directories of many records. Google Benchmark fits each family to O(N) in
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

std::vector<uint8_t> tableSetSwitches(size_t blocks) {
  std::vector<std::vector<uint8_t>> sets(MAX_SET_COUNT, uniformSet(2));
  std::vector<uint8_t> decoded;
  std::vector<std::vector<uint8_t>> stream;
  std::vector<uint8_t> data(blocks * MAX_SET_COUNT - STREAM_RECORD_FIXED_SIZE - 1 - STREAM_RECORD_CRC_SIZE, 'q');
  std::vector<uint8_t> slice = streamSlice("f", data);
  for (size_t b = 0, at = 0; b < blocks; ++b) {
    CompressedFrame frame(MAX_SET_COUNT, b + 1 == blocks);
    CodedWriter coder(frame.w, 2, sets);
    for (uint32_t s = 0; s < MAX_SET_COUNT; ++s, ++at) {
      coder.literal(slice[at]);
      if (s + 1 < MAX_SET_COUNT) coder.endOfSet();
    }
    stream.push_back(frame.finish());
  }
  return assembleArchive({stream}, {fileRecord("f", data, 0)});
}

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

void BM_PackedText(benchmark::State& s) { extractFamily(s, packed, 1 << 16); }
void BM_EmptyBlocks(benchmark::State& s) { extractFamily(s, emptyBlocks, 1 << 10); }
void BM_TableSetSwitches(benchmark::State& s) { extractFamily(s, tableSetSwitches, 1 << 2); }
void BM_SkippedRecords(benchmark::State& s) { extractFamily(s, skippedRecords, 1 << 8); }

}  // namespace

BENCHMARK(BM_PackedText)->RangeMultiplier(2)->Range(2, 64)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmptyBlocks)->RangeMultiplier(2)->Range(2, 64)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TableSetSwitches)->RangeMultiplier(2)->Range(2, 64)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkippedRecords)->RangeMultiplier(2)->Range(2, 64)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
