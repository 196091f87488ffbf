#include <gtest/gtest.h>

#include <string.h>

#include "archive/messages.h"
#include "install_state.h"
#include "test_frontend.h"

namespace {

const std::string DAMAGED = "Archive data is damaged, probably caused by\ncorrupt disk or download error";

// What each code shows in `jov` with system error `error` and `path` (none:
// the stub's own name); a shown message clears the error, a silent code ("")
// keeps it. The texts of injected failures are checked again by the fault
// injection runs.
TEST(Messages, TextsPathsSuffixesAndSilentCodes) {
  testFrontEnd.reset();
  strcpy(state.stubName, "setup.exe");
  const std::string longPath(260, 'p');  // the longest message: a full-length path
  const struct {
    ResultCode code;
    uint32_t error;
    const char* path;
    std::string shown;
  } cases[] = {
      {RC_CREATE_FAILED, ERR_PATH_NOT_FOUND, "C:\\x\\a", "cannot create C:\\x\\a: No such file or directory"},
      {RC_OPEN_FAILED, ERR_FILE_NOT_FOUND, nullptr, "cannot open setup.exe: No such file or directory"},
      {RC_OPEN_FAILED, 0, nullptr, "cannot open setup.exe"}, {RC_WRITE_FAILED, 0xFFFFFFFFu, "p", "cannot write p"},
      {RC_SEEK_FAILED, ERR_ACCESS_DENIED, "p", "cannot read p: Permission denied"},
      {RC_WRITE_FAILED, ERR_NETWORK_FIRST, "p", "cannot write p"},  // never saved on POSIX: no words
      {RC_FOLDER_FAILED, ERR_WRITE_PROTECT, longPath.c_str(), "cannot create folder " + longPath + ": Read-only file system"},
      {RC_INPUT_EXHAUSTED, ERR_ACCESS_DENIED, nullptr, DAMAGED}, {RC_DAMAGED, ERR_DISK_FULL, "ignored", DAMAGED},
      {RC_NO_MEMORY, 0, nullptr, "Not enough memory"},
      {RC_OK, ERR_WRITE_PROTECT, nullptr, ""}, {RC_MODIFIED, ERR_WRITE_PROTECT, nullptr, ""},
      {RC_CANCELLED, ERR_WRITE_PROTECT, nullptr, ""}, {7, ERR_WRITE_PROTECT, nullptr, ""},
      {-4, ERR_WRITE_PROTECT, nullptr, ""}, {-100, ERR_WRITE_PROTECT, nullptr, ""},
  };
  for (const auto& c : cases) {
    lastSystemError = c.error;
    const size_t before = testFrontEnd.messages.size();
    const bool silent = c.shown.empty();  // asked with Cancel offered: still nothing is shown
    EXPECT_EQ(reportResult(nullptr, c.code, c.path, silent), silent ? 0 : 1) << c.code;
    EXPECT_EQ(testFrontEnd.messages.size(), before + !silent) << c.code;
    EXPECT_EQ(silent ? "" : testFrontEnd.messages.back(), c.shown) << c.code << " " << c.error;
    EXPECT_EQ(lastSystemError, silent ? c.error : 0u) << c.code;
  }
  // A damaged archive asks whether to go on, unless only OK is offered.
  testFrontEnd.offeredCancel.clear();
  testFrontEnd.messageAnswers = {1, 0, 0};
  EXPECT_EQ(reportResult(nullptr, RC_DAMAGED, nullptr, 1), 0);  // OK: go on
  EXPECT_EQ(reportResult(nullptr, RC_DAMAGED, nullptr, 1), 1);  // Cancel: stop
  EXPECT_EQ(reportResult(nullptr, RC_DAMAGED, nullptr, 0), 1);  // OK-only: always stop
  EXPECT_EQ(testFrontEnd.offeredCancel, (std::vector<int>{1, 1, 0}));
}

// The installer's own second lines: exact numbers first, then the network
// range, nothing outside it.
TEST(Messages, InstallerSuffixes) {
  const std::pair<uint32_t, const char*> cases[] = {
      {ERR_PATH_NOT_FOUND, "\nPath not found"}, {ERR_DISK_FULL, "\nDisk full"}, {ERR_HANDLE_DISK_FULL, "\nDisk full"},
      {ERR_NETWORK_FIRST, "\nNetwork error"},   {ERR_NETWORK_LAST, "\nNetwork error"},
      {ERR_NETWORK_FIRST - 1, ""},              {ERR_NETWORK_LAST + 1, ""}, {0, ""}};
  for (const auto& [error, text] : cases) {
    lastSystemError = error;
    EXPECT_STREQ(systemErrorText(), text) << error;
  }
  lastSystemError = 0;
}

TEST(FormatText, TruncatesToCapacityAndLeavesPercentInArgumentsAlone) {
  char out[12];
  EXPECT_EQ(formatText(out, sizeof out, "ab%scd%s", "%s%s", "123456"), 11u);
  EXPECT_STREQ(out, "ab%s%scd123");
}

}  // namespace
