// The extraction driver behind the scripted front end: what it shows and leaves on disk when records
// fail and the user answers. The rest is for the round-trip and golden tests: `jov extract` runs it.
#include <gtest/gtest.h>

#include <string.h>

#include <filesystem>
#include <memory>

#include "archive/extract.h"
#include "archive/header.h"
#include "archive_fixture.h"
#include "test_frontend.h"

namespace fs = std::filesystem;

namespace {

class Extract : public ::testing::Test {
 protected:
  TempDir dir;
  fs::path out = dir.path() / "out";
  std::unique_ptr<ArchiveFixture> archive;

  void SetUp() override { testFrontEnd.reset(); }
  // Opens the archive as the installer would, installing into out/.
  void open(const std::vector<uint8_t>& bytes) {
    archive.reset();
    archive = std::make_unique<ArchiveFixture>(bytes);
    if (bytes.size() >= ARCHIVE_HEADER_SIZE) {
      ASSERT_EQ(readArchiveHeader(), RC_OK);
    }
    strcpy(state.installPath, toCorePath(out.string()).c_str());
  }
  ResultCode run(const std::vector<StoredEntry>& entries) {
    open(buildStoredArchive(entries));
    return extractArchive(nullptr);
  }
};

// Failures with a message: OK goes on, Cancel stops; the file that failed is not left behind. Names too
// long for the room are shown cut to what fits.
TEST_F(Extract, ReportedFailuresGoOnOrStop) {
  std::string folderPath = toCorePath(out.string());
  size_t room = PATH_MAX_CHARS - folderPath.size() - 1;
  // {{name, folder}, data, badCrc}
  std::vector<StoredEntry> entries = {{{std::string(room, 'a')}, {'1'}}, {{std::string(room + 1, 'b')}, {'2'}},
                                      {{std::string(room + 5, 'c'), true}, {}}, {{"bad"}, {'p'}, true},
                                      {{"..\\up"}, {'u'}}, {{"CON"}, {'c'}}, {{"after"}, {'3'}}};
  ASSERT_EQ(run(entries), RC_OK);
  EXPECT_EQ(readFile(out / std::string(room, 'a')), "1");
  EXPECT_EQ(readFile(out / "after"), "3");
  ASSERT_EQ(testFrontEnd.offeredCancel, (std::vector<int>{1, 1, 1, 1, 1})) << "one message each";
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(testFrontEnd.messages[i],
              "cannot create " + folderPath + "\\" + std::string(room, "bc"[i]) + ": File name too long");
  EXPECT_EQ(testFrontEnd.progress.front(), "Extracting " + std::string(room, 'a'));
  EXPECT_EQ(std::string(state.installPath), folderPath + "\\");
  EXPECT_FALSE(fs::exists(out / "bad"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1) << "nothing outside";

  for (size_t stopAt = 0; stopAt < 2; ++stopAt) {
    testFrontEnd.reset();
    testFrontEnd.messageAnswers = stopAt ? std::deque<int>{1, 0} : std::deque<int>{0};
    fs::remove_all(out);
    EXPECT_EQ(run(std::vector<StoredEntry>(entries.begin() + (stopAt ? 2 : 1), entries.end())), RC_CANCELLED);
    EXPECT_EQ(testFrontEnd.messages.size(), stopAt + 1);
    EXPECT_FALSE(fs::exists(out / "after"));
    EXPECT_FALSE(fs::exists(out / "bad"));
  }
}

}  // namespace
