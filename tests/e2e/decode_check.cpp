// decode_check: unpacks a raw JOV archive with the stub's own core, built as
// the stub builds it (JOV_STUB, 32-bit, same flags), for the e2e test
// stub_decoder.py. The stub takes smaller code paths than the host (the CRC,
// the decoder's tables and copies); the unit tests cover the host's, this
// program lets the stub's be compared with the packed files under Wine.
//
//   decode_check ARCHIVE FOLDER     exit 0 when every entry was extracted
//                                   without a message
#include <stdio.h>
#include <windows.h>

#include "archive/extract.h"
#include "archive/header.h"
#include "archive/messages.h"
#include "codec/crc32.h"
#include "frontend.h"
#include "install_state.h"

namespace {
int messagesShown = 0;
}

int askOverwrite(const char*) { return OVERWRITE_YES; }

void showProgress(WindowHandle, const char*) {}

int showMessage(WindowHandle, const char* text, int) {
  fprintf(stderr, "decode_check: %s\n", text);
  ++messagesShown;
  return 1;  // OK: go on with the next entry
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: decode_check ARCHIVE FOLDER\n");
    return 2;
  }
  state.archiveFile = fileOpen(argv[1], ACCESS_READ);
  if (state.archiveFile == INVALID_FILE) {
    fprintf(stderr, "decode_check: cannot open %s\n", argv[1]);
    return 1;
  }
  buildCrcTable();
  state.archiveOffset = 0;
  ResultCode rc = readArchiveHeader();
  if (rc == RC_OK) {
    formatText(state.installPath, INSTALL_PATH_SIZE, argv[2], nullptr, nullptr);
    rc = extractArchive(nullptr);
  }
  fileClose(state.archiveFile);
  if (rc < 0) {
    fprintf(stderr, "decode_check: result %d\n", (int)rc);
    return 1;
  }
  printf("decode_check: %u entries\n", (unsigned)state.header.entryCount);
  return messagesShown ? 1 : 0;
}
