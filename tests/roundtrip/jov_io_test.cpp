// `jov` against outputs and inputs that are not regular files (FIFOs,
// symbolic links, device nodes, pipes, standard input and output) and the
// command-line conventions every command shares. Everything happens in a
// temporary folder: device nodes are made there, never touched in /dev.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "stored_archive.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

class JovIo : public ::testing::Test {
 protected:
  TempDir dir;

  // Runs a bash command line in the temporary folder, with $JOV the binary;
  // stdin is empty unless the line redirects it.
  Result sh(const std::string& line) {
    std::string command = "cd '" + dir.path().string() + "' && JOV='" JOV_BINARY "' bash -c '" + line +
                          "' < /dev/null > stdout.txt 2> stderr.txt";
    int status = system(command.c_str());
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readFile(dir.path() / "stdout.txt");
    r.err = readFile(dir.path() / "stderr.txt");
    return r;
  }

  // src/ with a few files, and its raw archive packed to a regular file.
  std::string packReference() {
    writeFile(dir.path() / "src" / "Tovrel32.exe", "MZ program");
    std::string text;
    for (int i = 0; i < 30000; ++i) text += "row " + std::to_string(i % 977) + "\n";
    writeFile(dir.path() / "src" / "data" / "rows.txt", text);
    Result r = sh("$JOV pack --raw -q -o reference.jov src");
    EXPECT_EQ(r.status, 0) << r.err;
    return readFile(dir.path() / "reference.jov");
  }
};

mode_t typeOf(const fs::path& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

// The output is written into what stands at -o; nothing is replaced, and
// a symbolic link to a file keeps being a link while its target is renewed.
TEST_F(JovIo, PackWritesIntoOutputsThatAreNotRegularFiles) {
  std::string reference = packReference();
  struct Case {
    const char* name;
    const char* setup;  // makes `out` (and whatever it points to)
    const char* pack;   // the pack command, its bytes ending in `got`
    mode_t type;        // what `out` must still be
  } cases[] = {
      {"FIFO", "mkfifo out", "cat out > got & $JOV pack --raw -q -o out src; s=$?; wait; exit $s", S_IFIFO},
      {"link to a file", "echo old > real; ln -s real out", "$JOV pack --raw -q -o out src && cp real got", S_IFLNK},
      {"link to a FIFO", "mkfifo f; ln -s f out", "cat f > got & $JOV pack --raw -q -o out src; s=$?; wait; exit $s",
       S_IFLNK},
      {"standard output", "", "$JOV pack --raw -q -o - src > got", 0},
      {"standard output, attached", "", "$JOV pack --raw -qo- src > got", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sh(std::string("rm -f out real f got; ") + c.setup);
    Result r = sh(c.pack);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(readFile(dir.path() / "got") == reference);
    if (c.type) {
      EXPECT_EQ(typeOf(dir.path() / "out"), c.type);
    }
  }
  // No temporary is left beside any of them.
  for (const auto& e : fs::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().find(".XXXXXX"), std::string::npos);
}

// As root, device nodes made in the temporary folder: one like /dev/null
// stays a device, one like /dev/full fails naming the path and the reason.
TEST_F(JovIo, PackIntoDeviceNodes) {
  packReference();
  // Needs root, and a file system that honours device nodes.
  if (mknod((dir.path() / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
      access((dir.path() / "null").c_str(), W_OK) != 0 || sh("echo x > null").status != 0)
    GTEST_SKIP() << "no usable device nodes in " << dir.path();
  ASSERT_EQ(mknod((dir.path() / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
  Result null = sh("$JOV pack --raw -q -o null src");
  EXPECT_EQ(null.status, 0) << null.err;
  EXPECT_EQ(typeOf(dir.path() / "null"), (mode_t)S_IFCHR);
  Result full = sh("$JOV pack --raw -q -o full src");
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "jov pack: full: cannot write: No space left on device\n");
  EXPECT_EQ(typeOf(dir.path() / "full"), (mode_t)S_IFCHR);
}

// A disk that fills up (here: a file-size limit, which fails writes the
// same way) names the file and the reason, and leaves no partial file.
TEST_F(JovIo, AFullDiskNamesThePathAndTheReason) {
  packReference();
  std::string noise;
  for (uint32_t x = 1; noise.size() < 300000; x = x * 1103515245 + 12345) noise += (char)(x >> 24);
  writeFile(dir.path() / "src" / "noise.bin", noise);
  ASSERT_EQ(sh("$JOV pack --raw -q -o whole.jov src").status, 0);
  const char* limit = "ulimit -f 64; trap \"\" XFSZ; ";  // 64 KiB; EFBIG instead of the signal
  struct Case {
    std::string line, message, partial;
  } cases[] = {
      {"$JOV pack --raw -q -o cut.jov src", "jov pack: cut.jov: cannot write: File too large\n", "cut.jov"},
      {"$JOV extract -C out whole.jov", "jov extract: Cannot write out/data/rows.txt: Disk full\n", "out/data/rows.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Result r = sh(limit + c.line);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.message);
    EXPECT_FALSE(fs::exists(dir.path() / c.partial));
  }
  for (const auto& e : fs::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().rfind("cut.jov.", 0), std::string::npos) << e.path();
}

// Standard input, a pipe and a FIFO hold no positions to seek to; the
// archive is read all the same, with the same listing as from its file.
TEST_F(JovIo, ReadsArchivesFromPipesAndStandardInput) {
  std::string reference = packReference();
  Result fromFile = sh("$JOV list reference.jov");
  ASSERT_EQ(fromFile.status, 0) << fromFile.err;
  const char* lines[] = {
      "cat reference.jov | $JOV list -",
      "$JOV list - < reference.jov",
      "$JOV list <(cat reference.jov)",
      "mkfifo pipe; cat reference.jov > pipe & $JOV list pipe",
  };
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    Result r = sh(line);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, fromFile.out);
  }
  Result test = sh("cat reference.jov | $JOV test -v -");
  EXPECT_EQ(test.status, 0) << test.err;
  EXPECT_NE(test.out.find("data/rows.txt"), std::string::npos);
  Result extract = sh("cat reference.jov | $JOV extract -C out -");
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(readFile(dir.path() / "out" / "data" / "rows.txt"), readFile(dir.path() / "src" / "data" / "rows.txt"));

  // Cut short on the way in: the failure names standard input, and no total
  // is printed for the records that happened to be readable.
  Result cut = sh("head -c " + std::to_string(reference.size() - 10) + " reference.jov | $JOV list -");
  EXPECT_EQ(cut.status, 1);
  EXPECT_EQ(cut.err.rfind("jov list: standard input: ", 0), 0u) << cut.err;
  EXPECT_EQ(cut.out.find(" files, "), std::string::npos) << cut.out;
  Result empty = sh("$JOV list - < /dev/null");
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.err.find("not a JOV archive"), std::string::npos) << empty.err;
}

TEST_F(JovIo, EveryCommandSharesTheConventions) {
  packReference();
  writeFile(dir.path() / "-dash" / "a.txt", "a");
  for (const char* command : {"pack", "list", "test", "extract"}) {
    SCOPED_TRACE(command);
    Result version = sh(std::string("$JOV ") + command + " --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, sh("$JOV --version").out);
    EXPECT_EQ(version.out.rfind("jov ", 0), 0u) << version.out;
    EXPECT_NE(version.out.find("built-in stub: "), std::string::npos) << version.out;
    // A code page the system cannot convert, a bad option: usage errors,
    // one line, prefixed with the command.
    for (const char* bad : {" --codepage 12345 src", " --codepage 37 src", " --frobnicate src", " -q"}) {
      Result r = sh(std::string("$JOV ") + command + bad);
      EXPECT_EQ(r.status, 2) << bad;
      EXPECT_EQ(r.err.rfind(std::string("jov ") + command + ": ", 0), 0u) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
  }
  // "--" ends the options; short flags combine, values attach.
  Result dashed = sh("$JOV pack --raw -qv9 -odash.jov -- -dash");
  EXPECT_EQ(dashed.status, 0) << dashed.err;
  EXPECT_EQ(dashed.out, "file   a.txt\n");  // the listing is on stdout, -q keeps the rest quiet
  sh("mv dash.jov ./-x.jov");
  Result listed = sh("$JOV list -q -- -x.jov");
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find("a.txt"), std::string::npos);
  EXPECT_EQ(listed.out.find(" files, "), std::string::npos) << "-q leaves the total out";
  EXPECT_EQ(sh("$JOV extract -qvCout -- -x.jov").out, "a.txt\n");
  // Standard output on a terminal never receives an installer (checked
  // where `script` can lend a terminal).
  if (sh("script -qec tty /dev/null").out.rfind("/dev/", 0) == 0) {
    Result tty = sh("script -qec \"$JOV pack --raw -o - src\" /dev/null");
    EXPECT_NE(tty.out.find("jov pack: standard output is a terminal"), std::string::npos) << tty.out;
  }
}

// The installer's "Cannot create" names the path it wanted; `jov` adds the
// one actually in the way.
TEST_F(JovIo, NamesThePathInTheWay) {
  StoredEntry file;
  file.name = "a\\b.txt";
  file.data = {'x'};
  writeFile(dir.path() / "in.jov", [&] {
    std::vector<uint8_t> bytes = buildStoredArchive({file});
    return std::string(bytes.begin(), bytes.end());
  }());
  writeFile(dir.path() / "out" / "a", "a file, not a folder");
  Result r = sh("$JOV extract -C \"$PWD/out\" in.jov");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("(" + (dir.path() / "out" / "a").string() + " is in the way)"), std::string::npos) << r.err;
}

}  // namespace
