// Whole extractions on a test build of the POSIX layer (JOV_PLATFORM_HOOKS) that injects failures,
// accounts the heap and aborts on any path outside the run's folder. Each run must end with the code
// and message its failure calls for, leave no partial file and no temporary, and free every block
// (a double free or a use after free fails the ASan build).
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "archive/extract.h"
#include "archive/header.h"
#include "block_builder.h"
#include "codec/crc32.h"
#include "heap_bound.h"
#include "install_state.h"
#include "platform/platform_hooks.h"
#include "platform/posix.h"
#include "temp_dir.h"
#include "test_frontend.h"

namespace fs = std::filesystem;

namespace {

const char DAMAGED_TEXT[] = "Archive data is damaged, probably caused by\ncorrupt disk or download error";
using Bytes = std::vector<uint8_t>;

// A whole file (none: no bytes).
Bytes readBytes(const fs::path& path) {
  const std::string s = readFile(path);
  return {s.begin(), s.end()};
}

struct FaultKind {
  const char* label;
  PlatformCall call;
  bool shortTransfer;
  const char *message, *suffix;  // "cannot ..." prefix or a fixed text; the injected error's reason
  ResultCode dialogCode;   // the result the dialog reports itself, if any
};

const FaultKind KINDS[] = {
    {"read", CALL_READ, false, "cannot read ", ": Input/output error", RC_READ_FAILED},
    {"short read", CALL_READ, true, DAMAGED_TEXT, "", RC_DAMAGED},
    {"write", CALL_WRITE, false, "cannot write ", ": Input/output error", RC_OK},
    {"short write", CALL_WRITE, true, "cannot write ", ": No space left on device", RC_OK},
    {"seek", CALL_SEEK, false, "cannot read ", ": Input/output error", RC_SEEK_FAILED},
    {"create", CALL_CREATE, false, "cannot create ", ": Permission denied", RC_OK},
    {"folder", CALL_FOLDER, false, "cannot create folder ", ": Permission denied", RC_OK},
    {"sync", CALL_SYNC, false, "cannot create ", ": Input/output error", RC_OK},
    {"rename", CALL_RENAME, false, "cannot create ", ": Input/output error", RC_OK},
    {"alloc", CALL_ALLOC, false, "Not enough memory", "", RC_NO_MEMORY},
    {"realloc", CALL_REALLOC, false, "Not enough memory", "", RC_OK},
};

struct Outcome {
  ResultCode result = 0;
  std::string installFolder;  // as the core spells it ("\\" separators)
  std::vector<std::string> messages;
  std::map<std::string, Bytes> files;  // relative path ("/") -> bytes
  std::set<std::string> folders;
  uint64_t calls[CALL_KINDS] = {};
  uint64_t peakBytes = 0;  // heap held at most during the run
};

// Extracts `archive` (no stub) into a fresh fenced folder below `dir`, the
// extraction root, with call `at` of `fault` failing (none: no fault) and the
// front end answering OK; fails the test on a leaked heap block or buffer.
// Whether extractWith's runs stage files under fresh names, as on a file
// system without unnamed files.
bool namedStaging = false;

Outcome extractWith(const TempDir& dir, const Bytes& archive, const FaultKind* fault = nullptr, uint64_t at = 0) {
  static int runs = 0;
  buildCrcTable();
  const fs::path runDir = dir.path() / ("run" + std::to_string(++runs));
  const fs::path file = runDir / "archive.bin", out = runDir / "out";
  writeFile(file, archive);

  Outcome run;
  testFrontEnd.reset();
  state.cancelRequested = 0;
  state.archiveOffset = 0;
  state.archiveFile = fileOpen(toCorePath(file.string()).c_str(), ACCESS_READ);
  EXPECT_NE(state.archiveFile, INVALID_FILE);
  run.result = readArchiveHeader();
  if (run.result == RC_OK) {
    run.installFolder = toCorePath(out.string());
    strcpy(state.installPath, run.installFolder.c_str());
    resetPlatformHooks();
    const uint64_t blocksBefore = platformHooks.liveBlocks, bytesBefore = platformHooks.liveBytes;
    if (fault) platformHooks.failAt[fault->call] = at;
    platformHooks.shortTransfer = fault && fault->shortTransfer;
    platformHooks.fence = runDir.c_str();
    platformHooks.unnamedUnsupported = namedStaging;
    setExtractionRoot(run.installFolder.c_str());
    run.result = extractArchive(nullptr);
    setExtractionRoot(nullptr);
    std::copy(platformHooks.calls, platformHooks.calls + CALL_KINDS, run.calls);
    run.peakBytes = platformHooks.peakBytes - bytesBefore;
    resetPlatformHooks();  // and the fence with it
    EXPECT_EQ(platformHooks.liveBlocks, blocksBefore) << "a heap block outlived the extraction";
    EXPECT_TRUE(state.outputBuffer == nullptr && state.inputBuffer == nullptr) << "a buffer outlived the extraction";
  }
  fileClose(state.archiveFile);
  run.messages = testFrontEnd.messages;
  std::error_code ignored;  // no out folder: nothing was extracted
  for (const auto& item : fs::recursive_directory_iterator(out, fs::directory_options::none, ignored)) {
    const std::string relative = fs::relative(item.path(), out).string();
    if (item.is_directory()) run.folders.insert(relative);
    else run.files[relative] = readBytes(item.path());
  }
  for (const auto& item : fs::directory_iterator(runDir))
    EXPECT_TRUE(item.path() == file || item.path() == out) << item.path() << " lies outside the install folder";
  return run;
}

// The path below the install folder ("/" separators) a message of `kind`
// names: "" for a fixed text or the folder itself, "?" for another form. No
// path of the tests holds ": ", so the suffix cannot overlap the prefix.
std::string namedPath(const FaultKind& kind, const std::string& message, const std::string& installFolder) {
  const std::string prefix = kind.message + installFolder, suffix = kind.suffix;
  if (message == kind.message) return "";
  if (!message.starts_with(prefix) || !message.ends_with(suffix)) return "?";
  std::string path = message.substr(prefix.size(), message.size() - prefix.size() - suffix.size());
  if (path.starts_with('\\')) path.erase(0, 1);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

void checkRun(const FaultKind& kind, const Outcome& run, const Outcome& clean) {
  for (const auto& [path, bytes] : run.files)
    EXPECT_TRUE(clean.files.count(path) && bytes == clean.files.at(path)) << "partial file " << path;
  const bool shortRead = kind.call == CALL_READ && kind.shortTransfer;
  const bool perFile = kind.call == CALL_CREATE || kind.call == CALL_SYNC || kind.call == CALL_RENAME;
  const std::string path = run.messages.empty() ? "" : namedPath(kind, run.messages[0], run.installFolder);
  if (run.result == RC_OK && run.messages.empty()) {
    // Only a short read that still covers what is needed, and a folder level
    // createFolderPath tries again on its way down, pass unnoticed.
    EXPECT_TRUE(shortRead || kind.call == CALL_FOLDER) << "a failure went unreported";
    EXPECT_EQ(run.files.size(), clean.files.size());
  } else if (run.result == RC_OK && perFile) {  // the one file's failure, answered with OK
    EXPECT_TRUE(run.messages.size() == 1 && clean.files.count(path) && !run.files.count(path) &&
                run.files.size() + 1 == clean.files.size())
        << run.messages[0];
  } else if (run.result == RC_OK) {
    EXPECT_TRUE(shortRead && run.messages == std::vector<std::string>(run.messages.size(), DAMAGED_TEXT))
        << run.messages[0];
  } else if (run.result == RC_CANCELLED) {  // the driver showed the failure and stopped
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_TRUE(path != "?" && !run.files.count(path) && !run.folders.count(path)) << run.messages[0];
  } else {  // the dialog reports the code
    EXPECT_TRUE(run.messages.empty() && run.result == kind.dialogCode) << "result " << run.result;
  }
}

TEST(FaultInjection, EveryCallOfEveryKindFailsCleanly) {
  TempDir dir;
  uint64_t injected[std::size(KINDS)] = {};
  // Every fault again with files staged under fresh names, whose temporaries
  // must not outlive a failure either (a leftover shows as a partial file).
  for (auto [name, named] : {std::pair{"tree.jov", false}, {"stored.jov", false}, {"small-blocks.jov", false},
                             {"tree.jov", true}, {"small-blocks.jov", true}}) {
    SCOPED_TRACE(std::string(name) + (named ? ", named staging" : ""));
    namedStaging = named;
    const Bytes archive = readBytes(fs::path(JOV_SOURCE_DIR) / "tests/golden" / name);
    const Outcome clean = extractWith(dir, archive);
    ASSERT_TRUE(clean.result == RC_OK && clean.messages.empty() && clean.files.size() >= 4);
    for (size_t k = 0; k < std::size(KINDS); ++k) {
      for (uint64_t n = 1; n <= clean.calls[KINDS[k].call]; ++n, ++injected[k]) {
        SCOPED_TRACE(std::string(KINDS[k].label) + " fault at call " + std::to_string(n));
        checkRun(KINDS[k], extractWith(dir, archive, &KINDS[k], n), clean);
        if (HasFatalFailure()) return;
      }
    }
  }
  namedStaging = false;
  for (size_t k = 0; k < std::size(KINDS); ++k) EXPECT_GT(injected[k], 0u) << KINDS[k].label;
}

TEST(HostileArchive, ClaimsAndLongStreamsStayWithinTheHeapBound) {
  const Bytes data = {'d', 'a', 't', 'a'}, slice = streamSlice("f", data);
  // Stored and compressed blocks claiming the largest output and size with
  // almost nothing behind them, each beside a record claiming 4 GiB.
  Bytes claiming = storedBlock(slice, false);
  setBlockField(claiming, BF_OUTPUT_LENGTH, BLOCK_MAX_OUTPUT);
  setBlockField(claiming, BF_BLOCK_SIZE, BLOCK_MAX_SIZE);
  CompressedFrame compressed(BLOCK_MAX_OUTPUT, true);
  CodedWriter(compressed.w, 2, {});
  RecordDraft huge = fileRecord("huge", data, 0);
  huge.length = 0xFFFFFFFFu;
  // Three largest stored blocks, then a compressed one reaching back with the
  // largest window: the history is trimmed, never accumulated.
  const std::string tailText = "and a tail that repeats, repeats, repeats";
  Bytes big(3 * BLOCK_MAX_OUTPUT - 100), tail(tailText.begin(), tailText.end());
  for (size_t i = 0; i < big.size(); ++i) big[i] = (uint8_t)(i * 31 + (i >> 12));
  const Bytes bigSlice = streamSlice("big", big);
  std::vector<Bytes> longStream;
  for (size_t at = 0; at < bigSlice.size(); at += BLOCK_MAX_OUTPUT - 7) {
    size_t n = std::min<size_t>(BLOCK_MAX_OUTPUT - 7, bigSlice.size() - at);
    longStream.push_back(storedBlock(Bytes(bigSlice.begin() + at, bigSlice.begin() + at + n), false));
  }
  const Bytes history(bigSlice.end() - WINDOW_MAX, bigSlice.end());
  longStream.push_back(compressBlock(history, streamSlice("tail", tail), true));
  const struct {
    Bytes archive;
    std::map<std::string, Bytes> files;
    size_t damaged;  // messages
  } cases[] = {
      {assembleArchive({{claiming}}, {fileRecord("f", data, 0), huge}), {{"f", data}}, 1},
      {assembleArchive({{storedBlock(slice, false), compressed.finish(BLOCK_MAX_SIZE)}},
                       {fileRecord("f", data, 0), huge}),
       {{"f", data}}, 1},
      {assembleArchive({longStream}, {fileRecord("big", big, 0), fileRecord("tail", tail, (uint32_t)bigSlice.size())}),
       {{"big", big}, {"tail", tail}}, 0},
  };
  TempDir dir;
  for (const auto& c : cases) {
    Outcome run = extractWith(dir, c.archive);
    EXPECT_TRUE(run.result == RC_OK && run.files == c.files);
    EXPECT_EQ(run.messages, std::vector<std::string>(c.damaged, DAMAGED_TEXT));
    EXPECT_LE(run.peakBytes, READER_HEAP_BOUND);
  }
}

// Every prefix of an archive, and every byte of it corrupted in turn: no crash, no escape, no leak,
// and any file that appears is one the intact archive holds (under its own name when only cut).
TEST(HostileArchive, TruncatedAndCorruptedAtEveryByte) {
  TempDir dir;
  for (const char* name : {"tree.jov", "small-blocks.jov"}) {
    SCOPED_TRACE(name);
    const Bytes archive = readBytes(fs::path(JOV_SOURCE_DIR) / "tests/golden" / name);
    const Outcome clean = extractWith(dir, archive);
    ASSERT_EQ(clean.result, RC_OK);
    std::set<Bytes> contents;
    for (const auto& f : clean.files) contents.insert(f.second);
    for (size_t at = 0; at < archive.size(); ++at) {
      Bytes flipped = archive;
      flipped[at] ^= 0x5A;
      for (const auto& f : extractWith(dir, Bytes(archive.begin(), archive.begin() + at)).files)
        EXPECT_TRUE(clean.files.count(f.first) && clean.files.at(f.first) == f.second) << f.first << " cut at " << at;
      for (const auto& f : extractWith(dir, flipped).files)
        EXPECT_TRUE(contents.count(f.second)) << f.first << " flipped at " << at;
      if (HasFailure()) return;
    }
  }
}

}  // namespace
