#include "archive/messages.h"

#include "frontend.h"
#include "install_state.h"

const char INSTALLER_CAPTION[] = "Tovrel Installation";

namespace {

const char TEXT_NO_MEMORY[] = "Not enough memory";
const char TEXT_DAMAGED[] = "Archive data is damaged, probably caused by\ncorrupt disk or download error";

// Formats with the path and the system-error suffix.
const char* pathFormat(ResultCode code) {
  switch (code) {
    case RC_CREATE_FAILED: return "Cannot create %s%s";
    case RC_OPEN_FAILED: return "Cannot open %s%s";
    case RC_READ_FAILED:
    case RC_SEEK_FAILED: return "Cannot read %s%s";
    case RC_WRITE_FAILED: return "Cannot write %s%s";
    case RC_FOLDER_FAILED: return "Cannot create folder %s%s";
    default: return nullptr;
  }
}

}  // namespace

uint32_t formatText(char* out, uint32_t capacity, const char* format, const char* first,
                    const char* second) {
  if (capacity == 0) return 0;
  const char* args[2] = {first, second};
  uint32_t used = 0, next = 0;
  for (const char* f = format; *f && used + 1 < capacity; ++f) {
    if (f[0] == '%' && f[1] == 's') {
      const char* a = next < 2 && args[next] ? args[next] : "";
      ++next;
      ++f;
      while (*a && used + 1 < capacity) out[used++] = *a++;
    } else {
      out[used++] = *f;
    }
  }
  out[used] = 0;
  return used;
}

const char* systemErrorText() {
  switch (state.lastSystemError) {
    case 2: return "\nFile not found";
    case 3: return "\nPath not found";
    case 5: return "\nAccess denied";
    case 15: return "\nInvalid drive";
    case 19: return "\nDisk is write protected";
    case 21: return "\nDevice not ready";
    case 25: return "\nTrack not found";
    case 26: return "\nNot a DOS disk";
    case 27: return "\nSector not found";
    case 29: return "\nWrite fault";
    case 30: return "\nRead fault";
    case 31: return "\nGeneral failure";
    case 39:
    case 112: return "\nDisk full";
    case 80: return "\nFile exists";
    case 161: return "\nInvalid path";
    default: break;
  }
  if (state.lastSystemError >= 50 && state.lastSystemError <= 71) return "\nNetwork error";
  return "";
}

int composeMessage(ResultCode code, const char* path) {
  if (!path) path = state.stubName;
  const char* fixed = nullptr;
  if (code == RC_NO_MEMORY) fixed = TEXT_NO_MEMORY;
  if (code == RC_DAMAGED || code == RC_INPUT_EXHAUSTED) fixed = TEXT_DAMAGED;
  if (fixed) {
    formatText(state.messageText, MESSAGE_TEXT_SIZE, fixed, nullptr, nullptr);
    return 1;
  }
  const char* format = pathFormat(code);
  if (!format) return 0;
  formatText(state.messageText, MESSAGE_TEXT_SIZE, format, path, systemErrorText());
  return 1;
}

int reportResult(WindowHandle owner, ResultCode code, const char* path, int askToContinue) {
  if (!composeMessage(code, path)) return 0;
  state.lastSystemError = 0;
  int ok = showMessage(owner, state.messageText, askToContinue);
  return askToContinue && ok ? 0 : 1;
}
