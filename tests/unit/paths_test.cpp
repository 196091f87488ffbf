#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "archive/paths.h"
#include "install_state.h"
#include "temp_dir.h"

namespace {

std::string strip(std::string s) {
  char buffer[300];
  strcpy(buffer, s.c_str());
  char* end = stripTrailingSeparators(buffer);
  EXPECT_EQ(*end, 0);
  EXPECT_EQ(end - buffer, (long)strlen(buffer));
  return buffer;
}

std::string append(std::string s) {
  char buffer[300];
  strcpy(buffer, s.c_str());
  char* end = appendSeparator(buffer);
  EXPECT_EQ(end - buffer, (long)strlen(buffer));
  return buffer;
}

std::string namePart(std::string s) {
  char buffer[300];
  strcpy(buffer, s.c_str());
  return fileNamePart(buffer);
}

TEST(Paths, SeparatorsAtTheEnd) {
  EXPECT_EQ(strip("D:\\Apps\\Tovrel\\\\"), "D:\\Apps\\Tovrel");
  EXPECT_EQ(strip("D:\\"), "D:\\");
  EXPECT_EQ(strip("D:\\\\"), "D:\\");
  EXPECT_EQ(strip("\\"), "\\");
  EXPECT_EQ(strip("\\\\"), "\\");
  EXPECT_EQ(strip(""), "");
  EXPECT_EQ(append("D:\\Apps"), "D:\\Apps\\");
  EXPECT_EQ(append("D:\\Apps\\"), "D:\\Apps\\");
  EXPECT_EQ(append("D:"), "D:");
  EXPECT_EQ(append(""), "");
}

TEST(Paths, FileNamePart) {
  EXPECT_EQ(namePart("D:\\Apps\\setup.exe"), "setup.exe");
  EXPECT_EQ(namePart("D:setup.exe"), "setup.exe");
  EXPECT_EQ(namePart("setup.exe"), "setup.exe");
  EXPECT_EQ(namePart("D:\\"), "");
}

TEST(Paths, BytePrimitives) {
  const char text[] = "a\\b\\c";
  EXPECT_EQ(lastIndexOfByte(text, '\\'), text + 3);
  EXPECT_EQ(lastIndexOfByte(text, 0), text + 5);
  EXPECT_EQ(lastIndexOfByte(text, 'x'), nullptr);
  EXPECT_EQ(findByte(text, 'b', 2), nullptr);
  EXPECT_EQ(findByte(text, 'b', 3), text + 2);
  EXPECT_EQ(findByte(text, 0, UNBOUNDED), text + 5);
  EXPECT_EQ(findByte(text, 'a', 0), nullptr);

  const uint8_t signature[6] = {'J', 'O', 'V', 'D', 'E', 0};
  EXPECT_EQ(compareBytes(signature, signature, 6), 0);
  EXPECT_EQ(compareBytes(signature, "x", 0), 0);
  for (int i = 0; i < 6; ++i) {
    uint8_t other[6];
    memcpy(other, signature, 6);
    other[i] = 0x80;  // above every byte of the signature, as unsigned
    EXPECT_EQ(compareBytes(signature, other, 6), -1) << i;
    EXPECT_EQ(compareBytes(other, signature, 6), 1) << i;
  }
}

TEST(CreateFolderPath, CreatesMissingLevelsInOrder) {
  TempDir dir;
  ASSERT_EQ(createFolderPath(dir.corePath("A\\B\\F\\\\").c_str()), 1);
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "A/B/F"));
  // Existing folder, and an existing file, both count as present.
  EXPECT_EQ(createFolderPath(dir.corePath("A\\B").c_str()), 1);
  std::ofstream(dir.path() / "A/file").put('x');
  EXPECT_EQ(createFolderPath(dir.corePath("A\\file").c_str()), 1);
  EXPECT_EQ(createFolderPath(""), 1);
}

TEST(CreateFolderPath, FailsBelowAFileAndOnTooLongPaths) {
  TempDir dir;
  std::ofstream(dir.path() / "file").put('x');
  lastSystemError = 0;
  EXPECT_EQ(createFolderPath(dir.corePath("file\\sub\\deeper").c_str()), 0);
  EXPECT_EQ(lastSystemError, 3u);  // ENOTDIR: path not found

  std::string tooLong = dir.corePath() + "\\" + std::string(259, 'x');
  EXPECT_EQ(createFolderPath(tooLong.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / std::string(200, 'x')));

  // A relative name without any separator that cannot be created.
  EXPECT_EQ(createFolderPath("no-such-dir-xyz\\"), 1);  // created relative to the cwd
  std::filesystem::remove("no-such-dir-xyz");
}

TEST(CreateFolderPath, ExactlyTheLongestPathFits) {
  TempDir dir;
  std::string base = dir.corePath() + "\\";
  std::string path = base + std::string(PATH_MAX_CHARS - base.size(), 'y');
  ASSERT_EQ(path.size(), PATH_MAX_CHARS);
  // Linux allows at most 255 bytes per name; split it.
  path[base.size() + 100] = '\\';
  EXPECT_EQ(createFolderPath(path.c_str()), 1);
}

}  // namespace
