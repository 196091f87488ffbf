#include "reference_reader.h"

#include <string.h>

#include <algorithm>
#include <stdexcept>

namespace reference {

namespace {

[[noreturn]] void fail(const std::string& why) { throw std::runtime_error(why); }

struct Bits {
  const uint8_t* data;
  uint64_t limitBits;
  uint64_t pos = 0;
  uint32_t get(uint32_t n) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < n; ++i, ++pos) {
      if (pos >= limitBits) fail("read past the block's end");
      v |= (uint32_t)(data[pos / 8] >> (pos % 8) & 1) << i;
    }
    return v;
  }
};

// A canonical prefix code, decoded bit by bit: a code of length L is taken
// most significant bit first from the stream.
struct Code {
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> symbols;  // (length, code) -> symbol
  std::vector<uint8_t> lengths;

  void build(const uint8_t* l, uint32_t n, uint32_t maxLength) {
    lengths.assign(l, l + n);
    uint32_t count[33] = {0}, next[33] = {0};
    uint64_t kraft = 0;
    uint32_t used = 0;
    for (uint32_t i = 0; i < n; ++i) {
      if (l[i] > maxLength) fail("code length above the limit");
      if (l[i]) {
        count[l[i]]++;
        kraft += 1ull << (32 - l[i]);
        ++used;
      }
    }
    // Complete, or a single code of length 1, or no code at all.
    if (used > 1 && kraft != (1ull << 32)) fail("code is not complete");
    if (used == 1) fail("a lone code: the packer always pairs it");
    uint32_t code = 0;
    for (uint32_t b = 1; b <= 32; ++b) next[b] = code = (code + count[b - 1]) << 1;
    symbols.clear();
    for (uint32_t i = 0; i < n; ++i)
      if (l[i]) symbols[{l[i], next[l[i]]++}] = i;
  }
  uint32_t decode(Bits& in) const {
    uint32_t code = 0;
    for (uint32_t len = 1; len <= 16; ++len) {
      code = code << 1 | in.get(1);
      auto it = symbols.find({len, code});
      if (it != symbols.end()) return it->second;
    }
    fail("no code matches");
  }
};

uint32_t lengthOf(uint32_t sym, Bits& in) {
  if (sym <= 265) return sym - 255;
  if (sym == 286) return 259 + in.get(15);
  if (sym == 287) fail("literal/length symbol 287");
  uint32_t i = sym - 266, g = i / 4 + 1, base = 11;
  for (uint32_t h = 1; h < g; ++h) base += 4u << h;
  base += (i % 4) << g;
  return base + in.get(g);
}

void readCodeLengths(Bits& in, std::vector<uint8_t>& dest, uint32_t setSize) {
  uint8_t pre[21] = {0};
  uint32_t i = 0, w = 1;
  while (i < 21) {
    uint32_t f = in.get(5);
    if (f >= 2) {
      if (f - 1 > 16) fail("pre-code length above 16");
      pre[i++] = (uint8_t)(f - 1);
      w = 1;
    } else {
      i += w * (f + 1);
      w *= 2;
    }
  }
  Code preCode;
  preCode.build(pre, 21, 16);
  uint32_t v = 0, wz = 1, wr = 1;
  size_t p = 0;
  while (p < dest.size()) {
    uint32_t s = preCode.decode(in);
    auto prevAt = [&](size_t q) -> uint32_t { return q >= setSize ? dest[q - setSize] : 0; };
    if (s <= 16) {
      uint32_t base = prevAt(p) ? prevAt(p) : v;
      v = (base + s) % 17;
      dest[p++] = (uint8_t)v;
      wz = wr = 1;
    } else if (s <= 18) {
      for (uint32_t k = 0; k < wz * (s - 16) && p < dest.size(); ++k) dest[p++] = 0;
      wz *= 2;
      wr = 1;
    } else {
      for (uint32_t k = 0; k < wr * (s - 18) && p < dest.size(); ++k) {
        if (prevAt(p)) v = prevAt(p);
        dest[p++] = (uint8_t)v;
      }
      wr *= 2;
      wz = 1;
    }
  }
}

}  // namespace

uint32_t decodeCompressedBlock(const uint8_t* block, uint32_t available, std::vector<uint8_t>& out,
                               uint32_t history, uint32_t outputLength, BlockInfo* info) {
  Bits in{block, (uint64_t)available * 8, BLOCK_CODED_DATA_BIT};
  uint32_t alphabets = in.get(2), sets = in.get(6);
  if (alphabets != 2 && alphabets != 3) fail("distanceAlphabets must be 2 or 3");
  if (sets == 0 && alphabets == 3) fail("fixed set with three distance alphabets");
  const uint32_t setSize = alphabets == 3 ? SET_SIZE_3 : SET_SIZE_2;
  std::vector<uint8_t> lengths;
  if (sets == 0) {
    lengths.resize(SET_SIZE_2);
    for (uint32_t p = 0; p < SET_SIZE_2; ++p) lengths[p] = fixedCodeLength(p);
  } else {
    lengths.resize((size_t)sets * setSize);
    readCodeLengths(in, lengths, setSize);
  }
  if (info) {
    info->distanceAlphabets = alphabets;
    info->setCount = sets;
  }
  const uint32_t positions[3] = {SET_POS_DIST0, SET_POS_DIST1, SET_POS_DIST2};
  const uint32_t sizes[3] = {DIST0_SYMBOLS, DIST1_SYMBOLS, DIST2_SYMBOLS};
  const size_t start = out.size();
  uint32_t r0 = 0, r1 = 0;
  uint32_t setsLeft = sets ? sets : 1;
  size_t setBase = 0;
  Code lit, dist[3];
  bool needSet = true;
  for (;;) {
    if (needSet) {
      if (setsLeft == 0) break;
      --setsLeft;
      lit.build(&lengths[setBase], LITLEN_SYMBOLS, 16);
      if (sets && lit.lengths[287]) fail("symbol 287 has a code");
      for (uint32_t a = 0; a < (alphabets == 3 ? 3u : 2u); ++a) dist[a].build(&lengths[setBase + positions[a]], sizes[a], 16);
      setBase += setSize;
      needSet = false;
    }
    if (out.size() - start == outputLength) break;
    uint32_t sym = lit.decode(in);
    if (sym < 256) {
      out.push_back((uint8_t)sym);
      continue;
    }
    if (sym == 256) {
      if (setsLeft == 0) fail("end of set after the last set");
      needSet = true;
      continue;
    }
    uint32_t len = lengthOf(sym, in);
    uint32_t a = len == 2 ? 1 : (len == 3 && alphabets == 3) ? 2 : 0;
    if (dist[a].symbols.empty()) fail("distance alphabet without codes used");
    uint32_t ds = dist[a].decode(in), d;
    if (ds == 0) {
      d = r0;
    } else if (ds == 1) {
      d = r1;
      std::swap(r0, r1);
    } else if (ds <= 5) {
      d = ds - 1;
    } else {
      d = distanceBase(ds) + in.get(distanceExtraBits(ds));
      r1 = r0;
      r0 = d;
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

std::vector<uint8_t> readCodeLengthSets(const std::vector<uint8_t>& bytes, uint32_t setSize, uint32_t sets) {
  Bits in{bytes.data(), (uint64_t)bytes.size() * 8};
  std::vector<uint8_t> out((size_t)setSize * sets);
  readCodeLengths(in, out, setSize);
  if ((in.pos + 7) / 8 != bytes.size()) fail("code lengths did not use every byte");
  return out;
}

namespace {

struct Header {
  uint32_t type, last, outputLength, blockSize, row, column;
};

Header readBlockHeader(const uint8_t* b, uint32_t available) {
  if (available < 7) fail("block header cut short");
  Bits in{b, 56};
  Header h;
  h.type = in.get(4);
  h.last = in.get(1);
  h.outputLength = in.get(20);
  h.blockSize = in.get(20);
  h.row = in.get(2);
  h.column = in.get(3);
  if (h.type > 1) fail("block type above 1");
  if (h.blockSize > available) fail("block size beyond the data");
  return h;
}

// Decodes one stream as the installer's stream reader keeps it: history
// trimmed to the window before a compressed block, the buffer grown for a
// stored block alone. Returns the decoded bytes; `pieces` gets the start of
// every block in stream offsets.
std::vector<uint8_t> readStream(const std::vector<uint8_t>& a, uint32_t offset, std::vector<uint64_t>& blockStarts,
                                std::vector<BlockInfo>& infos) {
  std::vector<uint8_t> stream;
  uint64_t history = 0, capacity = 0;
  bool started = false;
  size_t pos = offset + SIGNATURE_SIZE;
  for (;;) {
    if (pos > a.size()) fail("stream runs past the archive");
    Header h = readBlockHeader(&a[pos], (uint32_t)std::min<size_t>(a.size() - pos, BLOCK_MAX_SIZE));
    blockStarts.push_back(stream.size());
    BlockInfo info{h.type, h.outputLength, h.blockSize, 0, 0, h.last != 0};
    uint32_t used;
    if (h.type == BLOCK_COMPRESSED) {
      if (started) {
        uint32_t row = h.row == 3 ? 2 : h.row;
        history = std::min<uint64_t>(history, windowSizes[row][h.column]);
        if (history + h.outputLength > capacity) capacity = history + h.outputLength + OUTPUT_BUFFER_SLACK;
      } else {
        capacity = h.outputLength + OUTPUT_BUFFER_SLACK;
      }
      used = decodeCompressedBlock(&a[pos], h.blockSize, stream, (uint32_t)history, h.outputLength, &info);
    } else {
      if (!started) capacity = h.outputLength + OUTPUT_BUFFER_SLACK;
      if (h.outputLength > capacity) capacity = h.outputLength + OUTPUT_BUFFER_SLACK;
      history = std::min<uint64_t>(history, capacity - h.outputLength);
      used = BLOCK_STORED_DATA_BYTE + h.outputLength;
      if (used > h.blockSize) fail("stored block larger than its size");
      stream.insert(stream.end(), &a[pos + BLOCK_STORED_DATA_BYTE], &a[pos + used]);
    }
    if (used != h.blockSize) fail("block size differs from where the data end");
    started = true;
    history += h.outputLength;
    infos.push_back(info);
    pos += used;
    if (h.last) break;
  }
  return stream;
}

void inverseFilter(uint8_t* piece, uint32_t n, uint32_t passed, uint32_t length) {
  if (n <= 4) return;
  for (uint32_t i = 0; i < n - 4;) {
    if (piece[i] != 0xE8) {
      ++i;
      continue;
    }
    uint32_t p = passed + i + 1, v = readLe32(piece + i + 1), d = v;
    if (v < length)
      d = v - p;
    else if ((int32_t)v < 0 && -(int64_t)(int32_t)v <= (int64_t)p)
      d = length - p - 1 - v;
    writeLe32(piece + i + 1, d);
    i += 5;
  }
}

}  // namespace

Archive readArchive(const std::vector<uint8_t>& a) {
  Archive result;
  if (a.size() < ARCHIVE_HEADER_SIZE) fail("archive shorter than its header");
  parseArchiveHeader(a.data(), &result.header);
  const ArchiveHeader& h = result.header;
  if (h.archiveLength != a.size()) fail("archiveLength differs from the archive's size");
  if (h.dataLength != h.directoryOffset - ARCHIVE_HEADER_SIZE) fail("dataLength differs");

  // Directory.
  std::vector<uint8_t> records;
  size_t pos = h.directoryOffset;
  uint32_t count = 0;
  while (count < h.entryCount) {
    if (pos + SIGNATURE_SIZE > a.size() || memcmp(&a[pos], DIRECTORY_SIGNATURE, SIGNATURE_SIZE) != 0)
      fail("directory signature missing");
    pos += SIGNATURE_SIZE;
    Header bh = readBlockHeader(&a[pos], (uint32_t)std::min<size_t>(a.size() - pos, DIRECTORY_BLOCK_MAX_ENCODED));
    if (bh.outputLength > DIRECTORY_BUFFER_SIZE) fail("directory block decodes to more than 8192 bytes");
    std::vector<uint8_t> block;
    uint32_t used;
    if (bh.type == BLOCK_COMPRESSED) {
      used = decodeCompressedBlock(&a[pos], bh.blockSize, block, 0, bh.outputLength, nullptr);
    } else {
      used = BLOCK_STORED_DATA_BYTE + bh.outputLength;
      block.assign(&a[pos + BLOCK_STORED_DATA_BYTE], &a[pos + used]);
    }
    if (used != bh.blockSize || used > DIRECTORY_BLOCK_MAX_ENCODED) fail("directory block size wrong");
    pos += used;
    result.directoryBlocks++;
    size_t at = 0;
    if (block.size() < DIRECTORY_ENTRY_SIZE) fail("directory block holds no record");
    while (at < block.size()) {
      if (block.size() - at < DIRECTORY_ENTRY_SIZE) fail("partial record at a directory block's end");
      File f;
      parseDirectoryEntry(&block[at], &f.entry);
      size_t total = DIRECTORY_ENTRY_SIZE + f.entry.nameLength + f.entry.smallExtraLength + f.entry.extraLength;
      if (at + total > block.size()) fail("record runs past its directory block");
      f.name.assign((const char*)&block[at + DIRECTORY_ENTRY_SIZE], f.entry.nameLength);
      result.entries.push_back(f);
      at += total;
      ++count;
    }
  }
  if (count != h.entryCount || pos != a.size()) fail("directory does not end with the archive");

  // Streams, decoded once each.
  std::map<uint32_t, std::pair<std::vector<uint8_t>, std::vector<uint64_t>>> streams;
  for (File& f : result.entries) {
    if (f.entry.flags & ENTRY_FOLDER) continue;
    auto it = streams.find(f.entry.streamOffset);
    if (it == streams.end()) {
      if (f.entry.streamOffset + SIGNATURE_SIZE > h.directoryOffset ||
          memcmp(&a[f.entry.streamOffset], STREAM_SIGNATURE, SIGNATURE_SIZE) != 0)
        fail("stream signature missing");
      std::vector<uint64_t> starts;
      std::vector<uint8_t> s = readStream(a, f.entry.streamOffset, starts, result.blocks);
      it = streams.emplace(f.entry.streamOffset, std::make_pair(std::move(s), std::move(starts))).first;
    }
    const std::vector<uint8_t>& s = it->second.first;
    const std::vector<uint64_t>& starts = it->second.second;
    uint64_t p = f.entry.streamPosition;
    if (p + STREAM_RECORD_FIXED_SIZE > s.size()) fail("stream record beyond the stream");
    if (readLe32(&s[p]) != f.entry.length) fail("stream record length differs");
    uint32_t variable = readLe16(&s[p + SR_VARIABLE_LENGTH]);
    uint64_t dataStart = p + STREAM_RECORD_FIXED_SIZE + variable;
    if (dataStart + f.entry.length + STREAM_RECORD_CRC_SIZE > s.size()) fail("file beyond the stream");
    f.bytes.assign(s.begin() + (ptrdiff_t)dataStart, s.begin() + (ptrdiff_t)(dataStart + f.entry.length));
    uint8_t mode = (f.entry.flags & ENTRY_FILTER_2) ? 2 : (f.entry.flags & ENTRY_FILTER_4) ? 4 : 0;
    if (mode == 2) fail("filter mode 2 is never written");
    if (mode == 4) {
      // Pieces: the file's slice within each block.
      uint32_t done = 0;
      while (done < f.entry.length) {
        uint64_t at = dataStart + done, end = s.size();
        for (uint64_t b : starts)
          if (b > at) {
            end = b;
            break;
          }
        uint32_t n = (uint32_t)std::min<uint64_t>(end - at, f.entry.length - done);
        inverseFilter(&f.bytes[done], n, done, f.entry.length);
        done += n;
      }
    }
    if (readLe32(&s[dataStart + f.entry.length]) != f.entry.crc) fail("stream crc differs from the entry's");
  }
  return result;
}

}  // namespace reference
