// A small, slow, strict reader of JOV archives, written plainly from the
// format's rules, against which the packer's output is checked. Where the
// installer's reader would merely cope (a distance reaching before the kept
// history, a repeat distance before any explicit one, symbol 287, a table
// that is not a valid prefix code, a match running past the block, a block
// size that disagrees with where the data end), this one fails, so that a
// test catches every stream the installer might read differently.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "format.h"

namespace reference {

struct File {
  DirectoryEntry entry;
  std::string name;
  std::vector<uint8_t> bytes;  // unfiltered content (files only)
};

struct BlockInfo {
  uint32_t type, outputLength, blockSize, distanceAlphabets, setCount;
  bool last;
};

struct Archive {
  ArchiveHeader header;
  std::vector<File> entries;
  std::vector<BlockInfo> blocks;  // data blocks of every stream, in order
  uint32_t directoryBlocks = 0;
};

// The reader's own parts; the tests call decodeCompressedBlock and what follows it.
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

// Lengths of `dest.size()` positions, sets of `setSize`: a pre-code (5-bit
// fields, zero runs as bijective base-2 digits), then differences modulo 17
// from the same position of the previous set (when it is used there) or else
// from the last value, with runs of zeros and of repeats.
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
  Bits in{block, (uint64_t)available * 8, BLOCK_CODED_DATA_BIT};
  uint32_t alphabets = in.get(2), sets = in.get(6);
  if (alphabets != 2 && alphabets != 3) fail("distanceAlphabets must be 2 or 3");
  if (sets == 0 && alphabets == 3) fail("fixed set with three distance alphabets");
  const uint32_t setSize = alphabets == 3 ? SET_SIZE_3 : SET_SIZE_2;
  std::vector<uint8_t> lengths(sets ? (size_t)sets * setSize : SET_SIZE_2);
  if (sets == 0)
    for (uint32_t p = 0; p < SET_SIZE_2; ++p) lengths[p] = fixedCodeLength(p);
  else
    readCodeLengths(in, lengths, setSize);
  if (info) info->distanceAlphabets = alphabets, info->setCount = sets;
  const size_t start = out.size();
  uint32_t r0 = 0, r1 = 0, setsLeft = sets ? sets : 1;
  size_t setBase = 0;
  Code lit, dist[3];
  for (bool needSet = true;;) {
    if (needSet) {
      if (setsLeft-- == 0) break;
      if (sets && lengths[setBase + SYMBOL_UNUSED]) fail("symbol 287 has a code");
      lit.build(&lengths[setBase], LITLEN_SYMBOLS);
      for (uint32_t a = 0; a < (alphabets == 3 ? 3u : 2u); ++a)
        dist[a].build(&lengths[setBase + DIST_ALPHABET_POSITION[a]], DIST_ALPHABET_SIZE[a]);
      setBase += setSize;
      needSet = false;
    }
    if (out.size() - start == outputLength) break;
    uint32_t sym = lit.decode(in);
    if (sym == SYMBOL_END_OF_SET && setsLeft == 0) fail("end of set after the last set");
    if (sym == SYMBOL_UNUSED) fail("literal/length symbol 287");
    needSet = sym == SYMBOL_END_OF_SET;
    if (sym < 256) out.push_back((uint8_t)sym);
    if (sym <= SYMBOL_END_OF_SET) continue;
    uint32_t len = lengthBase(sym) + in.get(lengthExtraBits(sym));
    uint32_t a = len == 2 ? 1 : (len == 3 && alphabets == 3) ? 2 : 0;
    if (dist[a].symbols.empty()) fail("distance alphabet without codes used");
    // Symbols 0 and 1 repeat a recent explicit distance, 2..5 are distances 1..4.
    uint32_t ds = dist[a].decode(in), d = ds == 0 ? r0 : ds == 1 ? r1 : ds - 1;
    if (ds == 1) std::swap(r0, r1);
    if (ds > 5) {
      d = distanceBase(ds) + in.get(distanceExtraBits(ds));
      r1 = r0, r0 = d;
    }
    if (d == 0) fail("repeat distance before an explicit one");
    if (d > history + (out.size() - start)) fail("distance reaches before the kept history");
    if (out.size() - start + len > outputLength) fail("match runs past the block's output");
    for (uint32_t k = 0; k < len; ++k) out.push_back(out[out.size() - d]);
  }
  if (out.size() - start != outputLength) fail("block ended short");
  if (setsLeft != 0) fail("unused table sets");
  return (uint32_t)((in.pos + 7) / 8);
}

// One block (header at `a[pos]`, at most `limit` bytes), decoded onto `out`
// behind `history` bytes; returns its size.
inline uint32_t readBlock(const std::vector<uint8_t>& a, size_t pos, uint32_t limit, std::vector<uint8_t>& out,
                          uint64_t* history, uint64_t* capacity, bool first, BlockInfo* info) {
  uint32_t available = (uint32_t)std::min<size_t>(pos < a.size() ? a.size() - pos : 0, limit);
  if (available < BLOCK_STORED_DATA_BYTE) fail("block header cut short");
  Bits in{&a[pos], 56};
  uint32_t type = in.get(4), last = in.get(1), outputLength = in.get(20), blockSize = in.get(20);
  uint32_t row = in.get(2), column = in.get(3), used;
  if (type > 1) fail("block type above 1");
  if (blockSize > available) fail("block size beyond the data");
  *info = BlockInfo{type, outputLength, blockSize, 0, 0, last != 0};
  // The history is what the installer's stream reader keeps: trimmed to the
  // window before a compressed block, the buffer grown for a stored block.
  if (first) *capacity = outputLength + OUTPUT_BUFFER_SLACK;
  if (type == BLOCK_COMPRESSED) {
    if (!first) *history = std::min<uint64_t>(*history, windowSizes[row == 3 ? 2 : row][column]);
    if (*history + outputLength > *capacity) *capacity = *history + outputLength + OUTPUT_BUFFER_SLACK;
    used = decodeCompressedBlock(&a[pos], blockSize, out, (uint32_t)*history, outputLength, info);
  } else {
    if (outputLength > *capacity) *capacity = outputLength + OUTPUT_BUFFER_SLACK;
    *history = std::min<uint64_t>(*history, *capacity - outputLength);
    used = BLOCK_STORED_DATA_BYTE + outputLength;
    if (used > blockSize) fail("stored block larger than its size");
    out.insert(out.end(), &a[pos + BLOCK_STORED_DATA_BYTE], &a[pos + used]);
  }
  if (used != blockSize) fail("block size differs from where the data end");
  *history += outputLength;
  return used;
}

inline void expectSignature(const std::vector<uint8_t>& a, size_t pos, size_t end, const uint8_t* signature,
                            const char* what) {
  if (pos + SIGNATURE_SIZE > end || memcmp(&a[pos], signature, SIGNATURE_SIZE) != 0) fail(what);
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
    uint32_t p = passed + i + 1, v = mode == 2 ? readLe16(piece + i + 1) : readLe32(piece + i + 1), d = v - p;
    // With 4-byte operands, relative targets inside the file were made
    // absolute; those before its start, negative.
    if (mode == 4 && v >= length)
      d = (int32_t)v < 0 && -(int64_t)(int32_t)v <= (int64_t)p ? length - p - 1 - v : v;
    if (mode == 2)
      writeLe16(piece + i + 1, (uint16_t)d);
    else
      writeLe32(piece + i + 1, d);
    i += mode;
  }
}

// Reads a whole archive (starting at its header). Throws std::runtime_error.
inline Archive readArchive(const std::vector<uint8_t>& a) {
  Archive result;
  if (a.size() < ARCHIVE_HEADER_SIZE) fail("archive shorter than its header");
  parseArchiveHeader(a.data(), &result.header);
  const ArchiveHeader& h = result.header;
  if (h.archiveLength != a.size()) fail("archiveLength differs from the archive's size");
  if (h.dataLength != h.directoryOffset - ARCHIVE_HEADER_SIZE) fail("dataLength differs");

  size_t pos = h.directoryOffset;
  while (result.entries.size() < h.entryCount) {
    expectSignature(a, pos, a.size(), DIRECTORY_SIGNATURE, "directory signature missing");
    pos += SIGNATURE_SIZE;
    std::vector<uint8_t> block;
    uint64_t history = 0, capacity = 0;
    BlockInfo info;
    pos += readBlock(a, pos, DIRECTORY_BLOCK_MAX_ENCODED, block, &history, &capacity, true, &info);
    if (info.outputLength > DIRECTORY_BUFFER_SIZE) fail("directory block decodes to more than 8192 bytes");
    result.directoryBlocks++;
    if (block.size() < DIRECTORY_ENTRY_SIZE) fail("directory block holds no record");
    for (size_t at = 0; at < block.size();) {
      if (block.size() - at < DIRECTORY_ENTRY_SIZE) fail("partial record at a directory block's end");
      File f;
      parseDirectoryEntry(&block[at], &f.entry);
      size_t total = DIRECTORY_ENTRY_SIZE + f.entry.nameLength + f.entry.smallExtraLength + f.entry.extraLength;
      if (at + total > block.size()) fail("record runs past its directory block");
      f.name.assign((const char*)&block[at + DIRECTORY_ENTRY_SIZE], f.entry.nameLength);
      result.entries.push_back(f);
      at += total;
    }
  }
  if (result.entries.size() != h.entryCount || pos != a.size()) fail("directory does not end with the archive");

  // Streams, decoded once each; with every block's start in stream offsets.
  struct Stream {
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> blockStarts;
  };
  std::map<uint32_t, Stream> streams;
  for (File& f : result.entries) {
    if (f.entry.flags & ENTRY_FOLDER) continue;
    auto [it, fresh] = streams.try_emplace(f.entry.streamOffset);
    Stream& stream = it->second;
    const std::vector<uint8_t>& s = stream.bytes;
    if (fresh) {
      expectSignature(a, f.entry.streamOffset, h.directoryOffset, STREAM_SIGNATURE, "stream signature missing");
      uint64_t history = 0, capacity = 0;
      for (size_t at = f.entry.streamOffset + SIGNATURE_SIZE;;) {
        BlockInfo info;
        stream.blockStarts.push_back(s.size());
        bool first = stream.blockStarts.size() == 1;
        at += readBlock(a, at, BLOCK_MAX_SIZE, stream.bytes, &history, &capacity, first, &info);
        result.blocks.push_back(info);
        if (info.last) break;
      }
    }
    uint64_t p = f.entry.streamPosition;
    if (p + STREAM_RECORD_FIXED_SIZE > s.size()) fail("stream record beyond the stream");
    if (readLe32(&s[p]) != f.entry.length) fail("stream record length differs");
    uint64_t dataStart = p + STREAM_RECORD_FIXED_SIZE + readLe16(&s[p + SR_VARIABLE_LENGTH]);
    if (dataStart + f.entry.length + STREAM_RECORD_CRC_SIZE > s.size()) fail("file beyond the stream");
    f.bytes.assign(s.begin() + (ptrdiff_t)dataStart, s.begin() + (ptrdiff_t)(dataStart + f.entry.length));
    if (f.entry.flags & ENTRY_FILTER_2) fail("filter mode 2 is never written");
    // The filter works on the file's slice within each block on its own.
    for (uint32_t done = 0, n; (f.entry.flags & ENTRY_FILTER_4) && done < f.entry.length; done += n) {
      uint64_t at = dataStart + done, end = s.size();
      auto next = std::upper_bound(stream.blockStarts.begin(), stream.blockStarts.end(), at);
      if (next != stream.blockStarts.end()) end = *next;
      n = (uint32_t)std::min<uint64_t>(end - at, f.entry.length - done);
      restoreCalls(&f.bytes[done], n, done, f.entry.length, FILTER_OPERAND_32);
    }
    if (readLe32(&s[dataStart + f.entry.length]) != f.entry.crc) fail("stream crc differs from the entry's");
  }
  return result;
}

}  // namespace reference
