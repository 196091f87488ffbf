// Committed archives, good and bad, and what `jov list`, `list --json`,
// `test` and `extract` make of each: statuses, every output line, the files
// that appear (with their times, modes and digests), and that the JSON
// parses; and the archives themselves, as their generator below builds them.
// tests/golden/regenerate.sh rewrites the transcripts after a deliberate
// change (with --archives, the archives first); review the diff.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "archive/seal.h"
#include "block_builder.h"
#include "codec/crc32.h"
#include "format.h"
#include "platform/platform.h"
#include "run_jov.h"

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

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }
const char* const ZEROS = "\0\0\0\0\0";  // the reserved bytes of most archives' StreamRecords

StoredEntry file(const std::string& name, const std::string& data, uint8_t attributes = 0) {
  StoredEntry e;
  e.name = name, e.data = bytesOf(data), e.attributes = attributes;
  return e;
}
StoredEntry folder(const std::string& name, uint8_t attributes = 0) {
  StoredEntry e = file(name, "", attributes);
  e.folder = true;
  return e;
}
std::vector<uint8_t> storedArchive(const std::vector<StoredEntry>& entries, DirectoryLayout layout = {},
                                   size_t blockOutput = SIZE_MAX) {
  return buildStoredArchive(entries, layout, ZEROS, blockOutput);
}

// Stream 0 intact; stream 1's second block has an unknown type, so the file
// in it and the one behind it are damaged; stream 2's one compressed block
// over-subscribes its literal/length code; the last directory record claims
// a name longer than its block holds.
std::vector<uint8_t> badBlocksArchive() {
  Stream s0, s1, s2;
  s0.index = 0, s1.index = 1, s2.index = 2;
  s0.add("good.txt", bytesOf("intact\n"), "good.txt");
  s1.add("a.txt", bytesOf("first block\n"), "a.txt");
  s1.add("b.txt", bytesOf("second block\n"), "b.txt");
  s1.add("c.txt", bytesOf("third block\n"), "c.txt");
  s2.add("d.txt", bytesOf("bad table\n"), "d.txt");
  std::vector<std::vector<uint8_t>> blocks1 = cutStream(
      s1.decoded, {{s1.records[1].streamPosition, 's'}, {s1.records[2].streamPosition, 's'}, {s1.decoded.size(), 's'}});
  setBlockField(blocks1[1], reference::TYPE, 3);
  std::vector<uint8_t> set = uniformSet(2);
  for (uint32_t p = 0; p < LITLEN_SYMBOLS; ++p) set[p] = p < 2 ? 1 : p == 2 ? 12 : 0;  // 0 and 1 fill the space
  CompressedFrame frame((uint32_t)s2.decoded.size(), true);
  CodedWriter coder(frame.w, 2, {set});
  std::vector<RecordDraft> records = s0.records;
  for (auto* s : {&s1, &s2}) records.insert(records.end(), s->records.begin(), s->records.end());
  records.push_back(fileRecord("last.txt", {}, 0));
  std::vector<uint8_t> archive = assembleArchive({{storedBlock(s0.decoded, true)}, blocks1, {frame.finish()}}, records);
  archive[archive.size() - 8 - reference::ENTRY_SIZE + 26] += 40;  // the name length of "last.txt"
  return archive;
}

// Every archive of tests/golden (and the stand-in stubs) by name.
std::map<std::string, std::vector<uint8_t>> goldenArchives() {
  TempDir dir;
  std::map<std::string, std::vector<uint8_t>> made;
  std::vector<uint8_t>& stub = made["stub.bin"];  // arbitrary bytes carrying a filled seal
  std::vector<uint8_t> scratch(4096);
  for (size_t i = 0; i < 4096; ++i) stub.push_back((uint8_t)(i * 13 + 1));
  memcpy(&stub[1000], SEAL_MAGIC, SEAL_MAGIC_SIZE);
  buildCrcTable();
  fillSeal(stub.data(), scratch.data(), (uint32_t)stub.size(), 1000);
  std::vector<uint8_t>& identity = made["stub-identity.bin"] = stub;  // the built stub's default record at 2000
  std::fill(&identity[2000], &identity[2000 + IDENTITY_SIZE], 0);
  memcpy(&identity[2000], IDENTITY_MAGIC, IDENTITY_MAGIC_SIZE);
  for (auto [at, text] : {std::pair{ID_PRODUCT, "Tovrel"}, {ID_VERSION, "0.93 Beta"}, {ID_PUBLISHER, "Morvane"},
                          {ID_PROGRAM, "Tovrel32.exe"}, {ID_INI_FILE, "tovrel.ini"}})
    memcpy(&identity[2000 + at], text, strlen(text));
  fillSeal(identity.data(), scratch.data(), (uint32_t)identity.size(), 1000);
  made["not-an-archive.txt"] = bytesOf("hello\n");
  writeFile(dir.path() / "one" / "name.txt", "some text");
  ShellRun packed = runShell(dir.path(), "SOURCE_DATE_EPOCH=1589723122 $JOV pack -q -l 0 --raw -o one.jov one");
  EXPECT_EQ(packed.status, 0) << packed.err;
  // Another producer's archive: reserved fields in use, so no directory CRC.
  std::vector<uint8_t> one = bytesOf(readFile(dir.path() / "one.jov"));
  for (uint32_t at : {AH_RESERVED1, AH_RESERVED2, AH_RESERVED3, AH_RESERVED4, AH_RESERVED5})
    writeLe32(&one[at], 0x9E3779B9u * at);
  writeLe16(&one[AH_HEADER_WORD], 0xBEEF);
  const size_t name = one.size() - 8, length = name - DIRECTORY_ENTRY_SIZE + DE_LENGTH;
  made["untagged.jov"] = made["untagged-name.jov"] = made["untagged-length.jov"] = one;
  made["untagged-name.jov"][name + 3] ^= 0x40;
  made["untagged-length.jov"][length + 2] ^= 0x80;

  StoredEntry dated = file("d\\caf\xe9.txt", "abc"), bad = file("bad.txt", "bad");
  dated.writeDate = makeDosDate(1999, 12, 31), dated.writeTime = makeDosTime(23, 58, 2);
  bad.badCrc = true;
  made["names.jov"] = storedArchive({folder("d"), dated, file("q\"\x01\x81.txt", ""), file("CON .txt", "dev"),
                                     file("d\\COM\xb9", "dev"), file("LPT\xb2", "dev"), file("..\\up", "x"),
                                     file("/rooted", "x"), file("C:\\drive", "x"), file("a\\.\\b", "x"),
                                     file("ok.txt", "ok")});
  made["bad-crc.jov"] =
      storedArchive({file("a.txt", "new"), file("b.txt", "new"), file("c.txt", "new"), bad, file("z.txt", "z")});
  made["long-name.jov"] = storedArchive({file(std::string(80, 'n'), "lost"), file("short.txt", "kept")});
  const uint8_t hiddenReadOnly = ATTR_HIDDEN | ATTR_READONLY;
  made["dest-file.jov"] = storedArchive({file("f", "new", hiddenReadOnly), file("z", "z")});
  made["dest-folder.jov"] = storedArchive({file("docs\\x", "new"), file("z", "z")});
  made["dest-folder-record.jov"] = storedArchive({folder("docs", hiddenReadOnly), file("docs\\x", "new")});
  made["small-blocks.jov"] = storedArchive({folder("d"), file("d\\a.txt", std::string(700, 'a')), file("e", ""),
                                            file("d\\b.txt", "b"), file("z.txt", std::string(500, 'z'))},
                                           {.recordsPerBlock = 2}, 300);
  made["short-directory.jov"] = storedArchive({file("a.txt", "a")}, {.extraCount = 1});
  made["huge-count.jov"] = storedArchive({file("a.txt", "a")}, {.extraCount = 0xFFFFFFFEu});
  made["case-pairs.jov"] = buildStoredArchive({file("Tovrel32.exe", "first\n"), file("TOVREL32.EXE", "second\n"),
                                               file("x\x9a", "small s caron\n"), file("x\x8a", "capital S caron\n"),
                                               folder("Docs"), file("DOCS\\a.txt", "a\n"), folder("LONG~1"),
                                               file("LONG~1\\b.txt", "b\n")});

  // Records sharing bytes of their stream or nested.
  std::vector<uint8_t> data(1000, 'x');
  std::vector<std::vector<uint8_t>> block = {storedBlock(streamSlice("a", data, ZEROS), true)};
  made["overlap.jov"] = assembleArchive({block}, std::vector(50, fileRecord("a", data, 0)));
  made["nested.jov"] = assembleArchive({block}, {fileRecord("a", data, 0), fileRecord("b", {}, 20)});
  // A record running past the stream's end with the CRC of what did come.
  std::vector<uint8_t> x = bytesOf("x"), sx = streamSlice("f", x, ZEROS);
  std::vector<uint8_t> rest(sx.begin() + STREAM_RECORD_FIXED_SIZE + 1, sx.end());
  made["past-the-end.jov"] = assembleArchive(
      {{storedBlock(sx, true)}}, {{"ghost", false, 0xFFFFFFFFu, 14417919, 0},
                                  {"longer", false, 0, (uint32_t)rest.size() + 10, plainCrc32(rest)},
                                  fileRecord("f", x, 0)});
  made["bad-blocks.jov"] = badBlocksArchive();
  return made;
}

// The generator gives back every committed archive byte for byte, but those that the packer and the coding
// builders of their day made, which today's make otherwise. JOV_GOLDEN_WRITE=archives writes them.
TEST(Golden, ArchivesComeFromTheirGenerator) {
  const std::set<std::string> olderTools = {"damaged-data.jov", "damaged-directory.jov", "empty-blocks.jov",
                                            "installer.exe", "jumping.jov", "odd-matches.jov", "short-header.jov",
                                            "stored.jov", "stub-changed.exe", "tree.jov", "truncated.jov"};
  std::map<std::string, std::vector<uint8_t>> made = goldenArchives();
  const char* write = getenv("JOV_GOLDEN_WRITE");
  for (const auto& [name, bytes] : made) {
    if (write && !strcmp(write, "archives")) writeFile(GOLDEN_DIR / name, bytes);
    EXPECT_TRUE(bytesOf(readFile(GOLDEN_DIR / name)) == bytes) << name << " differs from what its generator builds";
  }
  for (const auto& item : fs::directory_iterator(GOLDEN_DIR)) {
    const std::string name = item.path().filename().string();
    EXPECT_TRUE(!fs::exists(item.path().string() + ".txt") || made.count(name) || olderTools.count(name))
        << name << " has no generator";
  }
}

TEST(Golden, EveryArchiveReadsAsRecorded) {
  int cases = 0;
  for (const auto& item : fs::directory_iterator(GOLDEN_DIR)) {
    fs::path expected = item.path().string() + ".txt";
    if (!fs::exists(expected)) continue;
    ++cases;
    if (getenv("JOV_GOLDEN_WRITE")) writeFile(expected, transcript(item.path()));
    EXPECT_EQ(transcript(item.path()), readFile(expected)) << item.path().filename();
  }
  EXPECT_GE(cases, 20);
}

}  // namespace
