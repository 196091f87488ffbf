#include <gtest/gtest.h>

#include <string.h>

#include "archive/messages.h"
#include "install_state.h"
#include "test_frontend.h"

namespace {

const std::string DAMAGED = "Archive data is damaged, probably caused by\ncorrupt disk or download error";

// What each code shows with system error `error` and `path` (none: the
// stub's own name); a shown message clears the error, a silent code ("")
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
      {RC_CREATE_FAILED, 3, "C:\\x\\a", "Cannot create C:\\x\\a\nPath not found"},
      {RC_OPEN_FAILED, 2, nullptr, "Cannot open setup.exe\nFile not found"},
      {RC_OPEN_FAILED, 0, nullptr, "Cannot open setup.exe"}, {RC_WRITE_FAILED, 0xFFFFFFFFu, "p", "Cannot write p"},
      {RC_SEEK_FAILED, 50, "p", "Cannot read p\nNetwork error"}, {RC_WRITE_FAILED, 72, "p", "Cannot write p"},
      {RC_WRITE_FAILED, 71, "p", "Cannot write p\nNetwork error"}, {RC_READ_FAILED, 49, "p", "Cannot read p"},
      {RC_FOLDER_FAILED, 19, longPath.c_str(), "Cannot create folder " + longPath + "\nDisk is write protected"},
      {RC_INPUT_EXHAUSTED, 5, nullptr, DAMAGED}, {RC_DAMAGED, 112, "ignored", DAMAGED},
      {RC_NO_MEMORY, 0, nullptr, "Not enough memory"},
      {RC_OK, 19, nullptr, ""}, {RC_MODIFIED, 19, nullptr, ""}, {RC_CANCELLED, 19, nullptr, ""},
      {7, 19, nullptr, ""}, {-4, 19, nullptr, ""}, {-100, 19, nullptr, ""},
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

TEST(FormatText, TruncatesToCapacityAndLeavesPercentInArgumentsAlone) {
  char out[12];
  EXPECT_EQ(formatText(out, sizeof out, "ab%scd%s", "%s%s", "123456"), 11u);
  EXPECT_STREQ(out, "ab%s%scd123");
}

}  // namespace
