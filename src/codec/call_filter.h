// Executable call filter: undoes (and, for the packer, applies) the rewrite
// of x86 near-call operands into absolute form.
#pragma once

#include <stdint.h>

#include "platform/platform.h"
#include "result.h"

// Restores one piece of a file (its bytes within one block), updates
// state.runningCrc over the restored bytes and writes them to `output`.
// `passed` is the number of this file's bytes handed over in earlier pieces,
// `fileLength` the file's length. Keeps no state across pieces.
ResultCode writeFiltered(FileHandle output, const uint8_t* bytes, uint32_t count, uint32_t passed,
                         uint32_t fileLength);
