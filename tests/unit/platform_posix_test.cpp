#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

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
  const struct {
    std::function<bool()> fails;
    uint32_t error;
  } cases[] = {
      {[&] { return fileOpen(none.c_str(), ACCESS_READ) == INVALID_FILE; }, 2},
      {[&] { return fileOpen(deep.c_str(), ACCESS_READ) == INVALID_FILE; }, 3},
      {[&] { return fileCreate(deep.c_str(), ATTR_NORMAL) == INVALID_FILE; }, 3},
      {[&] { return fileAttributes(none.c_str()) == INVALID_ATTRIBUTES; }, 2},
      {[&] { return folderCreate(deep.c_str()) == 0; }, 3},
      {[&] { return folderCreate(a.c_str()) == 1; }, 0},
      {[&] { return folderCreate(a.c_str()) == 0; }, 80},
      {[&] { return fileOpen(a.c_str(), ACCESS_READ) == INVALID_FILE; }, 5},  // a folder is no file
      {[&] { return fileDelete(a.c_str()) == 0 && (fileAttributes(a.c_str()) & ATTR_DIRECTORY); }, 0},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    lastSystemError = 77;
    EXPECT_TRUE(cases[i].fails()) << "case " << i;
    EXPECT_TRUE(!cases[i].error || lastSystemError == cases[i].error) << "case " << i;
  }
  // Permission denials cannot be staged as root.
  std::string file = dir.corePath("ro\\f");
  EXPECT_EQ(runWithoutRoot([&] {
              lastSystemError = 0;
              if (fileCreate(file.c_str(), ATTR_NORMAL) != INVALID_FILE) return 1;
              return lastSystemError == 5 ? 0 : 2;
            }),
            0);
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
  EXPECT_EQ(lastSystemError, 87u);
  EXPECT_EQ(fileClose(f), 1);

  // archiveRead advances archiveFilePos by what it read, and a failure
  // (a closed handle) leaves the position alone.
  state.archiveFile = fileOpen(path.c_str(), ACCESS_READ);
  state.archiveFilePos = 0;
  EXPECT_EQ(archiveRead(buffer, 3), 3);
  EXPECT_EQ(state.archiveFilePos, 3u);
  fileClose(state.archiveFile);
  EXPECT_EQ(archiveRead(buffer, 3), -1);
  EXPECT_EQ(state.archiveFilePos, 3u);
  EXPECT_EQ(lastSystemError, 6u);

  // A failing close keeps the earlier failure's number, or saves its own.
  lastSystemError = 5;
  EXPECT_EQ(fileClose(state.archiveFile), 0);
  EXPECT_EQ(lastSystemError, 5u);
  lastSystemError = 0;
  EXPECT_EQ(fileClose(state.archiveFile), 0);
  EXPECT_EQ(lastSystemError, 6u);
}

// A full medium is "Disk full" (a short write is too: see the `jov` tests).
TEST(PosixPlatform, FullMediumIsDiskFull) {
  FileHandle full = fileOpen("/dev/full", ACCESS_WRITE);
  ASSERT_NE(full, INVALID_FILE);
  EXPECT_EQ(fileWrite(full, "abc", 3), -1);
  EXPECT_EQ(lastSystemError, 112u);
  fileClose(full);
}

}  // namespace
