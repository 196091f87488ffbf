// `jov pack`: a folder into a self-extractor (stub + archive) or, with
// --raw, into the archive alone.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "archive/messages.h"
#include "archive/seal.h"
#include "cli/archive_access.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/identity.h"
#include "cli/options.h"
#include "codec/crc32.h"
#include "format.h"
#include "packer/archive_writer.h"
#include "packer/block_plan.h"
#include "packer/pack_order.h"
#include "packer/source_tree.h"
#include "platform/code_page.h"
#include "platform/host_files.h"
#include "platform/posix.h"

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
    "  --hidden GLOB    mark matching paths hidden (may be repeated)\n"
    "  --system GLOB    mark matching paths system (may be repeated)\n"
    "  --exclude GLOB   leave matching paths out (may be repeated); an excluded\n"
    "                   folder leaves out everything inside it; 'dist/' matches\n"
    "                   folders only, '/dist' and './dist' are 'dist'\n"
    "  --exclude-from FILE  one GLOB per line; empty lines and lines that start\n"
    "                   with '#' are ignored\n"
    "  --dereference    also pack files that symbolic links outside SOURCE_DIR\n"
    "                   point to (links inside it are always followed, with a\n"
    "                   warning; links to folders never)\n"
    "  -q, --quiet      print errors only\n"
    "  -v, --verbose    list every entry (on stdout; on stderr with -o -) and every\n"
    "                   symbolic link followed\n"
    "  -h, --help       this text\n"
    "  --version        version, archive format and built-in stub\n"
    "\n"
    "What the installer is called and what it records (default: the stub's own):\n"
    "  --product NAME   the caption \"NAME Installation\", the instruction text, the\n"
    "                   default folder C:\\Program Files\\NAME, the uninstall entry\n"
    "                   (63 bytes at most)\n"
    "  --product-version TEXT  shown after NAME in the instruction (31 bytes)\n"
    "  --publisher NAME  the per-user key Software\\NAME\\PRODUCT (63 bytes)\n"
    "  --program PATH   the .exe of SOURCE_DIR that the installer records and\n"
    "                   starts; App Paths is keyed by its name (127 bytes)\n"
    "  --ini-file NAME  the ini file of what the registry refuses (31 bytes)\n"
    "  --identity FILE  KEY=VALUE lines with those option names as keys ('#'\n"
    "                   comments, UTF-8); options given override them\n"
    "\n"
    "A GLOB is matched against the whole path below SOURCE_DIR, with '/' between\n"
    "names (\"docs/readme.txt\"). '*', '?' and '[...]' also match '/': '*.bak'\n"
    "matches at any depth, 'docs/*' everything below docs. A pattern that matches\n"
    "nothing is reported.\n"
    "\n"
    "SOURCE_DATE_EPOCH, when set, clamps every file time to it and stores times as UTC.\n"
    "Exit status:\n"
    "  0    packed\n"
    "  1    a failure: a problem in SOURCE_DIR (each is listed; found before anything\n"
    "       is compressed, as are unreadable files and, at level 0, an output of\n"
    "       4 GiB or more), a file changed while packed, a failed write\n"
    "  2    a usage error, also a value the installer cannot hold, a bad --stub or\n"
    "       a --program that is not a file of SOURCE_DIR\n"
    "  128+N  stopped by signal N\n"
    "\n"
    "The installer: 'Setup.exe /S' installs without a window into the default folder,\n"
    "'/S /D=C:\\Any Folder' (last, no quotes needed) into another one, replacing\n"
    "existing files and not starting the program. It exits 0 installed, 1 cancelled,\n"
    "2 failed.\n";

// The output is built in an unnamed file of its folder (O_TMPFILE). Once
// complete it gets a name beside the output (TEMP_MARK and six random
// characters) and is renamed over the output. Where the file system has no
// unnamed files it is a named temporary from the start. A named temporary
// is removed when the run fails or a signal stops it (platform/host_files.h).
const char* const TEMP_MARK = ".jovtmp.";
const size_t TEMP_SUFFIX_LENGTH = 6;

bool readWholeFile(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    error = errnoReason(errno);
    return false;
  }
  out.clear();
  uint8_t chunk[1 << 16];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  bool ok = !ferror(f);
  if (!ok) error = errnoReason(errno);
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

enum PackOption {
  OPT_OUTPUT = 1,
  OPT_LEVEL,
  OPT_LEVEL_DIGIT,
  OPT_THREADS,
  OPT_STUB,
  OPT_RAW,
  OPT_HIDDEN,
  OPT_SYSTEM,
  OPT_EXCLUDE,
  OPT_EXCLUDE_FROM,
  OPT_DEREFERENCE,
  OPT_IDENTITY_FILE,
  OPT_IDENTITY_FIELD,  // + IdentityField
};

std::vector<OptionSpec> packOptions() {
  std::vector<OptionSpec> specs = {
      {OPT_OUTPUT, 'o', "output", true}, {OPT_LEVEL, 'l', "level", true}, {OPT_THREADS, 'T', "threads", true},
      {OPT_STUB, 0, "stub", true},       {OPT_RAW, 0, "raw", false},       {OPT_HIDDEN, 0, "hidden", true},
      {OPT_SYSTEM, 0, "system", true},   {OPT_EXCLUDE, 0, "exclude", true}, {OPT_EXCLUDE_FROM, 0, "exclude-from", true},
      {OPT_DEREFERENCE, 0, "dereference", false},
  };
  for (char digit = '0'; digit <= '9'; ++digit) specs.push_back({OPT_LEVEL_DIGIT, digit, nullptr, false});
  specs.push_back({OPT_IDENTITY_FILE, 0, "identity", true});
  for (int f = 0; f < FIELD_COUNT; ++f) specs.push_back({OPT_IDENTITY_FIELD + f, 0, IDENTITY_FIELDS[f].name, true});
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
  IdentityValues identity;  // the values given, in the code page, checked
  bool identityGiven = false;
};

// The identity values of the files and options, converted to the code page
// and checked one by one against what the installer holds. Throws
// UsageError naming the value.
void takeIdentity(PackSettings& settings, const std::vector<std::string>& files, const IdentityValues& options) {
  IdentityValues& values = settings.identity;
  for (const std::string& file : files) readIdentityFile(file, values);
  for (int f = 0; f < FIELD_COUNT; ++f) {
    if (options[f]) values[f] = options[f];
    if (!values[f]) continue;
    settings.identityGiven = true;
    const std::string shown = "--" + std::string(IDENTITY_FIELDS[f].name) + " \"" + terminalText(*values[f]) + "\"";
    std::optional<std::string> converted = toCodePage(*values[f], settings.common.codepage);
    if (!converted)
      throw UsageError(shown + ": cannot be written in code page " + std::to_string(settings.common.codepage));
    if (f == FIELD_PROGRAM)
      for (char& c : *converted)
        if (c == '/') c = '\\';
    if (std::string why = identityProblem((IdentityField)f, *converted); !why.empty())
      throw UsageError(shown + ": " + why);
    values[f] = converted;
  }
  if (settings.identityGiven && settings.raw) throw UsageError("--raw writes no stub to carry the identity options");
}

// Throws UsageError.
PackSettings parsePackOptions(int argc, char** argv) {
  PackSettings settings;
  std::vector<std::string> identityFiles;
  IdentityValues identityOptions;
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
      case OPT_EXCLUDE: settings.scan.excludePatterns.push_back(o.value); break;
      case OPT_EXCLUDE_FROM:
        if (!readPatternFile(o.value, settings.scan.excludePatterns))
          throw UsageError(o.value + ": " + errnoReason(errno));
        break;
      case OPT_DEREFERENCE: settings.scan.dereference = true; break;
      case OPT_IDENTITY_FILE: identityFiles.push_back(o.value); break;
      default: identityOptions[o.id - OPT_IDENTITY_FIELD] = o.value; break;
    }
  }
  for (const auto* patterns : {&settings.scan.hiddenPatterns, &settings.scan.systemPatterns,
                               &settings.scan.excludePatterns})
    for (const std::string& p : *patterns)
      if (std::string why = jov::patternProblem(p); !why.empty()) throw UsageError(why);
  if (settings.common.help || settings.common.version) return settings;
  if (line.operands.empty()) throw UsageError("no source folder");
  if (line.operands.size() > 1) throw UsageError("more than one source folder");
  settings.source = line.operands[0];
  if (settings.raw && !settings.stubFile.empty()) throw UsageError("--raw and --stub exclude each other");
  if (settings.output.empty()) settings.output = settings.raw ? "Setup.jov" : "Setup.exe";
  takeIdentity(settings, identityFiles, identityOptions);
  settings.scan.codepage = settings.common.codepage;
  settings.scan.verbose = settings.common.verbose;
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
  bool unnamed = false;   // the file being built has no name yet (O_TMPFILE)
  std::string tempPath;   // its name beside finalPath, once it has one

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
      if (target < 0) throw std::runtime_error(output + ": cannot write: " + errnoReason(errno));
      ownsTarget = true;
      return;
    }
    finalPath = output;
    if (exists && lstat(output.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      char* resolved = realpath(output.c_str(), nullptr);
      if (!resolved) throw std::runtime_error(output + ": " + errnoReason(errno));
      finalPath = resolved;
      free(resolved);
    }
    // Renaming over a file needs only the folder's permission; replacing
    // one the user may not write must be refused all the same, as any
    // writer that opens the file itself would be.
    if (exists && faccessat(AT_FDCWD, finalPath.c_str(), W_OK, AT_EACCESS) != 0)
      throw std::runtime_error(output + ": cannot write: " + errnoReason(errno));
  }

  // The file the writer fills: beside finalPath, or unlinked in TMPDIR.
  FILE* create(bool executable) {
    int fd;
    if (streaming()) {
      std::string folder;
      fd = openSpool("jov-pack", folder);
      if (fd < 0) throw std::runtime_error(folder + ": cannot create a temporary file: " + errnoReason(errno));
    } else {
      const std::filesystem::path out(finalPath);
      const std::string folder = out.has_parent_path() ? out.parent_path().string() : ".";
      tempPath = finalPath + TEMP_MARK + std::string(TEMP_SUFFIX_LENGTH, 'X');
      fd = openUnnamed(AT_FDCWD, folder.c_str(), 0600);
      unnamed = fd >= 0;
      if (!unnamed && noUnnamedFiles(errno))
        fd = createGuarded(tempPath.data(), TEMP_SUFFIX_LENGTH, FRESH_LETTERS, 0600);
      if (fd < 0) throw std::runtime_error(shown + ": cannot create a temporary file: " + errnoReason(errno));
      mode_t mask = umask(0);
      umask(mask);
      fchmod(fd, (executable ? 0777 : 0666) & ~mask);
    }
    FILE* out = fdopen(fd, "w+b");
    if (!out) {
      close(fd);
      throw std::runtime_error(shown + ": " + errnoReason(errno));
    }
    return out;
  }

  // Puts the finished file in place; `out` is flushed and closed either way.
  void commit(FILE* out) {
    auto fail = [&](const std::string& what) {
      int error = errno;
      fclose(out);
      throw std::runtime_error(shown + ": " + what + ": " + errnoReason(error));
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
        if (!writeAll(target, buffer.data(), (size_t)n)) fail("cannot write");
      }
      fclose(out);
      return;
    }
    if (fsync(fileno(out)) != 0) fail("cannot write");
    if (unnamed && !linkGuarded(fileno(out), tempPath.data(), TEMP_SUFFIX_LENGTH, FRESH_LETTERS))
      fail("cannot name the temporary file");
    if (fclose(out) != 0) {
      int error = errno;
      throw std::runtime_error(shown + ": cannot write: " + errnoReason(error));
    }
    if (rename(tempPath.c_str(), finalPath.c_str()) != 0) throw std::runtime_error(shown + ": " + errnoReason(errno));
    releaseGuarded(false);
  }
};

// The stub to put in front of the archive; none with --raw. Throws
// UsageError: a bad stub is found before any work.
std::vector<uint8_t> loadStub(const PackSettings& settings) {
  std::vector<uint8_t> stub;
  if (settings.raw) return stub;
  std::string error;
  if (!settings.stubFile.empty()) {
    if (!readWholeFile(settings.stubFile, stub, error)) throw UsageError(settings.stubFile + ": " + error);
  } else if (embeddedStubSize == 0) {
    throw UsageError("this jov has no built-in stub; give one with --stub");
  } else {
    stub.assign(embeddedStub, embeddedStub + embeddedStubSize);
  }
  if (std::string why = stubSealProblem(stub); !why.empty())
    throw UsageError((settings.stubFile.empty() ? std::string("built-in stub") : settings.stubFile) + ": " + why);
  return stub;
}

// The identity the installer will carry: the stub's record (the built-in
// stub's for --raw, which the warnings name), with the values given. None
// when the stub has no record. Throws UsageError.
std::optional<Identity> installerIdentity(const PackSettings& settings, const std::vector<uint8_t>& stub) {
  const uint8_t* bytes = settings.raw ? embeddedStub : stub.data();
  std::optional<uint32_t> at = findIdentity(bytes, (uint32_t)(settings.raw ? embeddedStubSize : stub.size()));
  if (!at) {
    if (settings.identityGiven)
      throw UsageError((settings.stubFile.empty() ? std::string("built-in stub") : settings.stubFile) +
                       ": no identity record, which --product and the like need");
    return std::nullopt;
  }
  Identity identity = readIdentity(bytes + *at);
  for (int f = 0; f < FIELD_COUNT; ++f)
    if (settings.identity[f]) identity[f] = *settings.identity[f];
  if (std::string failure = identityFailure(identity); !failure.empty()) throw UsageError("the stub's " + failure);
  return identity;
}

// The entries under the source folder. Neither the output being written
// (`out`) nor the file it replaces is packed, wherever they lie. The
// identity's program becomes the tree's file of that name (in its spelling).
std::vector<jov::SourceEntry> scanEntries(PackSettings& settings, const PackOutput& output, FILE* out,
                                          std::optional<Identity>& identity) {
  jov::ScanOptions& scan = settings.scan;
  if (identity) scan.installFolder = std::string(PROGRAM_FILES_FOLDER) + "\\" + nameText((*identity)[FIELD_PRODUCT]);
  struct stat st;
  if (fstat(fileno(out), &st) == 0) scan.skip.push_back({(uint64_t)st.st_dev, (uint64_t)st.st_ino});
  if ((output.streaming() ? fstat(output.target, &st) : stat(output.finalPath.c_str(), &st)) == 0)
    scan.skip.push_back({(uint64_t)st.st_dev, (uint64_t)st.st_ino});
  std::vector<jov::SourceEntry> entries = jov::scanSourceTree(settings.source, scan);
  if (entries.empty())
    throw std::runtime_error(settings.source + ": folder is empty; the installer needs at least one entry");
  jov::orderForPacking(entries);
  if (!identity) return entries;
  std::string& program = (*identity)[FIELD_PROGRAM];
  auto found = std::find_if(entries.begin(), entries.end(), [&](const jov::SourceEntry& e) {
    return !e.info.folder && strcasecmp(e.info.name.c_str(), program.c_str()) == 0;
  });
  if (found != entries.end()) {
    program = found->info.name;
  } else if (settings.identity[FIELD_PROGRAM]) {
    throw UsageError("--program \"" + displayText(program) + "\": not a file of " + settings.source +
                     "; the installer records and starts it");
  } else if (!settings.common.quiet) {
    fprintf(stderr, "jov pack: warning: no %s in %s; the installer registers and starts it\n",
            displayText(program).c_str(), settings.source.c_str());
  }
  return entries;
}

// Stored, the output is at least the stub, the header and every file in its
// record: when that is too much, no compression is worth waiting for.
void checkStoredSize(const PackSettings& settings, const std::vector<jov::SourceEntry>& entries, size_t stubBytes) {
  if (settings.level != 0) return;
  uint64_t least = stubBytes + ARCHIVE_HEADER_SIZE;
  for (const jov::SourceEntry& e : entries)
    if (!e.info.folder) least += STREAM_RECORD_FIXED_SIZE + e.info.name.size() + e.size + STREAM_RECORD_CRC_SIZE;
  if (least > jov::MAX_OUTPUT_BYTES)
    throw std::runtime_error(settings.source + ": stored, the output would take " + std::to_string(least) +
                             " bytes or more; an installer or archive holds at most " +
                             std::to_string(jov::MAX_OUTPUT_BYTES) + " bytes");
}

// Writes the identity given into the stub's record and seals the stub again,
// so that its self-check and `jov test` take the new record as built.
void patchIdentity(std::vector<uint8_t>& stub, const Identity& identity) {
  StubSeal seal;
  findSeal(stub.data(), (uint32_t)stub.size(), &seal);
  writeIdentity(stub.data() + *findIdentity(stub.data(), (uint32_t)stub.size()), identity);
  std::vector<uint8_t> scratch(stub.size());
  fillSeal(stub.data(), scratch.data(), (uint32_t)stub.size(), seal.sealOffset);
}

// Block ends chosen for reach (packer/block_plan.h), from one more read of
// every file. Only for the levels whose parse costs far more than reading.
const int PLANNED_LEVEL = 5;

std::vector<uint64_t> planBlocks(const std::vector<jov::SourceEntry>& entries) {
  jov::BlockPlanner planner;
  std::vector<uint8_t> buffer(1u << 20);
  uint64_t at = 0;
  for (const jov::SourceEntry& e : entries) {
    if (e.info.folder) continue;
    at += STREAM_RECORD_FIXED_SIZE + e.info.name.size();
    if (at + e.size + STREAM_RECORD_CRC_SIZE > 0xFFFFFFFFu) break;  // the writer starts another stream
    jov::SourceFile file(e);
    for (uint64_t done = 0; done < e.size;) {
      const size_t n = (size_t)std::min<uint64_t>(buffer.size(), e.size - done);
      file.read(done, buffer.data(), n);
      planner.add(at + done, buffer.data(), n);
      done += n;
    }
    at += e.size + STREAM_RECORD_CRC_SIZE;
  }
  return planner.finish(at);
}

// Writes the stub and the archive of `entries` into `out`, with the
// progress bar and the --verbose listing.
jov::PackStats writeInstaller(const PackSettings& settings, const std::vector<jov::SourceEntry>& entries,
                              const std::vector<uint8_t>& stub, FILE* out, const std::string& shown) {
  if (!stub.empty() && fwrite(stub.data(), 1, stub.size(), out) != stub.size())
    throw std::runtime_error(shown + ": cannot write: " + errnoReason(errno));

  ProgressBar& progress = console.progress;
  uint64_t total = 0;
  for (const jov::SourceEntry& e : entries)
    total += e.size + STREAM_RECORD_FIXED_SIZE + e.info.name.size() + STREAM_RECORD_CRC_SIZE;
  progress.start(total, !settings.common.quiet && isatty(STDERR_FILENO));
  auto started = std::chrono::steady_clock::now();

  jov::PackOptions options;
  options.level = settings.level;
  options.threads = settings.threads ? settings.threads : std::max(1u, std::thread::hardware_concurrency());
  if (settings.level >= PLANNED_LEVEL) options.blockEnds = planBlocks(entries);
  options.progress = [&](uint64_t in, uint64_t written) {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char label[64];
    snprintf(label, sizeof label, "%.1f MB/s, ratio %.1f%%", seconds > 0 ? (double)in / seconds / 1e6 : 0.0,
             in ? 100.0 * (double)written / (double)in : 0.0);
    progress.update(in, label);
  };
  // The listing goes to stdout, unless the installer does.
  FILE* listing = settings.output == "-" ? stderr : stdout;
  jov::ArchiveWriter writer(out, options);
  for (const jov::SourceEntry& e : entries) {
    if (e.info.folder) {
      writer.addFolder(e.info);
    } else {
      jov::SourceFile file(e);
      writer.addFile(e.info, file);
      file.checkUnchanged();
    }
    if (settings.common.verbose) {
      progress.clear();
      fprintf(listing, "%s %s\n", e.info.folder ? "folder" : "file  ", e.relative.c_str());
    }
  }
  jov::PackStats stats = writer.finish();
  progress.finish();
  return stats;
}

void printSummary(const std::string& shown, const jov::PackStats& stats, size_t stubBytes) {
  const unsigned folders = stats.entries - stats.files;
  fprintf(stderr, "%s: %u file%s, %u folder%s, %llu -> %llu bytes (%.1f%%)%s\n", shown.c_str(), stats.files,
          stats.files == 1 ? "" : "s", folders, folders == 1 ? "" : "s", (unsigned long long)stats.inputBytes,
          (unsigned long long)(stats.archiveBytes + stubBytes),
          stats.inputBytes ? 100.0 * (double)stats.archiveBytes / (double)stats.inputBytes : 0.0,
          stats.filtered ? (", " + std::to_string(stats.filtered) + " executables filtered").c_str() : "");
}

// Says why the pack failed and removes what it had begun to write; `out`
// (still open, or null) is closed. `error` is errno as the failure left it.
int reportPackFailure(const std::exception& e, int error, FILE* out, const PackOutput& output,
                      const std::string& source) {
  // A --program that is not in the tree shows only after the scan.
  const int status = dynamic_cast<const UsageError*>(&e) ? EXIT_USAGE : EXIT_FAILED;
  console.progress.finish();
  std::string text = e.what();
  // The writer says that writing failed, not where or why.
  if (out && ferror(out)) text = output.shown + ": cannot write" + (error ? std::string(": ") + errnoReason(error) : "");
  if (out) fclose(out);
  releaseGuarded(true);
  if (const auto* problems = dynamic_cast<const jov::SourceProblems*>(&e)) {
    for (const std::string& p : problems->problems()) fprintf(stderr, "jov pack: %s\n", p.c_str());
    fprintf(stderr, "jov pack: %zu problem%s in %s; nothing was packed\n", problems->problems().size(),
            problems->problems().size() == 1 ? "" : "s", source.c_str());
  } else {
    fprintf(stderr, "jov pack: %s\n", text.c_str());
  }
  return status;
}

}  // namespace

int runPack(int argc, char** argv) {
  PackSettings settings;
  PackOutput output;
  std::vector<uint8_t> stub;
  std::optional<Identity> identity;
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
    stub = loadStub(settings);
    setPathCodePage(settings.common.codepage);  // for the names in messages
    identity = installerIdentity(settings, stub);
    output.open(settings.output);
  } catch (const UsageError& e) {
    fprintf(stderr, "jov pack: %s (try 'jov pack --help')\n", e.what());
    return EXIT_USAGE;
  } catch (const std::exception& e) {
    fprintf(stderr, "jov pack: %s\n", e.what());
    return EXIT_FAILED;
  }
  settings.scan.warn = [quiet = settings.common.quiet](const std::string& s) {
    if (!quiet) fprintf(stderr, "jov pack: warning: %s\n", s.c_str());
  };

  FILE* out = nullptr;
  try {
    out = output.create(!settings.raw);
    std::vector<jov::SourceEntry> entries = scanEntries(settings, output, out, identity);
    checkStoredSize(settings, entries, stub.size());
    if (settings.identityGiven) patchIdentity(stub, *identity);
    jov::PackStats stats = writeInstaller(settings, entries, stub, out, output.shown);
    FILE* done = out;
    out = nullptr;  // commit closes it, whatever happens
    output.commit(done);
    if (!settings.common.quiet) printSummary(output.shown, stats, stub.size());
    return EXIT_OK;
  } catch (const std::exception& e) {
    return reportPackFailure(e, errno, out, output, settings.source);
  }
}
