// Windows code pages on a POSIX host: the one conversion of names between
// the archive's 8-bit code page and the host's UTF-8, in both directions.
// The packer converts names to the code page, the POSIX platform layer every
// path from it, and `jov` the names it shows; all three open the code page
// here, so one rule decides which code pages can carry names at all.
// Host only (iconv); the stub hands its names to the system as they are.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>

class CodePageConverter {
 public:
  // Throws std::runtime_error for a code page the system does not know, and
  // for one that does not write ASCII as ASCII: the installer splits names
  // at "\" and checks them byte by byte as ASCII, so a UTF-16 or EBCDIC page
  // would turn a vetted name into another ("KK" into ".." in EBCDIC).
  explicit CodePageConverter(int codepage);
  ~CodePageConverter();
  CodePageConverter(const CodePageConverter&) = delete;
  CodePageConverter& operator=(const CodePageConverter&) = delete;

  // UTF-8 to the code page; nullopt when a character has no form in it.
  std::optional<std::string> fromUtf8(const std::string& utf8);

  // `length` bytes in the code page to UTF-8 into `out` (capacity bytes,
  // always terminated). A byte, or a double-byte sequence, that the code page
  // leaves undefined becomes the character of the same number (0x81 gives
  // U+0081), as Windows converts it; so every input gives valid UTF-8.
  // Returns the length written, or -1 when `out` is too small.
  int32_t toUtf8(const char* text, uint32_t length, char* out, uint32_t capacity);

 private:
  void release();
  void* fromUtf8_;  // iconv_t, UTF-8 to the code page
  void* toUtf8_;    // iconv_t, the code page to UTF-8
};

// One text converted with a converter made for it (throws as the constructor).
std::optional<std::string> toCodePage(const std::string& utf8, int codepage);

// `utf8` as Windows compares file names: every character in upper case by
// the C library's Unicode tables (the C.UTF-8 locale), one character for
// one, without normalising ("ß" stays, "é" and "e" + accent differ).
// Bytes that are not UTF-8 are kept. Two names are the same file on Windows
// when their folded forms are equal.
std::string foldNameCase(const std::string& utf8);
