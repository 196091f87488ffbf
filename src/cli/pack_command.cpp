// `jov pack`: a folder into a self-extractor (stub + archive) or, with
// --raw, into the archive alone.
#include <errno.h>
#include <fcntl.h>
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
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
    "  --hidden GLOB    mark matching paths hidden (may be repeated)\n"
    "  --system GLOB    mark matching paths system (may be repeated)\n"
    "  --exclude GLOB   leave matching paths out (may be repeated); an excluded\n"
    "                   folder leaves out everything inside it\n"
    "  --exclude-from FILE  one GLOB per line; empty lines and lines that start\n"
    "                   with '#' are ignored\n"
    "  --dereference    also pack files that symbolic links outside SOURCE_DIR\n"
    "                   point to (links inside it are always followed, with a\n"
    "                   warning; links to folders never)\n"
    "  -q, --quiet      print errors only\n"
    "  -v, --verbose    list every entry\n"
    "\n"
    "A GLOB is matched against the whole path below SOURCE_DIR, with '/' between\n"
    "names (\"docs/readme.txt\"). '*', '?' and '[...]' also match '/': '*.bak'\n"
    "matches at any depth, 'docs/*' everything below docs. A pattern that matches\n"
    "nothing is reported.\n"
    "\n"
    "SOURCE_DATE_EPOCH, when set, clamps every file time to it.\n";

// The temporary output, removed if the run does not finish. Its name is
// the output's plus TEMP_MARK and six random characters; while a run
// writes it, the run holds an flock on it, so a temporary nobody holds is a
// leftover of a run that was killed.
const char* const TEMP_MARK = ".jovtmp.";
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
// check itself; an installer made from a stub without a valid seal could
// never install, so such a stub is refused. Returns why (empty when fine).
std::string stubSealProblem(std::vector<uint8_t> stub) {  // a copy: sealCrc clears fields in it
  StubSeal seal;
  if (!findSeal(stub.data(), (uint32_t)stub.size(), &seal))
    return "the stub carries no seal; the installer would not find its archive";
  if (seal.stubLength != stub.size())
    return "the stub is sealed for " + std::to_string(seal.stubLength) + " bytes but has " +
           std::to_string(stub.size());
  buildCrcTable();
  if (sealCrc(stub.data(), seal.stubLength, seal.sealOffset) != seal.stubCrc)
    return "the stub has changed since it was sealed";
  return "";
}

// Removes temporaries of `output` that no running pack holds.
void removeStaleTemporaries(const std::string& output, bool quiet) {
  const std::filesystem::path out(output);
  const std::string folder = out.has_parent_path() ? out.parent_path().string() : ".";
  const std::string prefix = out.filename().string() + TEMP_MARK;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;  // creating the temporary will say what is wrong
  while (struct dirent* d = readdir(dir)) {
    const std::string name = d->d_name;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string path = folder + "/" + name;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        unlink(path.c_str()) == 0 && !quiet)
      fprintf(stderr, "jov pack: removed %s, left by a pack that did not finish\n", path.c_str());
    close(fd);
  }
  closedir(dir);
}

// Lines of an --exclude-from file: patterns, without empty lines and
// comments.
bool readPatternFile(const std::string& path, std::vector<std::string>& patterns) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] != '#') patterns.push_back(line);
  }
  return !in.bad();
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
      } else if (a == "--exclude") {
        scan.excludePatterns.push_back(value("--exclude"));
      } else if (a == "--exclude-from") {
        const char* file = value("--exclude-from");
        if (!readPatternFile(file, scan.excludePatterns))
          return usageError(std::string(file) + ": " + strerror(errno));
      } else if (a == "--dereference") {
        scan.dereference = true;
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
  for (const auto* patterns : {&scan.hiddenPatterns, &scan.systemPatterns, &scan.excludePatterns})
    for (const std::string& p : *patterns)
      if (std::string why = jov::patternProblem(p); !why.empty()) return usageError(why);
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

  // The stub first: a bad one is a usage error, found before any work.
  std::vector<uint8_t> stub;
  if (!raw) {
    std::string error;
    if (!stubFile.empty()) {
      if (!readWholeFile(stubFile, stub, error)) return usageError(stubFile + ": " + error);
    } else if (embeddedStubSize == 0) {
      return usageError("this jov has no built-in stub; give one with --stub");
    } else {
      stub.assign(embeddedStub, embeddedStub + embeddedStubSize);
    }
    if (std::string why = stubSealProblem(stub); !why.empty())
      return usageError((stubFile.empty() ? std::string("built-in stub") : stubFile) + ": " + why);
  }

  FILE* out = nullptr;
  int lockFd = -1;  // keeps the temporary's flock until it has its final name
  try {
    removeStaleTemporaries(output, quiet);
    snprintf(tempPath, sizeof tempPath, "%s%sXXXXXX", output.c_str(), TEMP_MARK);
    // The signals wait while the temporary comes into being, so that none
    // can leave it behind unrecorded.
    sigset_t stops, before;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      sigaddset(&stops, sig);
      signal(sig, onSignal);
    }
    sigprocmask(SIG_BLOCK, &stops, &before);
    int fd = mkstemp(tempPath);
    tempActive = fd >= 0;
    const int createError = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) throw std::runtime_error(output + ": cannot create a temporary file: " + strerror(createError));
    // A lock on a dup'ed descriptor lives as long as that one, past fclose.
    lockFd = dup(fd);
    if (lockFd < 0 || flock(lockFd, LOCK_EX | LOCK_NB) != 0)
      throw std::runtime_error(std::string(tempPath) + ": cannot lock: " + strerror(errno));
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, (raw ? 0666 : 0777) & ~mask);
    out = fdopen(fd, "w+b");
    if (!out) throw std::runtime_error(output + ": " + strerror(errno));

    // Neither the output being written nor the one it replaces is packed,
    // wherever they lie.
    struct stat st;
    if (fstat(fd, &st) == 0) scan.skip.push_back({(uint64_t)st.st_dev, (uint64_t)st.st_ino});
    if (stat(output.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      scan.skip.push_back({(uint64_t)st.st_dev, (uint64_t)st.st_ino});
    std::vector<jov::SourceEntry> entries = jov::scanSourceTree(source, scan);
    if (entries.empty()) throw std::runtime_error(source + ": folder is empty; the installer needs at least one entry");
    bool hasProgram = false;
    for (const jov::SourceEntry& e : entries)
      if (!e.info.folder && strcasecmp(e.relative.c_str(), "Tovrel32.exe") == 0) hasProgram = true;
    if (!hasProgram && !quiet)
      fprintf(stderr, "jov pack: warning: no Tovrel32.exe at the top of %s; the installer registers and starts it\n",
              source.c_str());

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
    for (const jov::SourceEntry& e : entries) {
      if (e.info.folder) {
        writer.addFolder(e.info);
      } else {
        jov::SourceFile file(e);
        writer.addFile(e.info, file);
        file.checkUnchanged();
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
    close(lockFd);
    lockFd = -1;
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
    if (lockFd >= 0) close(lockFd);
    if (const auto* problems = dynamic_cast<const jov::SourceProblems*>(&e)) {
      for (const std::string& p : problems->problems()) fprintf(stderr, "jov pack: %s\n", p.c_str());
      fprintf(stderr, "jov pack: %zu problem%s in %s; nothing was packed\n", problems->problems().size(),
              problems->problems().size() == 1 ? "" : "s", source.c_str());
    } else {
      fprintf(stderr, "jov pack: %s\n", e.what());
    }
    return 1;
  }
}
