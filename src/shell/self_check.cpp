// The stub self-check: the stub part of our own file must be byte for byte
// the stub that was built and sealed (archive/seal.h).
#include "archive/paths.h"
#include "archive/seal.h"
#include "frontend.h"
#include "install_state.h"
#include "shell/shell.h"

// The seal record. The build writes its fields into the linked file, after
// the compiler has seen the zeros, so every read goes through volatile.
// GCC would put a volatile object into .data; the named read-only section
// spares the stub a .data section of its own. The magic is written out here
// once: the stub never refers to SEAL_MAGIC, so the
// record is the only place the magic occurs in the stub (sealstub checks).
__attribute__((section(".rdata$seal"))) const volatile uint8_t stubSeal[SEAL_SIZE] = {'J', 'O', 'V', 0x1A, 'S', 'E', 'A', 'L', 0x8F, 0x3C, 0xD2, 0x05};

namespace {

const char TEXT_MODIFIED[] =
    "This installer has been modified, possibly by a download error or a virus.\n"
    "Nothing will be installed.";

}  // namespace

ResultCode verifyStub() {
  uint8_t record[SEAL_SIZE];
  for (uint32_t i = 0; i < SEAL_SIZE; ++i) record[i] = stubSeal[i];
  StubSeal seal;
  parseSeal(record, &seal);
  ResultCode rc = RC_MODIFIED;  // an unsealed stub has no archive to offer
  if (seal.stubLength >= SEAL_SIZE && seal.sealOffset <= seal.stubLength - SEAL_SIZE) {
    uint8_t* bytes = static_cast<uint8_t*>(memAlloc(seal.stubLength));
    if (!bytes) return RC_NO_MEMORY;
    rc = RC_READ_FAILED;
    if (fileSeek(state.archiveFile, 0, FROM_BEGIN) != SEEK_FAILED) {
      int32_t n = fileRead(state.archiveFile, bytes, seal.stubLength);
      // A short file has lost part of its stub; the record in the file must
      // be the one that was loaded, magic included.
      if (n >= 0)
        rc = (uint32_t)n == seal.stubLength && !compareBytes(bytes + seal.sealOffset, record, SEAL_SIZE) &&
                     sealCrc(bytes, seal.stubLength, seal.sealOffset) == seal.stubCrc
                 ? RC_OK
                 : RC_MODIFIED;
    }
    memFree(bytes);
  }
  if (rc == RC_MODIFIED) showMessage(nullptr, TEXT_MODIFIED, 0);
  if (rc == RC_OK) state.archiveOffset = seal.stubLength;
  return rc;
}
