#include "archive/paths.h"

#include "install_state.h"

char* lastIndexOfByte(const char* text, uint8_t value) {
  const char* found = nullptr;
  for (const char* p = text;; ++p) {
    if ((uint8_t)*p == value) found = p;
    if (*p == 0) break;
  }
  return const_cast<char*>(found);
}

const void* findByte(const void* start, uint8_t value, uint32_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(start);
  for (uint32_t i = 0; i != count; ++i) {
    if (p[i] == value) return p + i;
  }
  return nullptr;
}

int compareBytes(const void* a, const void* b, uint32_t count) {
  const uint8_t* x = static_cast<const uint8_t*>(a);
  const uint8_t* y = static_cast<const uint8_t*>(b);
  for (uint32_t i = 0; i < count; ++i) {
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  }
  return 0;
}

char* fileNamePart(char* path) {
  char* slash = lastIndexOfByte(path, '\\');
  if (slash) return slash + 1;
  if (path[0] && path[1] == ':') return path + 2;
  return path;
}

char* appendSeparator(char* path) {
  char* end = (char*)findByte(path, 0, UNBOUNDED);
  if (end != path && end[-1] != '\\' && end[-1] != ':') {
    *end++ = '\\';
    *end = 0;
  }
  return end;
}

char* stripTrailingSeparators(char* path) {
  char* end = (char*)findByte(path, 0, UNBOUNDED);
  while (end - path > 1 && end[-1] == '\\' && end[-2] != ':') *--end = 0;
  return end;
}

int createFolderPath(const char* path) {
  char work[PATH_CAPACITY];
  uint32_t length = 0;
  while (path[length]) {
    if (length >= PATH_MAX_CHARS) {
      lastSystemError = ERR_FILENAME_EXCED_RANGE;
      return 0;
    }
    work[length] = path[length];
    ++length;
  }
  work[length] = 0;
  stripTrailingSeparators(work);
  if (work[0] == 0) return 1;

  // Descend: cut components off until a level exists or can be created. The
  // existence test looks at the caller's full path, so it settles only the
  // case where the whole path is already there; a parent level counts as
  // present when creating it fails because it exists. Windows reports an
  // existing folder as ERROR_ALREADY_EXISTS (183) rather than 80; both mean
  // the level is there, else a missing deeper level could never be created.
  int levels = 0;
  for (;;) {
    if (fileAttributes(path) != INVALID_ATTRIBUTES) break;
    if (folderCreate(work)) break;
    if (lastSystemError == ERR_FILE_EXISTS || lastSystemError == ERR_ALREADY_EXISTS) break;
    char* slash = lastIndexOfByte(work, '\\');
    if (!slash || slash == work || slash[-1] == ':') return 0;
    *slash = 0;
    ++levels;
  }
  // Ascend: join the next deeper component again and create it.
  while (--levels >= 0) {
    char* end = (char*)findByte(work, 0, PATH_CAPACITY);
    *end = '\\';
    if (!folderCreate(work)) return 0;
  }
  return 1;
}
