// One reading run over an open archive, shared by the extraction driver and
// `jov`: the buffers that the directory reader and the stream reader work
// in, taken and released in one place, so that a listing or a test meets the
// same set-up, and the same failures, as an installation.
#pragma once

#include <stdint.h>

#include "result.h"

// With state.archiveFile open and state.header read (archive/header.h): takes
// the input buffer (INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK bytes, zeroed),
// puts the stream reader in its starting state over it and the directory
// reader at the first directory block, decoding into `directoryBuffer`
// (DIRECTORY_BUFFER_SIZE bytes, the caller's). RC_NO_MEMORY holds nothing.
ResultCode startReading(uint8_t* directoryBuffer);

// Releases the input and output buffers of a run that startReading began.
void finishReading();
