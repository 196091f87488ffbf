// The console side of the reading commands: how `jov` talks to a person on a
// terminal, or answers for itself when nobody is there. The front-end
// functions of frontend.h (console_frontend.cpp) and the commands share it.
//
// Everything the user reads goes to stderr, one line per event, prefixed
// "jov COMMAND: "; stdout carries only what was asked for (a listing, -v
// names).
#pragma once

#include <signal.h>
#include <stdint.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

enum class OverwritePolicy { Ask, All, Never };

// A bar on stderr for work that outlasts a moment, and only on a terminal.
// The commands report bytes done at file boundaries; the bar redraws at most
// every tenth of a second.
class ProgressBar {
 public:
  void start(uint64_t totalBytes, bool enabled);
  void update(uint64_t doneBytes, const std::string& label);
  // Removes the bar so that a line can be written; the next update redraws.
  void clear();
  void finish();

 private:
  bool enabled_ = false;
  bool visible_ = false;
  uint64_t total_ = 0;
  std::chrono::steady_clock::time_point start_, last_;
};

struct Console {
  // The prefix of every line on stderr: "jov extract".
  std::string command = "jov";
  // Settings, from the command line.
  bool quiet = false;
  OverwritePolicy overwrite = OverwritePolicy::Ask;
  bool stopOnError = false;
  bool verbose = false;
  // Whether questions can be put: stdin is a terminal.
  bool interactive = false;

  // Every failure shown (a record that could not be produced, a file kept
  // because nobody could be asked): any at all makes the exit status 1.
  uint32_t failures = 0;
  // Of those, the files whose data was found damaged (test and extract).
  uint32_t damaged = 0;
  // The keys of the data streams read (ascending): a damaged block's stream
  // is named by its place among them.
  std::vector<uint32_t> dataStreams;

  ProgressBar progress;
  // Called with each name the extraction driver starts (code page), so the
  // extract command can move its bar.
  std::function<void(const char* name)> onFileStarted;

  // "jov COMMAND: TEXT" on stderr, with the bar out of the way.
  void error(const std::string& text);
  // Writes `question` on stderr and reads one answer line from stdin,
  // lower-cased and trimmed; false on end of input or an interruption.
  bool ask(const std::string& question, std::string* answer);
};

extern Console console;

// The signal that asked for a stop (SIGINT, SIGTERM, SIGHUP), or 0.
extern volatile sig_atomic_t caughtSignal;

// From now on those signals set state.cancelRequested, so the core abandons
// and deletes the file in hand and ends cleanly; the command then exits with
// 128 + the signal's number. A second signal ends the process at once.
void catchInterrupts();

// UTF-8 text safe to write to a terminal: control characters, and bytes that
// are not UTF-8, become "?".
std::string terminalText(const std::string& utf8);

// A core path or message (code page, "\" separators) as the user reads it:
// UTF-8, "/" separators, control characters shown as "?".
std::string displayText(const std::string& coreText);
