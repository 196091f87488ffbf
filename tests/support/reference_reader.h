// A small, slow, strict reader of JOV archives: the tests' oracle, written from the format's
// description alone, with its own constants and tables and no include of src/, so that a mistake in
// format.h or the codec shows up instead of being shared. It reads as the installer does (the history
// each block keeps, a match reaching before it dropped, variable parts skipped, empty files never read,
// under 38 bytes at a directory block's end passed over) and fails where the installer would merely
// cope (a repeat distance before any explicit one, symbol 287 coded, a table that is not a complete
// prefix code, a match past the block, a block size that disagrees with where the data end).
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace reference {

inline uint32_t le16(const uint8_t* p) { return p[0] | p[1] << 8; }
inline uint32_t le32(const uint8_t* p) { return le16(p) | (uint32_t)le16(p + 2) << 16; }

// The archive: a 42-byte header; data streams, each "JOVLH\0" and blocks;
// directory blocks, each "JOVDE\0" and one block of whole records (a 38-byte
// entry, the name, extra bytes). In a stream each file is a record of 11
// fixed bytes (length u32, variable part's length u16, 5 reserved), the
// variable part, the file's bytes and their CRC-32.
const uint32_t HEADER_SIZE = 42, ENTRY_SIZE = 38, RECORD_FIXED_SIZE = 11, MAGIC_SIZE = 6;
const char STREAM_MAGIC[] = "JOVLH", DIRECTORY_MAGIC[] = "JOVDE";  // with their zero byte
const uint32_t DIRECTORY_BLOCK_MAX = 8184, DIRECTORY_OUTPUT_MAX = 8192;
const uint8_t FOLDER = 1, FILTER_2 = 2, FILTER_4 = 4;  // entry flags

struct Entry {  // the fields the installer reads
  uint32_t streamOffset, streamPosition, length, crc;
  uint8_t smallExtraLength, flags;
  uint16_t extraLength, nameLength;
};

// A block: header and window selector, LSB first from its first byte, then
// coded data from bit 50, or a stored block's bytes from byte 7.
struct Field {
  uint32_t bit, width;
};
const Field TYPE{0, 4}, LAST{4, 1}, OUTPUT_LENGTH{5, 20}, BLOCK_SIZE{25, 20}, ROW{45, 2}, COLUMN{47, 3};
const uint32_t CODED_DATA_BIT = 50, STORED_DATA_BYTE = 7, MAX_BLOCK_OUTPUT = (1u << 20) - 1;
// History a compressed block keeps, by row (3 reads as 2) and column; a
// stored block keeps up to the largest.
const uint32_t WINDOWS[3][8] = {{32768, 65536, 73728, 98304, 122880, 147456, 172032, 196608},
                                {32768, 65536, 73728, 98304, 122880, 147456, 172032, 196608},
                                {32768, 131072, 196608, 262144, 327680, 393216, 458752, 524288}};
const uint32_t MAX_WINDOW = 524288;
inline uint32_t window(uint32_t row, uint32_t column) { return WINDOWS[row == 3 ? 2 : row][column]; }

// Coded data: literal/length symbols 0..255 bytes, 256 the end of a table
// set, 257..286 match lengths, 287 meaningless; three distance alphabets, the
// first 42, 14 and 28 of one list of distance symbols. A table set holds the
// code lengths of the literal/length alphabet and of each distance alphabet
// in use, in that order.
const uint32_t LITLEN_SYMBOLS = 288, END_OF_SET = 256, SYMBOL_287 = 287;
const uint32_t DIST_SIZE[3] = {42, 14, 28}, DIST_AT[3] = {288, 330, 344}, DIST_REACH[3] = {1048576, 64, 8192};
inline uint32_t setSize(uint32_t alphabets) { return alphabets == 3 ? 372 : 344; }
// Lengths 2..10 without extra bits, then a base and 1..5 extra bits, then 259 and 15.
const uint16_t LENGTH_BASE[20] = {11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227};
inline uint32_t lengthBase(uint32_t s) { return s < 266 ? s - 255 : s < 286 ? LENGTH_BASE[s - 266] : 259; }
inline uint32_t lengthExtra(uint32_t s) { return s < 266 ? 0 : s < 286 ? (s - 266) / 4 + 1 : 15; }
// Distance symbols: 0 and 1 the recent distances r0 and r1, 2..5 distances
// 1..4, from 6 on i = symbol - 6 = 2j + t with j + 1 extra bits.
inline uint32_t distanceBase(uint32_t s) {
  uint32_t i = s - 6, j = i / 2;
  return (i % 2 ? 3u << (j + 1) : 1u << (j + 2)) + 1;
}
inline uint32_t distanceExtra(uint32_t s) { return (s - 6) / 2 + 1; }
// The fixed set: runs of equal code lengths, each up to its end position.
const uint16_t FIXED_END[11] = {244, 256, 257, 261, 266, 288, 292, 316, 330, 332, 344};
const uint8_t FIXED_LENGTH[11] = {8, 9, 0, 9, 10, 11, 4, 5, 0, 3, 4};
inline uint8_t fixedLength(uint32_t p) { return FIXED_LENGTH[std::upper_bound(FIXED_END, FIXED_END + 11, p) - FIXED_END]; }

inline uint32_t crc32(const uint8_t* p, size_t n) {  // bit by bit
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i)
    for (int k = 0, b = p[i]; k < 8; ++k, b >>= 1) crc = (crc >> 1) ^ (0xEDB88320u & (0u - ((crc ^ b) & 1)));
  return ~crc;
}

struct File {
  Entry entry;
  std::string name;
  std::vector<uint8_t> bytes;  // unfiltered content (files only)
};

struct BlockInfo {
  uint32_t type, outputLength, blockSize, distanceAlphabets, setCount;
  bool last;
};

struct Archive {
  std::vector<File> entries;
  std::vector<BlockInfo> blocks;  // data blocks of every stream, in order
  uint32_t directoryBlocks = 0;
};

[[noreturn]] inline void fail(const std::string& why) { throw std::runtime_error(why); }

// Bits from `data`, least significant first; reading at `limitBits` throws.
struct Bits {
  const uint8_t* data;
  uint64_t limitBits, pos = 0;
  uint32_t get(uint32_t n) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < n; ++i, ++pos) {
      if (pos >= limitBits) fail("read past the block's end");
      v |= (uint32_t)(data[pos / 8] >> (pos % 8) & 1) << i;
    }
    return v;
  }
};

// A canonical prefix code, decoded bit by bit (a code's most significant bit
// comes first). build() throws unless the code is complete or empty.
struct Code {
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> symbols;  // (length, code) -> symbol

  void build(const uint8_t* l, uint32_t n) {
    uint32_t count[17] = {0}, next[17] = {0}, used = 0;
    uint64_t kraft = 0;
    for (uint32_t i = 0; i < n; ++i) {
      if (l[i] > 16) fail("code length above 16");
      if (l[i]) count[l[i]]++, kraft += 1u << (16 - l[i]), ++used;
    }
    // Complete, or no code at all; the packer always pairs a lone code.
    if (used == 1) fail("a lone code");
    if (used > 1 && kraft != (1u << 16)) fail("code is not complete");
    for (uint32_t b = 1, code = 0; b <= 16; ++b) next[b] = code = (code + count[b - 1]) << 1;
    symbols.clear();
    for (uint32_t i = 0; i < n; ++i)
      if (l[i]) symbols[{l[i], next[l[i]]++}] = i;
  }
  uint32_t decode(Bits& in) const {
    for (uint32_t len = 1, code = 0; len <= 16; ++len) {
      code = code << 1 | in.get(1);
      auto it = symbols.find({len, code});
      if (it != symbols.end()) return it->second;
    }
    fail("no code matches");
  }
};

// Lengths of `dest.size()` positions, sets of `setSize`: a pre-code of 21
// lengths (5-bit fields: length + 1, or zero runs as bijective base-2
// digits), then differences modulo 17 from the same position of the previous
// set (when it is used there) or else from the last value, with runs of
// zeros and of repeats.
inline void readCodeLengths(Bits& in, std::vector<uint8_t>& dest, uint32_t setSize) {
  uint8_t pre[21] = {0};
  for (uint32_t i = 0, w = 1; i < 21;) {
    uint32_t f = in.get(5);
    if (f >= 2) pre[i++] = (uint8_t)(f - 1), w = 1;
    else i += w * (f + 1), w *= 2;
  }
  Code preCode;
  preCode.build(pre, 21);
  uint32_t v = 0, wz = 1, wr = 1;
  for (size_t p = 0; p < dest.size();) {
    uint32_t s = preCode.decode(in);
    auto prevAt = [&](size_t q) -> uint32_t { return q >= setSize ? dest[q - setSize] : 0; };
    if (s <= 16) {
      v = ((prevAt(p) ? prevAt(p) : v) + s) % 17;
      dest[p++] = (uint8_t)v;
      wz = wr = 1;
    } else if (s <= 18) {
      for (uint32_t k = 0; k < wz * (s - 16) && p < dest.size(); ++k) dest[p++] = 0;
      wz *= 2, wr = 1;
    } else {
      for (uint32_t k = 0; k < wr * (s - 18) && p < dest.size(); ++k) {
        if (prevAt(p)) v = prevAt(p);
        dest[p++] = (uint8_t)v;
      }
      wr *= 2, wz = 1;
    }
  }
}

// Decodes the coded data of one compressed block that starts at `block` (bit
// 50 onwards) and appends to `out`, behind `history` usable bytes already at
// its end. Throws std::runtime_error on anything doubtful. Returns the number
// of bytes the block occupies (its cursor rounded up).
inline uint32_t decodeCompressedBlock(const uint8_t* block, uint32_t available, std::vector<uint8_t>& out,
                                      uint32_t history, uint32_t outputLength, BlockInfo* info) {
  Bits in{block, (uint64_t)available * 8, CODED_DATA_BIT};
  uint32_t alphabets = in.get(2), sets = in.get(6);
  if (alphabets != 2 && alphabets != 3) fail("distanceAlphabets must be 2 or 3");
  if (sets == 0 && alphabets == 3) fail("fixed set with three distance alphabets");
  std::vector<uint8_t> lengths(sets ? (size_t)sets * setSize(alphabets) : setSize(2));
  if (sets == 0)
    for (uint32_t p = 0; p < lengths.size(); ++p) lengths[p] = fixedLength(p);
  else
    readCodeLengths(in, lengths, setSize(alphabets));
  if (info) info->distanceAlphabets = alphabets, info->setCount = sets;
  const size_t start = out.size();
  uint32_t r0 = 0, r1 = 0, setsLeft = sets ? sets : 1;
  size_t setBase = 0;
  Code lit, dist[3];
  for (bool needSet = true;;) {
    if (needSet) {
      if (setsLeft-- == 0) break;
      if (sets && lengths[setBase + SYMBOL_287]) fail("symbol 287 has a code");
      lit.build(&lengths[setBase], LITLEN_SYMBOLS);
      for (uint32_t a = 0; a < alphabets; ++a) dist[a].build(&lengths[setBase + DIST_AT[a]], DIST_SIZE[a]);
      setBase += setSize(alphabets);
      needSet = false;
    }
    const size_t produced = out.size() - start;
    if (produced == outputLength) break;
    uint32_t sym = lit.decode(in);
    if (sym == END_OF_SET && setsLeft == 0) fail("end of set after the last set");
    if (sym == SYMBOL_287) fail("literal/length symbol 287");
    needSet = sym == END_OF_SET;
    if (sym < 256) out.push_back((uint8_t)sym);
    if (sym <= END_OF_SET) continue;
    uint32_t len = lengthBase(sym) + in.get(lengthExtra(sym));
    uint32_t a = len == 2 ? 1 : (len == 3 && alphabets == 3) ? 2 : 0;
    if (dist[a].symbols.empty()) fail("distance alphabet without codes used");
    uint32_t ds = dist[a].decode(in), d = ds == 0 ? r0 : ds == 1 ? r1 : ds - 1;
    if (ds == 1) std::swap(r0, r1);
    if (ds > 5) {
      d = distanceBase(ds) + in.get(distanceExtra(ds));
      r1 = r0, r0 = d;
    }
    if (d == 0) fail("repeat distance before an explicit one");
    if (d > history + produced) continue;  // before the kept history: the installer drops it
    if (produced + len > outputLength) fail("match runs past the block's output");
    for (uint32_t k = 0; k < len; ++k) out.push_back(out[out.size() - d]);
  }
  if (out.size() - start != outputLength) fail("block ended short");
  if (setsLeft != 0) fail("unused table sets");
  return (uint32_t)((in.pos + 7) / 8);
}

inline uint32_t field(const uint8_t* block, Field f) {
  Bits in{block, f.bit + f.width, f.bit};
  return in.get(f.width);
}

// One block (header at `a[pos]`, at most `limit` bytes), decoded onto `out`
// behind the `*history` bytes the installer keeps there; returns its size.
inline uint32_t readBlock(const std::vector<uint8_t>& a, size_t pos, uint32_t limit, std::vector<uint8_t>& out,
                          uint32_t* history, BlockInfo* info) {
  uint32_t available = (uint32_t)std::min<size_t>(pos < a.size() ? a.size() - pos : 0, limit), used;
  if (available < STORED_DATA_BYTE) fail("block header cut short");
  const uint8_t* b = &a[pos];
  *info = BlockInfo{field(b, TYPE), field(b, OUTPUT_LENGTH), field(b, BLOCK_SIZE), 0, 0, field(b, LAST) != 0};
  if (info->type > 1) fail("block type above 1");
  if (info->blockSize > available) fail("block size beyond the data");
  if (info->type == 1) {
    *history = std::min(*history, window(field(b, ROW), field(b, COLUMN)));
    used = decodeCompressedBlock(b, info->blockSize, out, *history, info->outputLength, info);
  } else {
    *history = std::min(*history, MAX_WINDOW);
    used = STORED_DATA_BYTE + info->outputLength;
    if (used > info->blockSize) fail("stored block larger than its size");
    out.insert(out.end(), b + STORED_DATA_BYTE, b + used);
  }
  if (used != info->blockSize) fail("block size differs from where the data end");
  *history += info->outputLength;
  return used;
}

inline void expectMagic(const std::vector<uint8_t>& a, size_t pos, size_t end, const char* magic, const char* what) {
  if (pos + MAGIC_SIZE > end || memcmp(&a[pos], magic, MAGIC_SIZE) != 0) fail(what);
}

// Reads `sets` code-length sets of `setSize` from bit 0 of `bytes`.
inline std::vector<uint8_t> readCodeLengthSets(const std::vector<uint8_t>& bytes, uint32_t setSize,
                                               uint32_t sets) {
  Bits in{bytes.data(), (uint64_t)bytes.size() * 8};
  std::vector<uint8_t> out((size_t)setSize * sets);
  readCodeLengths(in, out, setSize);
  if ((in.pos + 7) / 8 != bytes.size()) fail("code lengths did not use every byte");
  return out;
}

// Undoes the call filter (`mode` 2 or 4: operand bytes) on one piece of a
// file of `length` bytes that starts `passed` bytes into the file.
inline void restoreCalls(uint8_t* piece, uint32_t n, uint32_t passed, uint32_t length, uint32_t mode) {
  for (uint32_t i = 0; i + mode < n; ++i) {
    if (piece[i] != 0xE8) continue;
    uint32_t p = passed + i + 1, v = mode == 2 ? le16(piece + i + 1) : le32(piece + i + 1), d = v - p;
    // With 4-byte operands, relative targets inside the file were made
    // absolute; those before its start, negative.
    if (mode == 4 && v >= length)
      d = (int32_t)v < 0 && -(int64_t)(int32_t)v <= (int64_t)p ? length - p - 1 - v : v;
    for (uint32_t k = 0; k < mode; ++k) piece[i + 1 + k] = (uint8_t)(d >> 8 * k);
    i += mode;
  }
}

// Reads a whole archive (starting at its header), holding each file's bytes
// against its CRC-32 unless `checkCrc` is false. Throws std::runtime_error.
inline Archive readArchive(const std::vector<uint8_t>& a, bool checkCrc = true) {
  Archive result;
  if (a.size() < HEADER_SIZE) fail("archive shorter than its header");
  const uint32_t directoryOffset = le32(&a[4]), entryCount = le32(&a[8]);
  if (le32(&a[20]) != a.size()) fail("archiveLength differs from the archive's size");
  if (le32(&a[24]) != directoryOffset - HEADER_SIZE) fail("dataLength differs");

  size_t pos = directoryOffset;
  while (result.entries.size() < entryCount) {
    expectMagic(a, pos, a.size(), DIRECTORY_MAGIC, "directory signature missing");
    pos += MAGIC_SIZE;
    std::vector<uint8_t> block;
    uint32_t history = 0;
    BlockInfo info;
    pos += readBlock(a, pos, DIRECTORY_BLOCK_MAX, block, &history, &info);
    if (info.outputLength > DIRECTORY_OUTPUT_MAX) fail("directory block decodes to more than 8192 bytes");
    result.directoryBlocks++;
    if (block.size() < ENTRY_SIZE) fail("directory block holds no record");
    for (size_t at = 0; block.size() - at >= ENTRY_SIZE;) {
      const uint8_t* e = &block[at];
      File f{{le32(e + 4), le32(e + 12), le32(e + 16), le32(e + 20), e[10], e[11], (uint16_t)le16(e + 24),
              (uint16_t)le16(e + 26)}, "", {}};
      size_t total = ENTRY_SIZE + f.entry.nameLength + f.entry.smallExtraLength + f.entry.extraLength;
      if (at + total > block.size()) fail("record runs past its directory block");
      f.name.assign((const char*)e + ENTRY_SIZE, f.entry.nameLength);
      result.entries.push_back(f);
      at += total;
    }
  }
  if (result.entries.size() != entryCount || pos != a.size()) fail("directory does not end with the archive");

  // Streams, decoded once each; with every block's start in stream offsets.
  struct Stream {
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> blockStarts;
  };
  std::map<uint32_t, Stream> streams;
  for (File& f : result.entries) {
    const Entry& e = f.entry;
    if (e.flags & FOLDER) continue;
    if (e.length == 0 && e.crc != 0 && checkCrc) fail("an empty file's CRC-32 is not 0");
    if (e.length == 0) continue;
    auto [it, fresh] = streams.try_emplace(e.streamOffset);
    Stream& stream = it->second;
    const std::vector<uint8_t>& s = stream.bytes;
    if (fresh) {
      expectMagic(a, e.streamOffset, directoryOffset, STREAM_MAGIC, "stream signature missing");
      uint32_t history = 0;
      for (size_t at = e.streamOffset + MAGIC_SIZE;;) {
        BlockInfo info;
        stream.blockStarts.push_back(s.size());
        at += readBlock(a, at, MAX_BLOCK_OUTPUT, stream.bytes, &history, &info);
        result.blocks.push_back(info);
        if (info.last) break;
      }
    }
    uint64_t p = e.streamPosition;
    if (p + RECORD_FIXED_SIZE > s.size()) fail("stream record beyond the stream");
    uint64_t dataStart = p + RECORD_FIXED_SIZE + le16(&s[p + 4]);
    if (dataStart + e.length > s.size()) fail("file beyond the stream");
    f.bytes.assign(s.begin() + (ptrdiff_t)dataStart, s.begin() + (ptrdiff_t)(dataStart + e.length));
    // The filter works on the file's slice within each block on its own.
    uint32_t mode = e.flags & FILTER_2 ? 2 : e.flags & FILTER_4 ? 4 : 0;
    for (uint32_t done = 0, n; mode && done < e.length; done += n) {
      uint64_t at = dataStart + done, end = s.size();
      auto next = std::upper_bound(stream.blockStarts.begin(), stream.blockStarts.end(), at);
      if (next != stream.blockStarts.end()) end = *next;
      n = (uint32_t)std::min<uint64_t>(end - at, e.length - done);
      restoreCalls(&f.bytes[done], n, done, e.length, mode);
    }
    if (checkCrc && crc32(f.bytes.data(), f.bytes.size()) != e.crc) fail("CRC-32 differs from the entry's");
  }
  return result;
}

}  // namespace reference
