// The console front end of `jov`: the three functions the extraction driver
// calls (frontend.h), answered on a terminal by the person at it, and
// otherwise by the policies the command line chose. The tests link their own
// scripted front end instead of this file.
#include <ctype.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/archive_access.h"
#include "cli/console.h"
#include "frontend.h"
#include "install_state.h"
#include "platform/posix.h"
#include "platform/utf8.h"

Console console;
volatile sig_atomic_t caughtSignal = 0;

namespace {

// The bar appears only once the work has lasted this long, so quick runs
// leave nothing behind on the terminal.
const auto BAR_DELAY = std::chrono::milliseconds(500);
const auto BAR_INTERVAL = std::chrono::milliseconds(100);
const int BAR_WIDTH = 24;

int terminalWidth() {
  struct winsize size;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40) return size.ws_col;
  return 80;
}

void onInterrupt(int sig) {
  if (caughtSignal) {
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  caughtSignal = sig;
  state.cancelRequested = 1;
}

// The driver's "cannot create ..." names the path it wanted; what stops
// it is often another one: a file where a folder of the path should be, or
// a folder where the file should be. Returns that path (core notation, a
// prefix of `corePath`), or "" when nothing is in the way (a permission, a
// full disk).
std::string pathInTheWay(const std::string& corePath, bool folderWanted) {
  struct stat st;
  for (size_t at = corePath.find('\\', 1); at != std::string::npos; at = corePath.find('\\', at + 1)) {
    std::string part = corePath.substr(0, at);
    if (stat(nameText(part).c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return part;
  }
  if (stat(nameText(corePath).c_str(), &st) == 0 && S_ISDIR(st.st_mode) != folderWanted) return corePath;
  return "";
}

}  // namespace

void catchInterrupts() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a prompt waiting for input gives up
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

std::string terminalText(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const size_t at = i;
    const uint32_t c = nextUtf8(utf8.data(), utf8.size(), i);
    if (c == NOT_UTF8 || c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      // C0 and C1 controls (some terminals obey C1 too), and bytes that are
      // not text, which a terminal in an 8-bit mode may take for C1.
      out += '?';
      if (c == NOT_UTF8) ++i;
    } else {
      out.append(utf8, at, i - at);
    }
  }
  return out;
}

std::string displayText(const std::string& coreText) { return terminalText(nameText(coreText)); }

void ProgressBar::start(uint64_t totalBytes, bool enabled) {
  enabled_ = enabled;
  visible_ = false;
  total_ = totalBytes;
  start_ = std::chrono::steady_clock::now();
  last_ = {};
}

void ProgressBar::update(uint64_t doneBytes, const std::string& label) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (now - start_ < BAR_DELAY || now - last_ < BAR_INTERVAL) return;
  last_ = now;
  double fraction = total_ ? (double)doneBytes / (double)total_ : 1.0;
  if (fraction > 1) fraction = 1;
  int filled = (int)(fraction * BAR_WIDTH);
  std::string line = "\r[" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, '.') + "] ";
  char percent[8];
  snprintf(percent, sizeof percent, "%3d%%  ", (int)(fraction * 100));
  line += percent;
  // Cut the label to the terminal (by bytes, at a character boundary).
  size_t room = (size_t)terminalWidth() - 1 - (line.size() - 1);
  size_t cut = label.size();
  if (cut > room) cut = utf8Boundary(label, room);
  line += label.substr(0, cut);
  line += "\033[K";
  fputs(line.c_str(), stderr);
  fflush(stderr);
  visible_ = true;
}

void ProgressBar::clear() {
  if (!visible_) return;
  fputs("\r\033[K", stderr);
  fflush(stderr);
  visible_ = false;
}

void ProgressBar::finish() {
  clear();
  enabled_ = false;
}

void Console::error(const std::string& text) {
  progress.clear();
  fprintf(stderr, "%s: %s\n", command.c_str(), text.c_str());
  fflush(stderr);
}

bool Console::ask(const std::string& question, std::string* answer) {
  progress.clear();
  fprintf(stderr, "%s: %s", command.c_str(), question.c_str());
  fflush(stderr);
  char line[256];
  if (caughtSignal || !fgets(line, sizeof line, stdin)) {
    clearerr(stdin);
    fputc('\n', stderr);
    return false;
  }
  std::string text = line;
  while (!text.empty() && isspace((unsigned char)text.back())) text.pop_back();
  size_t first = 0;
  while (first < text.size() && isspace((unsigned char)text[first])) ++first;
  answer->clear();
  for (size_t i = first; i < text.size(); ++i) *answer += (char)tolower((unsigned char)text[i]);
  return true;
}

int askOverwrite(const char* path) {
  switch (console.overwrite) {
    case OverwritePolicy::All: return OVERWRITE_ALL;
    case OverwritePolicy::Never: return OVERWRITE_NO;
    case OverwritePolicy::Ask: break;
  }
  std::string shown = displayText(path);
  if (!console.interactive) {
    // Nobody to ask, and guessing either way could lose data: keep the file,
    // say so, and let the exit status tell.
    ++console.failures;
    console.error(shown + ": exists; not replaced (no terminal to ask: give --overwrite=all or --overwrite=never)");
    if (console.stopOnError) state.cancelRequested = 1;
    return OVERWRITE_NO;
  }
  std::string answer;
  for (;;) {
    if (!console.ask("replace " + shown + "? [y]es, [n]o, [a]ll: ", &answer)) {
      // End of input or a signal: stop the run rather than guess.
      if (!caughtSignal) {
        ++console.failures;
        console.error("no answer; stopping");
      }
      state.cancelRequested = 1;
      return OVERWRITE_NO;
    }
    if (answer == "y" || answer == "yes") return OVERWRITE_YES;
    if (answer == "n" || answer == "no") return OVERWRITE_NO;
    if (answer == "a" || answer == "all") return OVERWRITE_ALL;
  }
}

void showProgress(WindowHandle, const char* text) {
  // The driver shows "Extracting NAME"; the name is what matters here.
  static const char PREFIX[] = "Extracting ";
  const char* name = strncmp(text, PREFIX, sizeof PREFIX - 1) == 0 ? text + sizeof PREFIX - 1 : text;
  if (console.onFileStarted) console.onFileStarted(name);
  if (console.verbose) {
    console.progress.clear();
    printf("%s\n", displayText(name).c_str());
    fflush(stdout);
  }
}

int showMessage(WindowHandle, const char* text, int offerCancel) {
  ++console.failures;
  // Messages about a record's data name no path ("Archive data is
  // damaged..."); the driver holds the record's path while it reports. For
  // damaged data, what the reader noted says why and where instead (and is
  // spent: a later message is about something else).
  std::string line = damageNoted() ? damageText(damageReason(), console.dataStreams) : oneLine(text);
  if (damageNoted()) ++console.damaged;
  clearDamageReason();
  if (state.installPath[0] && !strstr(text, state.installPath)) line = std::string(state.installPath) + ": " + line;
  // Name what is in the way; what stat cannot see (a link where a folder
  // belongs, a FIFO where a file does), the POSIX layer's refusal says.
  std::string refusal = takeRefusal();
  if (state.installPath[0] && strncmp(text, "cannot create ", 14) == 0) {
    std::string blocker = pathInTheWay(state.installPath, strncmp(text, "cannot create folder ", 21) == 0);
    if (!blocker.empty()) {
      line += " (" + blocker + " is in the way)";
      refusal.clear();
    }
  }
  console.error(displayText(line) + (refusal.empty() ? "" : " (" + terminalText(refusal) + ")"));
  if (!offerCancel) return 1;
  if (console.stopOnError) return 0;
  if (!console.interactive) return 1;  // go on with the next record, saving what can be saved
  std::string answer;
  for (;;) {
    if (!console.ask("go on with the next file? [Y/n]: ", &answer)) return 0;
    if (answer.empty() || answer == "y" || answer == "yes") return 1;
    if (answer == "n" || answer == "no") return 0;
  }
}
