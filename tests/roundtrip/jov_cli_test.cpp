// The `jov` command as a user runs it: command lines with their statuses,
// messages and effects on disk, against outputs and inputs that are not
// regular files and destinations that already hold links, FIFOs and a user's
// copies. In every case nothing outside the working folder changes and no
// temporary is left behind.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <map>

#include "archive/seal.h"
#include "codec/crc32.h"
#include "format.h"
#include "run_jov.h"
#include "block_builder.h"

namespace fs = std::filesystem;

namespace {

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

class JovCommands : public ::testing::Test {
 protected:
  TempDir temp;
  fs::path dir = temp.path();

  // src/ (a program and 240 KB of text), ref.jov (its raw archive), stub.bin
  // (a sealed stand-in stub) and outside/ (what no command may touch).
  void SetUp() override {
    ShellRun r = runShell(dir, R"(set -e
mkdir -p src/data outside; printf 'MZ program' > src/Tovrel32.exe; seq 0 29999 | sed 's/^/row /' > src/data/rows.txt
$JOV pack --raw -q -o ref.jov src; cp "$GOLDEN/stub.bin" .
echo outside bytes > outside/target; chmod 640 outside/target; echo linked > outside/linked
)");
    ASSERT_EQ(r.status, 0) << r.err;
  }
};

struct Row {
  const char* line;
  int status;              // 77: the machine cannot stage the case
  const char* err;         // a part of stderr, "" for an empty stderr, null for any
  const char* check = "";  // bash that must succeed afterwards; stdout and stderr are in files of those names
};

const Row ROWS[] = {
    // Finding the archive, usage errors.
    {"head -c 777 /dev/zero > p; cat ref.jov >> p; $JOV list p", 1, "jov list: ", "[ $(wc -l < stderr) = 1 ]"},
    {"head -c 777 /dev/zero > p; cat ref.jov >> p; $JOV list --offset 777 p && $JOV test --offset 0x309 p &&"
     "! $JOV list --offset 776 p 2> e", 0, "", "grep -q '^jov list: ' e"},
    {R"(for c in "pack --raw" list test extract; do for b in "--codepage 12345 src" "--codepage 37 src" --frobnicate -q; do
  $JOV $c $b 2> e; s=$?; [ $s = 2 ] && [ $(wc -l < e) = 1 ] && grep -q "^jov ${c% *}: " e || { echo "$c $b: $s" >&2; exit 1; }
done; done
for a in list "list --bogus ref.jov" "extract --overwrite=maybe ref.jov" "test ref.jov ref.jov" \
    "test --offset 7x ref.jov" "test --offset +0 ref.jov" "pack --raw --exclude [ab src" \
    "pack --raw --exclude-from missing src" "pack --product A|B src" "pack --program data/rows.txt src" \
    "pack --publisher a\\b src" "pack --ini-file nul src" "pack --raw --product X src"; do
  $JOV $a 2> e; s=$?; [ $s = 2 ] && [ $(wc -l < e) = 1 ] || { echo "$a: $s" >&2; exit 1; }
done)",
     0, ""},
    {"$JOV pack --raw -l 12 -o o.jov src", 2, "level must be 0 to 9", "! test -e o.jov"},
    {"SOURCE_DATE_EPOCH=12x $JOV pack --raw -o o.jov src", 2, "SOURCE_DATE_EPOCH is not a number", "! test -e o.jov"},
    // A reproducible build is the same in every time zone.
    {"export SOURCE_DATE_EPOCH=1600000000; TZ=UTC0 $JOV pack --raw -q -o u.jov src && TZ=JST-9 $JOV pack --raw -q "
     "-o t.jov src && cmp u.jov t.jov && $JOV list u.jov | grep -q '2020-09-13 12:26:40'", 0, ""},
    {"$JOV test missing", 1, "missing"},
    {R"(for c in pack list test extract; do $JOV $c --version | cmp - <($JOV --version) || exit 1; done
$JOV --version > v)", 0, "", R"(grep -q "^jov " v && grep -q "built-in stub: " v)"},
    {R"(mkdir -- -dash; echo a > -dash/a.txt; $JOV pack --raw -qv9 -odash.jov -- -dash > o1 && mv dash.jov ./-x.jov &&
$JOV list -q -- -x.jov > o2 && $JOV extract -qvCout -- -x.jov > o3)",
     0, "", R"~([ "$(cat o1)" = "file   a.txt" ] && grep -q a.txt o2 && ! grep -q " files, " o2 && [ "$(cat o3)" = a.txt ])~"},
    {R"(script -qec "$JOV pack --raw -o - src" /dev/null > o; :)", 0, nullptr,
     "grep -q 'jov pack: standard output is a terminal' o"},
    // Reading.
    {"$JOV list --codepage 1251 $GOLDEN/names.jov > o", 0, nullptr, "grep -qF 'd/caf\xd0\xb9.txt' o"},
    {"d=$PWD/$(printf %0200d 0); $JOV extract -C $d $GOLDEN/long-name.jov", 1, ": File name too long",
     R"([ $(wc -l < stderr) = 1 ] && grep -q "cannot create $PWD/0*/nnn" stderr && grep -qx kept 0*/short.txt)"},
    // A destination of 259 characters is taken (nothing fits in it); 260 are refused.
    {"d=$PWD/$(printf %0$((258 - ${#PWD}))d 0); $JOV extract -C $d $GOLDEN/long-name.jov", 1, ": File name too long",
     "test -d 0* && ! grep -qi 'cannot create folder' stderr"},
    {"d=$PWD/$(printf %0$((259 - ${#PWD}))d 0); $JOV extract -C $d $GOLDEN/long-name.jov", 1,
     "cannot create folder: path too long (259 characters at most)", "! test -e 0*"},
    {"truncate -s 2415919104 big && cat ref.jov >> big && $JOV list --offset 2415919104 big > o && "
     "$JOV test --offset 2415919104 big && $JOV extract --offset 2415919104 -C out big",
     0, "", "grep -q rows.txt o && cmp out/data/rows.txt src/data/rows.txt"},
    {R"($JOV list ref.jov > r; cat ref.jov | $JOV list - > o1; $JOV list - < ref.jov > o2; $JOV list <(cat ref.jov) > o3
mkfifo p; (cat ref.jov > p &); $JOV list p > o4)", 0, "", "for i in 1 2 3 4; do cmp r o$i || exit 1; done"},
    {"cat ref.jov | $JOV test -v - > o", 0, "", "grep -q data/rows.txt o"},
    {"cat ref.jov | $JOV extract -C out -", 0, "", "cmp out/data/rows.txt src/data/rows.txt"},
    {"head -c -10 ref.jov | $JOV list - > o", 1, "jov list: standard input: ", "! grep -q ' files, ' o"},
    {"$JOV list - < /dev/null", 1, "not a JOV archive"},
    // Piped garbage is refused from its first bytes (a copy of it could not grow past 2 MiB here); an
    // archive behind --offset and a self-extractor (a program: the built-in stub) still pass.
    {R"~(ulimit -f 2048; trap '' XFSZ; for a in y: MZ: "y:--offset 9"; do yes ${a%%:*} | $JOV list ${a#*:} - 2>> e && exit 1
done; [ $(grep -cE "input: (not a JOV archive|no JOV archive at offset 9)" e) = 3 ] || exit 1
cat ref.jov | $JOV list - > o1 && (head -c 777 /dev/zero; cat ref.jov) | $JOV list --offset 777 - | cmp - o1 || exit 1
$JOV pack -q -o s.exe src 2> /dev/null || exit 77; cat s.exe | $JOV list - > o2)~", 0, "", "grep -q rows.txt o2"},
    // Output that cannot be written is a failure.
    {R"(for c in list "list --json" "test -v" "extract -v -C out"; do $JOV $c ref.jov > /dev/full 2> e
  [ $? = 1 ] && grep -q "^jov ${c%% *}: standard output: " e || exit 1; done)", 0, ""},
    // Damage says why and where, in the JSON document too; on a terminal a summary ends the run.
    {"$JOV test --json $GOLDEN/bad-blocks.jov > j", 1, nullptr, R"(python3 -c "import json; d = json.load(open('j'))
f = [(x['file'], x['site'], x['stream'], x['block'], x['offset'], x['reason']) for x in d['failures']]
assert d['damaged'] == 3 and f[1] == ('c.txt', 'data', 1, 1, 130, 'unknown block type 3'), f
assert f[3] == (None, 'directory', None, 0, 408, 'directory record runs past its block'), f")"},
    {R"(script -qec "$JOV test ref.jov; $JOV extract -C out $GOLDEN/bad-crc.jov" /dev/null > t)", 1, nullptr,
     R"~(grep -q "jov test: 2 files tested (282 KiB in [0-9.]* s)" t &&
grep -q "jov extract: 1 of 5 files damaged; stopped before the end (13 bytes in [0-9.]* s)" t)~"},
    // Failures without a terminal go on or stop; existing files.
    // A damaged file reads the same whether the run stops there or goes on; a count ends the run.
    {"$JOV extract --stop-on-error -C out $GOLDEN/bad-crc.jov", 1,
     "bad.txt: archive data is damaged (CRC-32 822b39fb, stored 822b39fa)\njov extract: 1 of 5 files damaged; stopped",
     "test -e out/c.txt && ! test -e out/z.txt"},
    {"mkdir out; echo old > out/a.txt; $JOV extract -C out $GOLDEN/bad-crc.jov", 1, "a.txt: exists; not replaced",
     "grep -qx old out/a.txt && grep -qx z out/z.txt"},
    {"mkdir -p out/data; echo old > out/data/rows.txt; $JOV extract --overwrite=never -C out ref.jov", 0, "",
     "grep -qx old out/data/rows.txt"},
    {"mkdir -p out/data; echo old > out/data/rows.txt; $JOV extract --overwrite all -C out ref.jov", 0, "",
     "cmp out/data/rows.txt src/data/rows.txt"},
    {R"(mkdir out; for f in a b c; do echo old > out/$f.txt; done
printf 'n\na\nn\n' | script -qec "$JOV extract -C out $GOLDEN/bad-crc.jov" /dev/null > t)",
     1, nullptr,
     R"(grep -qx old out/a.txt && grep -qx new out/b.txt && grep -qx new out/c.txt && ! grep -q "c.txt?" t &&
grep -q "next file? \[Y/n\]" t && ! test -e out/z.txt)"},
    {R"(mkdir out; echo old > out/a.txt
printf 'maybe\ny\n' | script -qec "$JOV extract --stop-on-error -C out $GOLDEN/bad-crc.jov" /dev/null > t)", 1, nullptr,
     R"([ $(grep -o "a.txt?" t | wc -l) = 2 ] && grep -qx new out/a.txt && ! test -e out/z.txt)"},
    {"mkdir out; touch out/data; $JOV extract -C $PWD/out ref.jov", 1, nullptr,
     R"~(grep -qF "($PWD/out/data is in the way)" stderr)~"},
    // Whatever stands in the destination, nothing outside it changes.
    {"mkdir out; ln -s $PWD/outside out/docs; $JOV extract --overwrite=all -C out $GOLDEN/dest-folder.jov", 1,
     "docs: a symbolic link stands where a folder belongs", "grep -qx z out/z && test -L out/docs"},
    {"mkdir out; ln -s $PWD/outside out/docs; $JOV extract --overwrite=all -C out $GOLDEN/dest-folder-record.jov", 1,
     "cannot create folder", "test -L out/docs"},
    {"mkdir out; ln -s $PWD/outside/target out/f; $JOV extract -C out $GOLDEN/dest-file.jov", 1,
     "f: exists; not replaced", "test -L out/f"},
    {R"(mkdir out; for t in target created; do for o in never all; do ln -sfn $PWD/outside/$t out/f
  $JOV extract --overwrite=$o -C out $GOLDEN/dest-file.jov || exit
  if [ $o = never ]; then test -L out/f; else ! test -L out/f && grep -qx new out/f && rm out/f; fi || exit
done; done)", 0, ""},
    {"mkdir out; ln outside/linked out/f; $JOV extract --overwrite=all -C out $GOLDEN/dest-file.jov", 0, "",
     "grep -qx new out/f"},
    {R"(mkdir out; mkfifo out/f; for o in never all; do rm -f out/z
  $JOV extract --overwrite=$o -C out $GOLDEN/dest-file.jov 2>> e; [ $? = 1 ] && test -p out/f && grep -qx z out/z || exit
done; [ $(grep -c "f: not a regular file" e) = 2 ])", 0, ""},
    {R"~(mkdir out; python3 -c "import socket; socket.socket(socket.AF_UNIX).bind('out/f')"
$JOV extract --overwrite=all -C out $GOLDEN/dest-file.jov)~", 1, "f: not a regular file", "test -S out/f"},
    {"mkdir real; ln -s $PWD/real out; $JOV extract --overwrite=all -C out $GOLDEN/dest-folder-record.jov", 0, "",
     "grep -qx new real/docs/x"},
    // A damaged file never replaces the user's copy; files that look like
    // another run's temporaries are not this run's to remove.
    {"mkdir -p out/data; echo good > out/bad.txt; touch out/.jov-tmp-0123abcd out/data/.jov-tmp-deadbeef; "
     "$JOV extract -C out ref.jov && $JOV extract --overwrite=all -C out $GOLDEN/bad-crc.jov",
     1, "bad.txt: archive data is damaged (CRC-32 822b39fb, stored 822b39fa)\njov extract: 1 of 5 files damaged\n",
     "grep -qx good out/bad.txt && rm out/.jov-tmp-0123abcd out/data/.jov-tmp-deadbeef"},
    // Runs into one folder: each file comes whole from one of them; a name another run took after this one
    // looked fails cleanly instead of being replaced unasked.
    {"for i in 1 2 3 4; do $JOV extract -q --overwrite=never -C out ref.jov 2>> e & done; wait\n"
     "! grep -v 'File exists$' e", 0, "", "diff -r src out"},
    // Names as Windows compares them: a later record, or a file already there, that differs only in case
    // is the same file, replaced under the overwrite rules.
    {"mkdir out; echo old > out/tovrel32.EXE; $JOV extract --overwrite=all -C out $GOLDEN/case-pairs.jov", 0, "",
     "[ \"$(cd out; LC_ALL=C ls)\" = \"$(printf 'Docs\\nLONG~1\\ntovrel32.EXE\\nx\\xc5\\xa1')\" ] && "
     "grep -qx second out/tovrel32.EXE && grep -q capital out/x$'\\xc5\\xa1' && test -e out/Docs/a.txt"},
    // Outputs of `jov pack` that are not regular files are written into.
    {"mkfifo f; cat f > got & $JOV pack --raw -q -o f src; s=$?; wait; exit $s", 0, "", "test -p f && cmp got ref.jov"},
    {"echo old > real; ln -s real o; $JOV pack --raw -q -o o src", 0, "", "test -L o && cmp real ref.jov"},
    {"mkfifo f; ln -s f o; cat f > got & $JOV pack --raw -q -o o src; s=$?; wait; exit $s", 0, "",
     "test -L o && cmp got ref.jov"},
    {"$JOV pack --raw -q -o - src > got && $JOV pack --raw -qo- src | cmp - got", 0, "", "cmp got ref.jov"},
    {"mknod null c 1 3 && echo x > null || exit 77; $JOV pack --raw -q -o null src", 0, "", "test -c null"},
    {"mknod full c 1 7 && test -c full || exit 77; $JOV pack --raw -q -o full src", 1,
     "jov pack: full: cannot write: No space left on device\n", "test -c full"},
    // A full disk names the path and the reason and leaves no partial file.
    {"head -c 300000 /dev/urandom > src/noise.bin; ulimit -f 64; trap '' XFSZ; $JOV pack --raw -q -o cut.jov src", 1,
     "jov pack: cut.jov: cannot write: File too large\n", "! test -e cut.jov"},
    {"ulimit -f 64; trap '' XFSZ; $JOV extract -C out ref.jov", 1,
     "jov extract: cannot write out/data/rows.txt: No space left on device\n", "! test -e out/data/rows.txt"},
    // Stubs, names, options.
    {"head -c 1000 /dev/zero > s; $JOV pack -q -T2 -l 5 --stub s -o Setup.exe src", 2, "s: the stub carries no seal",
     "! test -e Setup.exe"},
    {"$JOV pack -q -l 5 --stub stub.bin -o Setup.exe src && $JOV pack --raw -q -l 5 -o raw.jov src", 0, "",
     "head -c 4096 Setup.exe | cmp - stub.bin && tail -c +4097 Setup.exe | cmp - raw.jov"},
    {"touch 'src/data/bad|name.txt'; $JOV pack --raw -o o.jov src", 1, "data/bad|name.txt", "! test -e o.jov"},
    {"$JOV pack --raw -o o.jov missing", 1, "missing", "! test -e o.jov"},
    {"rm src/Tovrel32.exe; $JOV pack --stub $GOLDEN/stub-identity.bin -o o.exe src", 0, "no Tovrel32.exe in src"},
    // The identity: a file, options over it, the program in the tree's spelling; only the record
    // and the seal's CRC-32 change. A value the installer cannot hold is a usage error naming it.
    {R"(printf '# Acme\n product = Acme\npublisher=Acme Inc\nprogram=data/rows.txt\n' > id
S="--stub $GOLDEN/stub-identity.bin"; $JOV pack -q $S --identity id --product 'Acme Tools' --program TOVREL32.EXE \
  -o a.exe src && $JOV test a.exe && $JOV list a.exe > l && $JOV list --json a.exe > j && $JOV pack -q $S -o p.exe src &&
cmp -l a.exe p.exe | wc -l > n)", 0, "",
     R"(grep -qx 'installer: product "Acme Tools", product-version "0.93 Beta", publisher "Acme Inc", program )"
     R"("Tovrel32.exe", ini-file "tovrel.ini"' l && grep -qF '"installer": {"product": "Acme Tools", ' j && [ $(cat n) -lt 30 ])"},
    {"$JOV pack --stub $GOLDEN/stub-identity.bin --program nothere.exe -o o.exe src", 2, "\"nothere.exe\": not a file", "! test -e o.exe"},
    {"touch 'src/a|b' 'src/A|B' src/nul; $JOV pack --raw -o o.jov src", 1, "3 problems in src",
     R"(grep -qF "jov pack: A|B: " stderr && grep -qF "jov pack: a|b: " stderr && grep -qF "jov pack: nul: " stderr &&
! test -e o.jov)"},
    {R"(printf '# leftovers\n\n*.bak\n' > ex; touch src/n.bak 'src/a|b' src/nul
for i in 1 2; do $JOV pack --raw -v --exclude '*|*' --exclude nul --exclude-from ex -o src/in.jov src > list || exit; done)",
     0, "in.jov: not packed: it is the output",
     R"(! grep -qE "in.jov|n.bak|nul|a\|b" list && grep -qF "file   data/rows.txt" list)"},
    // A signal while the output is written (SIGINT while extracting a big
    // file, SIGHUP while packing 1 GiB): the temporary goes, nothing stands
    // under the name, and nothing after it is written.
    {R"(mkdir big; echo first > big/a.txt; truncate -s 256M big/big.txt; echo z > big/z.txt
$JOV pack --raw -q -l 0 -o big.jov big; $JOV extract -C out big.jov & p=$!
big() { for f in /proc/$p/fd/*; do [[ $(readlink $f) == "$PWD/out/#"* ]] && (($(stat -Lc %s $f) % (1 << 28) > 999999)) && return; done; false; }
until big 2> /dev/null || ! kill -0 $p 2> /dev/null; do :; done
kill -INT $p; wait $p)", 130, "interrupted", "grep -qx first out/a.txt && ! test -e out/big.txt && ! test -e out/z.txt"},
    {R"(truncate -s 1G src/big; $JOV pack --raw -q -T1 -l1 -o o.jov src & p=$!
until ls -l /proc/$p/fd 2> /dev/null | grep -q "$PWD/#" || ! kill -0 $p 2> /dev/null; do :; done
kill -HUP $p; wait $p)",
     128 + SIGHUP, nullptr, "! test -e o.jov"},
    // Runs into one output all succeed and leave no temporary; a file that
    // looks like a leftover is not theirs to remove. A file the user cannot
    // write (also through a link) is not replaced.
    {"touch o.jov.jovtmp.AAAAAA; for i in 1 2 3 4 5 6; do $JOV pack --raw -q -o o.jov src & done; s=0\n"
     "for i in 1 2 3 4 5 6; do wait -n || s=1; done; exit $s",
     0, "", "cmp o.jov ref.jov && rm o.jov.jovtmp.AAAAAA"},
    {R"(echo old > o.jov; ln -s o.jov l; chmod 777 .; chmod 444 o.jov
as=; [ $(id -u) = 0 ] && as="setpriv --reuid=65534 --regid=65534 --clear-groups"
for t in o.jov l; do $as $JOV pack --raw -q -o $t src && exit 9; done; exit 1)", 1,
     "jov pack: o.jov: cannot write: Permission denied\n", "grep -qx old o.jov && grep -q '^jov pack: l: cannot write: Permission denied' stderr"},
};

TEST_F(JovCommands, CommandLines) {
  for (const Row& row : ROWS) {
    SCOPED_TRACE(row.line);
    TempDir work;
    ASSERT_EQ(runShell(work.path(), "cp -a " + dir.string() + "/. .").status, 0);
    const auto outside = snapshot(work.path() / "outside");
    ShellRun r = runShell(work.path(), row.line);
    if (r.status == 77 && row.status != 77) continue;
    EXPECT_EQ(r.status, row.status) << r.err;
    if (row.err) {
      EXPECT_TRUE(*row.err ? r.err.find(row.err) != std::string::npos : r.err.empty()) << r.err;
    }
    writeFile(work.path() / "stdout", r.out);
    writeFile(work.path() / "stderr", r.err);
    if (*row.check) {
      EXPECT_EQ(runShell(work.path(), row.check).status, 0) << row.check << "\n" << r.err;
    }
    EXPECT_EQ(snapshot(work.path() / "outside"), outside);
    ShellRun left = runShell(work.path(), "find . -regextype egrep -regex "
                                           "'.*/(\\.jov-tmp-[0-9a-f]{8}|[^/]*\\.jovtmp\\.[^/]{6}|[^/]*XXXXXX[^/]*)'");
    EXPECT_EQ(left.out, "") << "temporaries left";
  }
}

// Every level from stored to best, over data of every kind, gives back the
// bytes, times and read-only bits (each StreamRecord repeating its directory
// record); real i386 programs get the call filter.
TEST_F(JovCommands, PackTestAndExtractGiveBackTheTree) {
  ShellRun r = runShell(dir, R"~(set -e
mkdir -p 'src/empty folder' src/1/2/3/4/5/6/7/8/9/10/11/12; echo deep > src/1/2/3/4/5/6/7/8/9/10/11/12/deep.txt
head -c 1500000 /dev/urandom > src/noise.bin; head -c 1300000 /dev/zero > src/runs.bin; : > src/empty.txt
head -c 700000 /dev/urandom > b; head -c 300000 /dev/urandom > g; cat b g b > src/far.bin
echo crème > 'src/café crème.txt'; echo ro > src/ro.txt; chmod 444 src/ro.txt
find /usr/lib/i386-linux-gnu/wine/i386-windows -name '*.dll' -size -600k 2>/dev/null | sort | head -4 | xargs -r cp -t src
touch -d '2020-05-17 13:45:22' src/data/rows.txt
for l in 0 1 6 9; do
  $JOV pack --raw -q -l $l -o a$l.jov src; $JOV test -v a$l.jov > t; grep -q differs t && exit 5
  $JOV extract -C o$l a$l.jov; diff -r src o$l
  test "$(stat -c %Y src/data/rows.txt)" = "$(stat -c %Y o$l/data/rows.txt)" || exit 3
  stat -c %A o$l/ro.txt | grep -qv w || exit 4
done)~");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// An identity record sealed with a value the installer cannot hold: `list`
// warns about it, `test` fails.
TEST_F(JovCommands, AnIdentityTheInstallerCannotHoldFailsTheTest) {
  ASSERT_EQ(runShell(dir, "$JOV pack -q --stub $GOLDEN/stub-identity.bin --product Acme -o a.exe src").status, 0);
  std::string file = readFile(dir / "a.exe");
  uint8_t* bytes = (uint8_t*)file.data();
  StubSeal seal;
  ASSERT_TRUE(findSeal(bytes, (uint32_t)file.size(), &seal));
  size_t record = file.find(std::string((const char*)IDENTITY_MAGIC, IDENTITY_MAGIC_SIZE));
  ASSERT_LT(record, seal.stubLength);
  bytes[record + ID_PRODUCT + 1] = '|';
  std::vector<uint8_t> scratch(seal.stubLength);
  buildCrcTable();
  fillSeal(bytes, scratch.data(), seal.stubLength, seal.sealOffset);
  writeFile(dir / "b.exe", file);
  ShellRun r = runShell(dir, "$JOV list b.exe > /dev/null; $JOV test b.exe");
  EXPECT_EQ(r.status, 1);
  const std::string why =
      "installer identity, product \"A|me\": the installer refuses it: a control character or one of <>:\"|?* in a name\n";
  EXPECT_EQ(r.err, "jov list: " + why + "jov test: " + why);
}

// The directory of a packed archive carries a CRC-32: `jov test` finds
// every single flipped bit of it, and extract creates nothing then.
TEST_F(JovCommands, EveryFlippedBitOfAPackedDirectoryIsFound) {
  ASSERT_EQ(runShell(dir, "mkdir -p s/d; printf alpha > s/d/a.txt; : > s/e; $JOV pack -q --raw -o a.jov s").status, 0);
  const std::string good = readFile(dir / "a.jov");
  const uint32_t directory = readLe32((const uint8_t*)good.data() + AH_DIRECTORY_OFFSET);
  ASSERT_LT(directory, good.size());
  for (size_t bit = directory * 8; bit < good.size() * 8; ++bit) {
    std::string bad = good;
    bad[bit / 8] ^= (char)(1 << bit % 8);
    writeFile(dir / "flips" / std::to_string(bit), bad);
  }
  ShellRun r = runShell(dir, R"(for f in flips/*; do $JOV test $f > /dev/null 2>&1; [ $? = 1 ] || echo "bit ${f#flips/}"; done
$JOV extract -C out flips/$(ls flips | sort -n | tail -1))");
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("directory is damaged"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "out") && !fs::is_empty(dir / "out"));
}

// `jov test` holds the same memory whatever the record count: here 300000
// folder records with long names, a 75 MB directory.
TEST_F(JovCommands, MemoryDoesNotGrowWithTheRecordCount) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's own memory hides the program's";
#endif
  std::vector<RecordDraft> records(300000);
  for (size_t i = 0; i < records.size(); ++i) records[i] = {std::string(200, 'n') + std::to_string(i), true};
  writeFile(dir / "many.jov", assembleArchive({}, records));
  ShellRun r = runShell(dir, R"(python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' $JOV test many.jov)");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_LT(std::stol(r.out), 64 * 1024) << "peak resident KiB";
}

}  // namespace
