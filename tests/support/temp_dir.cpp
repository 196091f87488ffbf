#include "temp_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "jov-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  // Read-only folders would stop remove_all when not running as root.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    chmod(it->path().c_str(), 0700);
  }
  std::filesystem::remove_all(path_, error);
}

std::string TempDir::corePath() const { return toCorePath(path_.string()); }

std::string TempDir::corePath(const std::string& relative) const {
  return toCorePath((path_ / relative).string());
}

std::string toCorePath(const std::string& posix) {
  std::string out = posix;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  writeFile(path, std::string(bytes.begin(), bytes.end()));
}
