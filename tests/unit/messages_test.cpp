#include <gtest/gtest.h>

#include <string.h>

#include "archive/messages.h"
#include "install_state.h"
#include "test_frontend.h"

namespace {

class Messages : public ::testing::Test {
 protected:
  void SetUp() override {
    testFrontEnd.reset();
    strcpy(state.stubName, "setup.exe");
    lastSystemError = 0;
  }
};

const char DAMAGED[] = "Archive data is damaged, probably caused by\ncorrupt disk or download error";

TEST_F(Messages, PathFormatsNameThePathAndTheSuffix) {
  struct Case {
    ResultCode code;
    const char* expected;
  } cases[] = {
      {RC_CREATE_FAILED, "Cannot create C:\\x\\a.txt\nAccess denied"},
      {RC_OPEN_FAILED, "Cannot open C:\\x\\a.txt\nAccess denied"},
      {RC_READ_FAILED, "Cannot read C:\\x\\a.txt\nAccess denied"},
      {RC_SEEK_FAILED, "Cannot read C:\\x\\a.txt\nAccess denied"},
      {RC_WRITE_FAILED, "Cannot write C:\\x\\a.txt\nAccess denied"},
      {RC_FOLDER_FAILED, "Cannot create folder C:\\x\\a.txt\nAccess denied"},
  };
  for (const Case& c : cases) {
    lastSystemError = 5;
    EXPECT_EQ(reportResult(nullptr, c.code, "C:\\x\\a.txt", 0), 1);
    EXPECT_EQ(testFrontEnd.messages.back(), c.expected) << c.code;
    EXPECT_EQ(lastSystemError, 0u) << "a shown message clears the saved error";
  }
}

TEST_F(Messages, FixedTextsCarryNoSuffixAndWithoutPathNameTheStub) {
  lastSystemError = 5;
  reportResult(nullptr, RC_INPUT_EXHAUSTED, nullptr, 0);
  EXPECT_EQ(testFrontEnd.messages.back(), DAMAGED);
  lastSystemError = 112;
  reportResult(nullptr, RC_DAMAGED, "ignored", 0);
  EXPECT_EQ(testFrontEnd.messages.back(), DAMAGED);
  reportResult(nullptr, RC_NO_MEMORY, nullptr, 0);
  EXPECT_EQ(testFrontEnd.messages.back(), "Not enough memory");
  // No path: the stub's own file name; the second report has no suffix left.
  lastSystemError = 2;
  reportResult(nullptr, RC_OPEN_FAILED, nullptr, 0);
  EXPECT_EQ(testFrontEnd.messages.back(), "Cannot open setup.exe\nFile not found");
  reportResult(nullptr, RC_OPEN_FAILED, nullptr, 0);
  EXPECT_EQ(testFrontEnd.messages.back(), "Cannot open setup.exe");
}

TEST_F(Messages, SilentCodesShowNothingAndKeepTheError) {
  const ResultCode silent[] = {RC_OK, RC_MODIFIED, RC_CANCELLED, 7, -4, -100};
  for (ResultCode code : silent) {
    lastSystemError = 19;
    EXPECT_EQ(reportResult(nullptr, code, nullptr, 1), 0) << code;
    EXPECT_EQ(lastSystemError, 19u) << code;
  }
  EXPECT_TRUE(testFrontEnd.messages.empty());
}

TEST_F(Messages, AnswersOfBothForms) {
  testFrontEnd.messageAnswers = {1, 0, 0};
  EXPECT_EQ(reportResult(nullptr, RC_DAMAGED, nullptr, 1), 0);  // OK: go on
  EXPECT_EQ(reportResult(nullptr, RC_DAMAGED, nullptr, 1), 1);  // Cancel: stop
  EXPECT_EQ(reportResult(nullptr, RC_DAMAGED, nullptr, 0), 1);  // OK-only: always stop
  EXPECT_EQ(testFrontEnd.offeredCancel, (std::vector<int>{1, 1, 0}));
}

TEST_F(Messages, SuffixTable) {
  struct Case {
    uint32_t error;
    const char* suffix;
  } cases[] = {
      {0, ""}, {2, "\nFile not found"}, {3, "\nPath not found"}, {5, "\nAccess denied"},
      {15, "\nInvalid drive"}, {19, "\nDisk is write protected"}, {21, "\nDevice not ready"},
      {25, "\nTrack not found"}, {26, "\nNot a DOS disk"}, {27, "\nSector not found"},
      {28, ""}, {29, "\nWrite fault"}, {30, "\nRead fault"}, {31, "\nGeneral failure"},
      {39, "\nDisk full"}, {40, ""}, {49, ""}, {50, "\nNetwork error"}, {64, "\nNetwork error"},
      {71, "\nNetwork error"}, {72, ""}, {80, "\nFile exists"}, {112, "\nDisk full"},
      {160, ""}, {161, "\nInvalid path"}, {183, ""}, {0xFFFFFFFFu, ""},
  };
  for (const Case& c : cases) {
    lastSystemError = c.error;
    EXPECT_STREQ(systemErrorText(), c.suffix) << c.error;
  }
}

TEST_F(Messages, LongestMessageFitsWithAFullLengthPath) {
  std::string path(260, 'p');
  lastSystemError = 19;
  reportResult(nullptr, RC_FOLDER_FAILED, path.c_str(), 0);
  EXPECT_EQ(testFrontEnd.messages.back(),
            "Cannot create folder " + path + "\nDisk is write protected");
}

TEST(FormatText, TruncatesToCapacityAndLeavesPercentInArgumentsAlone) {
  char out[12];
  EXPECT_EQ(formatText(out, sizeof out, "ab%scd%s", "%s%s", "123456"), 11u);
  EXPECT_STREQ(out, "ab%s%scd123");
}

}  // namespace
