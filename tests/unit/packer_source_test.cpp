// Walking source folders: names, code pages, order, attributes and times.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <tuple>

#include "archive/names.h"
#include "format.h"
#include "packer/pack_order.h"
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

std::string failure(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

// The name rule that the installer, `jov` and the packer share; the packer asks it per component.
const struct {
  NameVerdict verdict;
  std::vector<std::string> names;
} NAME_CASES[] = {
    // Code-page letters; an acute accent is no superscript; Windows keeps
    // leading spaces.
    {NAME_OK, {"a", "a\\b.c\\.hidden", "fine\x80\xff.txt", "CONSOLE", "lpt", "com0", "COM10", "LPT\xb4", " CON",
               "con-x.txt"}},
    {NAME_EMPTY_COMPONENT, {"", "\\rooted", "/rooted", "a\\\\b", "trailing\\"}},
    {NAME_BAD_CHARACTER, {std::string("a\0b", 3), "C:\\drive", "x:stream", "tab\there", "what?", "q\"", "a|b<c>*"}},
    {NAME_TRAILING_DOT, {"..", "a\\..\\..\\up", "../up", "a\\.\\b", "dots...", "space ", "."}},
    // Spaces before the extension are dropped; code page 1252 superscripts
    // one, two and three are port digits too.
    {NAME_DEVICE, {"CON", "auX.h", "nul.tar.gz", "sub\\lpt1", "conout$.log", "CONIN$", "CON .txt", "nul .log",
                   "COM1  .x", "docs\\prn   .doc", "COM\xb9", "lpt\xb2.txt", "Com\xb3 .a"}},
};

TEST(NameRule, TableOfNamesAndVerdicts) {
  for (const auto& group : NAME_CASES)
    for (const std::string& name : group.names) {
      std::vector<uint8_t> exact(name.begin(), name.end());  // a read past its end shows under ASan
      EXPECT_EQ(checkEntryName(exact.data(), (uint32_t)exact.size()), group.verdict) << name;
      const bool component = name.find_first_of("\\/") == std::string::npos;
      EXPECT_EQ(jov::invalidComponentReason(name).empty(), component && group.verdict == NAME_OK) << name;
    }
  // Short (8.3) forms, which `jov` reports: "~" and digits closing a base of at most 8 characters, then at
  // most one dot and 1 to 3 characters.
  for (const auto& [name, form] : {std::pair{"LONG~1", true}, {"PROGR~12.TXT", true}, {"ab~9.c", true},
                                   {"LONGNAME~1", false}, {"LONG~1.TEXT", false}, {"LONG~1.", false}, {"~1", false},
                                   {"LONG~", false}, {"a~1.b.c", false}, {"LONG~1..x", false}, {"LONG~1X", false}})
    EXPECT_EQ(looksLikeShortName((const uint8_t*)name, (uint32_t)strlen(name)), form) << name;
}

TEST(SourceNames, CodePagesCompositionAndPatterns) {
  // Conversions themselves show in the trees below and in the round trips.
  EXPECT_THROW(toCodePage("a", 99999), std::runtime_error);
  // EBCDIC would change what the installer sees as separators.
  EXPECT_NE(failure([] { toCodePage("a", 500); }).find("does not keep ASCII"), std::string::npos);

  const std::pair<const char*, std::optional<std::string>> composed[] = {
      {"cafe\xcc\x81", "caf\xc3\xa9"},                         // e + acute
      {"A\xcc\x8a" "ngstr\xc3\xb6m", "\xc3\x85ngstr\xc3\xb6m"},  // A + ring; composed o-umlaut kept
      {"U\xcc\x88\xcc\x84", "\xc7\x95"},                       // U + diaeresis + macron, in two steps
      {"\xd0\xb8\xcc\x86", "\xd0\xb9"},                        // Cyrillic i + breve
      // Kept: no composed form, a mark that stays blocks the next, a four-byte form.
      {"x\xcc\x81", "x\xcc\x81"}, {"a\xcc\xa3\xcc\x81", "a\xcc\xa3\xcc\x81"}, {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"\xef\xbc\xa1", "\xef\xbc\xa1"},  // fullwidth A: a three-byte form with the last lead byte
      {"\xed\x9f\xbf\xee\x80\x80", "\xed\x9f\xbf\xee\x80\x80"},  // U+D7FF and U+E000, either side of the surrogates
      // Not UTF-8: Latin-1, an overlong "/", the first and last surrogate, cut short.
      {"caf\xe9", std::nullopt}, {"\xc0\xaf", std::nullopt}, {"\xed\xa0\x80", std::nullopt},
      {"\xed\xbf\xbf", std::nullopt}, {"ab\xe2\x82", std::nullopt},
  };
  for (const auto& [in, out] : composed) EXPECT_EQ(composeUtf8(in), out) << escapeBytes(in);
  EXPECT_EQ(escapeBytes("caf\xe9\\\n"), "caf\\xE9\\x5C\\x0A");
  for (const char* bad : {"", "[ab", "a\\", "x[!]", "./", "/"}) EXPECT_NE(patternProblem(bad), "") << bad;
  for (const char* good : {"*.txt", "[]]x", "a\\*", "[!a]*", "docs/*"}) EXPECT_EQ(patternProblem(good), "") << good;
}

TEST(SourceTree, SortedWithAttributesLinksAndExcludes) {
  setenv("TZ", "UTC", 1);
  tzset();
  TempDir dir;
  const fs::path root = dir.path() / "src";
  for (const char* n : {"b.txt", "a/z.txt", "a/sub/y.hid", "a/old.bak", "build/x.o", "ro.txt"}) touch(root / n);
  chmod((root / "ro.txt").c_str(), 0444);
  fs::create_directories(root / "empty");
  touch(dir.path() / "outside.txt");
  fs::create_symlink("a/z.txt", root / "inner");
  fs::create_symlink(dir.path() / "outside.txt", root / "outer");
  // The last second of 1979 and the first of 2108: just outside the DOS range.
  const struct timespec old[2] = {{0, 0}, {315532799, 0}}, late[2] = {{0, 0}, {4354819200LL, 0}};
  for (const char* n : {"b.txt", "a"}) ASSERT_EQ(utimensat(AT_FDCWD, (root / n).c_str(), old, 0), 0);
  ASSERT_EQ(utimensat(AT_FDCWD, (root / "ro.txt").c_str(), late, 0), 0);
  std::vector<std::string> warnings;
  ScanOptions o;
  o.dereference = true;
  o.excludePatterns = {"*.bak", "build/", "./empty", "/b.txt/"};  // the last for folders only: none
  o.hiddenPatterns = {"*.hid", "*.nothing"};
  o.systemPatterns = {"b.*"};
  o.warn = [&](const std::string& s) { warnings.push_back(s); };
  std::vector<SourceEntry> e = scanSourceTree(root, o);
  std::vector<std::pair<std::string, int>> got;
  for (const SourceEntry& s : e) got.push_back({s.info.name, s.info.attributes});
  const int A = ATTR_ARCHIVE, D = ATTR_DIRECTORY;
  EXPECT_EQ(got, (std::vector<std::pair<std::string, int>>{{"a", D}, {"a\\sub", D}, {"a\\sub\\y.hid", A | ATTR_HIDDEN},
                                                           {"a\\z.txt", A}, {"b.txt", A | ATTR_SYSTEM},
                                                           {"inner", A}, {"outer", A}, {"ro.txt", A | ATTR_READONLY}}));
  const auto written = [&](size_t i) { return std::make_pair(e[i].info.writeDate, e[i].info.writeTime); };
  EXPECT_EQ(written(4), std::make_pair(makeDosDate(1980, 1, 1), (uint16_t)0));
  EXPECT_EQ(written(7), std::make_pair(makeDosDate(2107, 12, 31), makeDosTime(23, 59, 58)));
  auto warned = [&](const std::string& w) {
    return std::count_if(warnings.begin(), warnings.end(), [&](const std::string& s) { return s.find(w) != s.npos; });
  };
  // The folder "a" is as old, but folder times are not stored.
  for (const char* w : {"followed 2 symbolic links", "'*.nothing' matches nothing", "'/b.txt/' matches nothing",
                        "2 files have a last-write time outside"})
    EXPECT_EQ(warned(w), 1) << w;
  EXPECT_EQ(warnings.size(), 4u);
  o.sourceDateEpoch = 400000000;  // 1982: chosen times clamp silently
  o.verbose = true;               // and each link followed is named
  warnings.clear();
  e = scanSourceTree(root, o);
  EXPECT_EQ(e[3].info.writeDate >> 9, 1982 - 1980);
  EXPECT_EQ(warned("outside the DOS range"), 0);
  EXPECT_EQ(warned("inner -> ") + warned("outer -> "), 2);
}

// Folders first as scanned, then files by extension and path, except that a file follows the
// one most like it in content: two versions of a library meet across the tree.
TEST(SourceTree, PackingOrderChainsLikeFiles) {
  TempDir dir;
  const fs::path root = dir.path() / "src";
  std::mt19937 rng(5);
  std::string lib(200000, 0), other(200000, 0);
  for (char& c : lib) c = (char)rng();
  for (char& c : other) c = (char)rng();
  std::string version2 = lib;
  for (size_t i = 0; i < version2.size(); i += 5000) version2[i] ^= 1;
  touch(root / "a/lib.dll", lib);
  touch(root / "a/sub/e.txt", "e");
  touch(root / "b.dll", other);
  touch(root / "c.txt", "c");
  touch(root / "d.dll", "d");
  touch(root / "z/lib.dll", version2);
  ScanOptions o;
  o.warn = [](const std::string&) {};
  std::vector<SourceEntry> e = scanSourceTree(root, o);
  orderForPacking(e);
  std::vector<std::string> got;
  for (const SourceEntry& s : e) got.push_back(s.info.name);
  EXPECT_EQ(got, (std::vector<std::string>{"a", "a\\sub", "z", "a\\lib.dll", "z\\lib.dll", "b.dll", "d.dll",
                                           "a\\sub\\e.txt", "c.txt"}));
}

// Every problem of a tree in one round, each naming what is in the way.
TEST(SourceTree, ReportsEveryProblemInOnePass) {
  TempDir dir;
  const fs::path root = dir.path() / "src";
  // Capital and small A with grave, last in the name; composed and decomposed e with acute (one name on Windows);
  // COM with superscript one (0xB9 in code page 1252); a character without a code page 1252 form.
  for (const char* n : {"docs/Readme.txt", "docs/README.txt", "x\xc3\x80", "x\xc3\xa0", "caf\xc3\xa9.txt",
                        "cafe\xcc\x81.txt", "sub/nul.txt", "bad\xff.txt", "COM\xc2\xb9", "\xe6\x97\xa5.txt"})
    touch(root / n);
  touch(root / "d" / std::string(maxNameLength() - 1, 'n'));  // with "d\": one character too many
  touch(root / "e" / std::string(maxNameLength() - 2, 'n'));
  const std::string deep(maxNameLength() + 1, 'f');  // too long itself: its contents are not reported again
  touch(root / deep / "x" / "y");
  touch(root / "trail ");
  touch(root / "q|x");
  touch(dir.path() / "outside.txt");
  fs::create_symlink(dir.path() / "outside.txt", root / "link");
  ASSERT_EQ(mkfifo((root / "pipe").c_str(), 0600), 0);
  std::vector<std::string> problems;
  try {
    scanSourceTree(root, ScanOptions());
  } catch (const SourceProblems& e) {
    problems = e.problems();
  }
  const std::vector<std::vector<std::string>> expected = {
      {"docs/Readme.txt", "docs/README.txt", "only in case"}, {"x\xc3\x80", "x\xc3\xa0", "only in case"},
      {"caf\xc3\xa9.txt", "cafe\xcc\x81.txt", "composition"}, {"sub/nul.txt", "reserved device"},
      {"bad\\xFF.txt", "not valid UTF-8"}, {"COM\xc2\xb9", "reserved device name"},
      {"\xe6\x97\xa5.txt", "code page"}, {"d/n", "characters long"}, {deep, "characters long"},
      {"pipe", "not a regular file"}, {"link", "outside the source folder", "--dereference"},
      {"\"trail \" ends in a space"}, {"the character '|'"}};
  ASSERT_EQ(problems.size(), expected.size());
  for (const auto& words : expected)
    EXPECT_TRUE(std::any_of(problems.begin(), problems.end(), [&](const std::string& p) {
      return std::all_of(words.begin(), words.end(), [&](const std::string& w) { return p.find(w) != p.npos; });
    })) << words[0];
  // In code page 932 some second bytes are ASCII: "\" would split the name, "|" is refused.
  ScanOptions sjis;
  sjis.codepage = 932;
  const std::pair<const char*, const char*> cases[] = {
      {"\xe3\x82\xbd.txt", "separator"}, {"\xe3\x83\x9d.txt", "installer refuses"}, {"\xe6\x97\xa5.txt", nullptr}};
  for (const auto& [name, problem] : cases) {
    TempDir one;
    touch(one.path() / name);
    std::string error = failure([&] { scanSourceTree(one.path(), sjis); });
    // One problem: its text alone, without an "(and N more)".
    EXPECT_TRUE(problem ? error.find(problem) != error.npos && error.find(" more)") == error.npos : error.empty())
        << name << ": " << error;
  }
  // A case pair of any script its code page writes is one name on Windows: š/Š, œ/Œ, ÿ/Ÿ in 1252,
  // а/А in 1251, ł/Ł in 1250, α/Α in 1253.
  for (const auto& [page, small, capital] :
       {std::tuple{1252, "\xc5\xa1", "\xc5\xa0"}, {1252, "\xc5\x93", "\xc5\x92"}, {1252, "\xc3\xbf", "\xc5\xb8"},
        {1251, "\xd0\xb0", "\xd0\x90"}, {1250, "\xc5\x82", "\xc5\x81"}, {1253, "\xce\xb1", "\xce\x91"}}) {
    TempDir one;
    touch(one.path() / (std::string("x") + small));
    touch(one.path() / (std::string("x") + capital));
    ScanOptions options;
    options.codepage = page;
    EXPECT_NE(failure([&] { scanSourceTree(one.path(), options); }).find("only in case"), std::string::npos) << capital;
  }
}

// A file opened for packing is the one the scan saw and stays so.
TEST(SourceFile, RefusesSwapsAndChanges) {
  TempDir dir;
  const fs::path root = dir.path() / "src";
  // Old times, so that a rewrite in the same clock tick still moves them.
  const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  for (const char* n : {"a.txt", "b.txt", "c.txt"}) touch(root / n, "abcdef");
  for (const char* n : {"a.txt", "b.txt", "c.txt"}) ASSERT_EQ(utimensat(AT_FDCWD, (root / n).c_str(), old, 0), 0);
  std::vector<SourceEntry> e = scanSourceTree(root, ScanOptions());
  ASSERT_EQ(e.size(), 3u);
  // A FIFO put in a file's place: opening does not wait for a writer.
  fs::remove(root / "a.txt");
  ASSERT_EQ(mkfifo((root / "a.txt").c_str(), 0600), 0);
  EXPECT_NE(failure([&] { SourceFile f(e[0]); }).find("a.txt: no longer a regular file"), std::string::npos);
  touch(root / "b.txt", "ABCDEF");  // same size, new content before it is opened ...
  EXPECT_NE(failure([&] { SourceFile f(e[1]); }).find("b.txt: file changed"), std::string::npos);
  SourceFile c(e[2]);  // ... and while it is read
  uint8_t bytes[6];
  c.read(0, bytes, sizeof bytes);
  EXPECT_EQ(std::string((char*)bytes, 6), "abcdef");
  EXPECT_EQ(failure([&] { c.checkUnchanged(); }), "");
  EXPECT_NE(failure([&] { c.read(4, bytes, 3); }).find("shrank"), std::string::npos);
  touch(root / "c.txt", "abcdeF");
  EXPECT_NE(failure([&] { c.checkUnchanged(); }).find("c.txt: file changed"), std::string::npos);
}

}  // namespace
