// The POSIX platform layer and the path operations on top of it.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "archive/paths.h"
#include "codec/block_input.h"
#include "install_state.h"
#include "platform/posix.h"
#include "temp_dir.h"

namespace {

// Each failure leaves the Windows error number the messages are built on.
TEST(PosixPlatform, FailuresGiveTheirOwnNumbers) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() / "ro");
  chmod((dir.path() / "ro").c_str(), 0555);
  const std::string none = dir.corePath("none"), deep = dir.corePath("none\\x"), a = dir.corePath("a");
  const FileHandle full = fileOpen("/dev/full", ACCESS_WRITE);
  const struct {
    std::function<bool()> fails;
    uint32_t error;
  } cases[] = {
      {[&] { return fileOpen(none.c_str(), ACCESS_READ) == INVALID_FILE; }, ERR_FILE_NOT_FOUND},
      {[&] { return fileOpen(deep.c_str(), ACCESS_READ) == INVALID_FILE; }, ERR_PATH_NOT_FOUND},
      {[&] { return fileCreate(deep.c_str(), ATTR_NORMAL) == INVALID_FILE; }, ERR_PATH_NOT_FOUND},
      {[&] { return fileAttributes(none.c_str()) == INVALID_ATTRIBUTES; }, ERR_FILE_NOT_FOUND},
      {[&] { return folderCreate(deep.c_str()) == 0; }, ERR_PATH_NOT_FOUND},
      {[&] { return folderCreate(a.c_str()) == 1; }, 0},
      {[&] { return folderCreate(a.c_str()) == 0; }, ERR_FILE_EXISTS},
      {[&] { return fileOpen(a.c_str(), ACCESS_READ) == INVALID_FILE; }, ERR_ACCESS_DENIED},  // a folder is no file
      {[&] { return fileDelete(a.c_str()) == 0 && (fileAttributes(a.c_str()) & ATTR_DIRECTORY); }, 0},
      {[&] { return fileWrite(full, "abc", 3) == -1; }, ERR_DISK_FULL},  // a full medium (a short write: the `jov` tests)
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    lastSystemError = 77;
    EXPECT_TRUE(cases[i].fails()) << "case " << i;
    EXPECT_TRUE(!cases[i].error || lastSystemError == cases[i].error) << "case " << i;
  }
  fileClose(full);
  // Permission denials cannot be staged as root.
  std::string file = dir.corePath("ro\\f");
  const int denied = runWithoutRoot([&] {
    lastSystemError = 0;
    return fileCreate(file.c_str(), ATTR_NORMAL) == INVALID_FILE && lastSystemError == ERR_ACCESS_DENIED ? 0 : 1;
  });
  EXPECT_EQ(denied, 0);
}

TEST(PosixPlatform, ReadsWritesAndSeeks) {
  TempDir dir;
  std::string path = dir.corePath("f.bin");
  FileHandle f = fileCreate(path.c_str(), ATTR_NORMAL);
  ASSERT_NE(f, INVALID_FILE);
  EXPECT_EQ(fileWrite(f, "0123456789", 10), 10);
  EXPECT_EQ(fileSeek(f, 0, FROM_END), 10u);
  EXPECT_EQ(fileSeek(f, (uint32_t)-4, FROM_CURRENT), 6u);
  char buffer[8];
  EXPECT_EQ(fileRead(f, buffer, 8), 4);
  EXPECT_EQ(fileRead(f, buffer, 8), 0);
  EXPECT_EQ(lastSystemError, 0u);
  EXPECT_EQ(fileSeek(f, (uint32_t)-11, FROM_CURRENT), SEEK_FAILED);  // before the start
  EXPECT_NE(lastSystemError, 0u);
  // From the beginning every 32-bit position but the last is one.
  EXPECT_EQ(fileSeek(f, 0x80000000u, FROM_BEGIN), 0x80000000u);
  EXPECT_EQ(fileSeek(f, 0xFFFFFFFEu, FROM_BEGIN), 0xFFFFFFFEu);
  EXPECT_EQ(fileSeek(f, 0xFFFFFFFFu, FROM_BEGIN), SEEK_FAILED);
  EXPECT_EQ(lastSystemError, ERR_INVALID_PARAMETER);
  EXPECT_EQ(fileClose(f), 1);

  // archiveRead advances the position by what it read; a failure (a closed handle) leaves it.
  state.archiveFile = fileOpen(path.c_str(), ACCESS_READ);
  state.archiveFilePos = 0;
  EXPECT_EQ(archiveRead(buffer, 3), 3);
  EXPECT_EQ(state.archiveFilePos, 3u);
  fileClose(state.archiveFile);
  EXPECT_EQ(archiveRead(buffer, 3), -1);
  EXPECT_EQ(state.archiveFilePos, 3u);
  EXPECT_EQ(lastSystemError, ERR_INVALID_HANDLE);

  // A failing close keeps the earlier failure's number, or saves its own.
  lastSystemError = ERR_ACCESS_DENIED;
  EXPECT_EQ(fileClose(state.archiveFile), 0);
  EXPECT_EQ(lastSystemError, ERR_ACCESS_DENIED);
  lastSystemError = 0;
  EXPECT_EQ(fileClose(state.archiveFile), 0);
  EXPECT_EQ(lastSystemError, ERR_INVALID_HANDLE);
}

// Runs `op` on a copy of `s`; checks that the returned end is the terminator.
std::string edited(std::string s, char* (*op)(char*)) {
  char buffer[300];
  strcpy(buffer, s.c_str());
  char* end = op(buffer);
  EXPECT_EQ(end - buffer, (long)strlen(buffer)) << s;
  return buffer;
}

TEST(Paths, SeparatorsAndNamePart) {
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
  EXPECT_EQ(lastSystemError, ERR_PATH_NOT_FOUND);  // ENOTDIR

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
