// Walking source folders: names, order, attributes and times.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "format.h"
#include "packer/source_tree.h"
#include "platform/platform.h"
#include "temp_dir.h"

using namespace jov;
namespace fs = std::filesystem;

namespace {

void touch(const fs::path& p, const std::string& content = "x") {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << content;
}

std::string scanError(const fs::path& root, int codepage = 1252) {
  ScanOptions options;
  options.codepage = codepage;
  try {
    scanSourceTree(root, options);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(SourceNames, WindowsRulesAndReservedDevices) {
  for (const char* bad : {"CON", "con.txt", "Nul", "aux.tar.gz", "LPT1", "com9.log", "a:b", "a|b", "q?", "x.", "x ",
                          "..", ".", "tab\there", "conin$", "CONOUT$.log", "CON .txt", "nul .log", "COM1 .x",
                          "a\\b"})
    EXPECT_NE(invalidComponentReason(bad), "") << bad;
  for (const char* good : {"CONFIG", "COM10", "lpt", "normal.txt", ".hidden", "a b.c"})
    EXPECT_EQ(invalidComponentReason(good), "") << good;
}

TEST(SourceNames, CodePageConversion) {
  EXPECT_EQ(toCodePage("caf\xc3\xa9", 1252), std::optional<std::string>("caf\xe9"));
  EXPECT_EQ(toCodePage("\xe2\x82\xac", 1252), std::optional<std::string>("\x80"));  // euro sign
  EXPECT_EQ(toCodePage("\xe6\x97\xa5", 1252), std::nullopt);                       // a CJK character
  EXPECT_EQ(toCodePage("\xd0\x96", 1251), std::optional<std::string>("\xc6"));      // Cyrillic Zhe
  EXPECT_THROW(toCodePage("a", 99999), std::runtime_error);
  // Pages that do not write ASCII as single ASCII bytes would change what
  // the installer sees as separators and forbidden characters.
  try {
    toCodePage("a", 500);  // EBCDIC
    ADD_FAILURE() << "code page 500 accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("does not keep ASCII"), std::string::npos) << e.what();
  }
}

TEST(SourceNames, DosTimesClampToTheirRange) {
  setenv("TZ", "UTC", 1);
  tzset();
  uint16_t date, time;
  bool clamped;
  toDosTime(1589723122, &date, &time, &clamped);  // 2020-05-17 13:45:22 UTC
  EXPECT_FALSE(clamped);
  EXPECT_EQ(date, makeDosDate(2020, 5, 17));
  EXPECT_EQ(time, makeDosTime(13, 45, 22));
  toDosTime(0, &date, &time, &clamped);
  EXPECT_TRUE(clamped);
  EXPECT_EQ(date, makeDosDate(1980, 1, 1));
  toDosTime(4398046511104LL, &date, &time, &clamped);
  EXPECT_TRUE(clamped);
  EXPECT_EQ(date, makeDosDate(2107, 12, 31));
}

TEST(SourceTree, FoldersComeFirstAndEverythingIsSorted) {
  TempDir dir;
  fs::path root = dir.path() / "src";
  touch(root / "b.txt");
  touch(root / "a" / "z.txt");
  touch(root / "a" / "sub" / "y.hid");
  fs::create_directories(root / "empty");
  touch(root / "ro.txt");
  chmod((root / "ro.txt").c_str(), 0444);
  ScanOptions o;
  o.hiddenPatterns = {"*.hid"};
  o.systemPatterns = {"b.*"};
  o.sourceDateEpoch = 400000000;  // 1982: earlier than the files' times
  std::vector<SourceEntry> e = scanSourceTree(root, o);
  std::vector<std::string> names;
  for (const SourceEntry& s : e) names.push_back(s.info.name);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "a\\sub", "a\\sub\\y.hid", "a\\z.txt", "b.txt", "empty", "ro.txt"}));
  EXPECT_TRUE(e[0].info.folder);
  EXPECT_EQ(e[2].info.attributes & ATTR_HIDDEN, ATTR_HIDDEN);
  EXPECT_EQ(e[4].info.attributes & ATTR_SYSTEM, ATTR_SYSTEM);
  EXPECT_EQ(e[6].info.attributes & ATTR_READONLY, ATTR_READONLY);
  EXPECT_EQ(e[3].info.attributes & (ATTR_READONLY | ATTR_HIDDEN | ATTR_SYSTEM), 0);
  EXPECT_EQ(e[3].info.writeDate >> 9, 1982 - 1980);
}

TEST(SourceTree, RefusesNamesWindowsCannotHold) {
  TempDir dir;
  touch(dir.path() / "case" / "Readme.txt");
  touch(dir.path() / "case" / "README.txt");
  EXPECT_NE(scanError(dir.path() / "case").find("only in case"), std::string::npos);
  touch(dir.path() / "device" / "sub" / "nul.txt");
  EXPECT_NE(scanError(dir.path() / "device").find("sub/nul.txt"), std::string::npos);
  std::string longName(maxNameLength() - 1, 'n');  // with "d\" in front: one character too many
  touch(dir.path() / "long" / "d" / longName);
  EXPECT_NE(scanError(dir.path() / "long").find("characters long"), std::string::npos);
  touch(dir.path() / "fits" / "d" / std::string(maxNameLength() - 2, 'n'));
  EXPECT_EQ(scanError(dir.path() / "fits"), "");
  touch(dir.path() / "cjk" / "\xe6\x97\xa5.txt");
  EXPECT_NE(scanError(dir.path() / "cjk").find("code page"), std::string::npos);
  // In code page 932 the second bytes of some characters are ASCII: "\"
  // would split the name, "|" would make the installer refuse it.
  touch(dir.path() / "sjis" / "\xe3\x82\xbd.txt");  // KATAKANA SO: 0x83 0x5C
  EXPECT_NE(scanError(dir.path() / "sjis", 932).find("separator"), std::string::npos);
  fs::remove_all(dir.path() / "sjis");
  touch(dir.path() / "sjis" / "\xe3\x83\x9d.txt");  // KATAKANA PO: 0x83 0x7C
  EXPECT_NE(scanError(dir.path() / "sjis", 932).find("installer refuses"), std::string::npos);
  fs::remove_all(dir.path() / "sjis");
  touch(dir.path() / "super" / "COM\xc2\xb9");  // COM with superscript one: 0xB9 in code page 1252
  EXPECT_NE(scanError(dir.path() / "super").find("reserved device name"), std::string::npos);
  touch(dir.path() / "sjis" / "\xe6\x97\xa5.txt");  // a CJK character that is fine
  EXPECT_EQ(scanError(dir.path() / "sjis", 932), "");
}

TEST(SourceNames, DecomposedNamesAreComposedAndBadUtf8Refused) {
  struct Case {
    const char* in;
    std::optional<std::string> out;
  } cases[] = {
      {"caf" "e\xcc\x81", "caf\xc3\xa9"},                  // e + acute: U+00E9
      {"A\xcc\x8a" "ngstr\xc3\xb6m", "\xc3\x85ngstr\xc3\xb6m"},  // A + ring, composed o-umlaut kept
      {"U\xcc\x88\xcc\x84", "\xc7\x95"},                 // U + diaeresis + macron: U+01D5, in two steps
      {"\xce\xb9\xcc\x88\xcc\x81", "\xce\x90"},          // Greek iota + dialytika + tonos: U+0390
      {"\xd0\xb8\xcc\x86", "\xd0\xb9"},                  // Cyrillic i + breve: U+0439
      {"x\xcc\x81", "x\xcc\x81"},                        // no composed form: left as it is
      {"a\xcc\xa3\xcc\x81", "a\xcc\xa3\xcc\x81"},        // a mark that stays blocks the next
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},          // four-byte form passes
      {"caf\xe9", std::nullopt},                         // Latin-1, not UTF-8
      {"\xc0\xaf", std::nullopt},                        // overlong "/"
      {"\xed\xa0\x80", std::nullopt},                    // surrogate
      {"ab\xe2\x82", std::nullopt},                      // cut short
  };
  for (const Case& c : cases) EXPECT_EQ(composeUtf8(c.in), c.out) << escapeBytes(c.in);
  EXPECT_EQ(escapeBytes("caf\xe9\\\n"), "caf\\xE9\\x5C\\x0A");
}

// Every problem of a tree in one round, each naming what is in the way.
TEST(SourceTree, ReportsEveryProblemInOnePass) {
  TempDir dir;
  const fs::path root = dir.path() / "src";
  touch(root / "docs" / "Readme.txt");
  touch(root / "docs" / "README.txt");
  touch(root / "caf\xc3\xa9.txt");   // composed ...
  touch(root / "cafe\xcc\x81.txt");  // ... and decomposed: one name on Windows
  touch(root / "sub" / "nul.txt");
  touch(root / "bad\xff.txt");
  touch(dir.path() / "outside.txt");
  fs::create_directories(root / "deep");
  fs::create_symlink(dir.path() / "outside.txt", root / "deep" / "link");
  ASSERT_EQ(mkfifo((root / "pipe").c_str(), 0600), 0);
  std::vector<std::string> problems;
  try {
    scanSourceTree(root, ScanOptions());
  } catch (const SourceProblems& e) {
    problems = e.problems();
  }
  const std::vector<std::vector<std::string>> expected = {
      {"docs/Readme.txt", "docs/README.txt", "only in case"},
      {"caf\xc3\xa9.txt", "cafe\xcc\x81.txt", "composition"},
      {"sub/nul.txt", "reserved device"},
      {"bad\\xFF.txt", "not valid UTF-8"},
      {"deep/link", "outside the source folder", "--dereference"},
      {"pipe", "not a regular file"},
  };
  ASSERT_EQ(problems.size(), expected.size());
  for (const auto& words : expected) {
    bool found = false;
    for (const std::string& p : problems) {
      bool all = true;
      for (const std::string& w : words) all = all && p.find(w) != std::string::npos;
      found = found || all;
    }
    EXPECT_TRUE(found) << words[0];
  }
}

TEST(SourceTree, LinksExcludesPatternsAndTimeSummary) {
  setenv("TZ", "UTC", 1);
  tzset();
  TempDir dir;
  const fs::path root = dir.path() / "src";
  touch(root / "keep.txt");
  touch(root / "a" / "b" / "old.bak");
  touch(root / "build" / "x.o");
  touch(root / "old1.txt");
  touch(root / "old2.txt");
  touch(dir.path() / "outside.txt");
  fs::create_symlink("keep.txt", root / "inner");
  fs::create_symlink(dir.path() / "outside.txt", root / "outer");
  const struct timespec times[2] = {{0, 0}, {100, 0}};  // 1970: before the DOS range
  for (const char* n : {"old1.txt", "old2.txt", "a"}) ASSERT_EQ(utimensat(AT_FDCWD, (root / n).c_str(), times, 0), 0);
  std::vector<std::string> warnings;
  ScanOptions o;
  o.dereference = true;
  o.excludePatterns = {"*.bak", "build"};
  o.hiddenPatterns = {"*.txt", "*.nothing"};
  o.warn = [&](const std::string& s) { warnings.push_back(s); };
  std::vector<std::string> names;
  for (const SourceEntry& e : scanSourceTree(root, o)) names.push_back(e.relative);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "a/b", "inner", "keep.txt", "old1.txt", "old2.txt", "outer"}));
  auto warned = [&](const std::string& w) {
    return std::count_if(warnings.begin(), warnings.end(),
                         [&](const std::string& s) { return s.find(w) != std::string::npos; });
  };
  EXPECT_EQ(warned("inner: following the symbolic link"), 1);
  EXPECT_EQ(warned("outer: following the symbolic link"), 1);
  EXPECT_EQ(warned("'*.nothing' matches nothing"), 1);
  EXPECT_EQ(warned("'*.txt'"), 0);
  // The folder "a" is as old, but folder times are not stored.
  EXPECT_EQ(warned("2 files have a last-write time outside"), 1);
  EXPECT_EQ(warnings.size(), 4u);
  o.sourceDateEpoch = 0;  // chosen times: clamped silently
  warnings.clear();
  scanSourceTree(root, o);
  EXPECT_EQ(warned("outside the DOS range"), 0);

  for (const char* bad : {"", "[ab", "a\\", "x[!]"}) EXPECT_NE(patternProblem(bad), "") << bad;
  for (const char* good : {"*.txt", "[]]x", "a\\*", "[!a]*", "docs/*"}) EXPECT_EQ(patternProblem(good), "") << good;
}

// A file opened for packing is the one the scan saw and stays so.
TEST(SourceFile, RefusesSwapsAndChanges) {
  TempDir dir;
  const fs::path root = dir.path() / "src";
  touch(root / "a.txt", "abcdef");
  touch(root / "b.txt", "abcdef");
  touch(root / "c.txt", "abcdef");
  // Old times, so that a rewrite in the same clock tick still moves them.
  const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  for (const char* n : {"a.txt", "b.txt", "c.txt"}) ASSERT_EQ(utimensat(AT_FDCWD, (root / n).c_str(), old, 0), 0);
  std::vector<SourceEntry> e = scanSourceTree(root, ScanOptions());
  ASSERT_EQ(e.size(), 3u);
  auto failure = [](const std::function<void()>& f) -> std::string {
    try {
      f();
    } catch (const std::runtime_error& x) {
      return x.what();
    }
    return "";
  };
  // A FIFO put in a file's place: opening does not wait for a writer.
  fs::remove(root / "a.txt");
  ASSERT_EQ(mkfifo((root / "a.txt").c_str(), 0600), 0);
  EXPECT_NE(failure([&] { SourceFile f(e[0]); }).find("a.txt: no longer a regular file"), std::string::npos);
  // Same size, new content before it is opened ...
  touch(root / "b.txt", "ABCDEF");
  EXPECT_NE(failure([&] { SourceFile f(e[1]); }).find("b.txt: file changed"), std::string::npos);
  // ... and while it is read.
  SourceFile c(e[2]);
  uint8_t bytes[6];
  c.read(0, bytes, sizeof bytes);
  EXPECT_EQ(std::string((char*)bytes, 6), "abcdef");
  EXPECT_EQ(failure([&] { c.checkUnchanged(); }), "");
  EXPECT_NE(failure([&] { c.read(4, bytes, 3); }).find("shrank"), std::string::npos);
  touch(root / "c.txt", "abcdeF");
  EXPECT_NE(failure([&] { c.checkUnchanged(); }).find("c.txt: file changed"), std::string::npos);
}
