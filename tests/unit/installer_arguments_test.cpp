// The installer's command line, as the system hands it over.
#include <gtest/gtest.h>

#include <string>

#include "shell/arguments.h"

namespace {

const int SILENT = ARGUMENT_SILENT, FOLDER = ARGUMENT_FOLDER;

TEST(InstallerArguments, SwitchesAndTheFolderThatTakesTheRestOfTheLine) {
  const struct {
    std::string line;
    int found;
    std::string folder;  // when FOLDER is found
  } cases[] = {
      {"Setup.exe", 0, ""},
      {"\"C:\\My /S Setups\\Setup.exe\" /S", SILENT, ""},
      {"C:\\/S\\Setup.exe /Sx /silent -S", 0, ""},
      {"Setup.exe\t/s /d=C:\\Other Place\\  ", SILENT | FOLDER, "C:\\Other Place\\"},
      {"Setup.exe /D=C:\\x /S", FOLDER, "C:\\x /S"},
      // Quoted as PowerShell and scripts quote an argument with spaces; "/S" last.
      {"Setup.exe \"/D=C:\\Other Place\"", FOLDER, "C:\\Other Place"},
      {"Setup.exe /D=\"C:\\a b\" \"/S\"", FOLDER, "C:\\a b /S"},
      {"Setup.exe \"/S\" /D=  ", SILENT, ""},
      {"Setup.exe /D", 0, ""},
  };
  for (const auto& c : cases) {
    char folder[16] = "unchanged";
    int found = readArguments(c.line.c_str(), folder, sizeof folder);
    EXPECT_EQ(found, c.found) << c.line;
    if (found & FOLDER) {
      EXPECT_EQ(folder, c.folder) << c.line;
    }
  }
}

// The installer's buffer holds 260 characters and takes at most 259: a
// longer folder comes back with 260, so that it is still refused. Nothing is
// written past the buffer.
TEST(InstallerArguments, AFolderTooLongStaysTooLong) {
  const std::string folder258(258, 'f'), long300 = "C:\\" + std::string(297, 'g');
  for (const auto& [rest, expected] : {std::pair{folder258 + "  ", folder258}, {long300, long300.substr(0, 260)}}) {
    char folder[262];
    folder[261] = '#';
    ASSERT_EQ(readArguments(("Setup.exe /S /D=" + rest).c_str(), folder, 261), SILENT | FOLDER);
    EXPECT_EQ(std::string(folder), expected);
    EXPECT_EQ(folder[261], '#');
  }
}

}  // namespace
