// The runner of the reading commands (list, test, extract) and the remarks
// on names they share; each command's body lives in its own file.
#include "cli/read_commands.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <unordered_map>

#include "archive/messages.h"
#include "archive/names.h"
#include "archive/paths.h"
#include "codec/crc32.h"
#include "install_state.h"
#include "platform/code_page.h"
#include "platform/posix.h"

namespace {

// Shown under every command's own help.
const char* const COMMON_HELP =
    "  --offset N       the archive begins at byte N of the file (0x for hexadecimal)\n"
    "  --codepage N     Windows code page of the names (default 1252)\n"
    "  -q, --quiet      no progress bar: errors only\n"
    "  -h, --help       this text\n"
    "  --version        version, archive format and built-in stub\n"
    "\n"
    "ARCHIVE '-' reads standard input (copied to a temporary file first, since the\n"
    "directory lies at the end). Exit status: 0 all is well, 1 a failure, 2 a usage\n"
    "error, 128+N stopped by signal N.\n";

const OptionSpec OFFSET_OPTION = {OPT_OFFSET, 0, "offset", true};

ReadOptions parseOptions(int argc, char** argv, std::vector<OptionSpec> specs) {
  specs.insert(specs.end(), COMMON_OPTIONS.begin(), COMMON_OPTIONS.end());
  specs.push_back(OFFSET_OPTION);
  CommandLine line = parseCommandLine(argc, argv, specs);
  ReadOptions options;
  for (const ParsedOption& o : line.options) {
    if (applyCommonOption(o, &options.common)) continue;
    switch (o.id) {
      case OPT_OFFSET: {
        uint64_t n;
        if (!parseNumber(o.value, SEEK_FAILED - 1, &n)) throw UsageError("--offset needs a byte position");
        options.offset = (uint32_t)n;
        break;
      }
      case OPT_JSON: options.json = true; break;
      case OPT_FOLDER:
        options.folder = o.value;
        if (options.folder.empty()) throw UsageError(o.spelled + " needs a folder");
        break;
      case OPT_OVERWRITE:
        if (o.value == "ask") options.overwrite = OverwritePolicy::Ask;
        else if (o.value == "all") options.overwrite = OverwritePolicy::All;
        else if (o.value == "never") options.overwrite = OverwritePolicy::Never;
        else throw UsageError("--overwrite takes ask, all or never");
        break;
      case OPT_STOP: options.stopOnError = true; break;
    }
  }
  if (options.common.help || options.common.version) return options;
  if (line.operands.size() > 1) throw UsageError("more than one archive");
  if (line.operands.empty()) throw UsageError("no archive given ('-' reads standard input)");
  options.archive = line.operands[0];
  return options;
}

// Output that could not be written fails the run, as in GNU tar: a listing
// cut short by a full disk must not pass for a whole one.
int finishStandardOutput(int status) {
  errno = 0;
  if (fflush(stdout) == 0 && !ferror(stdout)) return status;
  console.error(std::string("standard output: ") + (errno ? errnoReason(errno) : "write error"));
  return status == EXIT_OK ? EXIT_FAILED : status;
}

int runCommandBody(const char* command, const char* help, const std::vector<OptionSpec>& specs, int argc,
                   char** argv, int (*body)(const ReadOptions&, const ArchiveFile&)) {
  console.command = std::string("jov ") + command;
  ReadOptions options;
  try {
    options = parseOptions(argc, argv, specs);
  } catch (const UsageError& e) {
    console.error(std::string(e.what()) + " (try 'jov " + command + " --help')");
    return EXIT_USAGE;
  }
  if (options.common.help) {
    fputs(help, stdout);
    fputs(COMMON_HELP, stdout);
    return EXIT_OK;
  }
  if (options.common.version) {
    printVersion();
    return EXIT_OK;
  }
  console.verbose = options.common.verbose;
  console.quiet = options.common.quiet;
  setPathCodePage(options.common.codepage);  // checked already when given
  buildCrcTable();
  state.cancelRequested = 0;
  int status;
  try {
    ArchiveFile archive = openArchive(options.archive, options.offset);
    status = body(options, archive);
  } catch (const std::exception& e) {  // CommandFailure, and running out of memory
    console.error(e.what());
    status = EXIT_FAILED;
  }
  closeArchive();
  console.progress.finish();
  return status;
}

}  // namespace

int runCommand(const char* command, const char* help, const std::vector<OptionSpec>& specs, int argc, char** argv,
               int (*body)(const ReadOptions&, const ArchiveFile&)) {
  return finishStandardOutput(runCommandBody(command, help, specs, argc, argv, body));
}

namespace {

// The form Windows compares names in: UTF-8, "\\" between components, folded.
std::string comparedName(const std::string& stored) {
  std::string shown = nameText(stored);
  std::replace(shown.begin(), shown.end(), '/', '\\');
  return foldNameCase(shown);
}

}  // namespace

void SameNames::add(const std::string& stored) {
  hashes_.push_back({std::hash<std::string>()(comparedName(stored)), count_++});
}

std::vector<std::string> SameNames::report() {
  std::sort(hashes_.begin(), hashes_.end());
  std::unordered_map<uint32_t, std::string> names;  // of the records in a group of equal hashes
  for (size_t i = 1; i < hashes_.size(); ++i) {
    if (hashes_[i].first != hashes_[i - 1].first) continue;
    names[hashes_[i - 1].second];
    names[hashes_[i].second];
  }
  std::vector<std::string> lines;
  if (names.empty()) return lines;
  uint32_t index = 0;
  walkDirectory([&](const ArchiveRecord& r) -> ResultCode {
    if (auto it = names.find(index++); it != names.end()) it->second = r.name;
    return RC_OK;
  });
  std::unordered_map<std::string, std::string> first;  // compared name -> the earliest record's
  std::vector<std::pair<uint32_t, std::string>> involved(names.begin(), names.end());
  std::sort(involved.begin(), involved.end());
  for (const auto& [at, stored] : involved) {
    auto [it, fresh] = first.emplace(comparedName(stored), stored);
    if (fresh) continue;
    lines.push_back(displayText(stored) +
                    (it->second == stored ? ": an earlier record has this name"
                                          : ": the same name on Windows as " + displayText(it->second)) +
                    "; the installer writes this record over that one");
  }
  return lines;
}

std::string shortNameRemark(const std::string& stored) {
  for (size_t start = 0; start <= stored.size();) {
    size_t end = stored.find_first_of("\\/", start);
    if (end == std::string::npos) end = stored.size();
    if (looksLikeShortName((const uint8_t*)stored.data() + start, (uint32_t)(end - start)))
      return displayText(stored) + ": \"" + displayText(stored.substr(start, end - start)) +
             "\" has the form of a short (8.3) name; on Windows it may reach another file or folder through "
             "that alias";
    start = end + 1;
  }
  return "";
}

std::optional<Identity> carriedIdentity(const ArchiveFile& archive) {
  std::vector<uint8_t> stub = readStub(archive);
  std::optional<uint32_t> at = findIdentity(stub.data(), (uint32_t)stub.size());
  if (!at) return std::nullopt;
  return readIdentity(stub.data() + *at);
}

