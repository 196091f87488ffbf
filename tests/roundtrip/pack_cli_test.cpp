// The `jov pack` command as a user runs it: exit statuses, the temporary
// output, the stub in front of the archive, and the same bytes for any -T.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
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

  // A stub without a valid seal could never install: refused as a usage
  // error, before any work, even with -q.
  std::vector<uint8_t> stub(1000, 0xCC);
  std::ofstream(dir_ / "stub.bin", std::ios::binary).write((const char*)stub.data(), (std::streamsize)stub.size());
  Outcome r = jov("pack -q -T2 -l 5 --stub stub.bin -o Setup.exe src", dir_);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("stub.bin: the stub carries no seal"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "Setup.exe"));

  // The built-in stub, where this build has one, is sealed: no warning.
  r = jov("pack -q -T2 -l 5 -o Default.exe src", dir_);
  if (r.err.find("no built-in stub") != std::string::npos) GTEST_SKIP() << "built without the stub";
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<uint8_t> setup = bytesOf(dir_ / "Default.exe"), raw = bytesOf(dir_ / "one.jov");
  ASSERT_GT(setup.size(), raw.size());
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), setup.end() - (ptrdiff_t)raw.size()));
  // The same stub given as a file gives the same installer.
  stub.assign(setup.begin(), setup.end() - (ptrdiff_t)raw.size());
  std::ofstream(dir_ / "stub.bin", std::ios::binary).write((const char*)stub.data(), (std::streamsize)stub.size());
  r = jov("pack -q -T1 -l 5 --stub stub.bin -o Setup.exe src", dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(bytesOf(dir_ / "Setup.exe"), setup);
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

TEST_F(PackCli, TreeOptionsAndTheOutputInsideTheSource) {
  std::ofstream(dir_ / "src" / "docs" / "notes.bak") << "x";
  std::ofstream(dir_ / "src" / "a|b") << "x";
  std::ofstream(dir_ / "src" / "A|B") << "x";
  std::ofstream(dir_ / "src" / "nul") << "x";
  // Every problem at once, then nothing written.
  Outcome r = jov("pack --raw -o out.jov src", dir_);
  EXPECT_EQ(r.status, 1);
  for (const char* w : {"jov pack: A|B: ", "jov pack: a|b: ", "jov pack: nul: ", "3 problems in src"})
    EXPECT_NE(r.err.find(w), std::string::npos) << w << "\n" << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "out.jov"));

  std::ofstream(dir_ / "excludes") << "# build leftovers\n\n*.bak\n";
  EXPECT_EQ(jov("pack --raw --exclude '[ab' -o out.jov src", dir_).status, 2);
  EXPECT_EQ(jov("pack --raw --exclude-from missing -o out.jov src", dir_).status, 2);
  // The output twice inside the source: neither the old one nor the one
  // being written is packed.
  const std::string args =
      "pack --raw -v --exclude '*|*' --exclude nul --exclude-from excludes -o src/in.jov src > list.txt";
  ASSERT_EQ(jov(args, dir_).status, 0);
  r = jov(args, dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("in.jov: not packed: it is the output"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("in.jov.jovtmp."), std::string::npos) << r.err;
  std::ifstream in(dir_ / "list.txt");
  const std::string listing{std::istreambuf_iterator<char>(in), {}};
  for (const char* gone : {"in.jov", "notes.bak", "nul", "a|b"})
    EXPECT_EQ(listing.find(gone), std::string::npos) << gone << "\n" << listing;
  EXPECT_NE(listing.find("file   docs/manual.txt"), std::string::npos) << listing;
}

TEST_F(PackCli, TemporariesOfKilledRunsGoAndHangupCleansUp) {
  // One left by a killed run, one a running pack holds (its lock), one
  // that only looks alike.
  for (const char* n : {"out.jov.jovtmp.AAAAAA", "out.jov.jovtmp.BBBBBB", "out.jov.jovtmp.CCCCCCC"})
    std::ofstream(dir_ / n) << "x";
  int held = open((dir_ / "out.jov.jovtmp.BBBBBB").c_str(), O_RDONLY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  Outcome r = jov("pack --raw -l 1 -o out.jov src", dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("removed ./out.jov.jovtmp.AAAAAA"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "out.jov.jovtmp.AAAAAA"));
  EXPECT_TRUE(fs::exists(dir_ / "out.jov.jovtmp.BBBBBB"));
  EXPECT_TRUE(fs::exists(dir_ / "out.jov.jovtmp.CCCCCCC"));
  close(held);

  // SIGHUP while the temporary is written (a 1 GiB sparse file keeps the
  // pack busy long enough): the temporary goes as with SIGINT.
  std::ofstream(dir_ / "src" / "big").close();
  ASSERT_EQ(truncate((dir_ / "src" / "big").c_str(), 1 << 30), 0);
  fs::remove(dir_ / "out.jov");
  const std::string jovPath = jovBinary().string(), outPath = (dir_ / "out.jov").string(),
                    srcPath = (dir_ / "src").string();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(jovPath.c_str(), "jov", "pack", "--raw", "-q", "-T1", "-l1", "-o", outPath.c_str(), srcPath.c_str(),
          (char*)nullptr);
    _exit(127);
  }
  auto temporary = [&] {
    for (const auto& e : fs::directory_iterator(dir_))
      if (e.path().filename().string().rfind("out.jov.jovtmp.", 0) == 0 && e.path().filename() != "out.jov.jovtmp.BBBBBB" &&
          e.path().filename() != "out.jov.jovtmp.CCCCCCC")
        return true;
    return false;
  };
  for (int i = 0; i < 2000 && !temporary(); ++i) usleep(5000);
  EXPECT_TRUE(temporary());
  kill(pid, SIGHUP);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
  EXPECT_FALSE(temporary());
  EXPECT_FALSE(fs::exists(dir_ / "out.jov"));
}
