#include "archive/messages.h"

#include "archive/names.h"
#include "frontend.h"
#include "install_state.h"

namespace {

const char TEXT_NO_MEMORY[] = "Not enough memory";
const char TEXT_DAMAGED[] = "Archive data is damaged, probably caused by\ncorrupt disk or download error";

// System errors with a second line of their own (50 to 71: "\nNetwork error").
struct ErrorSuffix {
  uint8_t error;
  const char* text;
};
const ErrorSuffix ERROR_SUFFIXES[] = {
    {2, "\nFile not found"},  {3, "\nPath not found"},   {5, "\nAccess denied"},
    {15, "\nInvalid drive"},  {19, "\nDisk is write protected"},
    {21, "\nDevice not ready"}, {25, "\nTrack not found"}, {26, "\nNot a DOS disk"},
    {27, "\nSector not found"}, {29, "\nWrite fault"},     {30, "\nRead fault"},
    {31, "\nGeneral failure"}, {39, "\nDisk full"},       {112, "\nDisk full"},
    {80, "\nFile exists"},    {161, "\nInvalid path"},     {206, "\nPath too long"},
};

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
  for (const ErrorSuffix& e : ERROR_SUFFIXES)
    if (e.error == lastSystemError) return e.text;
  if (lastSystemError >= 50 && lastSystemError <= 71) return "\nNetwork error";
  return "";
}

int composeMessage(ResultCode code, const char* path) {
  if (!path) path = state.stubName;
  const char* fixed = nullptr;
  if (code == RC_NO_MEMORY) fixed = TEXT_NO_MEMORY;
#ifdef JOV_STUB
  // The installer's table has no text of its own for a refused name, which
  // its packer never writes: to the installer it is damaged data.
  if (isDamaged(code) || code == RC_UNSAFE_NAME) fixed = TEXT_DAMAGED;
#else
  if (isDamaged(code)) fixed = TEXT_DAMAGED;
  if (code == RC_UNSAFE_NAME) {
    formatText(state.messageText, MESSAGE_TEXT_SIZE, "Unsafe name %s (%s)", path,
               nameVerdictText((NameVerdict)state.nameVerdict));
    return 1;
  }
#endif
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
  lastSystemError = 0;
  int ok = showMessage(owner, state.messageText, askToContinue);
  return askToContinue && ok ? 0 : 1;
}
