// `jov extract` into destinations that already hold things: links to
// elsewhere, hard links, FIFOs, sockets, a user's good copy. Nothing outside
// the destination may change (bytes, mode, xattr, mtime), and a file that
// fails its CRC never replaces what was there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "format.h"
#include "platform/platform.h"
#include "stored_archive.h"
#include "temp_dir.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct JovRun {
  int status = -1;  // exit status; -1 killed (it hung)
  std::string err;
};

pid_t start(const fs::path& dir, std::vector<std::string> args) {
  args.insert(args.begin(), JOV_BINARY);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, (dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits at most 20 s: a FIFO opened for writing blocks until a reader comes.
JovRun wait(const fs::path& dir, pid_t pid) {
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return {-1, "hung"};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(dir / "stderr")};
}

StoredEntry file(const std::string& name, const std::string& data, uint8_t attributes = 0) {
  StoredEntry e;
  e.name = name;
  e.data.assign(data.begin(), data.end());
  e.attributes = attributes;
  return e;
}

StoredEntry folder(const std::string& name, uint8_t attributes) {
  StoredEntry e;
  e.name = name;
  e.folder = true;
  e.attributes = attributes;
  return e;
}

// Everything observable about a tree, links and special files as themselves.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> seen;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    struct stat st;
    lstat(item.path().c_str(), &st);
    std::string state = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec) + " ";
    char value[16] = {};
    if (lgetxattr(item.path().c_str(), "user.jov.attributes", value, sizeof value) > 0) state += value;
    if (S_ISREG(st.st_mode)) state += " " + readFile(item.path());
    if (S_ISLNK(st.st_mode)) state += " -> " + fs::read_symlink(item.path()).string();
    seen[fs::relative(item.path(), root).string()] = state;
  }
  return seen;
}

bool isTemporary(const fs::path& path) { return path.filename().string().rfind(".jov-tmp-", 0) == 0; }

int temporariesIn(const fs::path& root) {
  int count = 0;
  for (const auto& item : fs::recursive_directory_iterator(root)) count += isTemporary(item.path());
  return count;
}

class ExtractDestination : public ::testing::Test {
 protected:
  TempDir dir;
  fs::path out = dir.path() / "out", outside = dir.path() / "outside";

  void SetUp() override {
    fs::create_directories(out);
    writeFile(outside / "target", "outside bytes");
    writeFile(outside / "linked", "linked bytes");
    chmod((outside / "target").c_str(), 0640);
  }

  JovRun extract(const std::vector<StoredEntry>& entries, const std::string& overwrite) {
    fs::path archive = dir.path() / "archive.jov";
    std::vector<uint8_t> bytes = buildStoredArchive(entries);
    writeFile(archive, std::string(bytes.begin(), bytes.end()));
    return wait(dir.path(), start(dir.path(), {"extract", "--overwrite=" + overwrite, "-C", out.string(),
                                               archive.string()}));
  }
};

struct HostileCase {
  const char* label;
  std::function<void(const fs::path& out, const fs::path& outside)> plant;
  std::vector<StoredEntry> entries;
  const char* overwrite;
  int status;
  const char* message;      // in stderr; "" for none at all
  const char* name;         // what then stands in out/
  const char* content;      // its bytes (a regular file), or null when it is left as planted
};

void linkTo(const fs::path& target, const fs::path& at) { fs::create_symlink(target, at); }

TEST_F(ExtractDestination, NothingOutsideChangesWhateverStandsInTheWay) {
  const uint8_t hiddenReadOnly = ATTR_HIDDEN | ATTR_READONLY;
  auto folderLink = [](const fs::path& o, const fs::path& x) { linkTo(x, o / "docs"); };
  auto fileLink = [](const fs::path& o, const fs::path& x) { linkTo(x / "target", o / "f"); };
  auto dangling = [](const fs::path& o, const fs::path& x) { linkTo(x / "created", o / "f"); };
  auto hardLink = [](const fs::path& o, const fs::path& x) { fs::create_hard_link(x / "linked", o / "f"); };
  auto fifo = [](const fs::path& o, const fs::path&) { ASSERT_EQ(mkfifo((o / "f").c_str(), 0644), 0); };
  auto socketFile = [](const fs::path& o, const fs::path&) {
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::string path = (o / "f").string();
    ASSERT_LT(path.size(), sizeof address.sun_path);
    memcpy(address.sun_path, path.c_str(), path.size());
    ASSERT_EQ(bind(s, (struct sockaddr*)&address, sizeof address), 0);
    close(s);
  };
  const std::vector<StoredEntry> fileF = {file("f", "new", hiddenReadOnly), file("z", "z")};
  const HostileCase cases[] = {
      {"link where a folder belongs", folderLink, {file("docs\\x", "new"), file("z", "z")}, "all", 1,
       "docs: a symbolic link stands where a folder belongs", "z", "z"},
      {"folder record over a link", folderLink, {folder("docs", hiddenReadOnly), file("docs\\x", "new")}, "all",
       1, "Cannot create folder", "docs", nullptr},
      {"file link, ask without a terminal", fileLink, fileF, "ask", 1, "f: exists; not replaced", "f", nullptr},
      {"file link, never", fileLink, fileF, "never", 0, "", "f", nullptr},
      {"file link, all", fileLink, fileF, "all", 0, "", "f", "new"},
      {"dangling link, never", dangling, fileF, "never", 0, "", "f", nullptr},
      {"dangling link, all", dangling, fileF, "all", 0, "", "f", "new"},
      {"hard link, all", hardLink, fileF, "all", 0, "", "f", "new"},
      {"FIFO, never", fifo, fileF, "never", 1, "f: not a regular file", "z", "z"},
      {"FIFO, all", fifo, fileF, "all", 1, "f: not a regular file", "z", "z"},
      {"socket, all", socketFile, fileF, "all", 1, "f: not a regular file", "z", "z"},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(out);
    fs::create_directories(out);
    c.plant(out, outside);
    const auto before = snapshot(outside);
    struct stat planted;
    lstat((out / c.name).c_str(), &planted);

    JovRun run = extract(c.entries, c.overwrite);
    EXPECT_EQ(run.status, c.status) << run.err;
    if (*c.message) EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    else EXPECT_EQ(run.err, "");
    EXPECT_EQ(snapshot(outside), before);
    struct stat now;
    ASSERT_EQ(lstat((out / c.name).c_str(), &now), 0);
    if (c.content) {
      EXPECT_TRUE(S_ISREG(now.st_mode));
      EXPECT_EQ(readFile(out / c.name), c.content);
    } else {
      EXPECT_EQ(now.st_mode, planted.st_mode);  // left as planted: still the link, FIFO or folder
      EXPECT_EQ(now.st_ino, planted.st_ino);
    }
    EXPECT_EQ(temporariesIn(out), 0);
  }
}

TEST_F(ExtractDestination, TheDestinationItselfMayBeALink) {
  fs::remove_all(out);
  fs::create_directories(dir.path() / "real");
  fs::create_directory_symlink(dir.path() / "real", out);
  JovRun run = extract({folder("docs", 0), file("docs\\x", "new")}, "all");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(dir.path() / "real" / "docs" / "x"), "new");
}

TEST_F(ExtractDestination, ADamagedFileNeverReplacesTheGoodCopy) {
  StoredEntry bad = file("bad.txt", "damaged");
  bad.badCrc = true;
  writeFile(out / "bad.txt", "the user's good copy");
  writeFile(out / "sub" / "ok.txt", "old");
  // Left by a run that was killed: cleaned from every folder this archive
  // writes files into; a name that merely looks alike stays.
  writeFile(out / ".jov-tmp-0123abcd", "stale");
  writeFile(out / "sub" / ".jov-tmp-deadbeef", "stale");
  writeFile(out / ".jov-tmp-notours", "kept");

  JovRun run = extract({bad, file("sub\\ok.txt", "new")}, "all");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("bad.txt: Archive data is damaged"), std::string::npos) << run.err;
  EXPECT_EQ(readFile(out / "bad.txt"), "the user's good copy");
  EXPECT_EQ(readFile(out / "sub" / "ok.txt"), "new");
  EXPECT_FALSE(fs::exists(out / ".jov-tmp-0123abcd"));
  EXPECT_FALSE(fs::exists(out / "sub" / ".jov-tmp-deadbeef"));
  EXPECT_EQ(readFile(out / ".jov-tmp-notours"), "kept");
}

// The signal lands while the big file is being written (its temporary has
// just appeared): nothing of it may stand under its name afterwards.
TEST_F(ExtractDestination, InterruptLeavesNoPartialFile) {
  StoredArchiveOptions options;
  options.blockOutput = 65536;
  std::vector<uint8_t> archive =
      buildStoredArchive({file("a.txt", "first"), file("big.bin", std::string(64 << 20, 'b')), file("z.txt", "z")},
                         options);
  writeFile(dir.path() / "archive.jov", std::string(archive.begin(), archive.end()));
  int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, out.c_str(), IN_CREATE), 0);
  pid_t pid = start(dir.path(), {"extract", "-C", out.string(), (dir.path() / "archive.jov").string()});
  alignas(struct inotify_event) char events[4096];
  bool signalled = false;
  int created = 0;
  while (!signalled) {
    struct pollfd ready = {watch, POLLIN, 0};
    if (poll(&ready, 1, 20000) <= 0) {
      kill(pid, SIGKILL);
      wait(dir.path(), pid);
      FAIL() << "no temporary appeared";
    }
    ssize_t n = read(watch, events, sizeof events);
    ASSERT_GT(n, 0);
    for (char* p = events; p < events + n;) {
      auto* e = (struct inotify_event*)p;
      // The second temporary is big.bin's.
      if (e->len && isTemporary(e->name) && ++created == 2) signalled = kill(pid, SIGINT) == 0;
      p += sizeof *e + e->len;
    }
  }
  close(watch);
  JovRun run = wait(dir.path(), pid);
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_EQ(readFile(out / "a.txt"), "first");
  EXPECT_FALSE(fs::exists(out / "big.bin"));
  EXPECT_FALSE(fs::exists(out / "z.txt"));
  EXPECT_EQ(temporariesIn(out), 0);
}

}  // namespace
