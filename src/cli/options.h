// The command line of every `jov` command: one parser, one number parser,
// one set of exit statuses, and the options every command has.
//
// Grammar, the same for all commands:
//   -abc        short flags combined (-qv)
//   -oFILE      a short option's value attached, or the next argument (-o FILE)
//   --name=VAL  a long option's value attached, or the next argument
//   --          ends the options: every later argument is an operand
//   -           alone is an operand (standard input or output)
#pragma once

#include <stdint.h>

#include <stdexcept>
#include <string>
#include <vector>

// Exit statuses of every command. A signal that stopped a run gives
// 128 + its number, as a shell reports it.
const int EXIT_OK = 0;
const int EXIT_FAILED = 1;  // the work failed: unreadable input, a failed record, a full disk
const int EXIT_USAGE = 2;   // the command line was wrong: nothing was read or written

// A wrong command line: shown as "jov COMMAND: WHAT (try ...)", EXIT_USAGE.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct OptionSpec {
  int id;
  char shortName;        // 0: none
  const char* longName;  // without "--"; nullptr: none
  bool takesValue;
};

struct ParsedOption {
  int id;
  std::string value;    // empty for a flag
  std::string spelled;  // as written ("-o", "--codepage"), for messages
};

struct CommandLine {
  std::vector<ParsedOption> options;  // in the order given
  std::vector<std::string> operands;
};

// Splits argv by `specs`. Throws UsageError for an unknown option, a missing
// value or a value given to a flag.
CommandLine parseCommandLine(int argc, char** argv, const std::vector<OptionSpec>& specs);

// Decimal, or hexadecimal after "0x"; at most `max`. False for anything else
// (signs, spaces, empty text, overflow).
bool parseNumber(const std::string& text, uint64_t max, uint64_t* out);

// Options that every command takes. Ids below COMMON_OPTION_END are theirs.
enum CommonOption { OPT_HELP = 1000, OPT_VERSION, OPT_QUIET, OPT_VERBOSE, OPT_CODEPAGE, COMMON_OPTION_END };
extern const std::vector<OptionSpec> COMMON_OPTIONS;

struct CommonSettings {
  bool help = false;
  bool version = false;
  bool quiet = false;    // no progress, no warnings, no summary: errors only
  bool verbose = false;  // every name on stdout
  int codepage = 1252;
};

// Applies `option` when it is a common one; false otherwise. An unknown code
// page is a usage error for every command.
bool applyCommonOption(const ParsedOption& option, CommonSettings* settings);

// "jov VERSION", the archive format and the built-in stub, on stdout.
void printVersion();
