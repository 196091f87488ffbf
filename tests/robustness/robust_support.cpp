#include "robust_support.h"

#include <gtest/gtest.h>
#include <string.h>

#include "archive/extract.h"
#include "archive/header.h"
#include "codec/crc32.h"
#include "install_state.h"
#include "platform/posix.h"
#include "stored_archive.h"
#include "test_frontend.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> readBytes(const fs::path& path) {
  const std::string s = readFile(path);
  return {s.begin(), s.end()};
}

}  // namespace

Outcome extractWith(const TempDir& dir, const std::vector<uint8_t>& archive, const Fault& fault) {
  static int runs = 0;
  buildCrcTable();
  const fs::path runDir = dir.path() / ("run" + std::to_string(++runs));
  fs::create_directory(runDir);
  const fs::path file = runDir / "archive.bin", out = runDir / "out";
  writeFile(file, archive);

  Outcome run;
  testFrontEnd.reset();
  state.overwriteAll = 0;
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
    if (fault.kind != CALL_KINDS) platformHooks.failAt[fault.kind] = fault.at;
    platformHooks.shortTransfer = fault.shortTransfer;
    std::string fence = runDir.string();
    platformHooks.fence = fence.c_str();
    setExtractionRoot(run.installFolder.c_str());
    run.result = extractArchive(nullptr);
    setExtractionRoot(nullptr);
    platformHooks.fence = nullptr;
    for (int k = 0; k < CALL_KINDS; ++k) run.calls[k] = platformHooks.calls[k];
    run.peakBytes = platformHooks.peakBytes - bytesBefore;
    resetPlatformHooks();
    EXPECT_EQ(platformHooks.liveBlocks, blocksBefore) << "a heap block outlived the extraction";
    EXPECT_EQ(state.outputBuffer, nullptr);
    EXPECT_EQ(state.inputBuffer, nullptr);
  }
  fileClose(state.archiveFile);
  state.archiveFile = INVALID_FILE;
  run.messages = testFrontEnd.messages;
  if (fs::exists(out)) {
    for (const auto& item : fs::recursive_directory_iterator(out)) {
      std::string relative = fs::relative(item.path(), out).string();
      if (item.is_directory()) run.folders.insert(relative);
      else run.files[relative] = readBytes(item.path());
    }
  }
  for (const auto& item : fs::directory_iterator(runDir))
    EXPECT_TRUE(item.path() == file || item.path() == out) << item.path() << " lies outside the install folder";
  return run;
}

std::vector<uint8_t> seedArchive(const std::string& name) {
  std::vector<uint8_t> bytes = readBytes(fs::path(JOV_SOURCE_DIR) / "tests/golden" / name);
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}
