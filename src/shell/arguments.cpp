#include "shell/arguments.h"

namespace {

// Arguments end at blanks; quotes around them count as blanks.
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '"'; }

// Whether `p` starts with "/" and `letter` (lower case) in either case.
bool isSwitch(const char* p, char letter) { return p[0] == '/' && (p[1] | 0x20) == letter; }

}  // namespace

int readArguments(const char* line, char* folder, uint32_t capacity) {
  // The program's name: a quoted one to its closing quote, then to a blank.
  if (*line == '"') {
    do ++line;
    while (*line && *line != '"');
  }
  while (*line && !isBlank(*line)) ++line;

  int found = 0;
  for (;;) {
    while (isBlank(*line)) ++line;
    if (!*line) return found;
    if (isSwitch(line, 'd') && line[2] == '=') {
      // `kept`: the length without trailing blanks. A folder cut short stays
      // whole, blanks and all, so that it stays too long.
      uint32_t n = 0, kept = 0;
      for (line += 3; *line && n + 1 < capacity; ++line) {
        if (*line == '"') continue;
        folder[n++] = *line;
        if (!isBlank(*line)) kept = n;
      }
      if (*line) kept = n;
      folder[kept] = 0;
      return kept ? found | ARGUMENT_FOLDER : found;
    }
    if (isSwitch(line, 's') && (!line[2] || isBlank(line[2]))) found |= ARGUMENT_SILENT;
    while (*line && !isBlank(*line)) ++line;
  }
}
