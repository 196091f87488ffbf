#include "archive/reading.h"

#include "archive/directory.h"
#include "codec/stream_reader.h"
#include "install_state.h"

ResultCode startReading(uint8_t* directoryBuffer) {
  state.inputBuffer = (uint8_t*)memAlloc(INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK);
  if (!state.inputBuffer) return RC_NO_MEMORY;
  // The decoders may look a few bytes past the loaded input (bits they never
  // use on well-formed data); zeroed memory keeps even damaged input from
  // carrying uninitialised bytes anywhere.
  for (uint32_t i = 0; i < INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK; ++i) state.inputBuffer[i] = 0;
  startStreamReading(state.inputBuffer);
  startDirectory(directoryBuffer);
  return RC_OK;
}

void finishReading() {
  if (state.outputBuffer) memFree(state.outputBuffer);
  state.outputBuffer = nullptr;
  memFree(state.inputBuffer);
  state.inputBuffer = nullptr;
}
