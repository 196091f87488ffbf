// Walking a source folder into directory entries: deterministic order, a
// folder's record before anything inside it, names converted to the 8-bit
// Windows code page and checked against what Windows and the installer
// accept, attributes and DOS times.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "packer/archive_writer.h"
#include "platform/code_page.h"

namespace jov {

// What tells one version of a file from another: a change of content moves
// the modification time, and anything done to the inode moves ctime.
struct FileIdentity {
  uint64_t device = 0, inode = 0, size = 0;
  int64_t modifiedNs = 0, changedNs = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct SourceEntry {
  std::string relative;           // UTF-8, "/" between components (for messages)
  std::filesystem::path path;     // where to read it
  uint64_t size = 0;              // files only
  FileIdentity identity;          // files only: as the scan saw it
  EntryInfo info;                 // name in the code page, attributes, times
};

// Patterns for --hidden, --system and --exclude are matched with fnmatch
// against the whole path below the source folder, "/" between names; "*",
// "?" and "[...]" also match "/", so "*.o" matches at any depth. An excluded
// folder leaves out everything inside it. An --exclude pattern may begin
// with "/" or "./" (anchored, as every pattern is) and end in "/" (folders
// only); one that matches nothing is reported, as --hidden and --system are.
struct ScanOptions {
  int codepage = 1252;
  std::vector<std::string> hiddenPatterns;
  std::vector<std::string> systemPatterns;
  std::vector<std::string> excludePatterns;
  std::optional<int64_t> sourceDateEpoch;   // clamps every time when set, silently
  bool dereference = false;                 // follow links that leave the source folder
  bool verbose = false;                     // warn of each link followed, not only of their number
  std::string installFolder;                // names must fit behind it (UTF-8); empty: TYPICAL_INSTALL_FOLDER
  std::vector<std::pair<uint64_t, uint64_t>> skip;  // (device, inode) never packed: the output
  std::function<void(const std::string&)> warn;
};

// Every problem the scan found, one line each ("path: reason"), so that a
// tree is fixed in one round; thrown before anything is compressed.
class SourceProblems : public std::runtime_error {
 public:
  explicit SourceProblems(std::vector<std::string> problems);
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  std::vector<std::string> problems_;
};

// Why a --hidden/--system/--exclude pattern is malformed (empty when it is
// fine): empty, only "/" and "./", a "[" without "]", a lone "\" at the end.
std::string patternProblem(const std::string& pattern);

// The text in NFC as far as the single-byte code pages need it (a letter and
// one or more combining marks of U+0300..U+036F become the composed letter
// where one exists). nullopt when the text is not valid UTF-8.
std::optional<std::string> composeUtf8(const std::string& utf8);

// Bytes for messages: printable ASCII as it is, anything else as \xHH.
std::string escapeBytes(const std::string& bytes);

// The install folder a name must still fit behind: the installer joins
// folder, "\" and name into at most 259 characters.
extern const char* const TYPICAL_INSTALL_FOLDER;
uint32_t maxNameLength(const std::string& folder = TYPICAL_INSTALL_FOLDER);

// Throws SourceProblems listing every entry that cannot be packed, or
// std::runtime_error when the source folder itself cannot be read.
std::vector<SourceEntry> scanSourceTree(const std::filesystem::path& root, const ScanOptions& options);

// A source file opened for packing, read at any offset without moving
// through it. Opening does not block on a FIFO put in its place, and fails
// unless the file is still the one the scan saw.
class SourceFile : public FileSource {
 public:
  explicit SourceFile(const SourceEntry& entry);
  ~SourceFile() override;
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  uint64_t size() const override { return identity_.size; }
  void read(uint64_t offset, uint8_t* to, size_t n) override;
  // Throws unless the file is as it was when it was opened (same size,
  // modification and change times), naming it.
  void checkUnchanged() const;

 private:
  std::string relative_;
  int fd_ = -1;
  FileIdentity identity_;
};

// Why a path component is not a valid Windows name (empty when it is).
std::string invalidComponentReason(const std::string& component);

// DOS date and time words (local time, or UTC when `utc`) of a POSIX time,
// clamped into the DOS range 1980-01-01 .. 2107-12-31 23:59:58; `clamped`
// tells whether it was.
void toDosTime(int64_t seconds, bool utc, uint16_t* date, uint16_t* time, bool* clamped);

}  // namespace jov
