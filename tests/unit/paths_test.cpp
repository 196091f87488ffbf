#include <gtest/gtest.h>

#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "archive/paths.h"
#include "install_state.h"
#include "temp_dir.h"

namespace {

// Runs `op` on a copy of `s`; checks that the returned end is the terminator.
std::string edited(std::string s, char* (*op)(char*)) {
  char buffer[300];
  strcpy(buffer, s.c_str());
  char* end = op(buffer);
  EXPECT_EQ(end - buffer, (long)strlen(buffer)) << s;
  return buffer;
}

TEST(Paths, SeparatorsNamePartAndBytePrimitives) {
  const struct {
    const char *in, *stripped, *appended, *name;
  } cases[] = {{"D:\\Apps\\\\", "D:\\Apps", "D:\\Apps\\\\", ""}, {"D:\\\\", "D:\\", "D:\\\\", ""},
               {"\\\\", "\\", "\\\\", ""},  {"D:\\Apps\\a.exe", "D:\\Apps\\a.exe", "D:\\Apps\\a.exe\\", "a.exe"},
               {"D:a.exe", "D:a.exe", "D:a.exe\\", "a.exe"}, {"a.exe", "a.exe", "a.exe\\", "a.exe"},
               {"D:", "D:", "D:", ""}, {"", "", "", ""}};
  for (const auto& c : cases) {
    EXPECT_EQ(edited(c.in, stripTrailingSeparators), c.stripped) << c.in;
    EXPECT_EQ(edited(c.in, appendSeparator), c.appended) << c.in;
    std::string copy = c.in;
    EXPECT_STREQ(fileNamePart(copy.data()), c.name) << c.in;
  }
  const char text[] = "a\\b\\c";
  EXPECT_EQ(lastIndexOfByte(text, '\\'), text + 3);
  EXPECT_EQ(lastIndexOfByte(text, 0), text + 5);
  EXPECT_EQ(lastIndexOfByte(text, 'x'), nullptr);
  EXPECT_EQ(findByte(text, 'b', 2), nullptr);
  EXPECT_EQ(findByte(text, 'b', 3), text + 2);
  EXPECT_EQ(findByte(text, 0, UNBOUNDED), text + 5);
  const uint8_t signature[6] = {'J', 'O', 'V', 'D', 'E', 0};
  EXPECT_EQ(compareBytes(signature, "x", 0), 0);
  for (int i = 0; i < 6; ++i) {
    uint8_t other[6];
    memcpy(other, signature, 6);
    EXPECT_EQ(compareBytes(signature, other, 6), 0);
    other[i] = 0x80;  // above every byte of the signature, as unsigned
    EXPECT_EQ(compareBytes(signature, other, 6), -1) << i;
    EXPECT_EQ(compareBytes(other, signature, 6), 1) << i;
  }
}

TEST(CreateFolderPath, LevelsInOrderBelowAFileAndThePathLimit) {
  TempDir dir;
  ASSERT_EQ(createFolderPath(dir.corePath("A\\B\\F\\\\").c_str()), 1);
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "A/B/F"));
  // An existing folder, and an existing file, both count as present.
  EXPECT_EQ(createFolderPath(dir.corePath("A\\B").c_str()), 1);
  std::ofstream(dir.path() / "A/file").put('x');
  EXPECT_EQ(createFolderPath(dir.corePath("A\\file").c_str()), 1);
  EXPECT_EQ(createFolderPath(""), 1);
  lastSystemError = 0;
  EXPECT_EQ(createFolderPath(dir.corePath("A\\file\\sub\\deeper").c_str()), 0);
  EXPECT_EQ(lastSystemError, 3u);  // ENOTDIR: path not found

  // 259 characters fit (Linux takes at most 255 bytes per name: split), 260 do not.
  std::string base = dir.corePath() + "\\";
  std::string longest = base + std::string(PATH_MAX_CHARS - base.size(), 'y');
  longest[base.size() + 100] = '\\';
  EXPECT_EQ(createFolderPath(longest.c_str()), 1);
  std::string tooLong = longest + "z";
  tooLong[base.size() + 100] = 'y';
  EXPECT_EQ(createFolderPath(tooLong.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / tooLong.substr(base.size())));
}

}  // namespace
