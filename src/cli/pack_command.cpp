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
    "  -o FILE          output file (default Setup.exe; Setup.jov with --raw)\n"
    "  -l LEVEL         0 stores, 1 fastest .. 9 strongest (default 6)\n"
    "  -T THREADS       worker threads, 0 for one per core (default 0); the output\n"
    "                   is the same for any number\n"
    "  --stub FILE      use FILE as the stub instead of the built-in one\n"
    "  --raw            write the archive only, without a stub\n"
    "  --codepage N     Windows code page of the names (default 1252)\n"
    "  --hidden GLOB    mark matching paths hidden (relative, '/' separated;\n"
    "                   may be repeated)\n"
    "  --system GLOB    mark matching paths system (may be repeated)\n"
    "  -q, --quiet      print errors only\n"
    "  -v, --verbose    list every entry\n"
    "\n"
    "SOURCE_DATE_EPOCH, when set, clamps every file time to it.\n";

// The temporary output, removed if the run does not finish.
char tempPath[4096];
volatile sig_atomic_t tempActive = 0;

void onSignal(int sig) {
  if (tempActive) unlink(tempPath);
  signal(sig, SIG_DFL);
  raise(sig);
}

struct Progress {
  bool enabled = false;
  uint64_t total = 1;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now(), last{};

  void update(uint64_t in, uint64_t out, bool final = false) {
    if (!enabled) return;
    auto now = std::chrono::steady_clock::now();
    if (!final && now - last < std::chrono::milliseconds(100)) return;
    last = now;
    double seconds = std::chrono::duration<double>(now - start).count();
    double fraction = total ? std::min(1.0, (double)in / (double)total) : 1.0;
    const int width = 30;
    int filled = (int)(fraction * width);
    char bar[width + 1];
    for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
    bar[width] = 0;
    fprintf(stderr, "\r[%s] %3d%%  %6.1f MB/s  ratio %5.1f%% ", bar, (int)(fraction * 100),
            seconds > 0 ? (double)in / seconds / 1e6 : 0.0, in ? 100.0 * (double)out / (double)in : 0.0);
    if (final) fprintf(stderr, "\n");
    fflush(stderr);
  }
};

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

bool parseUnsigned(const char* s, long min, long max, long* out) {
  char* end;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno || *s == 0 || *end != 0 || v < min || v > max) return false;
  *out = v;
  return true;
}

int usageError(const std::string& message) {
  fprintf(stderr, "jov pack: %s\nTry 'jov pack --help'.\n", message.c_str());
  return 2;
}

}  // namespace

int runPack(int argc, char** argv) {
  std::string output, stubFile, source;
  bool raw = false, quiet = false, verbose = false;
  long level = 6, threads = 0, codepage = 1252;
  jov::ScanOptions scan;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    // Short options with a value also take it attached: -l9, -T2, -oSetup.exe.
    std::string attached;
    if (a.size() > 2 && a[0] == '-' && (a[1] == 'l' || a[1] == 'T' || a[1] == 'o')) {
      attached = a.substr(2);
      a = a.substr(0, 2);
    }
    auto value = [&](const char* what) -> const char* {
      if (!attached.empty()) return argv[i] + 2;
      if (i + 1 >= argc) throw std::invalid_argument(std::string("option ") + what + " needs a value");
      return argv[++i];
    };
    try {
      if (a == "--help" || a == "-h") {
        fputs(PACK_HELP, stdout);
        return 0;
      } else if (a == "-o") {
        output = value("-o");
      } else if (a == "-l" || (a.size() == 2 && a[0] == '-' && a[1] >= '0' && a[1] <= '9')) {
        const char* v = a == "-l" ? value("-l") : a.c_str() + 1;
        if (!parseUnsigned(v, 0, 9, &level)) return usageError("level must be 0 to 9");
      } else if (a == "-T") {
        if (!parseUnsigned(value("-T"), 0, 1024, &threads)) return usageError("threads must be 0 to 1024");
      } else if (a == "--stub") {
        stubFile = value("--stub");
      } else if (a == "--raw") {
        raw = true;
      } else if (a == "--codepage") {
        if (!parseUnsigned(value("--codepage"), 1, 65535, &codepage)) return usageError("bad code page");
      } else if (a == "--hidden") {
        scan.hiddenPatterns.push_back(value("--hidden"));
      } else if (a == "--system") {
        scan.systemPatterns.push_back(value("--system"));
      } else if (a == "-q" || a == "--quiet") {
        quiet = true;
      } else if (a == "-v" || a == "--verbose") {
        verbose = true;
      } else if (!a.empty() && a[0] == '-') {
        return usageError("unknown option '" + a + "'");
      } else if (source.empty()) {
        source = a;
      } else {
        return usageError("more than one source folder");
      }
    } catch (const std::invalid_argument& e) {
      return usageError(e.what());
    }
  }
  if (source.empty()) return usageError("no source folder");
  if (raw && !stubFile.empty()) return usageError("--raw and --stub exclude each other");
  if (output.empty()) output = raw ? "Setup.jov" : "Setup.exe";
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  scan.codepage = (int)codepage;
  scan.warn = [&](const std::string& s) {
    if (!quiet) fprintf(stderr, "jov pack: warning: %s\n", s.c_str());
  };
  if (const char* sde = getenv("SOURCE_DATE_EPOCH")) {
    char* end;
    long long v = strtoll(sde, &end, 10);
    if (*sde == 0 || *end != 0) return usageError("SOURCE_DATE_EPOCH is not a number of seconds");
    scan.sourceDateEpoch = v;
  }

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

    snprintf(tempPath, sizeof tempPath, "%s.XXXXXX", output.c_str());
    int fd = mkstemp(tempPath);
    if (fd < 0) throw std::runtime_error(output + ": cannot create a temporary file: " + strerror(errno));
    tempActive = 1;
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, (raw ? 0666 : 0777) & ~mask);
    out = fdopen(fd, "w+b");
    if (!out) throw std::runtime_error(output + ": " + strerror(errno));
    if (!stub.empty() && fwrite(stub.data(), 1, stub.size(), out) != stub.size())
      throw std::runtime_error(std::string(tempPath) + ": " + strerror(errno));

    Progress progress;
    progress.enabled = !quiet && isatty(2);
    uint64_t total = 0;
    for (const jov::SourceEntry& e : entries)
      total += e.size + STREAM_RECORD_FIXED_SIZE + e.info.name.size() + STREAM_RECORD_CRC_SIZE;
    progress.total = total;

    jov::PackOptions options;
    options.level = (int)level;
    options.threads = (unsigned)threads;
    options.progress = [&](uint64_t in, uint64_t written) { progress.update(in, written); };
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
        if (progress.enabled) fprintf(stderr, "\r\033[K");
        fprintf(stderr, "%s %s\n", e.info.folder ? "folder" : "file  ", e.relative.c_str());
      }
    }
    jov::PackStats stats = writer.finish();
    progress.update(total, stats.archiveBytes, true);
    if (fflush(out) != 0 || fsync(fileno(out)) != 0)
      throw std::runtime_error(std::string(tempPath) + ": " + strerror(errno));
    if (fclose(out) != 0) {
      out = nullptr;
      throw std::runtime_error(std::string(tempPath) + ": " + strerror(errno));
    }
    out = nullptr;
    if (rename(tempPath, output.c_str()) != 0) throw std::runtime_error(output + ": " + strerror(errno));
    tempActive = 0;
    if (!quiet) {
      const unsigned folders = stats.entries - stats.files;
      fprintf(stderr, "%s: %u file%s, %u folder%s, %llu -> %llu bytes (%.1f%%)%s\n", output.c_str(), stats.files,
              stats.files == 1 ? "" : "s", folders, folders == 1 ? "" : "s", (unsigned long long)stats.inputBytes,
              (unsigned long long)(stats.archiveBytes + stub.size()),
              stats.inputBytes ? 100.0 * (double)stats.archiveBytes / (double)stats.inputBytes : 0.0,
              stats.filtered ? (", " + std::to_string(stats.filtered) + " executables filtered").c_str() : "");
    }
    return 0;
  } catch (const std::exception& e) {
    if (out) fclose(out);
    if (tempActive) {
      unlink(tempPath);
      tempActive = 0;
    }
    fprintf(stderr, "jov pack: %s\n", e.what());
    return 1;
  }
}
