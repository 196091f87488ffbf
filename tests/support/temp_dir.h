// A fresh temporary folder per test, removed with everything in it.
#pragma once

#include <stdint.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  // The folder in the core's notation ("\" separators), for installPath.
  std::string corePath() const;
  std::string corePath(const std::string& relative) const;

 private:
  std::filesystem::path path_;
};

// "/a/b" -> "\a\b": the core's paths use "\" on every platform.
std::string toCorePath(const std::string& posix);

// Whole files, bytes as they are; writeFile creates the folders above.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

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
