// The installer's command line, as the system hands it over.
#include <gtest/gtest.h>

#include <string>

#include "shell/arguments.h"

namespace {

TEST(InstallerArguments, SwitchesAndTheFolderThatTakesTheRestOfTheLine) {
  const int SILENT = ARGUMENT_SILENT, FOLDER = ARGUMENT_FOLDER;
  const std::string fits(258, 'f'), tooLong = "C:\\" + std::string(297, 'g');
  const struct {
    std::string line;
    int found;
    std::string folder;  // when FOLDER is found
  } cases[] = {
      {"Setup.exe", 0, ""},
      {"\"C:\\My /S Setups\\Setup.exe\" /D=x", FOLDER, "x"},
      {"C:\\/S\\Setup.exe /Sx /silent -S /D", 0, ""},
      {"Setup.exe\t/s /d=C:\\Other Place\\  ", SILENT | FOLDER, "C:\\Other Place\\"},
      {"Setup.exe /D=C:\\x /S", FOLDER, "C:\\x /S"},
      // Quoted as PowerShell and scripts quote an argument with spaces; "/S" last.
      {"Setup.exe \"/D=C:\\Other Place\"", FOLDER, "C:\\Other Place"},
      {"Setup.exe /D=\"C:\\a b\" \"/S\"", FOLDER, "C:\\a b /S"},
      {"Setup.exe \"/S\" /D=  ", SILENT, ""},
      // The installer's buffer holds 260 characters and takes at most 259: a
      // longer folder comes back with 260, so that it is still refused.
      {"Setup.exe /D=" + fits + "  ", FOLDER, fits},
      {"Setup.exe /D=" + tooLong, FOLDER, tooLong.substr(0, 260)},
  };
  for (const auto& c : cases) {
    char folder[262] = "unchanged";
    folder[261] = '#';
    int found = readArguments(c.line.c_str(), folder, 261);
    EXPECT_EQ(found, c.found) << c.line;
    if (found & FOLDER) {
      EXPECT_EQ(folder, c.folder) << c.line;
    }
    EXPECT_EQ(folder[261], '#') << "written past the buffer";
  }
}

}  // namespace
