// Test-only builders of blocks and archives: frames, coded data spelled symbol by symbol, a plain LZ
// encoder, random coded data, streams and whole archives. Like the reference reader, whose constants and
// tables they use, they know the format from its description alone and include nothing of src/.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "reference_reader.h"

namespace reference {

// An LSB-first bit string, so that blocks in tests are spelled field by field.
struct BitString {
  std::vector<uint8_t> bytes;
  uint64_t bits = 0;  // bits written

  void put(uint64_t value, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i, ++bits) {
      if (bits % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() |= (uint8_t)(1u << (bits % 8));
    }
  }
  // A prefix code: its most significant bit comes first in the stream.
  void putCode(uint32_t code, uint32_t length) {
    for (uint32_t i = length; i-- > 0;) put((code >> i) & 1, 1);
  }
};

// Canonical codes (not reversed) for lengths, as RFC 1951 assigns them.
inline std::vector<uint32_t> msbFirstCodes(const uint8_t* lengths, uint32_t count) {
  uint32_t perLength[17] = {}, next[17] = {};
  for (uint32_t s = 0; s < count; ++s) ++perLength[lengths[s]];
  perLength[0] = 0;
  for (uint32_t l = 1, code = 0; l <= 16; ++l) next[l] = code = (code + perLength[l - 1]) << 1;
  std::vector<uint32_t> codes(count);
  for (uint32_t s = 0; s < count; ++s)
    if (lengths[s]) codes[s] = next[lengths[s]]++;
  return codes;
}

// The symbol and extra bits that spell a match length or a distance.
inline void lengthSymbol(uint32_t length, uint32_t* symbol, uint32_t* extra, uint32_t* extraBits) {
  uint32_t s = 286;
  while (lengthBase(s) > length) --s;
  *symbol = s, *extra = length - lengthBase(s), *extraBits = lengthExtra(s);
}
inline void distanceSymbol(uint32_t d, uint32_t* symbol, uint32_t* extra, uint32_t* extraBits) {
  uint32_t s = 41;
  while (d > 4 && distanceBase(s) > d) --s;
  *symbol = d <= 4 ? d + 1 : s, *extra = d <= 4 ? 0 : d - distanceBase(s), *extraBits = d <= 4 ? 0 : distanceExtra(s);
}

// Writes coded data: prefix, sets (or the fixed set when `sets` is empty) and
// symbols. Sets are sent with a fixed complete pre-code and plain
// differences, so any lengths can be spelled.
struct CodedWriter {
  BitString& w;
  uint32_t alphabets;  // distanceAlphabets, 1..3
  std::vector<std::vector<uint8_t>> sets;  // empty: the fixed set
  size_t current = 0;
  std::map<std::pair<size_t, uint32_t>, std::vector<uint32_t>> codeCache;

  CodedWriter(BitString& writer, uint32_t distanceAlphabets, std::vector<std::vector<uint8_t>> tableSets)
      : w(writer), alphabets(distanceAlphabets), sets(std::move(tableSets)) {
    w.put(alphabets | sets.size() << 2, 8);  // the block prefix
    if (sets.empty()) return;
    // A complete pre-code: symbols 0..10 get 4 bits (code = symbol), 11..20
    // get 5 bits (code = symbol + 11); each field is the length + 1.
    for (uint32_t i = 0; i < 21; ++i) w.put(i < 11 ? 5 : 6, 5);
    uint32_t size = setSize(alphabets), value = 0;
    for (size_t j = 0; j < sets.size(); ++j) {
      if (sets[j].size() != size) throw std::logic_error("set of the wrong size");
      for (uint32_t p = 0; p < size; ++p) {
        uint32_t previous = j ? sets[j - 1][p] : 0, base = previous ? previous : value;
        value = sets[j][p];
        uint32_t difference = (value + 17 - base) % 17;
        w.putCode(difference < 11 ? difference : difference + 11, difference < 11 ? 4 : 5);
      }
    }
  }
  const uint8_t* lengths() const {  // of the current set
    static uint8_t fixed[344];
    if (!fixed[0])  // once: symbol 0 has a code
      for (uint32_t p = 0; p < 344; ++p) fixed[p] = fixedLength(p);
    return sets.empty() ? fixed : sets[current].data();
  }
  void symbol(uint32_t offset, uint32_t count, uint32_t s) {  // one code of an alphabet
    const uint8_t* l = lengths() + offset;
    if (!l[s]) throw std::logic_error("symbol without a code");
    std::vector<uint32_t>& codes = codeCache[{current, offset}];
    if (codes.empty()) codes = msbFirstCodes(l, count);
    w.putCode(codes[s], l[s]);
  }
  void literal(uint8_t b) { symbol(0, LITLEN_SYMBOLS, b); }
  void endOfSet() {
    symbol(0, LITLEN_SYMBOLS, END_OF_SET);
    ++current;
  }
  uint32_t distanceAlphabetFor(uint32_t length) const {
    uint32_t withTables = sets.empty() ? std::min(alphabets, 2u) : alphabets;
    return length == 2 && withTables > 1 ? 1 : length == 3 && withTables > 2 ? 2 : 0;
  }
  // A match with an explicit distance (distance symbol chosen by the rules)
  // or, with repeatSymbol 0..5, that distance symbol as it stands.
  void match(uint32_t length, uint32_t distance, int repeatSymbol = -1) {
    uint32_t symbol, extra, extraBits;
    lengthSymbol(length, &symbol, &extra, &extraBits);
    this->symbol(0, LITLEN_SYMBOLS, symbol);
    w.put(extra, extraBits);
    if (repeatSymbol >= 0)
      symbol = (uint32_t)repeatSymbol, extraBits = 0;
    else
      distanceSymbol(distance, &symbol, &extra, &extraBits);
    uint32_t a = distanceAlphabetFor(length);
    this->symbol(DIST_AT[a], DIST_SIZE[a], symbol);
    w.put(extra, extraBits);
  }
};

// Block frames. CompressedFrame::finish writes the block's byte count into
// blockSize unless `sizeOverride` is given; setBlockField overwrites a field
// (of these or of another description: anything with a bit and a width).
template <typename F>
void setBlockField(std::vector<uint8_t>& block, F f, uint32_t value) {
  for (uint32_t i = 0, at = f.bit; i < f.width; ++i, ++at)
    block[at / 8] = (uint8_t)((block[at / 8] & ~(1u << at % 8)) | ((value >> i) & 1) << at % 8);
}
struct CompressedFrame {
  BitString w;
  CompressedFrame(uint32_t outputLength, bool last, uint32_t row = 2, uint32_t column = 7) {
    for (auto [f, v] : {std::pair{TYPE, 1u}, {LAST, (uint32_t)last}, {OUTPUT_LENGTH, outputLength}, {BLOCK_SIZE, 0u},
                        {ROW, row}, {COLUMN, column}})
      w.put(v, f.width);  // the fields in the order they lie
  }
  std::vector<uint8_t> finish(int64_t sizeOverride = -1) {
    std::vector<uint8_t> bytes = w.bytes;
    setBlockField(bytes, BLOCK_SIZE, (uint32_t)(sizeOverride >= 0 ? sizeOverride : (int64_t)bytes.size()));
    return bytes;
  }
};
inline std::vector<uint8_t> storedBlock(const std::vector<uint8_t>& data, bool last) {
  CompressedFrame frame((uint32_t)data.size(), last, 0, 0);  // the selector is not read
  std::vector<uint8_t> block = frame.finish(STORED_DATA_BYTE + (int64_t)data.size());
  setBlockField(block, TYPE, 0);
  block.insert(block.end(), data.begin(), data.end());
  return block;
}

// Complete codes that give every symbol a code of 8 or 9 bits (literal/
// length, but for 287) and 3 to 6 bits (distances): a set in which anything
// can be said.
inline std::vector<uint8_t> uniformSet(uint32_t alphabets) {
  std::vector<uint8_t> set;
  for (uint32_t s = 0; s < LITLEN_SYMBOLS; ++s) set.push_back(s < 225 ? 8 : s < SYMBOL_287 ? 9 : 0);
  for (uint32_t s = 0; s < DIST_SIZE[0]; ++s) set.push_back(s < 22 ? 5 : 6);
  for (uint32_t s = 0; s < DIST_SIZE[1]; ++s) set.push_back(s < 2 ? 3 : 4);
  if (alphabets == 3)
    for (uint32_t s = 0; s < DIST_SIZE[2]; ++s) set.push_back(s < 4 ? 4 : 5);
  return set;
}

// A greedy LZ parse of `data` behind all of `history` (matches of 3 bytes or
// more, no further back than distances reach), its coding as a complete block
// with one set of two distance alphabets, and both at once with uniformSet(2).
struct BuilderToken {
  uint32_t length;  // 0: literal
  uint32_t value;   // literal byte or distance
};
inline std::vector<BuilderToken> findMatches(const std::vector<uint8_t>& history, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> all(history);
  all.insert(all.end(), data.begin(), data.end());
  const size_t start = history.size(), end = all.size();
  std::vector<int64_t> head(1 << 16, -1), chain(end, -1);
  auto hash = [&](size_t i) { return ((all[i] << 10) ^ (all[i + 1] << 5) ^ all[i + 2]) & 0xFFFF; };
  auto insert = [&](size_t i) {
    if (i + 2 < end) chain[i] = head[hash(i)], head[hash(i)] = (int64_t)i;
  };
  for (size_t i = 0; i < start; ++i) insert(i);
  std::vector<BuilderToken> tokens;
  for (size_t i = start; i < end;) {
    uint32_t bestLength = 0, bestDistance = 0;
    int64_t c = i + 2 < end ? head[hash(i)] : -1;
    // Older candidates lie further back: stop at the first that distance alphabet 0 cannot reach.
    for (int tries = 0; c >= 0 && i - c <= DIST_REACH[0] && tries < 16; ++tries, c = chain[c]) {
      uint32_t l = 0;
      while (i + l < end && l < 2000 && all[c + l] == all[i + l]) ++l;
      if (l > bestLength) bestLength = l, bestDistance = (uint32_t)(i - c);
    }
    if (bestLength < 3) bestLength = 0;
    tokens.push_back(bestLength ? BuilderToken{bestLength, bestDistance} : BuilderToken{0, all[i]});
    for (uint32_t k = std::max(bestLength, 1u); k; --k) insert(i++);
  }
  return tokens;
}
inline std::vector<uint8_t> encodeTokens(const std::vector<BuilderToken>& tokens, const std::vector<uint8_t>& set,
                                         uint32_t outputLength, bool last, uint32_t row = 2, uint32_t column = 7) {
  CompressedFrame frame(outputLength, last, row, column);
  CodedWriter coder(frame.w, 2, {set});
  for (const BuilderToken& t : tokens) {
    if (t.length) coder.match(t.length, t.value);
    else coder.literal((uint8_t)t.value);
  }
  return frame.finish();
}
inline std::vector<uint8_t> compressBlock(const std::vector<uint8_t>& history, const std::vector<uint8_t>& data,
                                          bool last, uint32_t row = 2, uint32_t column = 7) {
  return encodeTokens(findMatches(history, data), uniformSet(2), (uint32_t)data.size(), last, row, column);
}

// Lengths of a random complete prefix code over `count` symbols (at most 16 bits).
inline std::vector<uint8_t> randomCompleteLengths(std::mt19937& rng, uint32_t count) {
  std::vector<uint8_t> depths = {0};
  while (depths.size() < count) {
    size_t i = rng() % depths.size();
    if (rng() % 4 == 0) i = std::max_element(depths.begin(), depths.end()) - depths.begin();
    if (depths[i] >= 16) continue;
    depths[i]++;
    depths.push_back(depths[i]);
  }
  std::shuffle(depths.begin(), depths.end(), rng);
  return depths;
}

// Random coded data for `wanted` bytes behind `historyLength` bytes of
// history, in up to `maxSets` table sets (0: the fixed set). The first two
// matches that can reach so far reach one byte before the oldest byte kept
// (a match a reader drops) and the oldest one. `valid`: only what the strict
// reference reader accepts; otherwise also what merely a lenient decoder
// copes with (one distance alphabet, distances before the history, overlong
// matches, symbol 287 coded).
inline void writeRandomCodedData(std::mt19937& rng, BitString& w, uint32_t historyLength, uint32_t wanted,
                                 bool valid = false, uint32_t maxSets = 4) {
  uint32_t setCount = rng() % (maxSets + 1);
  uint32_t alphabets = valid ? 2 + (setCount ? rng() % 2 : 0) : 1 + rng() % 3;
  std::vector<std::vector<uint8_t>> sets;
  for (uint32_t j = 0; j < setCount; ++j) {
    std::vector<uint8_t> set = randomCompleteLengths(rng, LITLEN_SYMBOLS - valid);
    if (valid) set.push_back(0);  // symbol 287
    for (uint32_t a = 0; a < (alphabets == 3 ? 3u : 2u); ++a) {
      std::vector<uint8_t> d = randomCompleteLengths(rng, DIST_SIZE[a]);
      set.insert(set.end(), d.begin(), d.end());
    }
    set.resize(setSize(alphabets));
    sets.push_back(set);
  }
  CodedWriter coder(w, alphabets, sets);
  uint64_t produced = 0, available = historyLength;
  uint32_t recent0 = 0, recent1 = 0, edges = 0;
  while (produced < wanted) {
    uint32_t op = rng() % 100, left = (uint32_t)(wanted - produced);
    bool setsLeft = coder.current + 1 < sets.size();
    // A valid block reaches its last set before its last byte.
    if (setsLeft && (op < 2 || (valid && left < 2 * sets.size()))) {
      coder.endOfSet();
      continue;
    }
    if (op < 45 || (valid && left < 2)) {
      coder.literal((uint8_t)(rng() % 4 == 0 ? rng() : 'a' + rng() % 3));
      ++produced, ++available;
      continue;
    }
    uint32_t r = rng() % 100;
    uint32_t length = r < 70 ? 2 + rng() % 9 : r < 95 ? 11 + rng() % 248
                    : r < 99 ? 259 + rng() % 3000 : 259 + rng() % 32768;
    if (valid) length = std::min(length, setsLeft ? left - 1 : left);
    uint32_t a = coder.distanceAlphabetFor(length), lsym, lextra, lbits;
    const uint8_t* l = coder.lengths();
    lengthSymbol(length, &lsym, &lextra, &lbits);
    if (!l[lsym]) continue;
    const uint8_t* dl = l + DIST_AT[a];
    int repeat = -1;
    uint32_t distance = 0, k = rng() % 100;
    if (k < 15 && recent0 && dl[0] && (!valid || recent0 <= available)) {
      repeat = 0, distance = recent0;
    } else if (k < 25 && recent1 && dl[1] && (!valid || recent1 <= available)) {
      repeat = 1, distance = recent1;
      std::swap(recent0, recent1);
    } else {
      uint32_t limit = (uint32_t)std::min<uint64_t>(DIST_REACH[a], available + (k < 30 && !valid ? 50 : 0));
      if (limit == 0) continue;
      distance = 1 + (k < 60 ? rng() % std::min(limit, 40u) : rng() % limit);
      bool edge = edges < 2 && available < DIST_REACH[a];
      if (edge) distance = (uint32_t)available + 1 - edges;
      uint32_t dsym, dextra, dbits;
      distanceSymbol(distance, &dsym, &dextra, &dbits);
      if (dsym >= DIST_SIZE[a] || !dl[dsym]) continue;
      if (dsym >= 6) recent1 = recent0, recent0 = distance;
      edges += edge;
    }
    coder.match(length, distance, repeat);
    uint32_t n = distance <= available ? std::min(length, left) : 0;
    produced += n, available += n;
  }
}

// Where a block of a decoded stream ends, and how it is written: stored, or
// compressed ('c') with that window selector.
struct Cut {
  size_t end;
  char kind;
  uint32_t row = 2, column = 7;
};
// The blocks of `decoded` cut at `cuts`, the last one marked last; matches
// reach no further back than the history the installer keeps. `encode` codes
// a compressed block behind its history (compressBlock's parameters).
typedef std::vector<uint8_t> (*BlockEncoder)(const std::vector<uint8_t>&, const std::vector<uint8_t>&, bool, uint32_t,
                                             uint32_t);
inline std::vector<std::vector<uint8_t>> cutStream(const std::vector<uint8_t>& decoded, const std::vector<Cut>& cuts,
                                                   BlockEncoder encode = compressBlock) {
  std::vector<std::vector<uint8_t>> blocks;
  size_t history = 0;
  for (size_t i = 0, start = 0; i < cuts.size(); history += cuts[i].end - start, start = cuts[i++].end) {
    std::vector<uint8_t> piece(decoded.begin() + (ptrdiff_t)start, decoded.begin() + (ptrdiff_t)cuts[i].end);
    history = std::min<size_t>(history, cuts[i].kind == 'c' ? window(cuts[i].row, cuts[i].column) : MAX_WINDOW);
    std::vector<uint8_t> kept(decoded.begin() + (ptrdiff_t)(start - history), decoded.begin() + (ptrdiff_t)start);
    blocks.push_back(cuts[i].kind == 'c' ? encode(kept, piece, i + 1 == cuts.size(), cuts[i].row, cuts[i].column)
                                         : storedBlock(piece, i + 1 == cuts.size()));
  }
  return blocks;
}

// One file in a decoded stream: its StreamRecord (the five reserved bytes as
// another producer may fill them) with `variable` as the variable part, then
// the bytes and their CRC-32.
inline std::vector<uint8_t> streamSlice(const std::string& variable, const std::vector<uint8_t>& bytes,
                                        const char* reserved = "resv.") {
  uint32_t n = (uint32_t)bytes.size(), v = (uint32_t)variable.size(), crc = crc32(bytes.data(), n);
  std::vector<uint8_t> slice;
  slice.reserve(RECORD_FIXED_SIZE + v + n + 4);
  for (uint32_t k = 0; k < 4; ++k) slice.push_back((uint8_t)(n >> 8 * k));
  slice.push_back((uint8_t)v), slice.push_back((uint8_t)(v >> 8));
  slice.insert(slice.end(), reserved, reserved + 5);
  slice.insert(slice.end(), variable.begin(), variable.end());
  slice.insert(slice.end(), bytes.begin(), bytes.end());
  for (int k = 0; k < 32; k += 8) slice.push_back((uint8_t)(crc >> k));
  return slice;
}
inline uint32_t plainCrc32(const std::vector<uint8_t>& data) { return crc32(data.data(), data.size()); }

struct RecordDraft {
  std::string name;
  bool folder = false;
  uint32_t streamPosition = 0, length = 0, crc = 0;
  uint8_t flags = 0;                                  // the call filter's bits
  uint32_t stream = 0;  // which stream of the archive; from their count on, the streamOffset itself
  uint8_t smallExtra = 0;  // extra bytes behind the name, in the two counts
  uint16_t extra = 0;
  uint8_t attributes = 0;
  uint16_t writeDate = 0, writeTime = 0;  // creation: 0
};

// A file record for `bytes` whose slice starts at `position` of the stream.
inline RecordDraft fileRecord(const std::string& name, const std::vector<uint8_t>& bytes, uint32_t position) {
  return {name, false, position, (uint32_t)bytes.size(), plainCrc32(bytes)};
}

// Files laid end to end in one decoded stream, with their records.
struct Stream {
  uint32_t index = 0;  // in the archive
  std::vector<uint8_t> decoded{};
  std::vector<RecordDraft> records{};
  const char* reserved = "resv.";  // of each StreamRecord
  void add(const std::string& name, const std::vector<uint8_t>& bytes, const std::string& variable, uint8_t flags = 0) {
    records.push_back({name, false, (uint32_t)decoded.size(), (uint32_t)bytes.size(), plainCrc32(bytes), flags, index});
    std::vector<uint8_t> slice = streamSlice(variable, bytes, reserved);
    decoded.insert(decoded.end(), slice.begin(), slice.end());
  }
};

// How the directory is cut into blocks: at most as many records as fit
// 8192 bytes, or `recordsPerBlock`; each followed by `padding` (< 38) bytes
// that the reader passes over; every second block compressed when `alternate`.
// The header counts `extraCount` more records than there are.
struct DirectoryLayout {
  size_t recordsPerBlock = SIZE_MAX, padding = 0;
  bool alternate = false;
  uint32_t extraCount = 0;
};

// Header, the data streams of the given blocks one after the other, and the
// records in directory blocks.
inline std::vector<uint8_t> assembleArchive(const std::vector<std::vector<std::vector<uint8_t>>>& streams,
                                            const std::vector<RecordDraft>& records, DirectoryLayout layout = {}) {
  std::vector<uint8_t> archive(HEADER_SIZE, 0);
  std::vector<uint32_t> offsets;
  for (const auto& blocks : streams) {
    offsets.push_back((uint32_t)archive.size());
    archive.insert(archive.end(), STREAM_MAGIC, STREAM_MAGIC + MAGIC_SIZE);
    for (const auto& block : blocks) archive.insert(archive.end(), block.begin(), block.end());
  }
  const uint32_t directoryOffset = (uint32_t)archive.size();
  std::vector<uint8_t> directory;  // the records of the block being filled
  size_t inBlock = 0, blocks = 0;
  auto flush = [&] {
    directory.resize(directory.size() + layout.padding, 0xEE);
    archive.insert(archive.end(), DIRECTORY_MAGIC, DIRECTORY_MAGIC + MAGIC_SIZE);
    std::vector<uint8_t> block = layout.alternate && blocks++ % 2 ? compressBlock({}, directory, true)
                                                                  : storedBlock(directory, true);
    archive.insert(archive.end(), block.begin(), block.end());
    directory.clear(), inBlock = 0;
  };
  for (const RecordDraft& r : records) {
    size_t size = ENTRY_SIZE + r.name.size() + r.smallExtra + r.extra;
    if (inBlock && (inBlock == layout.recordsPerBlock || directory.size() + size + layout.padding > DIRECTORY_OUTPUT_MAX))
      flush();
    uint32_t stream = r.stream < offsets.size() ? offsets[r.stream] : r.stream;
    uint8_t e[ENTRY_SIZE] = {};
    for (auto [at, value, width] : {std::tuple{4, stream, 4}, {11, (uint32_t)(r.folder ? FOLDER : r.flags), 1},
                                    {10, r.smallExtra, 1}, {12, r.streamPosition, 4}, {16, r.length, 4},
                                    {20, r.crc, 4}, {24, r.extra, 2}, {26, (uint32_t)r.name.size(), 2},
                                    {8, r.attributes, 1}, {32, r.writeTime, 2}, {34, r.writeDate, 2}})
      for (int k = 0; k < width; ++k) e[at + k] = (uint8_t)(value >> 8 * k);
    directory.insert(directory.end(), e, e + ENTRY_SIZE);
    directory.insert(directory.end(), r.name.begin(), r.name.end());
    directory.resize(directory.size() + r.smallExtra + r.extra, 0xEE);
    ++inBlock;
  }
  if (!directory.empty() || records.empty()) flush();

  uint32_t fields[][2] = {{0, 0x0A564F4A}, {4, directoryOffset}, {8, (uint32_t)records.size() + layout.extraCount},
                          {20, (uint32_t)archive.size()}, {24, directoryOffset - HEADER_SIZE}};  // "JOV\n"
  for (auto [at, value] : fields)
    for (int k = 0; k < 4; ++k) archive[at + k] = (uint8_t)(value >> 8 * k);
  return archive;
}

// A record's name and fields with the file's bytes: stored blocks of at most
// `blockOutput` bytes hold every file (its name as the variable part, the
// StreamRecords' reserved bytes `reserved`), then the records.
struct StoredEntry : RecordDraft {
  std::vector<uint8_t> data;
  bool badCrc = false;  // record a CRC that does not match the data
};
inline std::vector<uint8_t> buildStoredArchive(const std::vector<StoredEntry>& entries, DirectoryLayout layout = {},
                                               const char* reserved = "resv.", size_t blockOutput = SIZE_MAX) {
  Stream s;
  s.reserved = reserved;
  for (const StoredEntry& e : entries) {
    if (e.folder) s.records.push_back(e);
    else s.add(e.name, e.data, e.name);
    RecordDraft& r = s.records.back();
    r.crc ^= e.badCrc, r.attributes = e.attributes, r.writeDate = e.writeDate, r.writeTime = e.writeTime;
  }
  std::vector<Cut> cuts;
  for (size_t end = blockOutput; end < s.decoded.size(); end += blockOutput) cuts.push_back({end, 's'});
  cuts.push_back({s.decoded.size(), 's'});
  return assembleArchive({cutStream(s.decoded, cuts)}, s.records, layout);
}

}  // namespace reference

using reference::BitString, reference::msbFirstCodes, reference::lengthSymbol, reference::distanceSymbol,
    reference::BuilderToken, reference::findMatches, reference::encodeTokens, reference::CodedWriter,
    reference::setBlockField, reference::CompressedFrame, reference::storedBlock, reference::uniformSet,
    reference::compressBlock, reference::writeRandomCodedData, reference::Cut, reference::cutStream,
    reference::streamSlice, reference::plainCrc32, reference::RecordDraft, reference::fileRecord, reference::Stream,
    reference::DirectoryLayout, reference::assembleArchive, reference::StoredEntry, reference::buildStoredArchive;
