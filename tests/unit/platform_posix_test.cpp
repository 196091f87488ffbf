#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "codec/block_input.h"
#include "install_state.h"
#include "platform/posix.h"
#include "temp_dir.h"

namespace {

// Runs `check` in a child process without root's privileges (permission
// denials cannot be staged as root) and returns its exit status.
template <typename Check>
int asUnprivilegedChild(Check check) {
  pid_t pid = fork();
  if (pid == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    _exit(check());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

TEST(PosixPlatform, MissingFileOrParentGiveTheirOwnNumbers) {
  TempDir dir;
  lastSystemError = 77;
  EXPECT_EQ(fileOpen(dir.corePath("none").c_str(), ACCESS_READ), INVALID_FILE);
  EXPECT_EQ(lastSystemError, 2u);
  EXPECT_EQ(fileOpen(dir.corePath("none\\x").c_str(), ACCESS_READ), INVALID_FILE);
  EXPECT_EQ(lastSystemError, 3u);
  EXPECT_EQ(fileCreate(dir.corePath("none\\x").c_str(), ATTR_NORMAL), INVALID_FILE);
  EXPECT_EQ(lastSystemError, 3u);
  lastSystemError = 0;
  EXPECT_EQ(fileAttributes(dir.corePath("none").c_str()), INVALID_ATTRIBUTES);
  EXPECT_EQ(lastSystemError, 2u);
  EXPECT_EQ(folderCreate(dir.corePath("a\\b").c_str()), 0);
  EXPECT_EQ(lastSystemError, 3u);
  ASSERT_EQ(folderCreate(dir.corePath("a").c_str()), 1);
  EXPECT_EQ(folderCreate(dir.corePath("a").c_str()), 0);
  EXPECT_EQ(lastSystemError, 80u);
  // A folder cannot be opened or deleted as a file.
  EXPECT_EQ(fileOpen(dir.corePath("a").c_str(), ACCESS_READ), INVALID_FILE);
  EXPECT_EQ(lastSystemError, 5u);
  EXPECT_EQ(fileDelete(dir.corePath("a").c_str()), 0);
  EXPECT_NE(fileAttributes(dir.corePath("a").c_str()) & ATTR_DIRECTORY, 0u);
}

TEST(PosixPlatform, ReadOnlyFolderDeniesAccess) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() / "ro");
  chmod((dir.path() / "ro").c_str(), 0555);
  std::string file = dir.corePath("ro\\f");
  int status = asUnprivilegedChild([&] {
    lastSystemError = 0;
    if (fileCreate(file.c_str(), ATTR_NORMAL) != INVALID_FILE) return 1;
    return lastSystemError == 5 ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
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

TEST(PosixPlatform, FullMediumAndShortWritesAreDiskFull) {
  FileHandle full = fileOpen("/dev/full", ACCESS_WRITE);
  ASSERT_NE(full, INVALID_FILE);
  EXPECT_EQ(fileWrite(full, "abc", 3), -1);
  EXPECT_EQ(lastSystemError, 112u);
  fileClose(full);

  // A file-size limit makes write() stop part-way: a short write.
  TempDir dir;
  std::string path = dir.corePath("limited");
  chmod(dir.path().c_str(), 0777);
  int status = asUnprivilegedChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    FileHandle f = fileCreate(path.c_str(), ATTR_NORMAL);
    if (f == INVALID_FILE) return 1;
    char data[300] = {};
    return fileWrite(f, data, sizeof data) == -1 && lastSystemError == 112 ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
}

TEST(PosixPlatform, AttributesAndTimes) {
  TempDir dir;
  std::string path = dir.corePath("f");
  FileHandle f = fileCreate(path.c_str(), ATTR_NORMAL);
  ASSERT_NE(f, INVALID_FILE);
  // 2001-02-03 04:05:06 local time; creation time cannot be set on Linux.
  ASSERT_EQ(fileSetTimes(f, 0, 0, makeDosDate(2001, 2, 3), makeDosTime(4, 5, 6)), 1);
  fileClose(f);
  struct stat st;
  ASSERT_EQ(stat((dir.path() / "f").c_str(), &st), 0);
  struct tm local;
  localtime_r(&st.st_mtime, &local);
  EXPECT_EQ(local.tm_year, 101);
  EXPECT_EQ(local.tm_mon, 1);
  EXPECT_EQ(local.tm_mday, 3);
  EXPECT_EQ(local.tm_hour, 4);
  EXPECT_EQ(local.tm_sec, 6);

  EXPECT_EQ(fileAttributes(path.c_str()), ATTR_NORMAL);
  ASSERT_EQ(fileSetAttributes(path.c_str(), ATTR_READONLY | ATTR_HIDDEN), 1);
  ASSERT_EQ(stat((dir.path() / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_NE(fileAttributes(path.c_str()) & ATTR_READONLY, 0u);
  ASSERT_EQ(fileSetAttributes(path.c_str(), 0), 1);
  EXPECT_EQ(fileAttributes(path.c_str()), ATTR_NORMAL);
}

// Names reach the file system as UTF-8 once a code page is selected; bytes
// the code page leaves undefined still give a name, never a failure.
TEST(PosixPlatform, CodePageNamesBecomeUtf8) {
  struct Restore {
    ~Restore() { setPathCodePage(0); }
  } restore;
  TempDir dir;
  ASSERT_TRUE(setPathCodePage(1252));
  char out[16];
  EXPECT_EQ(codePageToUtf8("\x80\x81\xe9\\", 4, out, sizeof out), 8);
  EXPECT_STREQ(out, "\xe2\x82\xac\xc2\x81\xc3\xa9\\");
  EXPECT_EQ(codePageToUtf8("\xe9\xe9\xe9", 3, out, 6), -1);  // six bytes and the terminator
  FileHandle f = fileCreate(dir.corePath("caf\xe9").c_str(), ATTR_NORMAL);
  ASSERT_NE(f, INVALID_FILE);
  fileClose(f);
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "caf\xc3\xa9"));

  EXPECT_FALSE(setPathCodePage(99999));
  EXPECT_FALSE(setPathCodePage(500));  // EBCDIC: "KK" would become ".."
  ASSERT_TRUE(setPathCodePage(0));
  EXPECT_EQ(codePageToUtf8("\xe9", 1, out, sizeof out), 1);
  EXPECT_STREQ(out, "\xe9");
}

}  // namespace
