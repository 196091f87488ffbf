// The installer's identity record and the caption made from it.
#include <stddef.h>

#include "archive/messages.h"
#include "shell/shell.h"

// The defaults: every text the installer shows or records when `jov pack`
// was given no identity. In a named read-only section, like the seal; the
// magic is written out here so that the record is the only place it occurs.
__attribute__((section(".rdata$identity"))) const IdentityRecord stubIdentity = {
    {'J', 'O', 'V', 0x1A, 'N', 'A', 'M', 'E', 0x5B, 0xE1, 0x07, 0x93},
    "Tovrel", "0.93 Beta", "Morvane", "Tovrel32.exe", "tovrel.ini"};

static_assert(sizeof(IdentityRecord) == IDENTITY_SIZE && offsetof(IdentityRecord, product) == ID_PRODUCT &&
                  offsetof(IdentityRecord, version) == ID_VERSION &&
                  offsetof(IdentityRecord, publisher) == ID_PUBLISHER &&
                  offsetof(IdentityRecord, program) == ID_PROGRAM && offsetof(IdentityRecord, iniFile) == ID_INI_FILE,
              "the record's layout is format.h's");

char installerCaption[ID_PRODUCT_SIZE + sizeof " Installation" - 1];

const IdentityRecord* identity() {
  // The fields are rewritten after compiling: the empty asm hides where the
  // pointer leads, so every read goes to the record, never to the defaults
  // the compiler saw. (Cheaper than the seal's volatile copy.)
  const IdentityRecord* record = &stubIdentity;
  asm("" : "+r"(record));
  return record;
}

void composeCaption() {
  formatText(installerCaption, sizeof installerCaption, "%s Installation", identity()->product, nullptr);
}
