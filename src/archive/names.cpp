// Names come from the archive and are untrusted: a name this rule refuses
// could leave the install folder (drive, "..", leading separator), name an
// alternate data stream (":"), or open a device instead of a file. Windows
// decides a device by the part before the first dot, after dropping the
// spaces at its end ("nul .log" is NUL), and takes the code page 1252
// superscripts ¹²³ (bytes 0xB9, 0xB2, 0xB3) as port digits too.
#include "archive/names.h"

#ifndef JOV_STUB
#include <stdio.h>
#endif

namespace {

bool isSeparator(uint8_t c) { return c == '\\' || c == '/'; }

uint8_t upper(uint8_t c) { return c >= 'a' && c <= 'z' ? (uint8_t)(c - 32) : c; }

bool sameNameIgnoringCase(const uint8_t* name, uint32_t length, const char* reserved) {
  uint32_t i = 0;
  for (; i < length && reserved[i]; ++i) {
    if (upper(name[i]) != (uint8_t)reserved[i]) return false;
  }
  return i == length && reserved[i] == 0;
}

bool isPortDigit(uint8_t c) { return (c >= '1' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3; }

bool isDeviceName(const uint8_t* component, uint32_t length) {
  uint32_t base = 0;
  while (base < length && component[base] != '.') ++base;
  while (base > 0 && component[base - 1] == ' ') --base;
  static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : devices) {
    if (sameNameIgnoringCase(component, base, device)) return true;
  }
  return base == 4 && isPortDigit(component[3]) &&
         (sameNameIgnoringCase(component, 3, "COM") || sameNameIgnoringCase(component, 3, "LPT"));
}

}  // namespace

NameVerdict checkNameComponent(const uint8_t* component, uint32_t length) {
  if (length == 0) return NAME_EMPTY_COMPONENT;
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t c = component[i];
    if (c < 32 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*') {
      return NAME_BAD_CHARACTER;
    }
  }
  uint8_t last = component[length - 1];
  if (last == '.' || last == ' ') return NAME_TRAILING_DOT;
  return isDeviceName(component, length) ? NAME_DEVICE : NAME_OK;
}

NameVerdict checkEntryName(const uint8_t* name, uint32_t length) {
  uint32_t start = 0;
  for (uint32_t i = 0; i <= length; ++i) {
    if (i == length || isSeparator(name[i])) {
      NameVerdict verdict = checkNameComponent(name + start, i - start);
      if (verdict != NAME_OK) return verdict;
      start = i + 1;
    }
  }
  return NAME_OK;
}

#ifndef JOV_STUB
const char* nameVerdictText(NameVerdict verdict) {
  switch (verdict) {
    case NAME_OK: return "a valid name";
    case NAME_EMPTY_COMPONENT: return "an empty name or component";
    case NAME_BAD_CHARACTER: return "a control character or one of <>:\"|?* in a name";
    case NAME_TRAILING_DOT: return "a name ending in a dot or space, which Windows drops";
    case NAME_DEVICE: return "a reserved device name on Windows";
  }
  return "an invalid name";
}
#endif

#ifndef JOV_STUB
bool looksLikeShortName(const uint8_t* component, uint32_t length) {
  // A base of at most 8 characters ending in "~" and digits, then at most
  // one dot and 1 to 3 characters.
  uint32_t base = 0;
  while (base < length && component[base] != '.') ++base;
  uint32_t extension = base < length ? length - base - 1 : 0;
  if (base > 8 || (base < length && (extension == 0 || extension > 3))) return false;
  for (uint32_t i = base + 1; i < length; ++i) {
    if (component[i] == '.') return false;
  }
  uint32_t digits = 0;
  while (digits < base && component[base - 1 - digits] >= '0' && component[base - 1 - digits] <= '9') ++digits;
  return digits > 0 && base >= digits + 2 && component[base - 1 - digits] == '~';
}

std::string nameProblemText(const uint8_t* name, uint32_t length) {
  uint32_t start = 0;
  for (uint32_t i = 0; i <= length; ++i) {
    if (i < length && !isSeparator(name[i])) continue;
    const uint8_t* c = name + start;
    const uint32_t n = i - start;
    start = i + 1;
    const NameVerdict verdict = checkNameComponent(c, n);
    if (verdict == NAME_OK) continue;
    const std::string component((const char*)c, n);
    if (verdict == NAME_BAD_CHARACTER) {
      uint32_t k = 0;
      while (checkNameComponent(c + k, 1) != NAME_BAD_CHARACTER) ++k;
      char shown[40];
      if (c[k] < 32)
        snprintf(shown, sizeof shown, "the control character 0x%02X", c[k]);
      else
        snprintf(shown, sizeof shown, "the character '%c'", c[k]);
      return std::string(shown) + " in a name, which Windows refuses";
    }
    // "." and ".." keep their own words; a name that merely ends in a dot
    // or space is quoted, so that the space shows.
    if (verdict == NAME_TRAILING_DOT && component.find_first_not_of('.') != std::string::npos)
      return "\"" + component + "\" ends in a " + (c[n - 1] == ' ' ? "space" : "dot") + ", which Windows drops";
    if (verdict == NAME_DEVICE) return "\"" + component + "\" is " + nameVerdictText(verdict);
    return nameVerdictText(verdict);
  }
  return nameVerdictText(NAME_OK);
}
#endif
