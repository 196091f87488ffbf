#include "packer/source_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <iconv.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "archive/names.h"
#include "format.h"
#include "platform/platform.h"

namespace jov {

namespace fs = std::filesystem;

const char* const TYPICAL_INSTALL_FOLDER = "C:\\Program Files\\Tovrel";

uint32_t maxNameLength() { return PATH_MAX_CHARS - (uint32_t)strlen(TYPICAL_INSTALL_FOLDER) - 1; }

CodePageConverter::CodePageConverter(int codepage) {
  iconv_t cd = iconv_open(("CP" + std::to_string(codepage)).c_str(), "UTF-8");
  if (cd == (iconv_t)-1) cd = iconv_open(("WINDOWS-" + std::to_string(codepage)).c_str(), "UTF-8");
  if (cd == (iconv_t)-1) throw std::runtime_error("unknown code page " + std::to_string(codepage));
  converter_ = cd;
  // The installer splits names at "\\" and checks them byte by byte as
  // ASCII, so only code pages that write ASCII as ASCII (one byte each) can
  // carry names; UTF-16 or EBCDIC pages would turn vetted names into others.
  std::string ascii;
  for (int c = 1; c < 128; ++c) ascii += (char)c;
  if (convert(ascii) != ascii) {
    iconv_close(cd);
    throw std::runtime_error("code page " + std::to_string(codepage) + " does not keep ASCII as it is");
  }
}

CodePageConverter::~CodePageConverter() { iconv_close((iconv_t)converter_); }

std::optional<std::string> CodePageConverter::convert(const std::string& utf8) {
  iconv_t cd = (iconv_t)converter_;
  std::string out(utf8.size() * 4 + 8, '\0');
  char* from = const_cast<char*>(utf8.data());
  size_t fromLeft = utf8.size();
  char* to = out.data();
  size_t toLeft = out.size();
  size_t r = iconv(cd, &from, &fromLeft, &to, &toLeft);
  bool ok = r != (size_t)-1 && fromLeft == 0 && iconv(cd, nullptr, nullptr, &to, &toLeft) != (size_t)-1;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a failed call leaves no state for the next name
  // iconv counts irreversible conversions in r; any of them means the name
  // would not come back as it is.
  if (!ok || r != 0) return std::nullopt;
  out.resize(out.size() - toLeft);
  return out;
}

std::optional<std::string> toCodePage(const std::string& utf8, int codepage) {
  return CodePageConverter(codepage).convert(utf8);
}

std::string invalidComponentReason(const std::string& c) {
  // The rule is the installer's; a UTF-8 name holds the same ASCII bytes as
  // its code-page form, which add() checks again once converted.
  if (c.find_first_of("\\/") != std::string::npos) return "\"\\\" and \"/\" separate names on Windows";
  NameVerdict verdict = checkNameComponent((const uint8_t*)c.data(), (uint32_t)c.size());
  if (verdict == NAME_OK) return "";
  if (verdict == NAME_DEVICE) return "\"" + c + "\" is " + nameVerdictText(verdict);
  return nameVerdictText(verdict);
}

void toDosTime(int64_t seconds, uint16_t* date, uint16_t* time, bool* clamped) {
  *clamped = false;
  time_t t = (time_t)seconds;
  struct tm local;
  if (!localtime_r(&t, &local)) {
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

// Case folding for collisions: Windows compares names without case. ASCII
// and the Latin-1 letters cover the default code page.
std::string foldCase(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = (unsigned char)utf8[i];
    if (c < 0x80) {
      out += (char)tolower(c);
    } else if (c == 0xC3 && i + 1 < utf8.size()) {
      unsigned char d = (unsigned char)utf8[i + 1];
      // U+00C0..U+00DE (but U+00D7) fold to U+00E0..U+00FE.
      if (d >= 0x80 && d <= 0x9E && d != 0x97) d += 0x20;
      out += (char)c;
      out += (char)d;
      ++i;
    } else {
      out += (char)c;
    }
  }
  return out;
}

struct Walker {
  const ScanOptions& options;
  CodePageConverter codePage;
  std::vector<SourceEntry> entries;
  std::set<std::string> folded;

  void warn(const std::string& s) const {
    if (options.warn) options.warn(s);
  }

  bool matches(const std::vector<std::string>& patterns, const std::string& relative) const {
    for (const std::string& p : patterns)
      if (fnmatch(p.c_str(), relative.c_str(), 0) == 0) return true;
    return false;
  }

  // Birth time where the file system records one.
  std::optional<int64_t> birthTime(const fs::path& p) const {
#ifdef STATX_BTIME
    struct statx sx;
    if (statx(AT_FDCWD, p.c_str(), 0, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME))
      return (int64_t)sx.stx_btime.tv_sec;
#else
    (void)p;
#endif
    return std::nullopt;
  }

  void setTimes(SourceEntry& e, const struct stat& st) const {
    bool clamped = false, c2 = false;
    int64_t write = (int64_t)st.st_mtime;
    std::optional<int64_t> create = birthTime(e.path);
    if (options.sourceDateEpoch) {
      write = std::min(write, *options.sourceDateEpoch);
      if (create) create = std::min(*create, *options.sourceDateEpoch);
    }
    toDosTime(write, &e.info.writeDate, &e.info.writeTime, &clamped);
    if (create) toDosTime(*create, &e.info.createDate, &e.info.createTime, &c2);
    if (clamped || c2) warn(e.relative + ": time outside the DOS range 1980..2107, clamped");
  }

  // `storedParent` is the parent folder's stored name ("" at the top);
  // returns the entry's own, for its children.
  std::string add(const fs::path& path, const std::string& relative, const std::string& storedParent,
                  const std::string& leaf, bool folder, const struct stat& st) {
    SourceEntry e;
    e.relative = relative;
    e.path = path;
    std::string why = invalidComponentReason(leaf);
    if (!why.empty()) throw std::runtime_error(relative + ": " + why);
    std::optional<std::string> converted = codePage.convert(leaf);
    if (!converted)
      throw std::runtime_error(relative + ": name cannot be written in code page " + std::to_string(options.codepage));
    // A multi-byte code page may produce separator bytes inside a
    // character; the installer would split the name there.
    if (converted->find('\\') != std::string::npos || converted->find('/') != std::string::npos)
      throw std::runtime_error(relative + ": name holds a path separator byte in code page " +
                               std::to_string(options.codepage));
    // The installer checks names byte by byte, whatever the code page: a
    // double-byte character whose second byte is "|" would be refused there,
    // and so would "COM\xc2\xb9" (the superscript is 0xB9 in code page 1252).
    NameVerdict verdict = checkNameComponent((const uint8_t*)converted->data(), (uint32_t)converted->size());
    if (verdict != NAME_OK)
      throw std::runtime_error(relative + ": the installer refuses this name in code page " +
                               std::to_string(options.codepage) + ": " + nameVerdictText(verdict));
    std::string name = storedParent.empty() ? *converted : storedParent + '\\' + *converted;
    if (name.size() > maxNameLength())
      throw std::runtime_error(relative + ": name is " + std::to_string(name.size()) + " characters long; at most " +
                               std::to_string(maxNameLength()) + " fit behind an install folder such as \"" +
                               TYPICAL_INSTALL_FOLDER + "\"");
    if (!folded.insert(foldCase(relative)).second)
      throw std::runtime_error(relative + ": another name differs from it only in case, which Windows cannot keep apart");
    e.info.name = name;
    e.info.folder = folder;
    uint8_t attributes = folder ? ATTR_DIRECTORY : ATTR_ARCHIVE;
    if (!folder && !(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) attributes |= ATTR_READONLY;
    if (matches(options.hiddenPatterns, relative)) attributes |= ATTR_HIDDEN;
    if (matches(options.systemPatterns, relative)) attributes |= ATTR_SYSTEM;
    e.info.attributes = attributes;
    e.size = folder ? 0 : (uint64_t)st.st_size;
    if (!folder && e.size > 0xFFFFFFFFu) throw std::runtime_error(relative + ": file is larger than 4 GiB");
    setTimes(e, st);
    entries.push_back(std::move(e));
    return name;
  }

  void walk(const fs::path& folder, const std::string& prefix, const std::string& storedPrefix) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) throw std::runtime_error((prefix.empty() ? folder.string() : prefix) + ": " + ec.message());
    for (const fs::directory_entry& d : it) names.push_back(d.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
      fs::path p = folder / n;
      std::string relative = prefix.empty() ? n : prefix + "/" + n;
      struct stat lst, st;
      if (lstat(p.c_str(), &lst) != 0) throw std::runtime_error(relative + ": " + strerror(errno));
      if (S_ISLNK(lst.st_mode)) {
        if (stat(p.c_str(), &st) != 0) throw std::runtime_error(relative + ": broken symbolic link");
        if (S_ISDIR(st.st_mode))
          throw std::runtime_error(relative + ": symbolic link to a folder is not followed; copy the folder instead");
      } else {
        st = lst;
      }
      if (S_ISDIR(st.st_mode)) {
        walk(p, relative, add(p, relative, storedPrefix, n, true, st));
      } else if (S_ISREG(st.st_mode)) {
        add(p, relative, storedPrefix, n, false, st);
      } else {
        throw std::runtime_error(relative + ": not a regular file or folder");
      }
    }
  }
};

}  // namespace

std::vector<SourceEntry> scanSourceTree(const fs::path& root, const ScanOptions& options) {
  struct stat st;
  if (stat(root.c_str(), &st) != 0) throw std::runtime_error(root.string() + ": " + strerror(errno));
  if (!S_ISDIR(st.st_mode)) throw std::runtime_error(root.string() + ": not a folder");
  Walker w{options, CodePageConverter(options.codepage), {}, {}};  // a bad page fails even an empty tree
  w.walk(root, "", "");
  return std::move(w.entries);
}

}  // namespace jov
