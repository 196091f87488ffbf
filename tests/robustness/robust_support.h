// Runs of the whole extraction with the platform hooks: faults, heap
// accounting and a fence around the run's folder.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform_hooks.h"
#include "result.h"
#include "stored_archive.h"
#include "temp_dir.h"

struct Fault {
  PlatformCall kind = CALL_KINDS;  // CALL_KINDS: none
  uint64_t at = 0;                 // the call to fail
  bool shortTransfer = false;
};

struct Outcome {
  ResultCode result = 0;
  std::string installFolder;  // as the core spells it ("\" separators)
  std::vector<std::string> messages;
  std::map<std::string, std::vector<uint8_t>> files;  // relative path ("/") -> bytes
  std::set<std::string> folders;
  uint64_t calls[CALL_KINDS] = {};
  uint64_t peakBytes = 0;  // heap held at most during the run
};

// Extracts `archive` (no stub) into a fresh folder below `dir` with the fault
// armed, the fence around that folder, that folder as the extraction root
// (nothing below it followed) and the test front end answering OK.
// Fails the test when the run leaks a heap block or keeps a buffer.
Outcome extractWith(const TempDir& dir, const std::vector<uint8_t>& archive, const Fault& fault = {});

// A committed archive: tests/golden/<name>.
std::vector<uint8_t> seedArchive(const std::string& name);
