// The installer's hard cases, built by the test builder and read by the reference reader (the format
// from its description alone): `jov test` accepts each, `jov extract` gives the reference's tree, and
// the stub's build of the stream reader cuts every file as the reference does, in directory order.
// JOV_ORACLE_OUT=DIR keeps each archive and jov's tree there (DIR/NAME.jov, DIR/NAME/) for the e2e test.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "archive_fixture.h"
#include "block_builder.h"
#include "codecs.h"
#include "packed_items.h"
#include "run_jov.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// A program's bytes: noise with a call every few bytes (E8, then an operand close to 0, either side).
Bytes program(size_t n, uint32_t seed) {
  Bytes v = randomBytes(n, seed);
  for (size_t i = 0; i + 5 <= n; i += 1 + v[i + 1] % 6) v[i] = 0xE8, v[i + 3] = v[i + 4] = v[i + 2] % 2 * 0xFF;
  return v;
}

// The archive, each file record with the CRC-32 of the bytes the reference reads for it (which the call
// filter or coded data decide).
Bytes sealed(const std::vector<std::vector<Bytes>>& streams, std::vector<RecordDraft> records, DirectoryLayout layout = {}) {
  reference::Archive unsealed = reference::readArchive(assembleArchive(streams, records, layout), false);
  for (size_t i = 0; i < records.size(); ++i) records[i].crc = plainCrc32(unsealed.entries[i].bytes);
  return assembleArchive(streams, records, layout);
}

struct HardCase {
  std::string name;
  Bytes archive;
  size_t notes;  // files whose StreamRecord holds another length or name: `jov test -v` notes them
};

// StreamRecords whose variable part is empty, shorter, longer or other than the name, one of 65535 bytes
// split across blocks; no gap between them.
HardCase variableParts() {
  Stream s;
  const std::string parts[] = {"", "x", "other.bin", std::string(300, 'v'), std::string(65535, 'w'), "same.txt"};
  for (uint32_t i = 0; i < 6; ++i) s.add(i == 5 ? parts[5] : "v" + std::to_string(i), textLike(100 + i, i), parts[i]);
  size_t at = s.records[4].streamPosition;
  return {"variable-parts",
          sealed({cutStream(s.decoded, {{at + 11, 'c'}, {at + 30000, 's'}, {s.decoded.size(), 'c'}})}, s.records), 5};
}

// Empty files between the others, their stream fields anything: never read, never a restart.
HardCase emptyFiles() {
  Stream s;
  for (int i = 0; i < 3; ++i) s.add("f" + std::to_string(i), textLike(5000, i), "f" + std::to_string(i));
  const uint32_t fields[][2] = {{0xFFFFFFF0u, 0}, {0, 0xFFFFFFFFu}, {0, 5}, {7, 20}};  // stream, position
  for (uint32_t i = 0; i < 4; ++i)
    s.records.insert(s.records.begin() + 1 + i % 3, {"empty" + std::to_string(i), false, fields[i][1], 0, 0, 0, fields[i][0]});
  return {"empty-files", sealed({cutStream(s.decoded, {{9000, 'c'}, {s.decoded.size(), 's'}})}, s.records), 0};
}

// Two files in stream order with 66 MiB between them that no record names, in blocks of zeros.
HardCase gap() {
  std::vector<Bytes> blocks = {storedBlock(streamSlice("first", {'1'}), false)};
  CompressedFrame zeros(reference::MAX_BLOCK_OUTPUT, false);
  CodedWriter coder(zeros.w, 2, {});
  coder.literal(0);
  for (uint32_t left = reference::MAX_BLOCK_OUTPUT - 1, n; left; left -= n) coder.match(n = std::min(left, 33026u), 1);
  blocks.insert(blocks.end(), 66, zeros.finish());
  blocks.push_back(storedBlock(streamSlice("second", {'2'}), true));
  uint32_t second = (uint32_t)(blocks[0].size() - reference::STORED_DATA_BYTE + 66 * reference::MAX_BLOCK_OUTPUT);
  return {"gap", assembleArchive({blocks}, {fileRecord("first", {'1'}, 0), fileRecord("second", {'2'}, second)}), 0};
}

// Three streams read in no order; in the first, each part of a StreamRecord split by a block edge,
// stored and compressed blocks of all windows alternating, programs whose calls the edges cut, and
// calls at the edges of the rule: stored operands L (kept), -P (L - 1) and 0 (-P), an E8 as operand,
// one past a pass's end, one in the last 4 bytes, a program shorter than an operand; folders, extra
// bytes and an empty file in a directory of many blocks, stored and compressed.
HardCase streams() {
  Stream first, second{1}, third{2};
  std::vector<Cut> cuts;
  for (uint32_t i = 0; i < 20; ++i) {
    cuts.push_back({first.decoded.size() + i, i % 2 ? 's' : 'c', i % 4, i % 8});  // at the record's i-th byte
    first.add("a\\" + std::to_string(i), textLike(40 + i * 7, i), "a\\" + std::to_string(i));
  }
  for (uint8_t flags : {4, 2, 6}) first.add("calls" + std::to_string(flags) + ".exe", program(3000, flags), "calls", flags);
  for (size_t at = first.records[20].streamPosition + 30; at < first.decoded.size(); at += 37 + at % 60)
    cuts.push_back({at, at % 3 ? 'c' : 's'});
  const uint32_t L = 20000, calls[][2] = {{10, L}, {20, (uint32_t)-21}, {30, 0}, {40, 0x29E8}, {16378, 16384}, {L - 3, 0}};
  Bytes edges(L, 0x90);
  for (auto [at, operand] : calls)
    for (int k = 0; k < 5 && at + k < L; ++k) edges[at + k] = k ? (uint8_t)(operand >> 8 * (k - 1)) : 0xE8;
  first.add("edges.exe", edges, "edges.exe", 4);
  first.add("short.exe", {0xE8, 1}, "short.exe", 6);
  cuts.push_back({first.decoded.size(), 'c'});
  for (int i = 0; i < 6; ++i) second.add("b\\" + std::to_string(i), textLike(3000, 40 + i), "");
  for (int i = 0; i < 4; ++i) third.add("b\\c\\" + std::to_string(i), randomBytes(700, 50 + i), "b\\c\\" + std::to_string(i));
  std::vector<RecordDraft> records = first.records;
  for (const Stream* s : {&second, &third}) records.insert(records.end(), s->records.begin(), s->records.end());
  std::shuffle(records.begin(), records.end(), std::mt19937(7));
  records.insert(records.begin() + 9, {"empty", false, 3});
  records[7].smallExtra = 3, records[8].extra = 300;
  for (const char* folder : {"b\\c", "b", "a"}) records.insert(records.begin(), {folder, true});
  return {"streams",
          sealed({cutStream(first.decoded, cuts), cutStream(second.decoded, {{9000, 's'}, {second.decoded.size(), 'c'}}),
                  cutStream(third.decoded, {{third.decoded.size(), 'c'}})},
                 records, {3, 20, true}),
          9};
}

// A stored block that cuts no history a compressed block behind it reaches; then a file of random coded
// data in many table sets and all three distance alphabets, in blocks of every window selector, the
// largest first, each reaching exactly as far back as its window keeps and one byte further (dropped).
HardCase coding() {
  Stream s;
  Bytes start = randomBytes(250000, 60), far = start, middle = textLike(150000, 61);
  far.insert(far.end(), middle.begin(), middle.end());
  far.insert(far.end(), start.begin(), start.begin() + 100000);
  s.add("far.bin", far, "far.bin");
  std::vector<Bytes> blocks = cutStream(s.decoded, {{300000, 'c'}, {420000, 's'}, {s.decoded.size(), 'c'}}), coded;
  setBlockField(blocks.back(), reference::LAST, 0);
  std::vector<std::pair<uint32_t, uint32_t>> selectors = {{2, 7}};  // first a block that reaches 1 MiB back
  for (uint32_t i = 0; i < 32; ++i) selectors.push_back({i / 8, i % 8});
  std::stable_sort(selectors.begin() + 1, selectors.end(), [](auto x, auto y) {
    return reference::window(x.first, x.second) > reference::window(y.first, y.second);
  });
  std::mt19937 rng(62);
  uint32_t history = (uint32_t)s.decoded.size() + 20, length = 0;  // behind coded.bin's record
  for (auto [row, column] : selectors) {
    uint32_t n = length ? 1000 + rng() % 3000 : 600000;
    history = std::min(history, reference::window(row, column));
    CompressedFrame frame(n, coded.size() == 32, row, column);
    writeRandomCodedData(rng, frame.w, history, n, true, coded.size() % 2 ? 63 : 8);
    coded.push_back(frame.finish());
    history += n, length += n;
  }
  size_t at = s.decoded.size();
  s.add("coded.bin", Bytes(length), "coded.bin");
  blocks.push_back(storedBlock(Bytes(s.decoded.begin() + (ptrdiff_t)at, s.decoded.begin() + (ptrdiff_t)at + 20), false));
  blocks.insert(blocks.end(), coded.begin(), coded.end());
  return {"coding", sealed({blocks}, s.records), 0};
}

}  // namespace

TEST(Oracle, JovReadsEveryHardCaseAsTheReferenceDoes) {
  const char* keep = getenv("JOV_ORACLE_OUT");
  TempDir temp;
  const fs::path dir = keep ? fs::path(keep) : temp.path();
  for (const HardCase& c : {variableParts(), emptyFiles(), gap(), streams(), coding()}) {
    SCOPED_TRACE(c.name);
    std::map<fs::path, std::string> expected, extracted;  // folders as "/"
    for (const reference::File& f : reference::readArchive(c.archive).entries) {
      std::string name = f.name;
      std::replace(name.begin(), name.end(), '\\', '/');
      expected[name] = f.entry.flags & reference::FOLDER ? "/" : std::string(f.bytes.begin(), f.bytes.end());
    }
    fs::remove_all(dir / c.name);
    writeFile(dir / (c.name + ".jov"), c.archive);
    ShellRun r = runShell(dir, "set -e; $JOV test -v " + c.name + ".jov > t; $JOV extract -q -C " + c.name + " " +
                                   c.name + ".jov; grep -c differs t || :");
    EXPECT_EQ(std::pair(r.status, r.out), std::pair(0, std::to_string(c.notes) + "\n")) << r.err;
    std::error_code none;  // jov may have made no folder
    for (const auto& item : fs::recursive_directory_iterator(dir / c.name, none))
      extracted[fs::relative(item.path(), dir / c.name)] = item.is_directory() ? "/" : readFile(item.path());
    EXPECT_TRUE(extracted == expected) << extracted.size() << " items extracted, " << expected.size() << " expected";
    jovStubCodec.buildCrcTable();
    ArchiveFixture archive(c.archive);
    for (const reference::File& f : reference::readArchive(c.archive).entries) {
      if (f.entry.flags & reference::FOLDER) continue;
      int32_t rc;
      std::vector<uint8_t> bytes = archive.capture([&](FileHandle h) {
        return jovStubCodec.readStreamFile(h, f.entry.streamOffset, f.entry.streamPosition, f.entry.length,
                                           (uint8_t)f.entry.flags);
      }, &rc);
      EXPECT_EQ(std::pair(rc, bytes), std::pair((int32_t)RC_OK, f.bytes)) << "the stub's reader: " << f.name;
    }
  }
}
