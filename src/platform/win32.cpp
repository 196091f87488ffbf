// Win32 platform layer: the stub's real calls, ANSI entry points, with the
// fixed arguments that every caller relies on.
#include <windows.h>

#include "platform/platform.h"

static_assert(sizeof(FileHandle) == sizeof(HANDLE), "a FileHandle holds a HANDLE");

namespace {

const uint32_t PUMP_INTERVAL_MS = 25;

inline HANDLE toHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

void saveError() { lastSystemError = GetLastError(); }

uint32_t lastPumpTick;  // millisecond tick of the last queue drain

}  // namespace

uint32_t lastSystemError;

void* memAlloc(uint32_t size) { return LocalAlloc(LMEM_FIXED, size); }

void* memRealloc(void* block, uint32_t size) {
  return LocalReAlloc(static_cast<HLOCAL>(block), size, LMEM_MOVEABLE);
}

void memFree(void* block) { LocalFree(static_cast<HLOCAL>(block)); }

FileHandle fileCreate(const char* path, uint32_t attributes) {
  lastSystemError = 0;
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         attributes | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) saveError();
  return reinterpret_cast<FileHandle>(h);
}

FileHandle fileCreateFresh(const char* path) {
  return reinterpret_cast<FileHandle>(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

FileHandle fileOpen(const char* path, uint32_t access) {
  lastSystemError = 0;
  DWORD share = (access & GENERIC_WRITE) ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE h = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS, nullptr);
  if (h == INVALID_HANDLE_VALUE) saveError();
  return reinterpret_cast<FileHandle>(h);
}

int fileClose(FileHandle file) {
  if (CloseHandle(toHandle(file))) return 1;
  if (lastSystemError == 0) saveError();  // keep the earlier failure's number
  return 0;
}

int32_t fileRead(FileHandle file, void* buffer, uint32_t count) {
  lastSystemError = 0;
  DWORD done = 0;
  if (!ReadFile(toHandle(file), buffer, count, &done, nullptr)) {
    saveError();
    return -1;
  }
  return (int32_t)done;
}

int32_t fileWrite(FileHandle file, const void* buffer, uint32_t count) {
  lastSystemError = 0;
  DWORD done = 0;
  if (!WriteFile(toHandle(file), buffer, count, &done, nullptr)) {
    DWORD error = GetLastError();
    lastSystemError = error == ERROR_HANDLE_DISK_FULL ? ERROR_DISK_FULL : error;
    return -1;
  }
  if (done < count) {
    lastSystemError = ERROR_DISK_FULL;
    return -1;
  }
  return (int32_t)done;
}

uint32_t fileSeek(FileHandle file, uint32_t distance, uint32_t method) {
  lastSystemError = 0;
  // With the high part given, SetFilePointer takes a signed 64-bit distance
  // (positions from the beginning are unsigned, steps signed), and
  // INVALID_SET_FILE_POINTER is a failure only with an error number.
  LONG high = method == FROM_BEGIN ? 0 : (LONG)distance >> 31;
  DWORD at = SetFilePointer(toHandle(file), (LONG)distance, &high, method);
  if (at == INVALID_SET_FILE_POINTER) saveError();
  if (lastSystemError == 0 && (high != 0 || at == INVALID_SET_FILE_POINTER)) {
    lastSystemError = ERROR_INVALID_PARAMETER;
    return SEEK_FAILED;
  }
  return at;
}

uint32_t fileAttributes(const char* path) {
  DWORD bits = GetFileAttributesA(path);
  if (bits == INVALID_FILE_ATTRIBUTES) saveError();
  return bits;
}

int fileDelete(const char* path) {
  if (DeleteFileA(path)) return 1;
  saveError();
  return 0;
}

int folderCreate(const char* path) {
  if (CreateDirectoryA(path, nullptr)) return 1;
  saveError();
  return 0;
}

int fileSetTimes(FileHandle file, uint16_t createDate, uint16_t createTime, uint16_t writeDate,
                 uint16_t writeTime) {
  lastSystemError = 0;
  FILETIME local, created, written;
  FILETIME* createdOrNone = nullptr;
  FILETIME* writtenOrNone = nullptr;
  if (createDate) {
    DosDateTimeToFileTime(createDate, createTime, &local);
    LocalFileTimeToFileTime(&local, &created);
    createdOrNone = &created;
  }
  if (writeDate) {
    DosDateTimeToFileTime(writeDate, writeTime, &local);
    LocalFileTimeToFileTime(&local, &written);
    writtenOrNone = &written;
  }
  if (SetFileTime(toHandle(file), createdOrNone, nullptr, writtenOrNone)) return 1;
  saveError();
  return 0;
}

int fileSetAttributes(const char* path, uint32_t attributes) {
  lastSystemError = 0;
  if (SetFileAttributesA(path, attributes)) return 1;
  saveError();
  return 0;
}

// Draining the queue costs a round trip to the window system even when it is
// empty, and the driver asks after every small file: thousands of times a
// second. A few dozen drains a second keep the dialog painted and Cancel
// answered without a delay anyone could notice. The tick wraps after 49 days;
// the unsigned difference does not care.
void pumpMessages() {
  uint32_t now = GetTickCount();
  if (now - lastPumpTick < PUMP_INTERVAL_MS) return;
  lastPumpTick = now;
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}
