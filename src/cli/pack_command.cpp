// `jov pack`: a folder into a self-extractor (stub + archive) or, with
// --raw, into the archive alone.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "archive/seal.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/options.h"
#include "codec/crc32.h"
#include "format.h"
#include "packer/archive_writer.h"
#include "packer/source_tree.h"

extern const unsigned char embeddedStub[];
extern const size_t embeddedStubSize;

namespace {

const char* const PACK_HELP =
    "usage: jov pack [options] SOURCE_DIR\n"
    "\n"
    "Packs SOURCE_DIR into a self-extracting installer: the stub, then a JOV archive\n"
    "of every file and folder under SOURCE_DIR.\n"
    "\n"
    "  -o, --output FILE  output file (default Setup.exe; Setup.jov with --raw);\n"
    "                   '-' writes to standard output; a FIFO or device is\n"
    "                   written into, a symbolic link's target is replaced\n"
    "  -l, --level LEVEL  0 stores, 1 fastest .. 9 strongest (default 6); also -0..-9\n"
    "  -T, --threads N  worker threads, 0 for one per core (default 0); the output\n"
    "                   is the same for any number\n"
    "  --stub FILE      use FILE as the stub instead of the built-in one\n"
    "  --raw            write the archive only, without a stub\n"
    "  --codepage N     Windows code page of the names (default 1252)\n"
    "  --hidden GLOB    mark matching paths hidden (relative, '/' separated;\n"
    "                   may be repeated)\n"
    "  --system GLOB    mark matching paths system (may be repeated)\n"
    "  -q, --quiet      print errors only\n"
    "  -v, --verbose    list every entry (on stdout; on stderr with -o -)\n"
    "  -h, --help       this text\n"
    "  --version        version, archive format and built-in stub\n"
    "\n"
    "SOURCE_DATE_EPOCH, when set, clamps every file time to it.\n"
    "Exit status: 0 packed, 1 a failure, 2 a usage error.\n";

// The temporary output, removed if the run does not finish.
char tempPath[4096];
volatile sig_atomic_t tempActive = 0;

void onSignal(int sig) {
  if (tempActive) unlink(tempPath);
  signal(sig, SIG_DFL);
  raise(sig);
}

bool readWholeFile(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    error = strerror(errno);
    return false;
  }
  out.clear();
  uint8_t chunk[1 << 16];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  bool ok = !ferror(f);
  if (!ok) error = strerror(errno);
  fclose(f);
  return ok;
}

// The stub's seal tells where the archive must begin and lets the installer
// check itself; a stub sealed for another length or changed since sealing
// would refuse to install, so it is refused here already.
std::string checkStubSeal(std::vector<uint8_t> stub) {  // a copy: sealCrc clears fields in it
  StubSeal seal;
  if (!findSeal(stub.data(), (uint32_t)stub.size(), &seal))
    return "warning: the stub carries no seal; the installer will not find its archive";
  if (seal.stubLength != stub.size())
    throw std::runtime_error("the stub is sealed for " + std::to_string(seal.stubLength) + " bytes but has " +
                             std::to_string(stub.size()));
  buildCrcTable();
  if (sealCrc(stub.data(), seal.stubLength, seal.sealOffset) != seal.stubCrc)
    throw std::runtime_error("the stub has changed since it was sealed");
  return "";
}

enum PackOption { OPT_OUTPUT = 1, OPT_LEVEL, OPT_LEVEL_DIGIT, OPT_THREADS, OPT_STUB, OPT_RAW, OPT_HIDDEN, OPT_SYSTEM };

std::vector<OptionSpec> packOptions() {
  std::vector<OptionSpec> specs = {
      {OPT_OUTPUT, 'o', "output", true}, {OPT_LEVEL, 'l', "level", true}, {OPT_THREADS, 'T', "threads", true},
      {OPT_STUB, 0, "stub", true},       {OPT_RAW, 0, "raw", false},       {OPT_HIDDEN, 0, "hidden", true},
      {OPT_SYSTEM, 0, "system", true},
  };
  for (char digit = '0'; digit <= '9'; ++digit) specs.push_back({OPT_LEVEL_DIGIT, digit, nullptr, false});
  specs.insert(specs.end(), COMMON_OPTIONS.begin(), COMMON_OPTIONS.end());
  return specs;
}

struct PackSettings {
  CommonSettings common;
  std::string output, stubFile, source;
  bool raw = false;
  int level = 6;
  unsigned threads = 0;
  jov::ScanOptions scan;
};

// Throws UsageError.
PackSettings parsePackOptions(int argc, char** argv) {
  PackSettings settings;
  CommandLine line = parseCommandLine(argc, argv, packOptions());
  for (const ParsedOption& o : line.options) {
    if (applyCommonOption(o, &settings.common)) continue;
    uint64_t n = 0;
    switch (o.id) {
      case OPT_OUTPUT:
        if (o.value.empty()) throw UsageError(o.spelled + " needs a file name");
        settings.output = o.value;
        break;
      case OPT_LEVEL:
        if (!parseNumber(o.value, 9, &n)) throw UsageError("level must be 0 to 9");
        settings.level = (int)n;
        break;
      case OPT_LEVEL_DIGIT: settings.level = o.spelled[1] - '0'; break;
      case OPT_THREADS:
        if (!parseNumber(o.value, 1024, &n)) throw UsageError("threads must be 0 to 1024");
        settings.threads = (unsigned)n;
        break;
      case OPT_STUB: settings.stubFile = o.value; break;
      case OPT_RAW: settings.raw = true; break;
      case OPT_HIDDEN: settings.scan.hiddenPatterns.push_back(o.value); break;
      case OPT_SYSTEM: settings.scan.systemPatterns.push_back(o.value); break;
    }
  }
  if (settings.common.help || settings.common.version) return settings;
  if (line.operands.empty()) throw UsageError("no source folder");
  if (line.operands.size() > 1) throw UsageError("more than one source folder");
  settings.source = line.operands[0];
  if (settings.raw && !settings.stubFile.empty()) throw UsageError("--raw and --stub exclude each other");
  if (settings.output.empty()) settings.output = settings.raw ? "Setup.jov" : "Setup.exe";
  settings.scan.codepage = settings.common.codepage;
  if (const char* sde = getenv("SOURCE_DATE_EPOCH")) {
    char* end;
    errno = 0;
    long long v = strtoll(sde, &end, 10);
    if (*sde == 0 || *end != 0 || errno) throw UsageError("SOURCE_DATE_EPOCH is not a number of seconds");
    settings.scan.sourceDateEpoch = v;
  }
  return settings;
}

// Where the installer goes. A regular file, or a name not taken yet, is
// built beside its final name under a temporary one and renamed into place
// once complete, so a failed run leaves any old file as it was; a symbolic
// link is followed and its target replaced, the link kept. Anything else
// (standard output, a FIFO, a device) is never replaced: the writer goes
// back to fill in the header, which such a target may not allow, so the
// archive is built in an unlinked temporary file and copied into the target
// at the end.
struct PackOutput {
  std::string shown;      // the name in messages
  std::string finalPath;  // renamed into (regular files)
  int target = -1;        // copied into (everything else)
  bool ownsTarget = false;

  ~PackOutput() {
    if (ownsTarget) close(target);
  }

  bool streaming() const { return target >= 0; }

  // Throws UsageError for a terminal as standard output, runtime_error for
  // a target that cannot be written.
  void open(const std::string& output) {
    if (output == "-") {
      shown = "standard output";
      if (isatty(STDOUT_FILENO)) throw UsageError("standard output is a terminal; redirect it or give -o FILE");
      target = STDOUT_FILENO;
      return;
    }
    shown = output;
    struct stat st, link;
    bool exists = stat(output.c_str(), &st) == 0;
    if (!exists && lstat(output.c_str(), &link) == 0)
      throw std::runtime_error(output + ": a symbolic link to nothing; name the file itself");
    if (exists && S_ISDIR(st.st_mode)) throw std::runtime_error(output + ": is a folder");
    if (exists && !S_ISREG(st.st_mode)) {
      // Blocks until a FIFO has a reader, as any writer of a FIFO does.
      target = ::open(output.c_str(), O_WRONLY | O_CLOEXEC);
      if (target < 0) throw std::runtime_error(output + ": cannot write: " + strerror(errno));
      ownsTarget = true;
      return;
    }
    finalPath = output;
    if (exists && lstat(output.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      char* resolved = realpath(output.c_str(), nullptr);
      if (!resolved) throw std::runtime_error(output + ": " + strerror(errno));
      finalPath = resolved;
      free(resolved);
    }
  }

  // The file the writer fills: beside finalPath, or unlinked in TMPDIR.
  FILE* create(bool executable) {
    int fd;
    if (streaming()) {
      const char* folder = getenv("TMPDIR");
      if (!folder || !*folder) folder = "/tmp";
      std::string name = std::string(folder) + "/jov-pack.XXXXXX";
      fd = mkostemp(name.data(), O_CLOEXEC);
      if (fd < 0) throw std::runtime_error(std::string(folder) + ": cannot create a temporary file: " + strerror(errno));
      unlink(name.c_str());
    } else {
      snprintf(tempPath, sizeof tempPath, "%s.XXXXXX", finalPath.c_str());
      fd = mkostemp(tempPath, O_CLOEXEC);
      if (fd < 0) throw std::runtime_error(shown + ": cannot create a temporary file: " + strerror(errno));
      tempActive = 1;
      signal(SIGINT, onSignal);
      signal(SIGTERM, onSignal);
      mode_t mask = umask(0);
      umask(mask);
      fchmod(fd, (executable ? 0777 : 0666) & ~mask);
    }
    FILE* out = fdopen(fd, "w+b");
    if (!out) {
      close(fd);
      throw std::runtime_error(shown + ": " + strerror(errno));
    }
    return out;
  }

  // Puts the finished file in place; `out` is flushed and closed either way.
  void commit(FILE* out) {
    auto fail = [&](const std::string& what) {
      int error = errno;
      fclose(out);
      throw std::runtime_error(shown + ": " + what + ": " + strerror(error));
    };
    if (fflush(out) != 0) fail("cannot write");
    if (streaming()) {
      int fd = fileno(out);
      if (lseek(fd, 0, SEEK_SET) != 0) fail("cannot read the temporary copy back");
      std::vector<char> buffer(1 << 16);
      for (;;) {
        ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("cannot read the temporary copy back");
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
          ssize_t w = write(target, buffer.data() + done, (size_t)(n - done));
          if (w < 0 && errno == EINTR) continue;
          if (w < 0) fail("cannot write");
          done += w;
        }
      }
      fclose(out);
      return;
    }
    if (fsync(fileno(out)) != 0) fail("cannot write");
    if (fclose(out) != 0) {
      int error = errno;
      throw std::runtime_error(shown + ": cannot write: " + strerror(error));
    }
    if (rename(tempPath, finalPath.c_str()) != 0) throw std::runtime_error(shown + ": " + strerror(errno));
    tempActive = 0;
  }
};

}  // namespace

int runPack(int argc, char** argv) {
  PackSettings settings;
  PackOutput output;
  try {
    settings = parsePackOptions(argc, argv);
    if (settings.common.help) {
      fputs(PACK_HELP, stdout);
      return EXIT_OK;
    }
    if (settings.common.version) {
      printVersion();
      return EXIT_OK;
    }
    output.open(settings.output);
  } catch (const UsageError& e) {
    fprintf(stderr, "jov pack: %s (try 'jov pack --help')\n", e.what());
    return EXIT_USAGE;
  } catch (const std::exception& e) {
    fprintf(stderr, "jov pack: %s\n", e.what());
    return EXIT_FAILED;
  }
  const bool quiet = settings.common.quiet, verbose = settings.common.verbose, raw = settings.raw;
  const std::string& source = settings.source;
  const std::string& stubFile = settings.stubFile;
  jov::ScanOptions& scan = settings.scan;
  unsigned threads = settings.threads ? settings.threads : std::max(1u, std::thread::hardware_concurrency());
  // The listing goes to stdout, unless the installer does.
  FILE* listing = settings.output == "-" ? stderr : stdout;
  scan.warn = [&](const std::string& s) {
    if (!quiet) fprintf(stderr, "jov pack: warning: %s\n", s.c_str());
  };

  FILE* out = nullptr;
  try {
    std::vector<jov::SourceEntry> entries = jov::scanSourceTree(source, scan);
    if (entries.empty()) throw std::runtime_error(source + ": folder is empty; the installer needs at least one entry");
    bool hasProgram = false;
    for (const jov::SourceEntry& e : entries)
      if (!e.info.folder && strcasecmp(e.relative.c_str(), "Tovrel32.exe") == 0) hasProgram = true;
    if (!hasProgram && !quiet)
      fprintf(stderr, "jov pack: warning: no Tovrel32.exe at the top of %s; the installer registers and starts it\n",
              source.c_str());

    std::vector<uint8_t> stub;
    if (!raw) {
      std::string error;
      if (!stubFile.empty()) {
        if (!readWholeFile(stubFile, stub, error)) throw std::runtime_error(stubFile + ": " + error);
      } else {
        if (embeddedStubSize == 0) throw std::runtime_error("this jov has no built-in stub; give one with --stub");
        stub.assign(embeddedStub, embeddedStub + embeddedStubSize);
      }
      std::string note = checkStubSeal(stub);
      if (!note.empty() && !quiet) fprintf(stderr, "jov pack: %s\n", note.c_str());
    }

    out = output.create(!raw);
    if (!stub.empty() && fwrite(stub.data(), 1, stub.size(), out) != stub.size())
      throw std::runtime_error(output.shown + ": cannot write: " + strerror(errno));

    ProgressBar& progress = console.progress;
    uint64_t total = 0;
    for (const jov::SourceEntry& e : entries)
      total += e.size + STREAM_RECORD_FIXED_SIZE + e.info.name.size() + STREAM_RECORD_CRC_SIZE;
    progress.start(total, !quiet && isatty(STDERR_FILENO));
    auto started = std::chrono::steady_clock::now();

    jov::PackOptions options;
    options.level = settings.level;
    options.threads = threads;
    options.progress = [&](uint64_t in, uint64_t written) {
      double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      char label[64];
      snprintf(label, sizeof label, "%.1f MB/s, ratio %.1f%%", seconds > 0 ? (double)in / seconds / 1e6 : 0.0,
               in ? 100.0 * (double)written / (double)in : 0.0);
      progress.update(in, label);
    };
    jov::ArchiveWriter writer(out, options);
    std::vector<uint8_t> bytes;
    for (const jov::SourceEntry& e : entries) {
      if (e.info.folder) {
        writer.addFolder(e.info);
      } else {
        std::string error;
        if (!readWholeFile(e.path.string(), bytes, error)) throw std::runtime_error(e.relative + ": " + error);
        if (bytes.size() != e.size) throw std::runtime_error(e.relative + ": file changed while being packed");
        writer.addFile(e.info, bytes);
      }
      if (verbose) {
        progress.clear();
        fprintf(listing, "%s %s\n", e.info.folder ? "folder" : "file  ", e.relative.c_str());
      }
    }
    jov::PackStats stats = writer.finish();
    progress.finish();
    FILE* done = out;
    out = nullptr;  // commit closes it, whatever happens
    output.commit(done);
    if (!quiet) {
      const unsigned folders = stats.entries - stats.files;
      fprintf(stderr, "%s: %u file%s, %u folder%s, %llu -> %llu bytes (%.1f%%)%s\n", output.shown.c_str(),
              stats.files, stats.files == 1 ? "" : "s", folders, folders == 1 ? "" : "s",
              (unsigned long long)stats.inputBytes, (unsigned long long)(stats.archiveBytes + stub.size()),
              stats.inputBytes ? 100.0 * (double)stats.archiveBytes / (double)stats.inputBytes : 0.0,
              stats.filtered ? (", " + std::to_string(stats.filtered) + " executables filtered").c_str() : "");
    }
    return EXIT_OK;
  } catch (const std::exception& e) {
    int error = errno;
    console.progress.finish();
    std::string text = e.what();
    // The writer says that writing failed, not where or why.
    if (out && ferror(out)) text = output.shown + ": cannot write" + (error ? std::string(": ") + strerror(error) : "");
    if (out) fclose(out);
    if (tempActive) {
      unlink(tempPath);
      tempActive = 0;
    }
    fprintf(stderr, "jov pack: %s\n", text.c_str());
    return EXIT_FAILED;
  }
}
