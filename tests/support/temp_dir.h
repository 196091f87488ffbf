// A fresh temporary folder per test, removed with everything in it; whole
// files read and written as they are.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

// "/a/b" -> "\a\b": the core's paths use "\" on every platform.
inline std::string toCorePath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "jov-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code error;
    // Read-only folders would stop remove_all when not running as root.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error))
      chmod(it->path().c_str(), 0700);
    std::filesystem::remove_all(path_, error);
  }
  const std::filesystem::path& path() const { return path_; }
  // The folder (or a path below it) in the core's notation, for installPath.
  std::string corePath(const std::string& relative = "") const {
    return toCorePath((relative.empty() ? path_ : path_ / relative).string());
  }

 private:
  std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
// Creates the folders above.
inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}
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
