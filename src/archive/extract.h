// The archive folder owns reading an archive: its header, directory, the
// reading set-up shared with `jov` (reading.h), paths, messages, the stub
// seal and PE-header reader, and this driver, which walks the directory and
// hands each file to the codec. It uses codec/ and platform/; front ends
// (shell/, cli/) call it (src/README.md).
//
// Extraction driver: installs the whole archive into state.installPath.
#pragma once

#include <stdint.h>

#include "platform/platform.h"
#include "result.h"

// Creates the install folder and every record of the directory, asking the
// front end about existing files and reporting per-file failures. RC_OK when
// every record was handled; RC_CANCELLED after a cancel or a failure it has
// already shown; otherwise the code for the caller to report.
ResultCode extractArchive(WindowHandle dialog);
