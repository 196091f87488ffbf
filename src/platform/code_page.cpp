#include "platform/code_page.h"

#include <errno.h>
#include <iconv.h>
#include <limits.h>
#include <locale.h>
#include <wchar.h>
#include <wctype.h>
#include <string.h>

#include <stdexcept>

#include "platform/utf8.h"

namespace {

const iconv_t NO_CONVERTER = (iconv_t)-1;

// glibc knows most Windows code pages as "CPnnnn", a few only as "WINDOWS-nnnn".
iconv_t openConverter(int codepage, bool toPage) {
  for (const char* prefix : {"CP", "WINDOWS-"}) {
    std::string page = prefix + std::to_string(codepage);
    iconv_t cd = toPage ? iconv_open(page.c_str(), "UTF-8") : iconv_open("UTF-8", page.c_str());
    if (cd != NO_CONVERTER) return cd;
  }
  return NO_CONVERTER;
}

}  // namespace

CodePageConverter::CodePageConverter(int codepage) {
  iconv_t to = openConverter(codepage, true);
  iconv_t from = to == NO_CONVERTER ? NO_CONVERTER : openConverter(codepage, false);
  if (from == NO_CONVERTER) {
    if (to != NO_CONVERTER) iconv_close(to);
    throw std::runtime_error("unknown code page " + std::to_string(codepage));
  }
  fromUtf8_ = to;
  toUtf8_ = from;
  // ASCII is the same bytes in UTF-8 as in a page that keeps it, so both
  // directions must give the text back unchanged.
  std::string ascii;
  for (int c = 1; c < 128; ++c) ascii += (char)c;
  char back[4 * 128];
  if (fromUtf8(ascii) != ascii || toUtf8(ascii.data(), (uint32_t)ascii.size(), back, sizeof back) != 127 ||
      memcmp(back, ascii.data(), 127) != 0) {
    release();  // no destructor runs for a constructor that throws
    throw std::runtime_error("code page " + std::to_string(codepage) + " does not keep ASCII as it is");
  }
}

CodePageConverter::~CodePageConverter() { release(); }

void CodePageConverter::release() {
  iconv_close((iconv_t)fromUtf8_);
  iconv_close((iconv_t)toUtf8_);
}

std::optional<std::string> CodePageConverter::fromUtf8(const std::string& utf8) {
  iconv_t cd = (iconv_t)fromUtf8_;
  std::string out(utf8.size() * 4 + 8, '\0');
  char* from = const_cast<char*>(utf8.data());
  size_t fromLeft = utf8.size();
  char* to = out.data();
  size_t toLeft = out.size();
  size_t r = iconv(cd, &from, &fromLeft, &to, &toLeft);
  bool ok = r != (size_t)-1 && fromLeft == 0 && iconv(cd, nullptr, nullptr, &to, &toLeft) != (size_t)-1;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a failed call leaves no state for the next name
  // iconv counts irreversible conversions in r; any of them means the name
  // would not come back as it is.
  if (!ok || r != 0) return std::nullopt;
  out.resize(out.size() - toLeft);
  return out;
}

int32_t CodePageConverter::toUtf8(const char* text, uint32_t length, char* out, uint32_t capacity) {
  if (capacity == 0) return -1;
  iconv_t cd = (iconv_t)toUtf8_;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(text);
  size_t inLeft = length;
  char* o = out;
  size_t outLeft = capacity - 1;  // the terminator's place
  while (iconv(cd, &in, &inLeft, &o, &outLeft) == (size_t)-1) {
    if (errno == E2BIG) return -1;
    // EILSEQ or EINVAL: a byte the code page does not define, or a lead byte
    // without its trail byte. It stands for the character of its number,
    // after whatever the converter holds back (1258 waits for combining marks).
    if (iconv(cd, nullptr, nullptr, &o, &outLeft) == (size_t)-1) return -1;
    uint8_t byte = (uint8_t)*in++;
    --inLeft;
    char bytes[4];
    size_t need = putUtf8(byte, bytes);
    if (outLeft < need) return -1;
    memcpy(o, bytes, need);
    o += need;
    outLeft -= need;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  if (iconv(cd, nullptr, nullptr, &o, &outLeft) == (size_t)-1) return -1;
  *o = 0;
  return (int32_t)(o - out);
}

std::optional<std::string> toCodePage(const std::string& utf8, int codepage) {
  return CodePageConverter(codepage).fromUtf8(utf8);
}

std::string foldNameCase(const std::string& utf8) {
  // Built once; C.UTF-8 is part of the C library, whatever the user's locale.
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
  if (!unicode) return utf8;
  const locale_t previous = uselocale(unicode);
  std::string out;
  out.reserve(utf8.size());
  mbstate_t in{};
  for (size_t i = 0; i < utf8.size();) {
    wchar_t c;
    size_t length = mbrtowc(&c, utf8.data() + i, utf8.size() - i, &in);
    if (length == (size_t)-1 || length == (size_t)-2) {  // not UTF-8: the byte as it is
      in = mbstate_t{};
      out += utf8[i++];
      continue;
    }
    char bytes[MB_LEN_MAX];
    mbstate_t state{};
    out.append(bytes, wcrtomb(bytes, (wchar_t)towupper((wint_t)c), &state));
    i += length ? length : 1;  // a zero byte reads as length 0
  }
  uselocale(previous);
  return out;
}
