// The `jov pack` command as a user runs it: exit statuses, the temporary
// output, the stub in front of the archive, and the same bytes for any -T.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "format.h"

namespace fs = std::filesystem;

namespace {

fs::path jovBinary() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "jov"; }

struct Outcome {
  int status;
  std::string err;
};

Outcome jov(const std::string& args, const fs::path& cwd) {
  fs::path err = cwd / "stderr.txt";
  std::string cmd = "cd '" + cwd.string() + "' && '" + jovBinary().string() + "' " + args + " 2> '" + err.string() + "'";
  int rc = system(cmd.c_str());
  std::ifstream in(err);
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, std::string(std::istreambuf_iterator<char>(in), {})};
}

std::vector<uint8_t> bytesOf(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class PackCli : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/jov-cli-XXXXXX";
    dir_ = mkdtemp(tmpl);
    fs::create_directories(dir_ / "src" / "docs");
    std::mt19937 rng(9);
    std::string text;
    while (text.size() < 2500000) text += "line " + std::to_string(rng() % 5000) + " of the documentation\n";
    std::ofstream(dir_ / "src" / "docs" / "manual.txt") << text;
    std::ofstream(dir_ / "src" / "Tovrel32.exe") << "MZ not really a program";
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

}  // namespace

TEST_F(PackCli, SameBytesForAnyThreadCountAndStubInFront) {
  ASSERT_EQ(jov("pack --raw -q -T1 -l 5 -o one.jov src", dir_).status, 0);
  ASSERT_EQ(jov("pack --raw -q -T3 -l5 -o three.jov src", dir_).status, 0);
  EXPECT_EQ(bytesOf(dir_ / "one.jov"), bytesOf(dir_ / "three.jov"));

  std::vector<uint8_t> stub(1000, 0xCC);
  std::ofstream(dir_ / "stub.bin", std::ios::binary).write((const char*)stub.data(), (std::streamsize)stub.size());
  Outcome r = jov("pack -T2 -l 5 --stub stub.bin -o Setup.exe src", dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> setup = bytesOf(dir_ / "Setup.exe"), raw = bytesOf(dir_ / "one.jov");
  ASSERT_EQ(setup.size(), stub.size() + raw.size());
  EXPECT_TRUE(std::equal(stub.begin(), stub.end(), setup.begin()));
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), setup.begin() + (ptrdiff_t)stub.size()));
  EXPECT_NE(r.err.find("no seal"), std::string::npos);

  // The built-in stub, where this build has one, is sealed: no warning.
  r = jov("pack -q -T2 -l 5 -o Default.exe src", dir_);
  if (r.err.find("no built-in stub") != std::string::npos) GTEST_SKIP() << "built without the stub";
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.err.find("Tovrel32.exe"), std::string::npos);
}

TEST_F(PackCli, FailuresLeaveNothingBehindAndSayWhy) {
  std::ofstream(dir_ / "src" / "docs" / "bad|name.txt") << "x";
  Outcome r = jov("pack --raw -o out.jov src", dir_);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("docs/bad|name.txt"), std::string::npos) << r.err;
  fs::remove(dir_ / "src" / "docs" / "bad|name.txt");
  EXPECT_EQ(jov("pack --raw -l 12 src", dir_).status, 2);
  EXPECT_EQ(jov("pack --raw --frobnicate src", dir_).status, 2);
  EXPECT_EQ(jov("pack --raw -o out.jov missing", dir_).status, 1);
  fs::remove(dir_ / "src" / "Tovrel32.exe");
  r = jov("pack --raw -o out.jov src", dir_);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("no Tovrel32.exe"), std::string::npos);
  for (const auto& e : fs::directory_iterator(dir_))  // no temporary left
    EXPECT_EQ(e.path().filename().string().find("out.jov."), std::string::npos) << e.path();
}

TEST_F(PackCli, ExtractGivesBackBytesTimesAndReadOnly) {
  std::vector<uint8_t> noise(1200000);
  std::mt19937 rng(21);
  for (auto& b : noise) b = (uint8_t)rng();
  std::ofstream(dir_ / "src" / "noise.bin", std::ios::binary).write((const char*)noise.data(), (std::streamsize)noise.size());
  std::ofstream(dir_ / "src" / "docs" / "empty.txt");
  fs::create_directories(dir_ / "src" / "empty folder");
  fs::permissions(dir_ / "src" / "Tovrel32.exe", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  // Even seconds survive the DOS time words exactly.
  fs::file_time_type when = fs::file_time_type::clock::now() - std::chrono::hours(50);
  when -= std::chrono::duration_cast<fs::file_time_type::duration>(when.time_since_epoch()) % std::chrono::seconds(2);
  fs::last_write_time(dir_ / "src" / "docs" / "manual.txt", when);
  for (int level : {0, 6, 9}) {
    std::string archive = "setup" + std::to_string(level) + ".jov", out = "out" + std::to_string(level);
    ASSERT_EQ(jov("pack --raw -q -l " + std::to_string(level) + " -o " + archive + " src", dir_).status, 0);
    Outcome r = jov("test " + archive, dir_);
    EXPECT_EQ(r.status, 0) << r.err;
    r = jov("extract -C " + out + " " + archive, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "src")) {
      fs::path copy = dir_ / out / fs::relative(e.path(), dir_ / "src");
      ASSERT_TRUE(fs::exists(copy)) << copy;
      if (e.is_directory()) continue;
      EXPECT_TRUE(bytesOf(e.path()) == bytesOf(copy)) << copy;
      EXPECT_EQ(fs::status(copy).permissions() & fs::perms::owner_write,
                fs::status(e.path()).permissions() & fs::perms::owner_write)
          << copy;
    }
    EXPECT_TRUE(fs::last_write_time(dir_ / out / "docs" / "manual.txt") == when);
    fs::permissions(dir_ / out / "Tovrel32.exe", fs::perms::owner_write, fs::perm_options::add);
  }
}
