#include "cli/options.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "archive/seal.h"
#include "format.h"
#include "platform/posix.h"

#ifndef JOV_VERSION
#define JOV_VERSION "unknown"
#endif

extern const unsigned char embeddedStub[];
extern const size_t embeddedStubSize;

const std::vector<OptionSpec> COMMON_OPTIONS = {
    {OPT_HELP, 'h', "help", false},       {OPT_VERSION, 0, "version", false},
    {OPT_QUIET, 'q', "quiet", false},     {OPT_VERBOSE, 'v', "verbose", false},
    {OPT_CODEPAGE, 0, "codepage", true},
};

namespace {

const OptionSpec* findShort(const std::vector<OptionSpec>& specs, char name) {
  for (const OptionSpec& s : specs)
    if (s.shortName == name) return &s;
  return nullptr;
}

const OptionSpec* findLong(const std::vector<OptionSpec>& specs, const std::string& name) {
  for (const OptionSpec& s : specs)
    if (s.longName && name == s.longName) return &s;
  return nullptr;
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv, const std::vector<OptionSpec>& specs) {
  CommandLine line;
  bool operandsOnly = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (operandsOnly || arg.size() < 2 || arg[0] != '-') {
      line.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      operandsOnly = true;
      continue;
    }
    if (arg[1] == '-') {
      size_t equals = arg.find('=');
      std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      const OptionSpec* known = findLong(specs, name);
      if (!known) throw UsageError("unknown option '--" + name + "'");
      ParsedOption option{known->id, "", "--" + name};
      if (!known->takesValue) {
        if (equals != std::string::npos) throw UsageError("option '--" + name + "' takes no value");
      } else if (equals != std::string::npos) {
        option.value = arg.substr(equals + 1);
      } else if (i + 1 < argc) {
        option.value = argv[++i];
      } else {
        throw UsageError("option '--" + name + "' needs a value");
      }
      line.options.push_back(option);
      continue;
    }
    // A run of short options; the first that takes a value ends it.
    for (size_t at = 1; at < arg.size(); ++at) {
      const OptionSpec* known = findShort(specs, arg[at]);
      std::string spelled = std::string("-") + arg[at];
      if (!known) throw UsageError("unknown option '" + spelled + "'");
      ParsedOption option{known->id, "", spelled};
      if (known->takesValue) {
        if (at + 1 < arg.size()) {
          option.value = arg.substr(at + 1);
        } else if (i + 1 < argc) {
          option.value = argv[++i];
        } else {
          throw UsageError("option '" + spelled + "' needs a value");
        }
        line.options.push_back(option);
        break;
      }
      line.options.push_back(option);
    }
  }
  return line;
}

bool parseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = text.c_str() + (hex ? 2 : 0);
  // strtoull alone would take spaces, signs and wrap "-1" around.
  if (!*digits || !(hex ? isxdigit((unsigned char)*digits) : isdigit((unsigned char)*digits))) return false;
  char* end;
  errno = 0;
  unsigned long long value = strtoull(digits, &end, hex ? 16 : 10);
  if (errno || *end || value > max) return false;
  *out = value;
  return true;
}

bool applyCommonOption(const ParsedOption& option, CommonSettings* settings) {
  switch (option.id) {
    case OPT_HELP: settings->help = true; return true;
    case OPT_VERSION: settings->version = true; return true;
    case OPT_QUIET: settings->quiet = true; return true;
    case OPT_VERBOSE: settings->verbose = true; return true;
    case OPT_CODEPAGE: {
      uint64_t page;
      if (!parseNumber(option.value, 65535, &page) || page == 0)
        throw UsageError("--codepage needs a code page number, not '" + option.value + "'");
      // The same test for packing and reading: the system converts it, and
      // it writes ASCII as ASCII (names are checked in ASCII terms).
      if (!setPathCodePage((int)page))
        throw UsageError("code page " + std::to_string(page) + " is unknown here, or not one for names");
      settings->codepage = (int)page;
      return true;
    }
    default: return false;
  }
}

void printVersion() {
  printf("jov %s\n", JOV_VERSION);
  printf("archive format: JOV (%u-byte header \"JOV\\n\", directory at the end)\n", ARCHIVE_HEADER_SIZE);
  StubSeal seal;
  if (embeddedStubSize == 0) {
    printf("built-in stub: none (give one with 'jov pack --stub FILE')\n");
  } else if (!findSeal(embeddedStub, (uint32_t)embeddedStubSize, &seal) || seal.stubLength != embeddedStubSize) {
    printf("built-in stub: %zu bytes, not sealed\n", embeddedStubSize);
  } else {
    printf("built-in stub: %zu bytes, seal CRC-32 %08x\n", embeddedStubSize, seal.stubCrc);
  }
  printf("MIT licence: free software, no warranty (LICENSE)\n");
}
