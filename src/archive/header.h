// Reading the ArchiveHeader where the archive begins.
#pragma once

#include "result.h"

// Positions state.archiveFile at state.archiveOffset and reads the 42-byte
// header into state.header. Anything but 42 bytes read is RC_READ_FAILED
// (a failed positioning shows up as that read failing or coming back short).
// Returns RC_OK; an entryCount of 0 is the caller's to refuse.
ResultCode readArchiveHeader();
