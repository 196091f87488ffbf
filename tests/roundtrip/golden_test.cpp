// Committed archives, good and bad, and what `jov list`, `list --json`,
// `test` and `extract` make of each: statuses, every output line, the files
// that appear (with their times, modes and digests), and that the JSON
// parses. tests/golden/regenerate.sh rebuilds them; review the diff.
#include <gtest/gtest.h>

#include <map>

#include "archive/seal.h"
#include "block_builder.h"
#include "codec/crc32.h"
#include "format.h"
#include "jumping_archive.h"
#include "packed_items.h"
#include "platform/platform.h"
#include "run_jov.h"
#include "stored_archive.h"

namespace fs = std::filesystem;

namespace {

const char TRANSCRIPT[] = R"(for c in "list" "list --json" "test" "extract -C out"; do
  echo "\$ jov $c"
  $JOV $c "$A" > o 2> e; echo "[exit $?]"; cat o; sed 's/^/! /' e
  if [ "$c" = "list --json" ]; then python3 -c 'import json; json.load(open("o"))' 2>/dev/null || echo "BAD JSON"; fi
done
rm o e
find . -mindepth 1 ! -name '.*' ! -name "$A" \( -type d -printf '%p/\n' -o -perm /222 -printf '%p %s %TF %TT\n' \
  -o -printf '%p %s %TF %TT read-only\n' \) | LC_ALL=C sort | sed "s/ $(date +%F) [0-9:.]*/ (no time: now)/"
find . -type f -path './out/*' -exec md5sum {} + | LC_ALL=C sort -k2
)";

std::string transcript(const fs::path& archive) {
  TempDir dir;
  fs::copy_file(archive, dir.path() / archive.filename());
  return runShell(dir.path(), "A='" + archive.filename().string() + "'\n" + TRANSCRIPT).out;
}

StoredEntry entry(const std::string& name, const std::string& data, uint8_t attributes = 0) {
  StoredEntry e;
  e.name = name;
  e.data.assign(data.begin(), data.end());
  e.attributes = attributes;
  return e;
}

StoredEntry folder(const std::string& name, uint8_t attributes = 0) {
  StoredEntry e = entry(name, "", attributes);
  e.folder = true;
  return e;
}

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

// Writes every archive and stub.bin into tests/golden.
void regenerate() {
  TempDir dir;
  std::map<std::string, std::vector<uint8_t>> made;
  // A stand-in stub: arbitrary bytes carrying a filled seal.
  std::vector<uint8_t> stub(4096), scratch(4096);
  for (size_t i = 0; i < stub.size(); ++i) stub[i] = (uint8_t)(i * 13 + 1);
  memcpy(&stub[1000], SEAL_MAGIC, SEAL_MAGIC_SIZE);
  buildCrcTable();
  fillSeal(stub.data(), scratch.data(), (uint32_t)stub.size(), 1000);
  writeFile(GOLDEN_DIR / "stub.bin", stub);
  writeFile(dir.path() / "src" / "Tovrel32.exe", callHeavyPe(3000));
  ShellRun packed = runShell(dir.path(), R"(set -e
mkdir -p src/docs 'src/empty folder' one; seq 1 400 > src/docs/numbers.txt; : > src/empty.txt
printf 'read me\n' > src/readme.txt; chmod 444 src/readme.txt; echo accent > src/café.txt
printf 'some text' > one/name.txt; export SOURCE_DATE_EPOCH=1589723122
$JOV pack -q --raw -o tree.jov src; $JOV pack -q --stub $GOLDEN/stub.bin -o installer.exe src
$JOV pack -q -l 0 --raw -o one.jov one; $JOV pack -q -l 0 --raw -o stored.jov src
)");
  ASSERT_EQ(packed.status, 0) << packed.err;
  std::string treeText = readFile(dir.path() / "tree.jov"), oneText = readFile(dir.path() / "one.jov");
  const std::vector<uint8_t> tree = bytesOf(treeText), installer = bytesOf(readFile(dir.path() / "installer.exe"));
  made["stored.jov"] = bytesOf(readFile(dir.path() / "stored.jov"));
  made["tree.jov"] = made["damaged-data.jov"] = made["damaged-directory.jov"] = tree;
  made["damaged-data.jov"][ARCHIVE_HEADER_SIZE + 200] ^= 0x10;
  made["damaged-directory.jov"].back() ^= 0x20;
  made["truncated.jov"].assign(tree.begin(), tree.begin() + tree.size() / 2);
  made["short-header.jov"].assign(tree.begin(), tree.begin() + ARCHIVE_HEADER_SIZE - 1);
  made["not-an-archive.txt"] = bytesOf("hello\n");
  made["installer.exe"] = made["stub-changed.exe"] = installer;
  made["stub-changed.exe"][10] ^= 1;
  // Another producer's archive: reserved fields in use, so no directory CRC;
  // each record is then held against its stream record.
  std::vector<uint8_t> one = bytesOf(oneText);
  for (uint32_t at : {AH_RESERVED1, AH_RESERVED2, AH_RESERVED3, AH_RESERVED4, AH_RESERVED5})
    writeLe32(&one[at], 0x9E3779B9u * at);
  writeLe16(&one[AH_HEADER_WORD], 0xBEEF);
  const size_t name = one.size() - 8, length = name - DIRECTORY_ENTRY_SIZE + DE_LENGTH;
  made["untagged.jov"] = made["untagged-name.jov"] = made["untagged-length.jov"] = one;
  made["untagged-name.jov"][name + 3] ^= 0x40;
  made["untagged-length.jov"][length + 2] ^= 0x80;

  StoredEntry dated = entry("d\\caf\xe9.txt", "abc"), bad = entry("bad.txt", "bad");
  dated.writeDate = makeDosDate(1999, 12, 31);
  dated.writeTime = makeDosTime(23, 58, 2);
  bad.badCrc = true;
  // A quote, a control character, a byte code page 1252 leaves undefined,
  // device names and every kind of path that would leave the destination.
  made["names.jov"] = buildStoredArchive({folder("d"), dated, entry("q\"\x01\x81.txt", ""), entry("CON .txt", "dev"),
                                          entry("d\\COM\xb9", "dev"), entry("LPT\xb2", "dev"), entry("..\\up", "x"),
                                          entry("/rooted", "x"), entry("C:\\drive", "x"), entry("a\\.\\b", "x"), entry("ok.txt", "ok")});
  made["bad-crc.jov"] = buildStoredArchive(
      {entry("a.txt", "new"), entry("b.txt", "new"), entry("c.txt", "new"), bad, entry("z.txt", "z")});
  made["long-name.jov"] = buildStoredArchive({entry(std::string(80, 'n'), "lost"), entry("short.txt", "kept")});
  const uint8_t hiddenReadOnly = ATTR_HIDDEN | ATTR_READONLY;
  made["dest-file.jov"] = buildStoredArchive({entry("f", "new", hiddenReadOnly), entry("z", "z")});
  made["dest-folder.jov"] = buildStoredArchive({entry("docs\\x", "new"), entry("z", "z")});
  made["dest-folder-record.jov"] = buildStoredArchive({folder("docs", hiddenReadOnly), entry("docs\\x", "new")});
  StoredArchiveOptions smallBlocks, shortDirectory, hugeCount;
  smallBlocks.blockOutput = 300;
  smallBlocks.recordsPerDirectoryBlock = 2;
  made["small-blocks.jov"] = buildStoredArchive({folder("d"), entry("d\\a.txt", std::string(700, 'a')), entry("e", ""),
                                                 entry("d\\b.txt", "b"), entry("z.txt", std::string(500, 'z'))},
                                                smallBlocks);
  shortDirectory.entryCountDelta = 1;
  hugeCount.entryCountDelta = 0xFFFFFFFEu;
  made["short-directory.jov"] = buildStoredArchive({entry("a.txt", "a")}, shortDirectory);
  made["huge-count.jov"] = buildStoredArchive({entry("a.txt", "a")}, hugeCount);

  // Records sharing bytes of their stream, nested, or jumping back and forth.
  std::vector<uint8_t> data(1000, 'x'), slice = streamSlice("a", data);
  made["overlap.jov"] = assembleArchive({storedBlock(slice, true)}, std::vector<RecordDraft>(50, fileRecord("a", data, 0)));
  made["nested.jov"] = assembleArchive({storedBlock(slice, true)}, {fileRecord("a", data, 0), fileRecord("b", {}, 20)});
  made["jumping.jov"] = backAndForthArchive(40, 1000000);
  // A record running past the stream's end with the CRC of what did come.
  std::vector<uint8_t> x = bytesOf("x"), sx = streamSlice("f", x);
  std::vector<uint8_t> rest(sx.begin() + STREAM_RECORD_FIXED_SIZE + 1, sx.end());
  made["past-the-end.jov"] = assembleArchive(
      {storedBlock(sx, true)}, {{"ghost", false, 0xFFFFFFFFu, 14417919, 0},
                                {"longer", false, 0, (uint32_t)rest.size() + 10, referenceCrc32(rest.data(), rest.size())},
                                fileRecord("f", x, 0)});
  // Empty blocks between data, and matches that reach before the stream or
  // run past the block's end.
  std::vector<uint8_t> a = bytesOf("first file"), b = bytesOf("second"), sa = streamSlice("a", a);
  CompressedFrame empty(0, false);
  CodedWriter(empty.w, 2, {});
  std::vector<uint8_t> emptyBlock = empty.finish();
  made["empty-blocks.jov"] = assembleArchive(
      {storedBlock({}, false), emptyBlock, storedBlock(sa, false), emptyBlock, compressBlock(sa, streamSlice("b", b), true)},
      {fileRecord("a", a, 0), fileRecord("b", b, (uint32_t)sa.size())});
  std::vector<uint8_t> file = bytesOf(std::string(100, 'a') + "xyz"), sf = streamSlice("f", file);
  const uint32_t head = STREAM_RECORD_FIXED_SIZE + 1;
  CompressedFrame frame(head + 100, false);
  CodedWriter coder(frame.w, 2, {uniformSet(2)});
  for (uint32_t i = 0; i < head; ++i) coder.literal(sf[i]);
  coder.match(10, 5000);
  coder.literal('a');
  coder.match(MAX_MATCH, 1);
  made["odd-matches.jov"] = assembleArchive(
      {frame.finish(), storedBlock(std::vector<uint8_t>(sf.begin() + head + 100, sf.end()), true)}, {fileRecord("f", file, 0)});

  for (const auto& [name, bytes] : made) {
    writeFile(GOLDEN_DIR / name, bytes);
    writeFile(GOLDEN_DIR / (name + ".txt"), transcript(GOLDEN_DIR / name));
  }
}

TEST(Golden, EveryArchiveReadsAsRecorded) {
  if (getenv("JOV_GOLDEN_WRITE")) regenerate();
  int cases = 0;
  for (const auto& item : fs::directory_iterator(GOLDEN_DIR)) {
    fs::path expected = item.path().string() + ".txt";
    if (!fs::exists(expected)) continue;
    ++cases;
    EXPECT_EQ(transcript(item.path()), readFile(expected)) << item.path().filename();
  }
  EXPECT_GE(cases, 20);
}

}  // namespace
