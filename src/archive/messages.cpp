#include "archive/messages.h"

#include "archive/names.h"
#include "frontend.h"
#include "install_state.h"

#ifndef JOV_STUB
#include <errno.h>
#include <string.h>
#endif

namespace {

const char TEXT_NO_MEMORY[] = "Not enough memory";
const char TEXT_DAMAGED[] = "Archive data is damaged, probably caused by\ncorrupt disk or download error";

// The installer's second line for a system error (the network range
// ERR_NETWORK_FIRST..ERR_NETWORK_LAST: "\nNetwork error").
struct ErrorSuffix {
  uint8_t error;
  const char* text;
};
const ErrorSuffix ERROR_SUFFIXES[] = {
    {ERR_FILE_NOT_FOUND, "\nFile not found"},     {ERR_PATH_NOT_FOUND, "\nPath not found"},
    {ERR_ACCESS_DENIED, "\nAccess denied"},       {ERR_INVALID_DRIVE, "\nInvalid drive"},
    {ERR_WRITE_PROTECT, "\nDisk is write protected"}, {ERR_NOT_READY, "\nDevice not ready"},
    {ERR_SEEK, "\nTrack not found"},              {ERR_NOT_DOS_DISK, "\nNot a DOS disk"},
    {ERR_SECTOR_NOT_FOUND, "\nSector not found"}, {ERR_WRITE_FAULT, "\nWrite fault"},
    {ERR_READ_FAULT, "\nRead fault"},             {ERR_GEN_FAILURE, "\nGeneral failure"},
    {ERR_HANDLE_DISK_FULL, "\nDisk full"},        {ERR_DISK_FULL, "\nDisk full"},
    {ERR_FILE_EXISTS, "\nFile exists"},           {ERR_BAD_PATHNAME, "\nInvalid path"},
    {ERR_FILENAME_EXCED_RANGE, "\nPath too long"},
};

#ifndef JOV_STUB
// `jov` speaks as the tools beside it on Linux do: a system error is worded
// as the C library words the errno behind it. The POSIX layer saves errno
// as a Win32 number (posix_files.cpp); this is that map read backwards, one
// errno per number, so that a cause reads the same whichever way it was
// reported.
struct ErrorCause {
  uint8_t error;
  uint8_t errnoValue;
};
const ErrorCause ERROR_CAUSES[] = {
    {ERR_FILE_NOT_FOUND, ENOENT},      {ERR_PATH_NOT_FOUND, ENOENT},      {ERR_TOO_MANY_OPEN_FILES, EMFILE},
    {ERR_ACCESS_DENIED, EACCES},       {ERR_INVALID_HANDLE, EBADF},       {ERR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERR_WRITE_PROTECT, EROFS},        {ERR_NOT_READY, ENODEV},           {ERR_GEN_FAILURE, EIO},
    {ERR_SHARING_VIOLATION, EBUSY},
    {ERR_HANDLE_DISK_FULL, ENOSPC},    {ERR_DISK_FULL, ENOSPC},           {ERR_FILE_EXISTS, EEXIST},
    {ERR_ALREADY_EXISTS, EEXIST},      {ERR_INVALID_PARAMETER, EINVAL},   {ERR_NEGATIVE_SEEK, EINVAL},
    {ERR_DIR_NOT_EMPTY, ENOTEMPTY},    {ERR_BAD_PATHNAME, ELOOP},         {ERR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
};
#endif

// Formats with the path and the system-error suffix. `jov` writes them on
// one line, in lower case after its "jov extract: ", as GNU tools do.
const char* pathFormat(ResultCode code) {
#ifdef JOV_STUB
  switch (code) {
    case RC_CREATE_FAILED: return "Cannot create %s%s";
    case RC_OPEN_FAILED: return "Cannot open %s%s";
    case RC_READ_FAILED:
    case RC_SEEK_FAILED: return "Cannot read %s%s";
    case RC_WRITE_FAILED: return "Cannot write %s%s";
    case RC_FOLDER_FAILED: return "Cannot create folder %s%s";
    default: return nullptr;
  }
#else
  switch (code) {
    case RC_CREATE_FAILED: return "cannot create %s%s";
    case RC_OPEN_FAILED: return "cannot open %s%s";
    case RC_READ_FAILED:
    case RC_SEEK_FAILED: return "cannot read %s%s";
    case RC_WRITE_FAILED: return "cannot write %s%s";
    case RC_FOLDER_FAILED: return "cannot create folder %s%s";
    default: return nullptr;
  }
#endif
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
  if (lastSystemError >= ERR_NETWORK_FIRST && lastSystemError <= ERR_NETWORK_LAST) return "\nNetwork error";
  return "";
}

#ifndef JOV_STUB
const char* errnoReason(int error) {
  // The untranslated words: jov's own text around them is English.
  const char* words = error ? strerrordesc_np(error) : nullptr;
  return words ? words : "Unknown error";
}

// Why the record's name at the end of `path` is refused: the last component
// the name rule refuses lies in the name, whatever the folder before it holds.
std::string unsafeNameReason(const char* path) {
  const uint32_t length = (uint32_t)strlen(path);
  uint32_t from = 0;
  for (uint32_t i = 0; i < length; ++i)
    if ((path[i] == '\\' || path[i] == '/') && checkEntryName((const uint8_t*)path + i + 1, length - i - 1) != NAME_OK)
      from = i + 1;
  return nameProblemText((const uint8_t*)path + from, length - from);
}

const char* systemErrorReason(uint32_t error) {
  for (const ErrorCause& c : ERROR_CAUSES)
    if (c.error == error) return errnoReason(c.errnoValue);
  return "";
}
#endif

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
    formatText(state.messageText, MESSAGE_TEXT_SIZE, "%s: unsafe name (%s)", path, unsafeNameReason(path).c_str());
    return 1;
  }
#endif
  if (fixed) {
    formatText(state.messageText, MESSAGE_TEXT_SIZE, fixed, nullptr, nullptr);
    return 1;
  }
  const char* format = pathFormat(code);
  if (!format) return 0;
#ifdef JOV_STUB
  formatText(state.messageText, MESSAGE_TEXT_SIZE, format, path, systemErrorText());
#else
  const char* words = systemErrorReason(lastSystemError);
  char reason[64] = "";
  if (*words) formatText(reason, sizeof reason, ": %s", words, nullptr);
  formatText(state.messageText, MESSAGE_TEXT_SIZE, format, path, reason);
#endif
  return 1;
}

int reportResult(WindowHandle owner, ResultCode code, const char* path, int askToContinue) {
  if (!composeMessage(code, path)) return 0;
  lastSystemError = 0;
  int ok = showMessage(owner, state.messageText, askToContinue);
  return askToContinue && ok ? 0 : 1;
}
