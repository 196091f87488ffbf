// Walking a source folder into directory entries: deterministic order, a
// folder's record before anything inside it, names converted to the 8-bit
// Windows code page and checked against what Windows and the installer
// accept, attributes and DOS times.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "packer/archive_writer.h"

namespace jov {

struct SourceEntry {
  std::string relative;           // UTF-8, "/" between components (for messages)
  std::filesystem::path path;     // where to read it
  uint64_t size = 0;              // files only
  EntryInfo info;                 // name in the code page, attributes, times
};

struct ScanOptions {
  int codepage = 1252;
  std::vector<std::string> hiddenPatterns;  // fnmatch patterns over `relative`
  std::vector<std::string> systemPatterns;
  std::optional<int64_t> sourceDateEpoch;   // clamps every time when set
  std::function<void(const std::string&)> warn;
};

// The install folder a name must still fit behind: the installer joins
// folder, "\" and name into at most 259 characters.
extern const char* const TYPICAL_INSTALL_FOLDER;
uint32_t maxNameLength();

// Throws std::runtime_error naming the file and the cause.
std::vector<SourceEntry> scanSourceTree(const std::filesystem::path& root, const ScanOptions& options);

// UTF-8 text to one Windows code page. Throws std::runtime_error for a page
// the system does not know or one that does not write ASCII as ASCII.
class CodePageConverter {
 public:
  explicit CodePageConverter(int codepage);
  ~CodePageConverter();
  CodePageConverter(const CodePageConverter&) = delete;
  CodePageConverter& operator=(const CodePageConverter&) = delete;
  // nullopt when a character has no form in the code page.
  std::optional<std::string> convert(const std::string& utf8);

 private:
  void* converter_;  // iconv_t
};

// One text converted with a converter made for it.
std::optional<std::string> toCodePage(const std::string& utf8, int codepage);

// Why a path component is not a valid Windows name (empty when it is).
std::string invalidComponentReason(const std::string& component);

// DOS date and time words (local time) of a POSIX time, clamped into the DOS
// range 1980-01-01 .. 2107-12-31 23:59:58; `clamped` tells whether it was.
void toDosTime(int64_t seconds, uint16_t* date, uint16_t* time, bool* clamped);

}  // namespace jov
