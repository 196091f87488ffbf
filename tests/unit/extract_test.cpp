#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "archive/extract.h"
#include "archive/header.h"
#include "codec/crc32.h"
#include "frontend.h"
#include "install_state.h"
#include "stored_archive.h"
#include "temp_dir.h"
#include "test_frontend.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

class Extract : public ::testing::Test {
 protected:
  TempDir dir;
  fs::path out = dir.path() / "out";
  int archives = 0;

  void SetUp() override {
    testFrontEnd.reset();
    buildCrcTable();
    state.overwriteAll = 0;
    state.cancelRequested = 0;
    state.archiveFile = INVALID_FILE;
  }
  void TearDown() override {
    if (state.archiveFile != INVALID_FILE) fileClose(state.archiveFile);
    state.archiveFile = INVALID_FILE;
  }

  // Writes the archive and opens it as the installer would, with the
  // install folder `folder` (default: out/).
  void open(const std::vector<uint8_t>& archive, std::string folder = "") {
    if (state.archiveFile != INVALID_FILE) fileClose(state.archiveFile);
    // A new file each time: a child without root's rights cannot rewrite
    // the parent's.
    fs::path file = dir.path() / ("setup" + std::to_string(++archives) + ".bin");
    std::ofstream(file, std::ios::binary)
        .write((const char*)archive.data(), (std::streamsize)archive.size());
    state.archiveFile = fileOpen(toCorePath(file.string()).c_str(), ACCESS_READ);
    ASSERT_NE(state.archiveFile, INVALID_FILE);
    state.archiveOffset = 0;
    if (archive.size() >= ARCHIVE_HEADER_SIZE) {
      ASSERT_EQ(readArchiveHeader(), RC_OK);
    }
    if (folder.empty()) folder = toCorePath(out.string());
    ASSERT_LT(folder.size(), sizeof state.installPath);
    strcpy(state.installPath, folder.c_str());
  }

  ResultCode run(const std::vector<StoredEntry>& entries, StoredArchiveOptions options = {}) {
    open(buildStoredArchive(entries, options));
    return extractArchive(nullptr);
  }
};

StoredEntry file(std::string name, std::string data) {
  StoredEntry e;
  e.name = std::move(name);
  e.data = bytesOf(data);
  return e;
}

StoredEntry folder(std::string name) {
  StoredEntry e;
  e.name = std::move(name);
  e.folder = true;
  return e;
}

TEST_F(Extract, FoldersFilesTimesAndAttributes) {
  StoredEntry readOnly = file("docs\\readme.txt", "read me");
  readOnly.attributes = 0x21;  // read-only and archive; only bits 0..2 apply
  readOnly.writeDate = makeDosDate(1999, 12, 31);
  readOnly.writeTime = makeDosTime(23, 58, 0);
  StoredEntry empty = file("docs\\empty", "");
  std::string big(300000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = (char)(i * 7 + i / 251);
  StoredArchiveOptions options;
  options.blockOutput = 4096;  // the big file spans many blocks
  options.recordsPerDirectoryBlock = 2;
  ASSERT_EQ(run({folder("docs"), readOnly, empty, folder("docs\\deep\\er"),
                 file("docs\\deep\\er\\big.bin", big), file("top.txt", "top")},
                options),
            RC_OK);

  EXPECT_EQ(readFile(out / "docs/readme.txt"), "read me");
  EXPECT_EQ(readFile(out / "docs/empty"), "");
  EXPECT_EQ(readFile(out / "docs/deep/er/big.bin"), big);
  EXPECT_EQ(readFile(out / "top.txt"), "top");
  struct stat st;
  ASSERT_EQ(stat((out / "docs/readme.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  struct tm local;
  localtime_r(&st.st_mtime, &local);
  EXPECT_EQ(local.tm_year, 99);
  EXPECT_EQ(local.tm_hour, 23);
  EXPECT_EQ(local.tm_min, 58);
  ASSERT_EQ(stat((out / "top.txt").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & 0200, 0u);

  EXPECT_EQ(testFrontEnd.progress.front(), "Extracting docs\\readme.txt");
  EXPECT_TRUE(testFrontEnd.messages.empty());
  EXPECT_EQ(std::string(state.installPath), toCorePath(out.string()) + "\\");
}

TEST_F(Extract, NamesLongerThanTheRoomAreReportedFailures) {
  std::string folderPath = toCorePath(out.string());
  int room = (int)PATH_MAX_CHARS - (int)folderPath.size() - 1;
  ASSERT_GT(room, 10);
  std::string fits(room, 'a'), tooLong(room + 1, 'b'), longFolder(room + 5, 'c');
  // Shown cut to what fits, with the error of a path that is too long.
  std::string cut = "Cannot create " + folderPath + "\\" + std::string(room, 'b') + "\nPath too long";
  std::vector<StoredEntry> entries = {file(fits, "1"), file(tooLong, "2"), folder(longFolder), file("after", "3")};
  ASSERT_EQ(run(entries), RC_OK);  // OK goes on
  EXPECT_EQ(readFile(out / fits), "1");
  EXPECT_EQ(readFile(out / "after"), "3");
  EXPECT_EQ(testFrontEnd.messages,
            (std::vector<std::string>{cut, "Cannot create " + folderPath + "\\" + std::string(room, 'c') +
                                               "\nPath too long"}));
  EXPECT_EQ(testFrontEnd.offeredCancel, (std::vector<int>{1, 1}));

  testFrontEnd.reset();
  testFrontEnd.messageAnswers = {0};  // Cancel stops
  fs::remove_all(out);
  EXPECT_EQ(run(entries), RC_CANCELLED);
  EXPECT_EQ(testFrontEnd.messages, std::vector<std::string>{cut});
  EXPECT_FALSE(fs::exists(out / "after"));
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
}

TEST_F(Extract, OverwriteAnswers) {
  fs::create_directories(out);
  for (const char* name : {"a", "b", "c", "d"}) std::ofstream(out / name) << "old";
  auto entries = {file("a", "new"), file("b", "new"), file("c", "new"), file("d", "new")};

  testFrontEnd.overwriteAnswers = {OVERWRITE_NO, OVERWRITE_YES, OVERWRITE_ALL};
  ASSERT_EQ(run(entries), RC_OK);
  EXPECT_EQ(readFile(out / "a"), "old");
  EXPECT_EQ(readFile(out / "b"), "new");
  EXPECT_EQ(readFile(out / "c"), "new");
  EXPECT_EQ(readFile(out / "d"), "new");
  ASSERT_EQ(testFrontEnd.asked.size(), 3u) << "Yes To All stops the questions";
  EXPECT_EQ(testFrontEnd.asked[0], toCorePath((out / "a").string()));
  EXPECT_EQ(state.overwriteAll, 1);
}

TEST_F(Extract, ReplacesReadOnlyFilesWhenTheUserSaysSo) {
  StoredEntry locked = file("locked.txt", "v1");
  locked.attributes = ATTR_READONLY | ATTR_HIDDEN;
  // Root may write anything; the refusal only shows without its privileges.
  chmod(dir.path().c_str(), 0777);
  open(buildStoredArchive({locked}));
  pid_t pid = fork();
  if (pid == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    if (extractArchive(nullptr) != RC_OK) _exit(1);
    locked.data = bytesOf("v2");
    open(buildStoredArchive({locked}));
    testFrontEnd.overwriteAnswers = {OVERWRITE_NO};
    if (extractArchive(nullptr) != RC_OK || readFile(out / "locked.txt") != "v1") _exit(2);
    testFrontEnd.overwriteAnswers = {OVERWRITE_YES};
    if (extractArchive(nullptr) != RC_OK || !testFrontEnd.messages.empty()) _exit(3);
    _exit(readFile(out / "locked.txt") == "v2" ? 0 : 4);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A file that is there but cannot be read is still there: replacing it needs
// the user's word like any other.
TEST_F(Extract, AsksAboutAnExistingFileItCannotRead) {
  fs::create_directories(out);
  std::ofstream(out / "sealed") << "old";
  chmod((out / "sealed").c_str(), 0222);  // anyone may write it, nobody read it
  chmod(dir.path().c_str(), 0777);
  open(buildStoredArchive({file("sealed", "new")}));
  pid_t pid = fork();
  if (pid == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    testFrontEnd.overwriteAnswers = {OVERWRITE_NO};
    if (extractArchive(nullptr) != RC_OK) _exit(1);
    _exit(testFrontEnd.asked.size() == 1 ? 0 : 2);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  chmod((out / "sealed").c_str(), 0644);
  EXPECT_EQ(readFile(out / "sealed"), "old");
}

TEST_F(Extract, CrcMismatchLeavesNoFileAndOkGoesOn) {
  StoredEntry bad = file("bad", "payload");
  bad.badCrc = true;
  testFrontEnd.messageAnswers = {1};
  ASSERT_EQ(run({bad, file("good", "g")}), RC_OK);
  EXPECT_FALSE(fs::exists(out / "bad"));
  EXPECT_EQ(readFile(out / "good"), "g");
  ASSERT_EQ(testFrontEnd.messages.size(), 1u);
  EXPECT_EQ(testFrontEnd.offeredCancel[0], 1);

  testFrontEnd.reset();
  testFrontEnd.messageAnswers = {0};  // Cancel stops
  fs::remove_all(out);
  EXPECT_EQ(run({bad, file("good", "g")}), RC_CANCELLED);
  EXPECT_FALSE(fs::exists(out / "good"));
}

TEST_F(Extract, CancelDuringAFileDeletesItAndStops) {
  StoredArchiveOptions options;
  options.blockOutput = 1000;  // the reader notices the cancel at a block start
  testFrontEnd.onProgress = [](const std::string& line) {
    if (line == "Extracting second") state.cancelRequested = 1;
  };
  EXPECT_EQ(run({file("first", "1"), file("second", std::string(5000, 's')), file("third", "3")},
                options),
            RC_CANCELLED);
  EXPECT_EQ(readFile(out / "first"), "1");
  EXPECT_FALSE(fs::exists(out / "second"));
  EXPECT_FALSE(fs::exists(out / "third"));
  EXPECT_TRUE(testFrontEnd.messages.empty());
}

TEST_F(Extract, HostileNamesTouchNothingAndTheRunGoesOn) {
  const char* hostile[] = {
      "..\\escape",   "a\\..\\..\\escape", "\\rooted",  "C:\\drive", "C:rel",  "a\\\\b",
      "a\\.\\b",      "trailing\\",        "",          "x:stream", "ctl\x01", "star*",
      "what?",        "pipe|",             "quote\"",   "lt<",      "gt>",    "CON",
      "nul.txt",      "sub\\com1.log",     "LPT9",      "conout$",  "dots...", "space ",
      "../slash",     "a/../../escape",    "nul .log",  "COM\xb9",
  };
  std::vector<StoredEntry> entries;
  for (const char* name : hostile) entries.push_back(file(name, "evil"));
  entries.push_back(folder("..\\evil-folder"));
  entries.push_back(file("fine\x80\xff.txt", "good"));  // code-page letters are fine
  entries.push_back(file("COM10", "good"));             // not a device
  ASSERT_EQ(run(entries), RC_OK);

  EXPECT_EQ(testFrontEnd.messages.size(), std::size(hostile) + 1);
  for (int offered : testFrontEnd.offeredCancel) EXPECT_EQ(offered, 1);
  std::vector<fs::path> found;
  for (auto& p : fs::recursive_directory_iterator(dir.path())) found.push_back(p.path());
  std::sort(found.begin(), found.end());
  std::vector<fs::path> expected = {out, out / "COM10", out / "fine\x80\xff.txt",
                                    dir.path() / "setup1.bin"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);
}

TEST_F(Extract, RefusesOverlongFoldersAndShortArchives) {
  std::string longFolder = toCorePath(dir.path().string()) + "\\";
  longFolder += std::string(PATH_CAPACITY - longFolder.size(), 'f');  // 260 characters
  open(buildStoredArchive({file("a", "1")}), longFolder);
  EXPECT_EQ(extractArchive(nullptr), RC_CANCELLED);
  ASSERT_EQ(testFrontEnd.messages.size(), 1u);
  EXPECT_EQ(testFrontEnd.messages[0].rfind("Cannot create folder ", 0), 0u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

  open(std::vector<uint8_t>(41, 0));
  EXPECT_EQ(extractArchive(nullptr), RC_DAMAGED);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(Extract, DirectoryEndingBeforeEntryCountIsDamaged) {
  StoredArchiveOptions options;
  options.entryCountDelta = 1;
  EXPECT_EQ(run({file("a", "1")}, options), RC_DAMAGED);
  EXPECT_EQ(readFile(out / "a"), "1");
}

}  // namespace
