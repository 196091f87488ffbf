// The plumbing that `jov list`, `jov test` and `jov extract` share: their
// options, the runner that opens the archive around each command's body,
// and the remarks on names that both list and test print.
//
// Exit statuses: 0 all is well; 1 a failure (the archive could not be read,
// or any record failed, even when the run went on); 2 a usage error;
// 128 + N when signal N stopped the run.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/archive_access.h"
#include "cli/console.h"
#include "cli/identity.h"
#include "cli/options.h"

enum ReadOption { OPT_JSON = 1, OPT_OFFSET, OPT_FOLDER, OPT_OVERWRITE, OPT_STOP };

struct ReadOptions {
  CommonSettings common;
  std::string archive;  // "-": standard input
  std::optional<uint32_t> offset;
  bool json = false;
  bool stopOnError = false;
  std::string folder;  // empty: the current folder
  OverwritePolicy overwrite = OverwritePolicy::Ask;
};

// Runs one reading command: options, code page, the archive opened; usage
// errors and failures become one line on stderr and the exit status (after
// standard output is flushed: a failed write fails the run).
int runCommand(const char* command, const char* help, const std::vector<OptionSpec>& specs, int argc, char** argv,
               int (*body)(const ReadOptions&, const ArchiveFile&));

// Records whose names Windows takes for one file (the same name twice,
// Tovrel32.exe and TOVREL32.EXE, a code-page case pair): the installer
// writes the later over the earlier, as `jov extract` does. Each record's
// compared name is kept as a 64-bit hash beside its index, 12 bytes a record
// whatever the names' length; after the walk, equal hashes are settled with
// the names themselves, read in a second walk of the directory.
class SameNames {
 public:
  void add(const std::string& stored);

  // One line for every record whose name an earlier record has, in record order.
  std::vector<std::string> report();

 private:
  std::vector<std::pair<size_t, uint32_t>> hashes_;
  uint32_t count_ = 0;
};

// The line about a component of the record's name that has the form of a
// short (8.3) name, or empty.
std::string shortNameRemark(const std::string& stored);

// The identity record of the installer's stub; none for a raw archive or a
// stub without one.
std::optional<Identity> carriedIdentity(const ArchiveFile& archive);
