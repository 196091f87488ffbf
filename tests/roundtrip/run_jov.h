// Runs a bash script in a folder as a user would type it: $JOV names the
// `jov` binary, $GOLDEN the committed archives, TZ is UTC, stdin is empty.
// JOV_RUNNER in the environment (e.g. a valgrind command line) goes in front
// of the binary in $JOV and lifts the time limit from 2 to 14 minutes.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

#include "temp_dir.h"

struct ShellRun {
  int status;  // exit status; -1 when a signal ended the shell, 124 on the time limit
  std::string out, err;
};

inline const std::filesystem::path GOLDEN_DIR = std::filesystem::path(__FILE__).parent_path().parent_path() / "golden";

inline ShellRun runShell(const std::filesystem::path& dir, const std::string& script) {
  writeFile(dir / ".script", script);
  const char* runner = getenv("JOV_RUNNER");
  std::string jov = std::string(runner ? runner : "") + (runner ? " " : "") + JOV_BINARY;
  std::string command = "cd '" + dir.string() + "' && TZ=UTC JOV='" + jov + "' GOLDEN='" + GOLDEN_DIR.string() +
                        "' timeout " + (runner ? "840" : "120") + " bash .script < /dev/null > .out 2> .err";
  int status = system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(dir / ".out"), readFile(dir / ".err")};
}
