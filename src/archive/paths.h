// Operations on 8-bit, zero-terminated paths ("\" separators, optional drive
// prefix "X:"), in place on the caller's buffer, allocating nothing. Positions
// are pointers into the caller's buffer.
#pragma once

#include <stdint.h>

const uint32_t UNBOUNDED = 0xFFFFFFFFu;

// Last byte equal to `value`, or null; value 0 finds the terminator.
char* lastIndexOfByte(const char* text, uint8_t value);
// First byte equal to `value` among the first `count` bytes, or null;
// UNBOUNDED searches without a bound (to find a terminator).
const void* findByte(const void* start, uint8_t value, uint32_t count);
// 0 when equal (and for count 0), else -1 or 1 by the first differing byte
// taken as unsigned.
int compareBytes(const void* a, const void* b, uint32_t count);
// Just after the last "\"; without one, position 2 after "X:", else start.
char* fileNamePart(char* path);
// Ensures a name can be appended (adds "\" unless empty or ending in "\" or
// ":"); returns the terminator. Writes up to one byte past the old terminator.
char* appendSeparator(char* path);
// Removes trailing "\" while more than one character remains and the one
// before is not ":"; returns the terminator.
char* stripTrailingSeparators(char* path);
// Creates the folder and every missing parent. 1 when it exists (as a folder
// or a file) or was created; 0 with lastSystemError set otherwise, also for a
// path of more than 259 characters.
int createFolderPath(const char* path);
