// The `jov` binary's reading side, run as a user runs it: archives from
// `jov pack` and from the stored-archive builder go through list, test and
// extract, and the exit statuses, stderr lines and files on disk are checked.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/seal.h"
#include "codec/crc32.h"
#include "format.h"
#include "block_builder.h"
#include "jumping_archive.h"
#include "stored_archive.h"
#include "temp_dir.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Result {
  int status = -1;  // exit status, or -1 when a signal ended the process
  std::string out, err;
};

// Starts `program args` with stdin from `input` and stdout/stderr into
// files under `dir`.
pid_t spawn(const std::vector<std::string>& args, const fs::path& dir, const char* input = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input, O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, (dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

Result finish(pid_t pid, const fs::path& dir) {
  int status = 0;
  waitpid(pid, &status, 0);
  Result r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = readFile(dir / "stdout");
  r.err = readFile(dir / "stderr");
  return r;
}

// Runs `args` with a pseudo-terminal as stdin, stdout and stderr; waits for
// each prompt in turn and types its reply, collecting the transcript. The
// exit status, or -1 when the process died or a prompt never came.
const int NO_TERMINAL = -2;
int onTerminal(const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, std::string>>& dialogue, std::string* transcript) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return NO_TERMINAL;
  std::string terminal = ptsname(master);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int slave = open(terminal.c_str(), O_RDWR);  // becomes the controlling terminal
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    close(master);
    execv(argv[0], argv.data());
    _exit(127);
  }
  size_t next = 0, searchFrom = 0;
  char buffer[4096];
  for (;;) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) break;  // a prompt that never comes fails below
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the last holder of the terminal is gone
    transcript->append(buffer, (size_t)n);
    if (next < dialogue.size()) {
      size_t at = transcript->find(dialogue[next].first, searchFrom);
      if (at != std::string::npos) {
        searchFrom = at + dialogue[next].first.size();
        std::string reply = dialogue[next++].second + "\n";
        if (write(master, reply.data(), reply.size()) != (ssize_t)reply.size()) break;
      }
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  return next == dialogue.size() && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class JovCli : public ::testing::Test {
 protected:
  TempDir dir;
  fs::path out = dir.path() / "out";

  Result jov(std::vector<std::string> args, const char* input = "/dev/null") {
    args.insert(args.begin(), JOV_BINARY);
    return finish(spawn(args, dir.path(), input), dir.path());
  }

  // A stand-in stub: arbitrary bytes carrying a filled seal, as the build
  // seals the real one.
  fs::path fakeStub() {
    std::vector<uint8_t> stub(4096);
    for (size_t i = 0; i < stub.size(); ++i) stub[i] = (uint8_t)(i * 13 + 1);
    memcpy(&stub[1000], SEAL_MAGIC, SEAL_MAGIC_SIZE);
    buildCrcTable();
    std::vector<uint8_t> scratch(stub.size());
    fillSeal(stub.data(), scratch.data(), (uint32_t)stub.size(), 1000);
    fs::path path = dir.path() / "stub.bin";
    writeFile(path, stub);
    return path;
  }

  fs::path stored(const std::vector<StoredEntry>& entries, StoredArchiveOptions options = {}) {
    fs::path path = dir.path() / "stored.jov";
    writeFile(path, buildStoredArchive(entries, options));
    return path;
  }
};

StoredEntry file(const std::string& name, const std::string& data) {
  StoredEntry e;
  e.name = name;
  e.data.assign(data.begin(), data.end());
  return e;
}

// One line per entry, "kind|hex of the UTF-8 name|size|crc32|modified", as
// Python's strict JSON reader sees the document; then the totals.
std::string parseJson(const fs::path& json) {
  std::string script =
      "import json,sys\n"
      "d=json.load(open(sys.argv[1],encoding='utf-8'))\n"
      "for e in d['entries']: print(e['kind'],e['name'].encode('utf-8').hex(),e['size'],e['crc32'],e['modified'],"
      "sep='|')\n"
      "print(d['files'],d['folders'],d['bytes'],d.get('error'))\n";
  std::string command = "python3 -c \"$JOV_SCRIPT\" " + json.string() + " > " + json.string() + ".parsed";
  setenv("JOV_SCRIPT", script.c_str(), 1);
  EXPECT_EQ(system(command.c_str()), 0) << readFile(json);
  return readFile(json.string() + ".parsed");
}

std::string hex(const std::string& bytes) {
  std::string text;
  char digits[3];
  for (unsigned char c : bytes) {
    snprintf(digits, sizeof digits, "%02x", c);
    text += digits;
  }
  return text;
}

TEST_F(JovCli, PackedInstallerListsTestsAndExtracts) {
  fs::path src = dir.path() / "src";
  std::string big;
  for (int i = 0; i < 200000; ++i) big += std::to_string(i * 7919 % 1000) + ",";
  writeFile(src / "docs" / "big.csv", big);
  writeFile(src / "readme.txt", "read me\n");
  writeFile(src / "caf\xc3\xa9.txt", "accent");
  chmod((src / "readme.txt").c_str(), 0444);
  fs::path setup = dir.path() / "Setup.exe";
  ASSERT_EQ(jov({"pack", "-q", "--stub", fakeStub().string(), "-o", setup.string(), src.string()}).status, 0);

  Result list = jov({"list", setup.string()});
  ASSERT_EQ(list.status, 0) << list.err;
  char crc[9];
  snprintf(crc, sizeof crc, "%08x", referenceCrc32((const uint8_t*)"read me\n", 8));
  EXPECT_NE(list.out.find("file              8  R--A  "), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(std::string(crc) + "  readme.txt\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("folder            -  ----  -                    -         docs/\n"), std::string::npos);
  EXPECT_NE(list.out.find("  caf\xc3\xa9.txt\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("3 files, 1 folder, " + std::to_string(big.size() + 14) + " bytes"), std::string::npos);

  Result test = jov({"test", setup.string()});
  EXPECT_EQ(test.status, 0) << test.err;
  EXPECT_EQ(test.err, "");

  Result extract = jov({"extract", "-C", out.string(), setup.string()});
  ASSERT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(readFile(out / "docs" / "big.csv"), big);
  EXPECT_EQ(readFile(out / "caf\xc3\xa9.txt"), "accent");
  struct stat source, extracted;
  ASSERT_EQ(stat((src / "readme.txt").c_str(), &source), 0);
  ASSERT_EQ(stat((out / "readme.txt").c_str(), &extracted), 0);
  EXPECT_EQ(extracted.st_mode & 0222, 0u);
  EXPECT_LE(std::abs((long)(extracted.st_mtime - source.st_mtime)), 2);  // DOS times count 2 seconds

  // A folder whose name the code page cannot hold still receives the files.
  fs::path cyrillic = dir.path() / "\xd0\x96";
  Result elsewhere = jov({"extract", "-C", cyrillic.string(), setup.string()});
  ASSERT_EQ(elsewhere.status, 0) << elsewhere.err;
  EXPECT_EQ(readFile(cyrillic / "caf\xc3\xa9.txt"), "accent");
}

TEST_F(JovCli, JsonReadsBackExactlyEvenForHostileNames) {
  StoredEntry dated = file("d\\caf\xe9.txt", "abc");
  dated.writeDate = makeDosDate(1999, 12, 31);
  dated.writeTime = makeDosTime(23, 58, 2);
  StoredEntry folder;
  folder.name = "d";
  folder.folder = true;
  // A quote, a control character and a byte code page 1252 leaves undefined.
  std::string hostile = "q\"\x01\x81.txt";
  fs::path archive = stored({folder, dated, file(hostile, "")});
  Result list = jov({"list", "--json", archive.string()});
  ASSERT_EQ(list.status, 0) << list.err;
  writeFile(dir.path() / "list.json", list.out);
  char crc[9];
  snprintf(crc, sizeof crc, "%08x", referenceCrc32((const uint8_t*)"abc", 3));
  EXPECT_EQ(parseJson(dir.path() / "list.json"),
            "folder|" + hex("d") + "|None|None|None\n" +
                "file|" + hex("d/caf\xc3\xa9.txt") + "|3|" + crc + "|1999-12-31T23:58:02\n" +
                "file|" + hex("q\"\x01\xc2\x81.txt") + "|0|00000000|None\n" + "2 1 3 None\n");

  // On a terminal's text the control characters are defused...
  Result text = jov({"list", archive.string()});
  EXPECT_NE(text.out.find("  q\"??.txt\n"), std::string::npos) << text.out;
  // (the byte 0xE9 is a Cyrillic letter in code page 1251)
  EXPECT_NE(jov({"list", "--codepage", "1251", archive.string()}).out.find("d/caf\xd0\xb9.txt"), std::string::npos);
  // ...and `jov test` knows the installer would refuse the name.
  Result test = jov({"test", archive.string()});
  EXPECT_EQ(test.status, 1);
  EXPECT_NE(test.err.find("unsafe name"), std::string::npos) << test.err;
}

TEST_F(JovCli, FindsTheArchiveOrSaysWhyNot) {
  fs::path raw = stored({file("a.txt", "a")});
  std::string archive = readFile(raw);
  fs::path prefixed = dir.path() / "prefixed.bin";
  writeFile(prefixed, std::string(777, 'z') + archive);

  Result plain = jov({"list", prefixed.string()});
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.err.rfind("jov list: ", 0), 0u);
  EXPECT_EQ(std::count(plain.err.begin(), plain.err.end(), '\n'), 1) << plain.err;
  EXPECT_EQ(jov({"list", "--offset", "777", prefixed.string()}).status, 0);
  EXPECT_EQ(jov({"test", "--offset", "0x309", prefixed.string()}).status, 0);
  EXPECT_EQ(jov({"list", "--offset", "776", prefixed.string()}).status, 1);

  // Usage errors: one line, status 2; a missing file: status 1.
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"list"}, {"list", "--bogus", raw.string()}, {"extract", "--overwrite=maybe", raw.string()},
           {"test", raw.string(), raw.string()}, {"list", "--codepage", "99999", raw.string()}}) {
    Result r = jov(args);
    EXPECT_EQ(r.status, 2) << args[1];
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_EQ(jov({"test", (dir.path() / "missing").string()}).status, 1);

  // A directory that ends before the header's count: what was read is
  // listed and extracted, and the status still says the archive failed.
  StoredArchiveOptions shortDirectory;
  shortDirectory.entryCountDelta = 1;
  fs::path cut = stored({file("a.txt", "a")}, shortDirectory);
  Result list = jov({"list", "--json", cut.string()});
  EXPECT_EQ(list.status, 1);
  writeFile(dir.path() / "cut.json", list.out);
  EXPECT_EQ(parseJson(dir.path() / "cut.json"),
            "file|" + hex("a.txt") + "|1|e8b7be43|None\n1 0 1 " + cut.string() +
                ": Archive data is damaged, probably caused by corrupt disk or download error\n");
  EXPECT_EQ(jov({"extract", "-C", out.string(), cut.string()}).status, 1);
  EXPECT_EQ(readFile(out / "a.txt"), "a");
}

// A record whose name does not fit behind the folder in 259 characters is a
// failure of that record, and the run goes on.
TEST_F(JovCli, NamesThatDoNotFitAreReported) {
  fs::path deep = dir.path() / std::string(200, 'd');
  std::string longName(80, 'n');
  fs::path archive = stored({file(longName, "lost"), file("short.txt", "kept")});
  Result r = jov({"extract", "-C", deep.string(), archive.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find("Cannot create " + deep.string() + "/nnn"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(": Path too long"), std::string::npos) << r.err;
  EXPECT_EQ(readFile(deep / "short.txt"), "kept");
  EXPECT_FALSE(fs::exists(deep / longName));
}

// Names Windows would map to devices: every reading command names the
// refusal as an unsafe name, not as damage, and extract still writes the rest.
TEST_F(JovCli, UnsafeNamesAreReportedAsSuch) {
  fs::path archive = stored({file("CON .txt", "dev"), file("d\\COM\xb9", "dev"), file("ok.txt", "ok")});
  for (std::string command : {"list", "test", "extract"}) {
    SCOPED_TRACE(command);
    Result r = command == "extract" ? jov({command, "-C", out.string(), archive.string()})
                                    : jov({command, archive.string()});
    EXPECT_EQ(r.status, command == "list" ? 0 : 1);  // listing is not judging
    EXPECT_EQ(r.err.find("damaged"), std::string::npos) << r.err;
    std::istringstream lines(r.err);
    int refused = 0;
    for (std::string line; std::getline(lines, line);) {
      for (char& c : line) c = (char)tolower((unsigned char)c);
      refused += line.find("unsafe name") != std::string::npos &&
                 line.find("(a reserved device name on windows)") != std::string::npos;
    }
    EXPECT_EQ(refused, 2) << r.err;
  }
  EXPECT_EQ(readFile(out / "ok.txt"), "ok");
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
}

// Positions past 2 GiB: a raw archive behind a sparse hole, read with
// --offset by every command.
TEST_F(JovCli, ReadsAnArchiveBeyond2GiB) {
  const uint64_t offset = 0x90000000u;
  std::vector<uint8_t> raw = buildStoredArchive({file("far.txt", "far away"), file("x", "y")});
  fs::path big = dir.path() / "sparse.bin";
  {
    std::ofstream(big, std::ios::binary);
    fs::resize_file(big, offset);  // a hole: no disk blocks
    std::ofstream tail(big, std::ios::binary | std::ios::app);
    tail.write((const char*)raw.data(), (std::streamsize)raw.size());
  }
  std::string at = std::to_string(offset);
  Result list = jov({"list", "--offset", at, big.string()});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("far.txt"), std::string::npos) << list.out;
  Result test = jov({"test", "--offset", at, big.string()});
  EXPECT_EQ(test.status, 0) << test.err;
  Result extract = jov({"extract", "--offset", at, "-C", out.string(), big.string()});
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(readFile(out / "far.txt"), "far away");
}

TEST_F(JovCli, TestRefusesDamage) {
  fs::path src = dir.path() / "src";
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  writeFile(src / "text.txt", text);
  fs::path setup = dir.path() / "Setup.exe";
  ASSERT_EQ(jov({"pack", "-q", "--stub", fakeStub().string(), "-o", setup.string(), src.string()}).status, 0);
  std::string good = readFile(setup);

  std::string data = good;
  data[4096 + 42 + 200] ^= 0x10;  // inside the compressed stream
  writeFile(setup, data);
  Result damaged = jov({"test", setup.string()});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.err.find("text.txt"), std::string::npos) << damaged.err;

  std::string stub = good;
  stub[10] ^= 1;  // a byte of the stub: the installer would refuse to run
  writeFile(setup, stub);
  Result modified = jov({"test", setup.string()});
  EXPECT_EQ(modified.status, 1);
  EXPECT_NE(modified.err.find("stub"), std::string::npos) << modified.err;
  EXPECT_EQ(jov({"list", setup.string()}).status, 0);
}

TEST_F(JovCli, WithoutATerminalFailuresGoOnOrStop) {
  StoredEntry bad = file("bad.txt", "bad");
  bad.badCrc = true;
  fs::path archive = stored({file("a.txt", "a"), bad, file("z.txt", "z")});

  Result goOn = jov({"extract", "-C", out.string(), archive.string()});
  EXPECT_EQ(goOn.status, 1);
  EXPECT_EQ(readFile(out / "z.txt"), "z");
  EXPECT_FALSE(fs::exists(out / "bad.txt"));
  EXPECT_NE(goOn.err.find("bad.txt: Archive data is damaged"), std::string::npos) << goOn.err;

  fs::remove_all(out);
  Result stop = jov({"extract", "--stop-on-error", "-C", out.string(), archive.string()});
  EXPECT_EQ(stop.status, 1);
  EXPECT_EQ(readFile(out / "a.txt"), "a");
  EXPECT_FALSE(fs::exists(out / "z.txt"));

  // An existing file: "ask" cannot ask, so it keeps the file and fails.
  fs::path clean = stored({file("a.txt", "new"), file("z.txt", "z")});
  writeFile(out / "a.txt", "old");
  Result ask = jov({"extract", "-C", out.string(), clean.string()});
  EXPECT_EQ(ask.status, 1);
  EXPECT_NE(ask.err.find("a.txt: exists; not replaced"), std::string::npos) << ask.err;
  EXPECT_EQ(readFile(out / "a.txt"), "old");
  EXPECT_EQ(jov({"extract", "--overwrite=never", "-C", out.string(), clean.string()}).status, 0);
  EXPECT_EQ(readFile(out / "a.txt"), "old");
  EXPECT_EQ(jov({"extract", "--overwrite", "all", "-C", out.string(), clean.string()}).status, 0);
  EXPECT_EQ(readFile(out / "a.txt"), "new");
}

TEST_F(JovCli, OnATerminalTheUserDecides) {
  StoredEntry bad = file("bad.txt", "bad");
  bad.badCrc = true;
  fs::path archive =
      stored({file("a.txt", "new"), file("b.txt", "new"), file("c.txt", "new"), bad, file("z.txt", "z")});
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) writeFile(out / name, "old");
  std::string transcript;
  int status = onTerminal({JOV_BINARY, "extract", "-C", out.string(), archive.string()},
                          {{"a.txt? [y]es, [n]o, [a]ll: ", "n"},
                           {"b.txt? [y]es, [n]o, [a]ll: ", "a"},
                           {"next file? [Y/n]: ", "n"}},
                          &transcript);
  if (status == NO_TERMINAL) GTEST_SKIP() << "no pseudo-terminals on this machine";
  EXPECT_EQ(status, 1) << transcript;
  EXPECT_EQ(readFile(out / "a.txt"), "old");
  EXPECT_EQ(readFile(out / "b.txt"), "new");
  EXPECT_EQ(readFile(out / "c.txt"), "new");  // "all" asks no more
  EXPECT_EQ(transcript.find("c.txt?"), std::string::npos) << transcript;
  EXPECT_FALSE(fs::exists(out / "bad.txt"));
  EXPECT_FALSE(fs::exists(out / "z.txt"));  // the user chose to stop
}

// A packed archive whose directory region is flipped bit by bit: the CRC-32
// that `jov pack` writes makes `jov test` fail every single time.
TEST_F(JovCli, EveryFlippedBitOfAPackedDirectoryIsFound) {
  fs::path src = dir.path() / "src";
  writeFile(src / "d" / "a.txt", "alpha");
  writeFile(src / "e", "");
  fs::path archive = dir.path() / "a.jov";
  ASSERT_EQ(jov({"pack", "-q", "--raw", "-o", archive.string(), src.string()}).status, 0);
  const std::string good = readFile(archive);
  ASSERT_EQ(jov({"test", archive.string()}).status, 0);
  const uint32_t directoryOffset = readLe32((const uint8_t*)good.data() + AH_DIRECTORY_OFFSET);
  ASSERT_LT(directoryOffset, good.size());

  size_t missed = 0;
  for (size_t byte = directoryOffset; byte < good.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string bad = good;
      bad[byte] ^= (char)(1 << bit);
      writeFile(archive, bad);
      Result r = jov({"test", archive.string()});
      if (r.status != 1) {
        ++missed;
        ADD_FAILURE() << "byte " << byte << " bit " << bit << ": status " << r.status << " " << r.err;
      }
    }
  }
  EXPECT_EQ(missed, 0u);

  // Extraction refuses such an archive before it creates anything.
  std::string bad = good;
  bad[good.size() - 1] ^= 0x20;  // the directory's last byte
  writeFile(archive, bad);
  Result r = jov({"extract", "-C", out.string(), archive.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("directory is damaged"), std::string::npos) << r.err;
  EXPECT_TRUE(!fs::exists(out) || fs::is_empty(out));
}

// Another producer's archive: anything in the reserved fields is accepted;
// without the CRC, a file record is still held against its StreamRecord.
TEST_F(JovCli, UntaggedArchivesAreCheckedAgainstTheirStreams) {
  std::string good = [&] {
    fs::path src = dir.path() / "src";
    writeFile(src / "name.txt", "some text");
    fs::path archive = dir.path() / "p.jov";
    // Stored, so that the record's fields stand where the test flips them.
    EXPECT_EQ(jov({"pack", "-q", "-l", "0", "--raw", "-o", archive.string(), src.string()}).status, 0);
    return readFile(archive);
  }();
  for (uint32_t at : {AH_RESERVED1, AH_RESERVED2, AH_RESERVED3, AH_RESERVED4, AH_RESERVED5})
    writeLe32((uint8_t*)&good[at], 0x9E3779B9u * at);  // the tag is gone with them
  writeLe16((uint8_t*)&good[AH_HEADER_WORD], 0xBEEF);
  const size_t name = good.size() - 8 + 2, length = name - 2 - DIRECTORY_ENTRY_SIZE + DE_LENGTH;
  ASSERT_EQ(good.substr(name - 2), "name.txt");
  fs::path archive = dir.path() / "other.jov";
  writeFile(archive, good);
  Result accepted = jov({"test", archive.string()});
  EXPECT_EQ(accepted.status, 0) << accepted.err;

  struct Case {
    size_t at;
    uint8_t mask;
  } cases[] = {{name, 0x01}, {name + 3, 0x40}, {length, 0x01}, {length + 2, 0x80}};
  for (const Case& c : cases) {
    std::string bad = good;
    bad[c.at] ^= (char)c.mask;
    writeFile(archive, bad);
    Result r = jov({"test", archive.string()});
    EXPECT_EQ(r.status, 1) << c.at;
    EXPECT_NE(r.err.find("differs from its data stream"), std::string::npos) << r.err;
  }
}

// Many records naming the same bytes of a stream, or jumping back and forth
// in it: refused with a clear line, before anything is written.
TEST_F(JovCli, OverlappingAndJumpingRecordsAreRefused) {
  std::vector<uint8_t> data(1000, 'x');
  std::vector<RecordDraft> records;
  for (int i = 0; i < 1000; ++i) records.push_back(fileRecord("bomb", data, 0));
  fs::path bomb = dir.path() / "bomb.jov";
  writeFile(bomb, assembleArchive({storedBlock(streamSlice("bomb", data), true)}, records));
  Result tested = jov({"test", bomb.string()});
  EXPECT_EQ(tested.status, 1);
  const std::string refusal = ": bomb: its data overlaps another record's in the same stream; the archive is "
                              "damaged or built to expand without end, and is refused\n";
  EXPECT_EQ(tested.err, "jov test" + refusal);
  Result extracted = jov({"extract", "--overwrite=all", "-C", out.string(), bomb.string()});
  EXPECT_EQ(extracted.status, 1);
  EXPECT_EQ(extracted.err, "jov extract" + refusal);
  EXPECT_TRUE(!fs::exists(out) || fs::is_empty(out));

  // A record that begins inside the one before it also overlaps.
  std::vector<uint8_t> slice = streamSlice("a", data);
  RecordDraft inner = fileRecord("b", {}, 20);
  fs::path nested = dir.path() / "nested.jov";
  writeFile(nested, assembleArchive({storedBlock(slice, true)}, {fileRecord("a", data, 0), inner}));
  EXPECT_EQ(jov({"test", nested.string()}).status, 1);

  fs::path jumping = dir.path() / "jumping.jov";
  writeFile(jumping, backAndForthArchive(200, 1000000));
  Result r = jov({"test", jumping.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("records jump back and forth in their data stream; stopped after decoding"),
            std::string::npos)
      << r.err;
}

// `jov test` and `jov extract` hold the same memory whatever the record
// count: here 300000 records with long names, an archive of a few MB.
TEST_F(JovCli, MemoryDoesNotGrowWithTheRecordCount) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's own memory hides the program's";
#endif
  const uint32_t count = 300000;
  const std::string prefix(200, 'n');
  fs::path path = dir.path() / "many.jov";
  {
    std::vector<uint8_t> stream, directory;
    for (uint32_t i = 0; i < count; ++i) {
      std::string name = prefix + std::to_string(10000000 + i);
      std::vector<uint8_t> slice = streamSlice(name, {});
      uint8_t entry[DIRECTORY_ENTRY_SIZE] = {};
      writeLe32(entry + DE_STREAM_OFFSET, ARCHIVE_HEADER_SIZE);
      writeLe32(entry + DE_STREAM_POSITION, (uint32_t)stream.size());
      writeLe16(entry + DE_NAME_LENGTH, (uint16_t)name.size());
      stream.insert(stream.end(), slice.begin(), slice.end());
      directory.insert(directory.end(), entry, entry + sizeof entry);
      directory.insert(directory.end(), name.begin(), name.end());
    }
    std::vector<uint8_t> archive(ARCHIVE_HEADER_SIZE, 0);
    memcpy(archive.data(), ARCHIVE_MAGIC, sizeof ARCHIVE_MAGIC);
    archive.insert(archive.end(), STREAM_SIGNATURE, STREAM_SIGNATURE + SIGNATURE_SIZE);
    const size_t chunk = 1000000, window = 32768;
    std::vector<uint8_t> history;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      std::vector<uint8_t> piece(stream.begin() + at, stream.begin() + std::min(stream.size(), at + chunk));
      std::vector<uint8_t> block = compressBlock(history, piece, at + chunk >= stream.size(), window);
      archive.insert(archive.end(), block.begin(), block.end());
      if (piece.size() >= window) history.assign(piece.end() - window, piece.end());
    }
    writeLe32(&archive[AH_DIRECTORY_OFFSET], (uint32_t)archive.size());
    const size_t recordSize = DIRECTORY_ENTRY_SIZE + prefix.size() + 8;
    const size_t perBlock = DIRECTORY_BUFFER_SIZE / recordSize * recordSize;
    for (size_t at = 0; at < directory.size(); at += perBlock) {
      std::vector<uint8_t> piece(directory.begin() + at, directory.begin() + std::min(directory.size(), at + perBlock));
      std::vector<uint8_t> block = compressBlock({}, piece, true);
      archive.insert(archive.end(), DIRECTORY_SIGNATURE, DIRECTORY_SIGNATURE + SIGNATURE_SIZE);
      archive.insert(archive.end(), block.begin(), block.end());
    }
    writeLe32(&archive[AH_ENTRY_COUNT], count);
    writeFile(path, archive);
  }

  // A forked child starts out with the test's resident pages as its own
  // peak, so it is forked once the archive's buffers are gone. Extraction
  // plans its run the same way; creating the files would only make this
  // test slow.
  pid_t pid = fork();
  if (pid == 0) {
    int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    dup2(quiet, 2);
    execl(JOV_BINARY, JOV_BINARY, "test", path.c_str(), (char*)nullptr);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  ASSERT_EQ(wait4(pid, &status, 0, &usage), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "peak resident KiB";
}

}  // namespace
