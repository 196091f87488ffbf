// A fresh temporary folder per test, removed with everything in it; whole
// files read and written as they are.
#pragma once

#include <stdint.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

// "/a/b" -> "\a\b": the core's paths use "\" on every platform.
std::string toCorePath(const std::string& posix);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  // The folder (or a path below it) in the core's notation, for installPath.
  std::string corePath(const std::string& relative = "") const {
    return toCorePath((relative.empty() ? path_ : path_ / relative).string());
  }

 private:
  std::filesystem::path path_;
};

// writeFile creates the folders above.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
inline void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  writeFile(path, std::string(bytes.begin(), bytes.end()));
}

// Runs `child` in a forked process without root's rights (as root, permission
// denials cannot be staged); its exit status, 101 when it did not exit.
template <typename F>
int runWithoutRoot(F child) {
  pid_t pid = fork();
  if (pid == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    _exit(child());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}
