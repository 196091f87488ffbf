// `jov test` and `jov extract`: every file of an archive decoded over the
// same core the installer runs (stream reader, extraction driver), checked
// against its CRC-32 and either thrown away or written, with the console
// front end answering for the dialogs.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "archive/extract.h"
#include "archive/messages.h"
#include "archive/names.h"
#include "archive/paths.h"
#include "cli/commands.h"
#include "cli/read_commands.h"
#include "codec/stream_reader.h"
#include "install_state.h"
#include "platform/code_page.h"
#include "platform/posix.h"

namespace {

const char* const TEST_HELP =
    "usage: jov test [options] ARCHIVE\n"
    "\n"
    "Decodes every file of ARCHIVE and checks its CRC-32, writing nothing; also\n"
    "checks the stub against its seal and every name against what the installer\n"
    "accepts. Exit status 0 only when all is well. A damaged file is one line\n"
    "saying why and where (data stream, block, archive offset); a count of them\n"
    "ends the run, and on a terminal a summary (files, bytes, time).\n"
    "\n"
    "  --json           one JSON document on stdout as well: the files, bytes and\n"
    "                   failures (file, message; for damage reason, site, stream,\n"
    "                   block, offset)\n"
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
    "or device there fails the record without being opened. A damaged file is one\n"
    "line saying why and where; a count of them ends the run, and on a terminal a\n"
    "summary (files, bytes, time).\n"
    "\n"
    "  -C, --directory DIR  extract into DIR (default: the current folder)\n"
    "  --overwrite=ask  ask before replacing a file (default); without a terminal\n"
    "                   to ask on, an existing file is kept and counts as a failure\n"
    "  --overwrite=all  replace existing files\n"
    "  --overwrite=never  keep existing files\n"
    "  --stop-on-error  stop at the first failed record (default without a\n"
    "                   terminal: go on with the next one; on a terminal: ask)\n"
    "  -v, --verbose    print each file name on stdout as it is extracted\n";

const std::vector<OptionSpec> EXTRACT_OPTIONS = {
    {OPT_FOLDER, 'C', "directory", true}, {OPT_OVERWRITE, 0, "overwrite", true}, {OPT_STOP, 0, "stop-on-error", false}};

// ---- test ------------------------------------------------------------------

// Bytes the stream reader may decode again beyond twice what it serves: an
// archive of another producer may list a few records out of stream order.
const uint64_t DECODE_ALLOWANCE = 64u << 20;

// What a run of test or extract is about to read, found in one pass over the
// directory before anything is decoded or written. Memory stays the same
// whatever the record count (SliceClaims keeps touching claims as one piece).
struct FilePlan {
  uint64_t total = 0;   // stream bytes the file records claim: the bar's end
  uint32_t files = 0;   // file records, and their bytes: the summary's figures
  uint64_t bytes = 0;
  std::string refusal;  // why the archive is refused before the run, or empty
  std::vector<uint32_t> streamKeys;  // of the streams read, ascending
  std::vector<uint64_t> streamReach;
};

// A directory that cannot be read to its end gives a partial plan: the run
// that follows meets the failure itself.
FilePlan planFiles(const ArchiveFile& archive) {
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
    ++plan.files;
    plan.bytes += r.entry.length;
    return RC_OK;
  });
  // Keys as the stream reader forms them: the position of a stream's first block.
  for (uint32_t offset : claims.streams()) plan.streamKeys.push_back(archive.offset + offset + SIGNATURE_SIZE);
  std::sort(plan.streamKeys.begin(), plan.streamKeys.end());
  plan.streamReach.assign(plan.streamKeys.size(), 0);
  return plan;
}

// From here on the stream reader holds each file's StreamRecord against its
// directory record and keeps to the work budget, and damage found names its
// stream by the plan's keys.
void startStreamChecks(FilePlan& plan) {
  streamCheck = StreamCheck{};
  streamCheck.checkRecords = true;
  streamCheck.decodeAllowance = DECODE_ALLOWANCE;
  streamCheck.streamKeys = plan.streamKeys.data();
  streamCheck.streamReach = plan.streamReach.data();
  streamCheck.streamCount = (uint32_t)plan.streamKeys.size();
  console.dataStreams = plan.streamKeys;
  console.damaged = 0;
  clearDamageReason();
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

// The last line of a run that reached its end or stopped early: how many
// files were damaged, whenever any were, and on a terminal (unless -q) what
// the run covered and how long it took.
void printTally(const char* done, const FilePlan& plan, std::chrono::steady_clock::time_point start, bool stopped) {
  bool summary = !console.quiet && isatty(STDERR_FILENO);
  if (!console.damaged && !summary) return;
  std::string files = std::to_string(plan.files) + (plan.files == 1 ? " file" : " files");
  std::string line =
      console.damaged ? std::to_string(console.damaged) + " of " + files + " damaged" : files + " " + done;
  if (console.failures > console.damaged) {
    uint32_t others = console.failures - console.damaged;
    line += ", " + std::to_string(others) + (others == 1 ? " other failure" : " other failures");
  }
  if (stopped) line += "; stopped before the end";
  if (summary) {
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f s",
             std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    line += " (" + sizeText(plan.bytes) + " in " + seconds + ")";
  }
  console.error(line);
}

// ---- test ------------------------------------------------------------------

// What `jov test` found: each failure one line on stderr and, with --json,
// one object of the document on stdout, damage with its reason and place.
struct TestReport {
  bool json = false;
  std::vector<std::string> objects;

  // `file`: the record's name (code page), or empty for the archive.
  void fail(const std::string& file, const std::string& message, const DamageReason* damage = nullptr) {
    ++console.failures;
    if (damage && !file.empty()) ++console.damaged;
    console.error(file.empty() ? message : displayText(file) + ": " + message);
    if (!json) return;
    std::string o = "{\"file\": " + (file.empty() ? "null" : jsonString(nameText(file))) + ", \"message\": " +
                    jsonString(message);
    if (damage) {
      bool data = damage->site == SITE_DATA_BLOCK, placed = damage->site != SITE_UNKNOWN;
      std::optional<uint32_t> stream = streamNumber(damage->stream, console.dataStreams);
      auto number = [](bool known, uint64_t n) { return known ? std::to_string(n) : std::string("null"); };
      o += ", \"reason\": " + jsonString(damageReasonText(*damage)) +
           ", \"site\": " + (data ? "\"data\"" : placed ? "\"directory\"" : "null") +
           ", \"stream\": " + number(data && stream, stream.value_or(0)) +
           ", \"block\": " + number(placed, damage->block) +
           ", \"offset\": " + number(placed, damage->offset - state.archiveOffset);
    }
    objects.push_back(o + "}");
  }
  void damaged(const std::string& file) {
    fail(file, damageText(damageReason(), console.dataStreams), &damageReason());
  }

  void print(const FilePlan& plan) const {
    if (!json) return;
    printf("{\"files\": %u, \"bytes\": %llu, \"damaged\": %u, \"failures\": [", plan.files,
           (unsigned long long)plan.bytes, console.damaged);
    for (size_t i = 0; i < objects.size(); ++i) printf("%s\n  %s", i ? "," : "", objects[i].c_str());
    printf("%s]}\n", objects.empty() ? "" : "\n");
  }
};

// One record: its name against the installer's rules, a file's data decoded
// and checked against its CRC-32.
ResultCode testRecord(const ReadOptions& options, const ArchiveRecord& r, int sink, SameNames& sameNames,
                      TestReport& report) {
  std::string shown = terminalText(nameText(r.name));
  NameVerdict verdict = checkEntryName((const uint8_t*)r.name.data(), (uint32_t)r.name.size());
  if (verdict != NAME_OK)
    report.fail(r.name, "unsafe name (" + nameText(nameProblemText((const uint8_t*)r.name.data(), (uint32_t)r.name.size())) +
                            "); the installer refuses this record");
  sameNames.add(r.name);
  if (std::string remark = shortNameRemark(r.name); !remark.empty()) console.error(remark);  // a warning
  if (r.entry.flags & ENTRY_FOLDER) return RC_OK;
  console.progress.update(streamCheck.servedBytes, shown);
  clearDamageReason();
  ResultCode code = readStreamFile(sink, r.entry.streamOffset, r.entry.streamPosition, r.entry.length,
                                   r.entry.flags);
  if (code == RC_CANCELLED || streamCheck.tooMuchWork) return code;
  if (code >= 0 && state.runningCrc != r.entry.crc) code = DAMAGED_CRC(state.runningCrc, r.entry.crc);
  if (isDamaged(code)) {
    report.damaged(r.name);
  } else if (code < 0) {
    report.fail("", codeText(code, shown));
  } else if (options.common.verbose && !options.json) {
    // The installer skips the StreamRecord whole: another producer may write anything there.
    console.progress.clear();
    printf("%s%s\n", shown.c_str(),
           streamCheck.recordDiffers ? "  (its record in the data stream differs; the installer skips it)" : "");
    fflush(stdout);
  }
  console.progress.update(streamCheck.servedBytes, shown);
  return RC_OK;
}

int testArchive(const ReadOptions& options, const ArchiveFile& archive) {
  const auto start = std::chrono::steady_clock::now();
  TestReport report;
  report.json = options.json;
  if (!stubIntact(archive))
    report.fail("", archive.path + ": the stub does not match its seal; the installer would refuse to run");
  std::optional<Identity> identity = carriedIdentity(archive);
  if (std::string failure = identity ? identityFailure(*identity) : ""; !failure.empty()) report.fail("", failure);

  int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (sink < 0) throw CommandFailure(std::string("/dev/null: ") + errnoReason(errno));
  FilePlan plan = planFiles(archive);
  if (!plan.refusal.empty()) {
    close(sink);
    report.fail("", plan.refusal);
    report.print(plan);
    return EXIT_FAILED;
  }
  startStreamChecks(plan);
  console.progress.start(plan.total, !options.common.quiet && isatty(STDERR_FILENO));
  catchInterrupts();
  SameNames sameNames;
  ResultCode rc =
      walkDirectory([&](const ArchiveRecord& r) { return testRecord(options, r, sink, sameNames, report); });
  close(sink);
  console.progress.finish();
  if (caughtSignal) {
    console.error("interrupted");
    return 128 + caughtSignal;
  }
  if (streamCheck.tooMuchWork) {
    report.fail("", tooMuchWorkText(archive));
  } else if (isDamaged(rc)) {
    report.fail("", archive.path + ": " + damageText(damageReason(), console.dataStreams), &damageReason());
  } else if (rc < 0) {
    report.fail("", codeText(rc, archive.path));
  } else {
    // The installer loses one file of each such pair.
    for (const std::string& line : sameNames.report()) report.fail("", line);
  }
  printTally("tested", plan, start, false);
  report.print(plan);
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

int extractArchiveTo(const ReadOptions& options, const ArchiveFile& archive) {
  const auto start = std::chrono::steady_clock::now();
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
                             (error ? errnoReason(error.value()) : errnoReason(errno)));
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
    clearDamageReason();  // its data is read next
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
    ++console.failures;
    console.error(isDamaged(rc) ? archive.path + ": " + damageText(damageReason(), console.dataStreams)
                                : codeText(rc, archive.path));
  }
  printTally("extracted", plan, start, rc == RC_CANCELLED);
  return console.failures || rc < 0 ? EXIT_FAILED : EXIT_OK;
}

}  // namespace

int runTest(int argc, char** argv) {
  return runCommand("test", TEST_HELP, {{OPT_JSON, 0, "json", false}}, argc, argv, testArchive);
}

int runExtract(int argc, char** argv) {
  return runCommand("extract", EXTRACT_HELP, EXTRACT_OPTIONS, argc, argv, extractArchiveTo);
}

