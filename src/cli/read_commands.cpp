// `jov list`, `jov test` and `jov extract`: the reading side of `jov`, over
// the same core the installer runs (directory reader, stream reader,
// extraction driver), with the console front end answering for the dialogs.
//
// Exit statuses: 0 all is well; 1 a failure (the archive could not be read,
// or any record failed, even when the run went on); 2 a usage error;
// 128 + N when signal N stopped the run.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/extract.h"
#include "archive/names.h"
#include "archive/paths.h"
#include "cli/archive_access.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/identity.h"
#include "cli/options.h"
#include "codec/crc32.h"
#include "codec/stream_reader.h"
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

const char* const LIST_HELP =
    "usage: jov list [options] ARCHIVE\n"
    "\n"
    "Lists every record of ARCHIVE (a self-extractor or a raw archive): kind, size,\n"
    "attributes (R read-only, H hidden, S system, A archive), last-write time as\n"
    "stored (local time), CRC-32 and name; then a total line.\n"
    "\n"
    "  --json           one JSON document on stdout instead, for tools\n"
    "  -v, --verbose    a first line with where the archive lies and its size\n"
    "                   (-q leaves the total line out)\n";

const char* const TEST_HELP =
    "usage: jov test [options] ARCHIVE\n"
    "\n"
    "Decodes every file of ARCHIVE and checks its CRC-32, writing nothing; also\n"
    "checks the stub against its seal and every name against what the installer\n"
    "accepts. Exit status 0 only when all is well.\n"
    "\n"
    "  -v, --verbose    print each name on stdout as it is checked\n";

const char* const EXTRACT_HELP =
    "usage: jov extract [options] ARCHIVE\n"
    "\n"
    "Extracts ARCHIVE as the installer would: folders, files, last-write times and\n"
    "attributes (read-only as the write bits; hidden and system in the extended\n"
    "attribute user.jov.attributes). Names are converted from the code page to UTF-8.\n"
    "Each file is written as an unnamed file in its folder and given its name only\n"
    "once its CRC-32 matched and it reached the disk, so a stopped run leaves\n"
    "nothing behind. Names are compared as Windows compares them: a record that\n"
    "differs from an earlier one (or a file already there) only in case replaces it,\n"
    "as in the installer. Links\n"
    "already below DIR are never followed: one where a folder belongs fails that\n"
    "record, one where a file belongs is replaced (never its target); a FIFO, socket\n"
    "or device there fails the record without being opened.\n"
    "\n"
    "  -C DIR           extract into DIR (default: the current folder)\n"
    "  --overwrite=ask  ask before replacing a file (default); without a terminal\n"
    "                   to ask on, an existing file is kept and counts as a failure\n"
    "  --overwrite=all  replace existing files\n"
    "  --overwrite=never  keep existing files\n"
    "  --stop-on-error  stop at the first failed record (default without a\n"
    "                   terminal: go on with the next one; on a terminal: ask)\n"
    "  -v, --verbose    print each file name on stdout as it is extracted\n";

enum ReadOption { OPT_JSON = 1, OPT_OFFSET, OPT_FOLDER, OPT_OVERWRITE, OPT_STOP };

const OptionSpec OFFSET_OPTION = {OPT_OFFSET, 0, "offset", true};
const OptionSpec JSON_OPTION = {OPT_JSON, 0, "json", false};
const std::vector<OptionSpec> EXTRACT_OPTIONS = {
    {OPT_FOLDER, 'C', "directory", true}, {OPT_OVERWRITE, 0, "overwrite", true}, {OPT_STOP, 0, "stop-on-error", false}};

struct Options {
  CommonSettings common;
  std::string archive;  // "-": standard input
  std::optional<uint32_t> offset;
  bool json = false;
  bool stopOnError = false;
  std::string folder;  // empty: the current folder
  OverwritePolicy overwrite = OverwritePolicy::Ask;
};

Options parseOptions(int argc, char** argv, std::vector<OptionSpec> specs) {
  specs.insert(specs.end(), COMMON_OPTIONS.begin(), COMMON_OPTIONS.end());
  specs.push_back(OFFSET_OPTION);
  CommandLine line = parseCommandLine(argc, argv, specs);
  Options options;
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
  console.error(std::string("standard output: ") + (errno ? strerror(errno) : "write error"));
  return status == EXIT_OK ? EXIT_FAILED : status;
}

int runCommandBody(const char* command, const char* help, const std::vector<OptionSpec>& specs, int argc,
                   char** argv, int (*body)(const Options&, const ArchiveFile&));

// Runs one reading command: options, code page, the archive opened; usage
// errors and failures become one line on stderr and the exit status.
int runCommand(const char* command, const char* help, const std::vector<OptionSpec>& specs, int argc, char** argv,
               int (*body)(const Options&, const ArchiveFile&)) {
  return finishStandardOutput(runCommandBody(command, help, specs, argc, argv, body));
}

int runCommandBody(const char* command, const char* help, const std::vector<OptionSpec>& specs, int argc,
                   char** argv, int (*body)(const Options&, const ArchiveFile&)) {
  console.command = std::string("jov ") + command;
  Options options;
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

uint64_t archiveBytes(const ArchiveFile& archive) { return archive.size - archive.offset; }

std::string attributeText(uint8_t bits) {
  std::string text = "----";
  if (bits & ATTR_READONLY) text[0] = 'R';
  if (bits & ATTR_HIDDEN) text[1] = 'H';
  if (bits & ATTR_SYSTEM) text[2] = 'S';
  if (bits & ATTR_ARCHIVE) text[3] = 'A';
  return text;
}

std::string jsonString(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += (char)c;
    }
  }
  return out + "\"";
}

std::string crcText(uint32_t crc) {
  char text[12];
  snprintf(text, sizeof text, "%08x", crc);
  return text;
}

// ---- names as Windows sees them ---------------------------------------------

// The form Windows compares names in: UTF-8, "\\" between components, folded.
std::string comparedName(const std::string& stored) {
  std::string shown = nameText(stored);
  std::replace(shown.begin(), shown.end(), '/', '\\');
  return foldNameCase(shown);
}

// Records whose names Windows takes for one file (the same name twice,
// Tovrel32.exe and TOVREL32.EXE, a code-page case pair): the installer
// writes the later over the earlier, as `jov extract` does. Each record's
// compared name is kept as a 64-bit hash beside its index, 12 bytes a record
// whatever the names' length; after the walk, equal hashes are settled with
// the names themselves, read in a second walk of the directory.
class SameNames {
 public:
  void add(const std::string& stored) { hashes_.push_back({std::hash<std::string>()(comparedName(stored)), count_++}); }

  // One line for every record whose name an earlier record has, in record order.
  std::vector<std::string> report() {
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

 private:
  std::vector<std::pair<size_t, uint32_t>> hashes_;
  uint32_t count_ = 0;
};

// The line about a component of the record's name that has the form of a
// short (8.3) name, or empty.
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

// ---- list ------------------------------------------------------------------

// The identity record of the installer's stub; none for a raw archive or a
// stub without one.
std::optional<Identity> carriedIdentity(const ArchiveFile& archive) {
  std::vector<uint8_t> stub = readStub(archive);
  std::optional<uint32_t> at = findIdentity(stub.data(), (uint32_t)stub.size());
  if (!at) return std::nullopt;
  return readIdentity(stub.data() + *at);
}

// `product "Tovrel", product-version "0.93 Beta", ...`, or the JSON object.
std::string identityText(const Identity& identity, bool json) {
  std::string text = json ? "{" : "";
  for (int f = 0; f < FIELD_COUNT; ++f) {
    std::string value = jsonString(nameText(identity[f]));
    text += (f ? ", " : "") + (json ? jsonString(IDENTITY_FIELDS[f].jsonName) + ":" : IDENTITY_FIELDS[f].name) + " " +
            value;
  }
  return json ? text + "}" : terminalText(text);
}

std::string jsonRecord(const ArchiveRecord& r) {
  const DirectoryEntry& e = r.entry;
  bool folder = e.flags & ENTRY_FOLDER;
  std::string json = "{\"name\": " + jsonString(nameText(r.name));
  json += std::string(", \"kind\": ") + (folder ? "\"folder\"" : "\"file\"");
  json += ", \"attributes\": " + std::to_string(e.attributes);
  json += std::string(", \"readOnly\": ") + (e.attributes & ATTR_READONLY ? "true" : "false");
  json += std::string(", \"hidden\": ") + (e.attributes & ATTR_HIDDEN ? "true" : "false");
  json += std::string(", \"system\": ") + (e.attributes & ATTR_SYSTEM ? "true" : "false");
  // Folders carry no size, times or CRC that the installer reads.
  if (folder) return json + ", \"size\": null, \"modified\": null, \"created\": null, \"crc32\": null, \"filter\": 0}";
  json += ", \"size\": " + std::to_string(e.length);
  json += ", \"modified\": " + (e.writeDate ? jsonString(dosTimeText(e.writeDate, e.writeTime, 'T')) : "null");
  json += ", \"created\": " + (e.createDate ? jsonString(dosTimeText(e.createDate, e.createTime, 'T')) : "null");
  json += ", \"crc32\": \"" + crcText(e.crc) + "\"";
  int filter = (e.flags & ENTRY_FILTER_2) ? 2 : (e.flags & ENTRY_FILTER_4) ? 4 : 0;
  return json + ", \"filter\": " + std::to_string(filter) + "}";
}

std::string textRecord(const ArchiveRecord& r) {
  const DirectoryEntry& e = r.entry;
  std::string name = terminalText(nameText(r.name));
  char line[128];
  if (e.flags & ENTRY_FOLDER) {
    snprintf(line, sizeof line, "folder %12s  %s  %-19s  %-8s  ", "-", attributeText(e.attributes).c_str(), "-", "-");
    return line + name + "/";
  }
  std::string time = e.writeDate ? dosTimeText(e.writeDate, e.writeTime, ' ') : "-";
  snprintf(line, sizeof line, "file   %12u  %s  %-19s  %s  ", e.length, attributeText(e.attributes).c_str(),
           time.c_str(), crcText(e.crc).c_str());
  return line + name;
}

int listArchive(const Options& options, const ArchiveFile& archive) {
  uint64_t files = 0, folders = 0, bytes = 0;
  bool first = true;
  if (!options.json && options.common.verbose) {
    printf("%s: archive at offset %u, %llu bytes, %u records%s\n", archive.path.c_str(), archive.offset,
           (unsigned long long)archiveBytes(archive), state.header.entryCount,
           archive.sealed ? ", behind a sealed stub" : "");
  }
  std::optional<Identity> identity = carriedIdentity(archive);
  if (identity && !options.json && !options.common.quiet) printf("installer: %s\n", identityText(*identity, false).c_str());
  if (std::string failure = identity ? identityFailure(*identity) : ""; !failure.empty() && !console.quiet)
    console.error(failure);  // a warning: listing is not judging
  if (options.json) {
    printf("{\"offset\": %u, \"archiveBytes\": %llu, \"entryCount\": %u, ", archive.offset,
           (unsigned long long)archiveBytes(archive), state.header.entryCount);
    if (identity) printf("\"installer\": %s, ", identityText(*identity, true).c_str());
    printf("\"entries\": [");
  }
  SameNames sameNames;
  ResultCode rc = walkDirectory([&](const ArchiveRecord& r) -> ResultCode {
    if (r.entry.flags & ENTRY_FOLDER) {
      ++folders;
    } else {
      ++files;
      bytes += r.entry.length;
    }
    NameVerdict verdict = checkEntryName((const uint8_t*)r.name.data(), (uint32_t)r.name.size());
    if (verdict != NAME_OK && !console.quiet)  // a warning: listing is not judging
      console.error(displayText(r.name) + ": unsafe name (" + nameVerdictText(verdict) +
                    "); the installer refuses this record");
    sameNames.add(r.name);
    if (std::string remark = shortNameRemark(r.name); !remark.empty() && !console.quiet) console.error(remark);
    if (options.json) {
      printf("%s\n  %s", first ? "" : ",", jsonRecord(r).c_str());
    } else {
      printf("%s\n", textRecord(r).c_str());
    }
    first = false;
    return RC_OK;
  });
  std::string failure = rc < 0 ? codeText(rc, archive.path) : "";
  if (rc >= 0 && !console.quiet)
    for (const std::string& line : sameNames.report()) console.error(line);
  if (options.json) {
    printf("%s], \"files\": %llu, \"folders\": %llu, \"bytes\": %llu", first ? "" : "\n", (unsigned long long)files,
           (unsigned long long)folders, (unsigned long long)bytes);
    if (rc < 0) printf(", \"error\": %s", jsonString(failure).c_str());
    printf("}\n");
  } else if (rc >= 0 && !options.common.quiet) {
    // No total after a failure: it would count only what could be read.
    printf("%llu file%s, %llu folder%s, %llu bytes; archive %llu bytes", (unsigned long long)files,
           files == 1 ? "" : "s", (unsigned long long)folders, folders == 1 ? "" : "s", (unsigned long long)bytes,
           (unsigned long long)archiveBytes(archive));
    if (bytes) printf(" (%.1f%%)", 100.0 * (double)archiveBytes(archive) / (double)bytes);
    printf("\n");
  }
  fflush(stdout);
  if (rc < 0) {
    console.error(failure);
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

// ---- test ------------------------------------------------------------------

// Bytes the stream reader may decode again beyond twice what it serves: an
// archive of another producer may list a few records out of stream order.
const uint64_t DECODE_ALLOWANCE = 64u << 20;

// What a run of test or extract is about to read, found in one pass over the
// directory before anything is decoded or written. Memory stays the same
// whatever the record count (SliceClaims keeps touching claims as one piece).
struct FilePlan {
  uint64_t total = 0;   // stream bytes the file records claim: the bar's end
  std::string refusal;  // why the archive is refused before the run, or empty
  std::vector<uint32_t> streamKeys;  // of the streams read, ascending
  std::vector<uint64_t> streamReach;
};

// A directory that cannot be read to its end gives a partial plan: the run
// that follows meets the failure itself.
FilePlan planFiles(const ArchiveFile& archive, const std::function<void(const ArchiveRecord&)>& eachFile = {}) {
  FilePlan plan;
  std::string damage = directoryCheckFailure(archive);
  if (!damage.empty()) {
    plan.refusal = archive.path + ": " + damage;
    return plan;
  }
  SliceClaims claims;
  walkDirectory([&](const ArchiveRecord& r) -> ResultCode {
    if (r.entry.flags & ENTRY_FOLDER) return RC_OK;
    switch (r.entry.length ? claims.claim(r.entry.streamOffset, r.entry.streamPosition, recordSpan(r.entry))
                           : SliceClaims::CLAIMED) {
      case SliceClaims::CLAIMED:
        break;
      case SliceClaims::OVERLAPS:
        plan.refusal = displayText(r.name) + ": its data overlaps another record's in the same stream; "
                       "the archive is damaged or built to expand without end, and is refused";
        return RC_CANCELLED;
      case SliceClaims::TOO_SCATTERED:
        plan.refusal = archive.path + ": more than " + std::to_string(SliceClaims::MAX_PIECES) +
                       " separate pieces of data streams; too scattered to check, refused";
        return RC_CANCELLED;
    }
    plan.total += recordSpan(r.entry);
    if (eachFile) eachFile(r);
    return RC_OK;
  });
  // Keys as the stream reader forms them: the position of a stream's first block.
  for (uint32_t offset : claims.streams()) plan.streamKeys.push_back(archive.offset + offset + SIGNATURE_SIZE);
  std::sort(plan.streamKeys.begin(), plan.streamKeys.end());
  plan.streamReach.assign(plan.streamKeys.size(), 0);
  return plan;
}

// From here on the stream reader holds each file's StreamRecord against its
// directory record and keeps to the work budget.
void startStreamChecks(FilePlan& plan) {
  streamCheck = StreamCheck{};
  streamCheck.checkRecords = true;
  streamCheck.decodeAllowance = DECODE_ALLOWANCE;
  streamCheck.streamKeys = plan.streamKeys.data();
  streamCheck.streamReach = plan.streamReach.data();
  streamCheck.streamCount = (uint32_t)plan.streamKeys.size();
}

// Bytes below 10 KiB, otherwise KiB or MiB, rounded down.
std::string sizeText(uint64_t bytes) {
  if (bytes < 10240) return std::to_string(bytes) + " bytes";
  if (bytes < (10u << 20)) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes >> 20) + " MiB";
}

// The line for a run the work budget stopped, named after what spent the
// most of it.
std::string tooMuchWorkText(const ArchiveFile& archive) {
  bool tables = streamCheck.tableWork > streamCheck.redecodedBytes;
  return archive.path +
         (tables ? ": its blocks switch code tables far more often than their bytes need"
                 : ": records jump back and forth in their data stream") +
         "; stopped after decoding " + sizeText(streamCheck.redecodedBytes) + " again and building " +
         std::to_string(streamCheck.tableWork) + " code table entries to serve " + sizeText(streamCheck.servedBytes) +
         " (at most twice as much plus " + sizeText(DECODE_ALLOWANCE) + ")";
}

int testArchive(const Options& options, const ArchiveFile& archive) {
    if (!stubIntact(archive)) {
    ++console.failures;
    console.error(archive.path + ": the stub does not match its seal; the installer would refuse to run");
  }
  std::optional<Identity> identity = carriedIdentity(archive);
  if (std::string failure = identity ? identityFailure(*identity) : ""; !failure.empty()) {
    ++console.failures;
    console.error(failure);
  }

  int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (sink < 0) throw CommandFailure(std::string("/dev/null: ") + strerror(errno));
  FilePlan plan = planFiles(archive);
  if (!plan.refusal.empty()) {
    close(sink);
    console.error(plan.refusal);
    return EXIT_FAILED;
  }
  startStreamChecks(plan);
  console.progress.start(plan.total, !options.common.quiet && isatty(STDERR_FILENO));
  catchInterrupts();
  SameNames sameNames;
  ResultCode rc = walkDirectory([&](const ArchiveRecord& r) -> ResultCode {
    std::string shown = terminalText(nameText(r.name));
    NameVerdict verdict = checkEntryName((const uint8_t*)r.name.data(), (uint32_t)r.name.size());
    if (verdict != NAME_OK) {
      ++console.failures;
      console.error(shown + ": unsafe name (" + nameVerdictText(verdict) + "); the installer refuses this record");
    }
    sameNames.add(r.name);
    if (std::string remark = shortNameRemark(r.name); !remark.empty()) console.error(remark);  // a warning
    if (r.entry.flags & ENTRY_FOLDER) return RC_OK;
    console.progress.update(streamCheck.servedBytes, shown);
    ResultCode code = readStreamFile(sink, r.entry.streamOffset, r.entry.streamPosition, r.entry.length,
                                     r.entry.flags);
    if (code == RC_CANCELLED || streamCheck.tooMuchWork) return code;
    if (code < 0) {
      ++console.failures;
      console.error(codeText(code, shown));
    } else if (state.runningCrc != r.entry.crc) {
      ++console.failures;
      console.error(shown + ": archive data is damaged (CRC-32 " + crcText(state.runningCrc) + ", stored " +
                    crcText(r.entry.crc) + ")");
    } else if (options.common.verbose) {
      // The installer skips the StreamRecord whole: another producer may write anything there.
      console.progress.clear();
      printf("%s%s\n", shown.c_str(),
             streamCheck.recordDiffers ? "  (its record in the data stream differs; the installer skips it)" : "");
      fflush(stdout);
    }
    console.progress.update(streamCheck.servedBytes, shown);
    return RC_OK;
  });
  close(sink);
  console.progress.finish();
  if (caughtSignal) {
    console.error("interrupted");
    return 128 + caughtSignal;
  }
  if (streamCheck.tooMuchWork) {
    ++console.failures;
    console.error(tooMuchWorkText(archive));
  } else if (rc < 0) {
    ++console.failures;
    console.error(codeText(rc, archive.path));
  } else {
    // The installer loses one file of each such pair.
    for (const std::string& line : sameNames.report()) {
      ++console.failures;
      console.error(line);
    }
  }
  return console.failures ? EXIT_FAILED : EXIT_OK;
}

// ---- extract ---------------------------------------------------------------

// The install folder in the core's notation: the code page, "\" separators.
// Empty when the folder's name cannot be written in the code page (or holds
// a "\", which the core would take for a separator): then the names go
// relative to it as the current folder.
std::string coreFolder(const std::string& folder, int codepage) {
  if (folder.find('\\') != std::string::npos) return "";
  std::optional<std::string> converted;
  try {
    converted = toCodePage(folder, codepage);
  } catch (const std::exception&) {
    return "";
  }
  if (!converted || converted->find('\0') != std::string::npos || nameText(*converted) != folder) return "";
  std::string core = *converted;
  for (char& c : core) {
    if (c == '/') c = '\\';
  }
  return core;
}

int extractArchiveTo(const Options& options, const ArchiveFile& archive) {
    console.stopOnError = options.stopOnError;
  console.overwrite = options.overwrite;
  // Standard input that carried the archive has no answers left in it.
  console.interactive = options.archive != "-" && isatty(STDIN_FILENO);

  std::string folder;
  if (!options.folder.empty()) {
    folder = coreFolder(options.folder, options.common.codepage);
    if (folder.empty()) {
      std::error_code error;
      std::filesystem::create_directories(options.folder, error);
      if (error || chdir(options.folder.c_str()) != 0)
        throw CommandFailure(options.folder + ": cannot extract into this folder: " +
                             (error ? error.message() : strerror(errno)));
    }
  }
  if (folder.size() > PATH_MAX_CHARS)
    throw CommandFailure(options.folder + ": cannot create folder: path too long (259 characters at most)");
  memcpy(state.installPath, folder.c_str(), folder.size() + 1);

  // Nothing below the folder is followed if it is a link; the folder itself
  // is, as named.
  setExtractionRoot(state.installPath);
  FilePlan plan = planFiles(archive);

  if (!plan.refusal.empty()) {
    console.error(plan.refusal);
    return EXIT_FAILED;
  }
  startStreamChecks(plan);
  console.progress.start(plan.total, !options.common.quiet && isatty(STDERR_FILENO));
  console.onFileStarted = [&](const char* name) {
    console.progress.update(streamCheck.servedBytes, displayText(name));
  };
  state.overwriteAll = options.overwrite == OverwritePolicy::All;
  catchInterrupts();
  ResultCode rc = extractArchive(nullptr);
  setExtractionRoot(nullptr);
  console.onFileStarted = nullptr;
  console.progress.finish();
  if (caughtSignal) {
    console.error("interrupted");
    return 128 + caughtSignal;
  }
  if (streamCheck.tooMuchWork) {
    console.error(tooMuchWorkText(archive));
    return EXIT_FAILED;
  }
  // RC_CANCELLED: stopped after a failure already shown (or a prompt left
  // unanswered), each counted.
  if (rc < 0 && rc != RC_CANCELLED) {
    console.error(codeText(rc, archive.path));
    return EXIT_FAILED;
  }
  return console.failures || rc < 0 ? EXIT_FAILED : EXIT_OK;
}

}  // namespace

int runList(int argc, char** argv) { return runCommand("list", LIST_HELP, {JSON_OPTION}, argc, argv, listArchive); }

int runTest(int argc, char** argv) { return runCommand("test", TEST_HELP, {}, argc, argv, testArchive); }

int runExtract(int argc, char** argv) {
  return runCommand("extract", EXTRACT_HELP, EXTRACT_OPTIONS, argc, argv, extractArchiveTo);
}
