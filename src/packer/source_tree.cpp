#include "packer/source_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "archive/messages.h"
#include "archive/names.h"
#include "format.h"
#include "platform/platform.h"

namespace jov {

namespace fs = std::filesystem;

const char* const TYPICAL_INSTALL_FOLDER = "C:\\Program Files\\Tovrel";

uint32_t maxNameLength(const std::string& folder) { return PATH_MAX_CHARS - (uint32_t)folder.size() - 1; }

std::string invalidComponentReason(const std::string& c) {
  // The rule is the installer's; a UTF-8 name holds the same ASCII bytes as
  // its code-page form, which add() checks again once converted.
  if (c.find_first_of("\\/") != std::string::npos) return "\"\\\" and \"/\" separate names on Windows";
  if (checkNameComponent((const uint8_t*)c.data(), (uint32_t)c.size()) == NAME_OK) return "";
  return nameProblemText((const uint8_t*)c.data(), (uint32_t)c.size());
}

void toDosTime(int64_t seconds, bool utc, uint16_t* date, uint16_t* time, bool* clamped) {
  *clamped = false;
  time_t t = (time_t)seconds;
  struct tm local;
  if (!(utc ? gmtime_r(&t, &local) : localtime_r(&t, &local))) {
    *clamped = true;
    local = {};
    local.tm_year = seconds < 0 ? 80 : 207;
    local.tm_mon = seconds < 0 ? 0 : 11;
    local.tm_mday = seconds < 0 ? 1 : 31;
    if (seconds >= 0) {
      local.tm_hour = 23;
      local.tm_min = 59;
      local.tm_sec = 58;
    }
  }
  int year = local.tm_year + 1900;
  if (year < 1980) {
    *clamped = true;
    *date = makeDosDate(1980, 1, 1);
    *time = 0;
    return;
  }
  if (year > 2107) {
    *clamped = true;
    *date = makeDosDate(2107, 12, 31);
    *time = makeDosTime(23, 59, 58);
    return;
  }
  *date = makeDosDate((unsigned)year, (unsigned)local.tm_mon + 1, (unsigned)local.tm_mday);
  *time = makeDosTime((unsigned)local.tm_hour, (unsigned)local.tm_min, (unsigned)std::min(local.tm_sec, 59));
}

namespace {

FileIdentity identityOf(const struct stat& st) {
  FileIdentity id;
  id.device = (uint64_t)st.st_dev;
  id.inode = (uint64_t)st.st_ino;
  id.size = (uint64_t)st.st_size;
  id.modifiedNs = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
  id.changedNs = (int64_t)st.st_ctim.tv_sec * 1000000000 + st.st_ctim.tv_nsec;
  return id;
}

// An --exclude pattern as tar and rsync users write it: "./dist" and
// "/dist" are anchored at the source folder as every pattern is, and
// "dist/" matches folders only.
struct ExcludePattern {
  std::string glob;
  bool foldersOnly = false;
};

ExcludePattern excludePattern(const std::string& pattern) {
  ExcludePattern p{pattern};
  while (p.glob.starts_with("./")) p.glob.erase(0, 2);
  p.glob.erase(0, p.glob.find_first_not_of('/'));
  while (!p.glob.empty() && p.glob.back() == '/') {
    p.glob.pop_back();
    p.foldersOnly = true;
  }
  return p;
}

bool isInside(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         (folder.back() == '/' || path[folder.size()] == '/');
}

struct Walker {
  const ScanOptions& options;
  CodePageConverter codePage;
  std::string realRoot;  // the source folder with every link resolved
  std::vector<SourceEntry> entries;
  std::map<std::string, std::string> folded;  // case-folded NFC path -> the path that has it
  std::vector<std::string> problems;
  std::vector<bool> hiddenUsed, systemUsed, excludeUsed;
  std::vector<ExcludePattern> excludes;
  std::vector<std::string> followedLinks;  // "path -> target", summed up after the walk
  unsigned clampedWrite = 0, clampedCreate = 0;
  uint32_t nameRoom = 0;  // characters of a stored name that fit behind the install folder

  const char* installFolder() const {
    return options.installFolder.empty() ? TYPICAL_INSTALL_FOLDER : options.installFolder.c_str();
  }

  void warn(const std::string& s) const {
    if (options.warn) options.warn(s);
  }

  bool matches(const std::vector<std::string>& patterns, const std::string& relative, std::vector<bool>& used) const {
    bool any = false;
    for (size_t i = 0; i < patterns.size(); ++i)
      if (fnmatch(patterns[i].c_str(), relative.c_str(), 0) == 0) {
        any = true;
        used[i] = true;
      }
    return any;
  }

  // Whether an --exclude pattern leaves `relative` out; `folder` is known
  // only once the entry has been looked at, and only "dist/" needs it.
  bool excluded(const std::string& relative, std::optional<bool> folder) {
    bool any = false;
    for (size_t i = 0; i < excludes.size(); ++i) {
      const ExcludePattern& p = excludes[i];
      if (p.foldersOnly != folder.has_value() || (folder && !*folder)) continue;
      if (fnmatch(p.glob.c_str(), relative.c_str(), 0) == 0) {
        excludeUsed[i] = true;
        any = true;
      }
    }
    return any;
  }

  // Birth time where the file system records one; 0 means it does not know.
  std::optional<int64_t> birthTime(const fs::path& p) const {
#ifdef STATX_BTIME
    struct statx sx;
    if (statx(AT_FDCWD, p.c_str(), 0, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME) && sx.stx_btime.tv_sec != 0)
      return (int64_t)sx.stx_btime.tv_sec;
#else
    (void)p;
#endif
    return std::nullopt;
  }

  void setTimes(SourceEntry& e, const struct stat& st) {
    bool clamped = false, c2 = false;
    int64_t write = (int64_t)st.st_mtime;
    std::optional<int64_t> create = birthTime(e.path);
    if (options.sourceDateEpoch) {
      write = std::min(write, *options.sourceDateEpoch);
      if (create) create = std::min(*create, *options.sourceDateEpoch);
    }
    // A reproducible build must not depend on the packing machine's zone:
    // with SOURCE_DATE_EPOCH the DOS words are UTC, as reproducible-build
    // tools write zip times.
    const bool utc = options.sourceDateEpoch.has_value();
    toDosTime(write, utc, &e.info.writeDate, &e.info.writeTime, &clamped);
    if (create) toDosTime(*create, utc, &e.info.createDate, &e.info.createTime, &c2);
    // Folder times are not restored by the installer, and with
    // SOURCE_DATE_EPOCH the user chose the times: neither is worth a word.
    if (e.info.folder || options.sourceDateEpoch) return;
    clampedWrite += clamped;
    clampedCreate += c2;
  }

  // Paths that are not clean UTF-8 text are shown escaped, never raw.
  void problem(const std::string& relative, const std::string& why) {
    const bool clean = composeUtf8(relative) &&
                       std::none_of(relative.begin(), relative.end(), [](char c) { return (unsigned char)c < 0x20; });
    problems.push_back((clean ? relative : escapeBytes(relative)) + ": " + why);
  }

  // `storedParent` is the parent folder's stored name ("" at the top);
  // returns the entry's own, for its children (nullopt when it has none).
  std::optional<std::string> add(const fs::path& path, const std::string& relative, const std::string& storedParent,
                                 const std::string& rawLeaf, bool folder, const struct stat& st) {
    SourceEntry e;
    e.relative = relative;
    e.path = path;
    std::optional<std::string> leaf = composeUtf8(rawLeaf);
    if (!leaf) {
      problem(relative, "name is not valid UTF-8: \"" + escapeBytes(rawLeaf) + "\"");
      return std::nullopt;
    }
    std::string why = invalidComponentReason(*leaf);
    if (!why.empty()) {
      problem(relative, why);
      return std::nullopt;
    }
    const std::string page = " in code page " + std::to_string(options.codepage);
    std::optional<std::string> converted = codePage.fromUtf8(*leaf);
    if (!converted) {
      problem(relative, "name cannot be written" + page);
      return std::nullopt;
    }
    // A multi-byte code page may produce separator bytes inside a
    // character; the installer would split the name there.
    if (converted->find('\\') != std::string::npos || converted->find('/') != std::string::npos) {
      problem(relative, "name holds a path separator byte" + page);
      return std::nullopt;
    }
    // The installer checks names byte by byte, whatever the code page: a
    // double-byte character whose second byte is "|" would be refused there,
    // and so would "COM\xc2\xb9" (the superscript is 0xB9 in code page 1252).
    NameVerdict verdict = checkNameComponent((const uint8_t*)converted->data(), (uint32_t)converted->size());
    if (verdict != NAME_OK) {
      problem(relative, "the installer refuses this name" + page + ": " + nameVerdictText(verdict));
      return std::nullopt;
    }
    std::string name = storedParent.empty() ? *converted : storedParent + '\\' + *converted;
    // Below a folder whose name is already too long every name is: the
    // folder's problem stands for them.
    if (name.size() > nameRoom && storedParent.size() <= nameRoom)
      problem(relative, "name is " + std::to_string(name.size()) + " characters long; at most " +
                            std::to_string(nameRoom) + " fit behind an install folder such as \"" + installFolder() +
                            "\"");
    auto [it, fresh] = folded.emplace(foldNameCase(composeUtf8(relative).value_or(relative)), relative);
    if (!fresh)
      problem(relative, "differs from " + it->second + " only in case or Unicode composition, which Windows cannot keep apart");
    e.info.name = name;
    e.info.folder = folder;
    uint8_t attributes = folder ? ATTR_DIRECTORY : ATTR_ARCHIVE;
    if (!folder && !(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) attributes |= ATTR_READONLY;
    if (matches(options.hiddenPatterns, relative, hiddenUsed)) attributes |= ATTR_HIDDEN;
    if (matches(options.systemPatterns, relative, systemUsed)) attributes |= ATTR_SYSTEM;
    e.info.attributes = attributes;
    e.size = folder ? 0 : (uint64_t)st.st_size;
    if (!folder) e.identity = identityOf(st);
    if (!folder && e.size > 0xFFFFFFFFu) problem(relative, "file is larger than 4 GiB");
    setTimes(e, st);
    entries.push_back(std::move(e));
    return name;
  }

  // Follows the link at `p` into `st`; false (with the problem noted) when
  // it must not be.
  bool followLink(const fs::path& p, const std::string& relative, struct stat* st) {
    if (stat(p.c_str(), st) != 0) {
      problem(relative, "broken symbolic link");
      return false;
    }
    if (S_ISDIR(st->st_mode)) {
      problem(relative, "symbolic link to a folder is not followed; copy the folder instead");
      return false;
    }
    char* real = realpath(p.c_str(), nullptr);
    const std::string target = real ? real : p.string();
    free(real);
    if (!isInside(target, realRoot) && !options.dereference) {
      problem(relative, "symbolic link to " + target + ", outside the source folder (--dereference packs it)");
      return false;
    }
    followedLinks.push_back(relative + " -> " + target);
    return true;
  }

  void walk(const fs::path& folder, const std::string& prefix, const std::string& storedPrefix) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) {
      problem(prefix.empty() ? folder.string() : prefix, errnoReason(ec.value()));
      return;
    }
    for (const fs::directory_entry& d : it) names.push_back(d.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
      fs::path p = folder / n;
      std::string relative = prefix.empty() ? n : prefix + "/" + n;
      if (excluded(relative, std::nullopt)) continue;
      struct stat lst, st;
      if (lstat(p.c_str(), &lst) != 0) {
        problem(relative, errnoReason(errno));
        continue;
      }
      if (excluded(relative, S_ISDIR(lst.st_mode))) continue;
      if (S_ISLNK(lst.st_mode)) {
        if (!followLink(p, relative, &st)) continue;
      } else {
        st = lst;
      }
      const std::pair<uint64_t, uint64_t> id{(uint64_t)st.st_dev, (uint64_t)st.st_ino};
      if (std::find(options.skip.begin(), options.skip.end(), id) != options.skip.end()) {
        warn(relative + ": not packed: it is the output");
        continue;
      }
      if (S_ISDIR(st.st_mode)) {
        std::optional<std::string> stored = add(p, relative, storedPrefix, n, true, st);
        // A folder that cannot be stored is still searched, so that one
        // round shows every problem.
        walk(p, relative, stored ? *stored : storedPrefix);
      } else if (S_ISREG(st.st_mode)) {
        checkReadable(p, relative);
        add(p, relative, storedPrefix, n, false, st);
      } else {
        problem(relative, "not a regular file or folder");
      }
    }
  }

  // Files are opened now, so that one that cannot be read stops the run
  // before anything is compressed.
  void checkReadable(const fs::path& path, const std::string& relative) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      problem(relative, "cannot read: " + std::string(errnoReason(errno)));
      return;
    }
    close(fd);
  }

  // The links followed inside the source folder, in one line; each of them
  // with --verbose.
  void reportFollowedLinks() const {
    if (followedLinks.empty()) return;
    const size_t n = followedLinks.size();
    warn("followed " + std::to_string(n) + " symbolic link" + (n == 1 ? "" : "s") + " to files inside the source folder" +
         (options.verbose ? ":" : " (-v lists them)"));
    if (options.verbose)
      for (const std::string& link : followedLinks) warn("  " + link);
  }

  void reportUnused(const std::vector<std::string>& patterns, const std::vector<bool>& used, const char* option) {
    for (size_t i = 0; i < patterns.size(); ++i)
      if (!used[i]) warn(std::string(option) + " '" + patterns[i] + "' matches nothing");
  }
};

}  // namespace

SourceProblems::SourceProblems(std::vector<std::string> problems)
    : std::runtime_error(problems.empty() ? std::string() : problems.front() +
                             (problems.size() > 1 ? " (and " + std::to_string(problems.size() - 1) + " more)" : "")),
      problems_(std::move(problems)) {}

std::string patternProblem(const std::string& pattern) {
  if (!pattern.empty() && excludePattern(pattern).glob.empty()) return "pattern '" + pattern + "' names no path";
  if (pattern.empty()) return "empty pattern";
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '\\') {
      if (++i == pattern.size()) return "pattern '" + pattern + "' ends in a lone '\\'";
    } else if (pattern[i] == '[') {
      size_t j = i + 1;
      if (j < pattern.size() && (pattern[j] == '!' || pattern[j] == '^')) ++j;
      if (j < pattern.size() && pattern[j] == ']') ++j;  // a leading "]" is a member
      while (j < pattern.size() && pattern[j] != ']') ++j;
      if (j == pattern.size()) return "pattern '" + pattern + "' has a '[' without ']'";
      i = j;
    }
  }
  return "";
}

std::string escapeBytes(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += (char)c;
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::vector<SourceEntry> scanSourceTree(const fs::path& root, const ScanOptions& options) {
  struct stat st;
  if (stat(root.c_str(), &st) != 0) throw std::runtime_error(root.string() + ": " + errnoReason(errno));
  if (!S_ISDIR(st.st_mode)) throw std::runtime_error(root.string() + ": not a folder");
  Walker w{options, CodePageConverter(options.codepage), {}, {}, {}, {}, {}, {}, {}, {}, {}};  // a bad page fails even an empty tree
  char* real = realpath(root.c_str(), nullptr);
  if (!real) throw std::runtime_error(root.string() + ": " + errnoReason(errno));
  w.realRoot = real;
  free(real);
  w.nameRoom = maxNameLength(w.codePage.fromUtf8(w.installFolder()).value_or(w.installFolder()));
  for (const std::string& p : options.excludePatterns) w.excludes.push_back(excludePattern(p));
  w.excludeUsed.assign(w.excludes.size(), false);
  w.hiddenUsed.assign(options.hiddenPatterns.size(), false);
  w.systemUsed.assign(options.systemPatterns.size(), false);
  w.walk(root, "", "");
  w.reportFollowedLinks();
  if (!w.problems.empty()) throw SourceProblems(std::move(w.problems));
  w.reportUnused(options.excludePatterns, w.excludeUsed, "--exclude");
  w.reportUnused(options.hiddenPatterns, w.hiddenUsed, "--hidden");
  w.reportUnused(options.systemPatterns, w.systemUsed, "--system");
  auto count = [](unsigned n) { return std::to_string(n) + (n == 1 ? " file has a " : " files have a "); };
  if (w.clampedWrite)
    w.warn(count(w.clampedWrite) + "last-write time outside the DOS range 1980..2107; stored clamped to it");
  if (w.clampedCreate)
    w.warn(count(w.clampedCreate) + "creation time outside the DOS range 1980..2107; stored clamped to it");
  return std::move(w.entries);
}

SourceFile::SourceFile(const SourceEntry& entry) : relative_(entry.relative) {
  // O_NONBLOCK: a FIFO put where the scan saw a file must not hang the
  // open; a regular file ignores the flag.
  fd_ = open(entry.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) throw std::runtime_error(relative_ + ": " + errnoReason(errno));
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    const int error = errno;
    close(fd_);
    throw std::runtime_error(relative_ + ": " + errnoReason(error));
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd_);
    throw std::runtime_error(relative_ + ": no longer a regular file");
  }
  identity_ = identityOf(st);
  if (!(identity_ == entry.identity)) {
    close(fd_);
    throw std::runtime_error(relative_ + ": file changed while being packed");
  }
}

SourceFile::~SourceFile() {
  if (fd_ >= 0) close(fd_);
}

void SourceFile::read(uint64_t offset, uint8_t* to, size_t n) {
  while (n > 0) {
    ssize_t got = pread(fd_, to, n, (off_t)offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw std::runtime_error(relative_ + ": " + errnoReason(errno));
    if (got == 0) throw std::runtime_error(relative_ + ": file changed while being packed (it shrank)");
    to += got;
    offset += (uint64_t)got;
    n -= (size_t)got;
  }
}

void SourceFile::checkUnchanged() const {
  struct stat st;
  if (fstat(fd_, &st) != 0) throw std::runtime_error(relative_ + ": " + errnoReason(errno));
  if (!(identityOf(st) == identity_)) throw std::runtime_error(relative_ + ": file changed while being packed");
}

}  // namespace jov
