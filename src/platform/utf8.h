// UTF-8 read and written by hand, once, for the host: the packer's
// composition of names, the code-page conversion's undefined bytes and the
// console's text. Valid means the shortest form, no surrogate, at most
// U+10FFFF: what Linux file names and terminals take as text.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

const uint32_t NOT_UTF8 = 0xFFFFFFFFu;

// The code point that starts at `i` of `size` bytes, with `i` moved past it;
// NOT_UTF8, `i` unchanged, when the bytes there are not valid UTF-8.
inline uint32_t nextUtf8(const char* s, size_t size, size_t& i) {
  const unsigned char lead = (unsigned char)s[i];
  size_t n;
  uint32_t c, min;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    n = 1, c = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 2, c = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 3, c = lead & 0x07, min = 0x10000;
  } else {
    return NOT_UTF8;
  }
  if (size - i - 1 < n) return NOT_UTF8;
  for (size_t k = 1; k <= n; ++k) {
    const unsigned char b = (unsigned char)s[i + k];
    if ((b & 0xC0) != 0x80) return NOT_UTF8;
    c = c << 6 | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return NOT_UTF8;
  i += n + 1;
  return c;
}

// Writes code point `c` (at most U+10FFFF) into `out`, which has room for
// 4 bytes; returns how many it took.
inline size_t putUtf8(uint32_t c, char* out) {
  if (c < 0x80) {
    out[0] = (char)c;
    return 1;
  }
  if (c < 0x800) {
    out[0] = (char)(0xC0 | c >> 6);
    out[1] = (char)(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = (char)(0xE0 | c >> 12);
    out[1] = (char)(0x80 | (c >> 6 & 0x3F));
    out[2] = (char)(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = (char)(0xF0 | c >> 18);
  out[1] = (char)(0x80 | (c >> 12 & 0x3F));
  out[2] = (char)(0x80 | (c >> 6 & 0x3F));
  out[3] = (char)(0x80 | (c & 0x3F));
  return 4;
}

inline void appendUtf8(std::string& out, uint32_t c) {
  char bytes[4];
  out.append(bytes, putUtf8(c, bytes));
}

// The largest cut at or before `at` that splits no character of `s`.
inline size_t utf8Boundary(const std::string& s, size_t at) {
  while (at > 0 && at < s.size() && ((unsigned char)s[at] & 0xC0) == 0x80) --at;
  return at;
}
