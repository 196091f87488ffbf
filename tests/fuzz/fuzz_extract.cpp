// The whole extractArchive of an arbitrary archive (no stub in front) into a
// fresh folder in a sandbox; the platform layer's fence aborts on any path
// changed outside the run's folder. A small disk (write budget) and a Cancel
// after many reads keep one run short, and are paths worth taking.
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>

#include "archive/directory.h"
#include "archive/extract.h"
#include "archive/header.h"
#include "codec/stream_reader.h"
#include "fuzz_support.h"
#include "temp_dir.h"
#include "test_frontend.h"

namespace fs = std::filesystem;

namespace {

const uint64_t WRITE_BUDGET = 8u << 20;
const uint64_t CANCEL_AT_READ = 400;

// Name in native form, length and CRC-32 of every file record.
using Records = std::set<std::tuple<std::string, uint64_t, uint32_t>>;
Records fileRecords() {
  Records records;
  std::vector<uint8_t> input(INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK, 0), directory(DIRECTORY_BUFFER_SIZE);
  startStreamReading(input.data());
  state.cancelRequested = 0;
  startDirectory(directory.data());
  for (uint32_t index = 0; index < state.header.entryCount; ++index) {
    DirectoryEntry entry;
    const uint8_t* stored;
    if (nextDirectoryRecord(directory.data(), &entry, &stored) != RC_OK) break;
    std::string name((const char*)stored, entry.nameLength);
    std::replace(name.begin(), name.end(), '\\', '/');
    if (!(entry.flags & ENTRY_FOLDER)) records.insert({name, entry.length, entry.crc});
  }
  state.inputBuffer = nullptr;
  return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TempDir box;  // the sandbox of this process
  const std::string sandbox = box.path().string(), run = sandbox + "/run", install = run + "/install";
  const int archive = state.archiveFile = memfd_create("archive", MFD_CLOEXEC);
  fuzzCheck(archive >= 0 && write(archive, data, size) == (ssize_t)size && lseek(archive, 0, SEEK_SET) == 0,
            "the archive in a memory-backed file");
  state.archiveOffset = 0;
  if (readArchiveHeader() != RC_OK || state.header.entryCount == 0) {  // refused at start-up
    fileClose(state.archiveFile);
    return 0;
  }
  fuzzCheck(mkdir(run.c_str(), 0700) == 0, "a fresh run folder");
  strcpy(state.installPath, toCorePath(install).c_str());
  state.overwriteAll = 0;
  state.cancelRequested = 0;
  testFrontEnd.reset();  // else what it records grows run after run
  buildCrcTable();
  resetPlatformHooks();
  const uint64_t blocksBefore = platformHooks.liveBlocks, bytesBefore = platformHooks.liveBytes;
  platformHooks.fence = run.c_str();
  platformHooks.writeBudget = WRITE_BUDGET;
  platformHooks.cancelAtRead = CANCEL_AT_READ;
  platformHooks.cancelFlag = &state.cancelRequested;

  ResultCode rc = extractArchive(nullptr);

  platformHooks.fence = nullptr;
  platformHooks.cancelAtRead = 0;
  fuzzCheck(rc == RC_OK || rc == RC_DAMAGED || rc == RC_CANCELLED || rc == RC_INPUT_EXHAUSTED ||
                rc == RC_SEEK_FAILED,
            "a result the install dialog knows");
  fuzzCheck(platformHooks.liveBlocks == blocksBefore, "every block freed");
  fuzzCheck(platformHooks.peakBytes - bytesBefore <= READER_HEAP_BOUND, "heap within the format's bound");
  fuzzCheck(state.outputBuffer == nullptr && state.inputBuffer == nullptr, "buffers released");

  const Records records = fileRecords();
  for (const auto& item : fs::recursive_directory_iterator(sandbox)) {
    std::string path = item.path().string();
    fuzzCheck(path == run || path == install || path.rfind(install + "/", 0) == 0,
              "nothing outside the install folder");
    if (!item.is_regular_file() || path == run) continue;
    std::string bytes = readFile(item.path());
    uint32_t crc = ~crc32Update((const uint8_t*)bytes.data(), (uint32_t)bytes.size(), 0xFFFFFFFFu);
    bool matches = records.count({path.substr(install.size() + 1), bytes.size(), crc}) != 0;
    if (!matches) fprintf(stderr, "%s: %zu bytes, CRC %08x\n", path.c_str(), bytes.size(), crc);
    fuzzCheck(matches, "every file left is complete");
  }
  fileClose(state.archiveFile);
  fs::remove_all(run);
  return 0;
}
