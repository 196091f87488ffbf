// Every read, write, seek, create, folder creation, commit (data sync and
// rename), allocation and reallocation of a whole extraction made to fail in
// turn, over small archives: each run must end with the code and message
// that the failure calls for, leave no partial file and no temporary, and
// free every block (a leak fails extractWith; a double free or use after free
// fails the ASan build).
#include <gtest/gtest.h>

#include <algorithm>

#include "install_state.h"
#include "robust_support.h"

namespace {

const char DAMAGED_TEXT[] = "Archive data is damaged, probably caused by\ncorrupt disk or download error";

struct FaultKind {
  const char* label;
  PlatformCall call;
  bool shortTransfer;
  const char* message;  // "Cannot ..." prefix, or a whole fixed text
  const char* suffix;   // system-error line of the injected failure
  std::vector<ResultCode> dialogCodes;  // results the dialog reports itself
};

const FaultKind KINDS[] = {
    {"read", CALL_READ, false, "Cannot read ", "\nGeneral failure", {RC_READ_FAILED}},
    {"short read", CALL_READ, true, DAMAGED_TEXT, "", {RC_DAMAGED}},
    {"write", CALL_WRITE, false, "Cannot write ", "\nGeneral failure", {}},
    {"short write", CALL_WRITE, true, "Cannot write ", "\nDisk full", {}},
    {"seek", CALL_SEEK, false, "Cannot read ", "\nGeneral failure", {RC_SEEK_FAILED}},
    {"create", CALL_CREATE, false, "Cannot create ", "\nAccess denied", {}},
    {"folder", CALL_FOLDER, false, "Cannot create folder ", "\nAccess denied", {}},
    {"sync", CALL_SYNC, false, "Cannot create ", "\nGeneral failure", {}},
    {"rename", CALL_RENAME, false, "Cannot create ", "\nGeneral failure", {}},
    {"alloc", CALL_ALLOC, false, "Not enough memory", "", {RC_NO_MEMORY}},
    {"realloc", CALL_REALLOC, false, "Not enough memory", "", {}},
};

// The path a "Cannot ..." message names below the install folder ("/"
// separators), or "?" when the message is not of the kind's form.
std::string namedPath(const FaultKind& kind, const std::string& message, const std::string& installFolder) {
  const std::string prefix = kind.message + installFolder, suffix = kind.suffix;
  if (message.rfind(prefix, 0) != 0 || message.size() < prefix.size() + suffix.size() ||
      message.compare(message.size() - suffix.size(), suffix.size(), suffix) != 0)
    return "?";
  std::string path = message.substr(prefix.size(), message.size() - prefix.size() - suffix.size());
  if (!path.empty() && path[0] == '\\') path.erase(0, 1);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

void checkRun(const FaultKind& kind, const Outcome& run, const Outcome& clean) {
  for (const auto& [path, bytes] : run.files) {
    ASSERT_TRUE(clean.files.count(path)) << path;
    EXPECT_TRUE(bytes == clean.files.at(path)) << "partial file " << path;
  }
  const bool shortRead = kind.call == CALL_READ && kind.shortTransfer;
  const std::string path = run.messages.empty() ? "" : namedPath(kind, run.messages[0], run.installFolder);
  if (run.result == RC_OK && run.messages.empty()) {
    // Only a read that comes back short but still covers what is needed, and
    // a folder level that createFolderPath tries again on its way down, can
    // pass unnoticed; every seek is checked.
    EXPECT_TRUE(shortRead || kind.call == CALL_FOLDER) << "a failure went unreported";
    EXPECT_EQ(run.files.size(), clean.files.size());
  } else if (run.result == RC_OK && (kind.call == CALL_CREATE || kind.call == CALL_SYNC || kind.call == CALL_RENAME)) {
    ASSERT_EQ(run.messages.size(), 1u);  // the one file's failure, answered with OK
    EXPECT_TRUE(clean.files.count(path)) << run.messages[0];
    EXPECT_FALSE(run.files.count(path));
    EXPECT_EQ(run.files.size() + 1, clean.files.size());
  } else if (run.result == RC_OK) {
    EXPECT_TRUE(shortRead) << run.messages[0];
    for (const std::string& m : run.messages) EXPECT_EQ(m, DAMAGED_TEXT);
  } else if (run.result == RC_CANCELLED) {  // the driver showed the failure and stopped
    ASSERT_EQ(run.messages.size(), 1u);
    if (std::string(kind.message).rfind("Cannot", 0) != 0) {
      EXPECT_EQ(run.messages[0], kind.message);
    } else {
      ASSERT_NE(path, "?") << run.messages[0];
      EXPECT_FALSE(run.files.count(path) || run.folders.count(path)) << path;
    }
  } else {  // the dialog reports the code
    EXPECT_TRUE(run.messages.empty());
    EXPECT_NE(std::find(kind.dialogCodes.begin(), kind.dialogCodes.end(), run.result), kind.dialogCodes.end())
        << "result " << run.result;
  }
}

TEST(FaultInjection, EveryCallOfEveryKindFailsCleanly) {
  TempDir dir;
  uint64_t injected[std::size(KINDS)] = {};
  for (const char* name : {"tree.jov", "stored.jov", "small-blocks.jov"}) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> archive = seedArchive(name);
    const Outcome clean = extractWith(dir, archive);
    ASSERT_EQ(clean.result, RC_OK);
    ASSERT_TRUE(clean.messages.empty());
    ASSERT_GE(clean.files.size(), 4u);
    for (size_t k = 0; k < std::size(KINDS); ++k) {
      const FaultKind& kind = KINDS[k];
      for (uint64_t n = 1; n <= clean.calls[kind.call]; ++n, ++injected[k]) {
        SCOPED_TRACE(std::string(kind.label) + " fault at call " + std::to_string(n));
        checkRun(kind, extractWith(dir, archive, Fault{kind.call, n, kind.shortTransfer}), clean);
        if (HasFatalFailure()) return;
      }
    }
  }
  for (size_t k = 0; k < std::size(KINDS); ++k) EXPECT_GT(injected[k], 0u) << KINDS[k].label;
}

}  // namespace
