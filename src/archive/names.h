// The one rule for names stored in an archive, applied by the installer
// before it creates anything, by `jov list/test/extract` and by `jov pack`
// before it stores a name. Names are 8-bit (the archive's code page), with
// "\" between components; "/" counts as a separator too, since Windows takes
// it as one.
#pragma once

#include <stdint.h>

#ifndef JOV_STUB
#include <string>
#endif

// Why a name is refused; NAME_OK when it is a relative path of plain Windows
// names that Windows keeps as they are written.
enum NameVerdict : uint8_t {
  NAME_OK = 0,
  NAME_EMPTY_COMPONENT,   // empty name, leading, trailing or doubled separator
  NAME_BAD_CHARACTER,     // a control character or one of <>:"|?* (":" names drives and streams)
  NAME_TRAILING_DOT,      // ends in "." or " ", which Windows drops: ".", "..", "a. "
  NAME_DEVICE,            // CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9, LPT1-9, COM/LPT with ¹²³
};

// Checks a whole name (length bytes, not terminated): every component.
NameVerdict checkEntryName(const uint8_t* name, uint32_t length);

// Checks one component, which the caller has cut at the separators.
NameVerdict checkNameComponent(const uint8_t* component, uint32_t length);

inline bool isSafeEntryName(const uint8_t* name, uint32_t length) {
  return checkEntryName(name, length) == NAME_OK;
}

#ifndef JOV_STUB
// A few words on the refusal, for `jov` ("a reserved device name on Windows").
const char* nameVerdictText(NameVerdict verdict);

// True when the component has the form of a short (8.3) name that Windows
// makes for a long one ("LONG~1", "PROGRA~2.TXT"): on Windows it may open
// another file or folder through that alias. The name rule accepts it; `jov`
// reports it.
bool looksLikeShortName(const uint8_t* component, uint32_t length);

// Why `name` is refused, in words that show the fault: the character found
// ("the character '|' in a name, which Windows refuses"), the component
// quoted when it ends in a space or dot or is a device name. The component
// keeps its bytes (the archive's code page, or the packer's UTF-8).
std::string nameProblemText(const uint8_t* name, uint32_t length);
#endif
