// Walking source folders: names, order, attributes and times.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <fstream>

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
