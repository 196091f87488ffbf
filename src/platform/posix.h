// What the POSIX platform layer offers its host callers beyond platform.h.
//
// The core's paths are 8-bit strings in a Windows code page, as the archive
// stores its names; Linux file names are, by convention, UTF-8. The file
// wrappers convert every path on its way to the system once a code page is
// selected; by default bytes pass through unchanged.
#pragma once

#include <stdint.h>

// Selects the Windows code page the core's paths are written in (1252,
// 1251, 932, ...); 0 lets bytes pass through. False (setting unchanged) when
// the system knows no such code page, or when it does not write ASCII as
// ASCII (the core's name checks would not hold on disk).
bool setPathCodePage(int codepage);

// Converts `length` bytes of text in the selected code page to UTF-8 into
// `out` (capacity bytes, always terminated). A byte, or a double-byte
// sequence, that the code page leaves undefined becomes the character of the
// same number (0x81 gives U+0081), as Windows converts it; so every input
// gives valid UTF-8. With no code page selected the bytes are copied. Returns the length written, or -1 when
// `out` is too small.
int32_t codePageToUtf8(const char* text, uint32_t length, char* out, uint32_t capacity);

// Below `path` (core notation; "" is the current folder, which every
// relative path lies below) the file wrappers follow no symbolic link: a
// link where a folder belongs fails the call, a link where a file belongs is
// replaced (never its target written), a FIFO, socket or device is refused
// without being opened, a file is replaced by a new inode rather than
// truncated, and attributes are changed on folders only. `path` itself is
// followed. Paths below it are also compared as Windows compares names: a
// component that differs only in case from an entry there (or one made
// since) takes that entry's spelling. Null: nothing is confined (the
// default). Setting or clearing it first puts every staged file in place.
void setExtractionRoot(const char* path);

// Why the last call below the extraction root refused its path, as
// "NAME: reason" (NAME relative to the root, UTF-8), or ""; reading clears it.
const char* takeRefusal();
