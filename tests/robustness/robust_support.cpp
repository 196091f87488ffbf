#include "robust_support.h"

#include <gtest/gtest.h>
#include <string.h>

#include <fstream>
#include <iterator>

#include "archive/extract.h"
#include "archive/header.h"
#include "block_builder.h"
#include "codec/crc32.h"
#include "format.h"
#include "install_state.h"
#include "stored_archive.h"
#include "test_frontend.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back((uint8_t)v);
  out.push_back((uint8_t)(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

}  // namespace

Outcome extractWith(const TempDir& dir, const std::vector<uint8_t>& archive, const Fault& fault) {
  static int runs = 0;
  buildCrcTable();
  const fs::path runDir = dir.path() / ("run" + std::to_string(++runs));
  fs::create_directory(runDir);
  const fs::path file = runDir / "archive.bin", out = runDir / "out";
  std::ofstream(file, std::ios::binary).write((const char*)archive.data(), (std::streamsize)archive.size());

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
    run.result = extractArchive(nullptr);
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
  for (const auto& item : fs::directory_iterator(runDir)) {
    EXPECT_TRUE(item.path() == file || item.path() == out) << item.path() << " lies outside the install folder";
  }
  return run;
}

std::vector<uint8_t> seedArchive(const std::string& name) {
  std::vector<uint8_t> bytes = readBytes(fs::path(JOV_SOURCE_DIR) / "tests/fuzz/corpus/extract" / name);
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}

std::vector<uint8_t> streamSlice(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> slice;
  put32(slice, (uint32_t)bytes.size());
  put16(slice, (uint32_t)name.size());
  slice.insert(slice.end(), 5, 0);
  slice.insert(slice.end(), name.begin(), name.end());
  slice.insert(slice.end(), bytes.begin(), bytes.end());
  put32(slice, referenceCrc32(bytes.data(), bytes.size()));
  return slice;
}

RecordSpec fileRecord(const std::string& name, const std::vector<uint8_t>& bytes, uint32_t position) {
  RecordSpec r;
  r.name = name;
  r.streamPosition = position;
  r.length = (uint32_t)bytes.size();
  r.crc = referenceCrc32(bytes.data(), bytes.size());
  return r;
}

std::vector<uint8_t> assembleArchive(const std::vector<std::vector<uint8_t>>& streamBlocks,
                                     const std::vector<RecordSpec>& records, uint32_t extraCount) {
  std::vector<uint8_t> archive(ARCHIVE_HEADER_SIZE, 0);
  const uint32_t streamOffset = (uint32_t)archive.size();
  archive.insert(archive.end(), STREAM_SIGNATURE, STREAM_SIGNATURE + SIGNATURE_SIZE);
  for (const auto& block : streamBlocks) archive.insert(archive.end(), block.begin(), block.end());

  std::vector<uint8_t> directory;
  for (const RecordSpec& r : records) {
    put32(directory, 0);
    put32(directory, streamOffset);
    directory.push_back(0);                                  // attributes
    directory.push_back(0);
    directory.push_back(0);                                  // smallExtraLength
    directory.push_back(r.folder ? ENTRY_FOLDER : 0);        // flags
    put32(directory, r.streamPosition);
    put32(directory, r.length);
    put32(directory, r.crc);
    put16(directory, 0);                                     // extraLength
    put16(directory, (uint32_t)r.name.size());
    for (int i = 0; i < 5; ++i) put16(directory, 0);         // times, reserved
    directory.insert(directory.end(), r.name.begin(), r.name.end());
  }
  const uint32_t directoryOffset = (uint32_t)archive.size();
  archive.insert(archive.end(), DIRECTORY_SIGNATURE, DIRECTORY_SIGNATURE + SIGNATURE_SIZE);
  std::vector<uint8_t> block = storedBlock(directory, true);
  archive.insert(archive.end(), block.begin(), block.end());

  for (int i = 0; i < 4; ++i) archive[AH_MAGIC + i] = ARCHIVE_MAGIC[i];
  writeLe32(&archive[AH_DIRECTORY_OFFSET], directoryOffset);
  writeLe32(&archive[AH_ENTRY_COUNT], (uint32_t)records.size() + extraCount);
  writeLe32(&archive[AH_ARCHIVE_LENGTH], (uint32_t)archive.size());
  writeLe32(&archive[AH_DATA_LENGTH], directoryOffset - ARCHIVE_HEADER_SIZE);
  return archive;
}
