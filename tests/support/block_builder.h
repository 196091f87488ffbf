// Test-only builders of blocks: frames, coded data spelled symbol by symbol
// and a plain LZ encoder, all from the rules in format.h.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <vector>

#include "format.h"
#include "install_state.h"

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
  uint32_t perLength[MAX_CODE_LENGTH + 1] = {}, next[MAX_CODE_LENGTH + 1] = {};
  for (uint32_t s = 0; s < count; ++s) ++perLength[lengths[s]];
  perLength[0] = 0;
  for (uint32_t l = 1, code = 0; l <= MAX_CODE_LENGTH; ++l) next[l] = code = (code + perLength[l - 1]) << 1;
  std::vector<uint32_t> codes(count);
  for (uint32_t s = 0; s < count; ++s)
    if (lengths[s]) codes[s] = next[lengths[s]]++;
  return codes;
}

// The symbol and extra bits that spell a match length or a distance.
inline void lengthSymbol(uint32_t length, uint32_t* symbol, uint32_t* extra, uint32_t* extraBits) {
  uint32_t s = SYMBOL_LONG_LENGTH;
  while (lengthBase(s) > length) --s;
  *symbol = s, *extra = length - lengthBase(s), *extraBits = lengthExtraBits(s);
}
inline void distanceSymbol(uint32_t d, uint32_t* symbol, uint32_t* extra, uint32_t* extraBits) {
  bool small = d <= SMALL_DISTANCE_MAX;
  *symbol = small ? smallDistanceSymbol(d) : explicitDistanceSymbol(d);
  *extra = small ? 0 : d - distanceBase(*symbol), *extraBits = small ? 0 : distanceExtraBits(*symbol);
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
    w.put(makeBlockPrefix(alphabets, (uint32_t)sets.size()), BLOCK_PREFIX_BITS);
    if (sets.empty()) return;
    // A complete pre-code: symbols 0..10 get 4 bits (code = symbol), 11..20
    // get 5 bits (code = symbol + 11).
    for (uint32_t i = 0; i < PRECODE_SYMBOLS; ++i)
      w.put(PRECODE_FIELD_LENGTH_BIAS + (i < 11 ? 4 : 5), PRECODE_FIELD_BITS);
    uint32_t size = setSizeFor(alphabets), value = 0;
    for (size_t j = 0; j < sets.size(); ++j) {
      if (sets[j].size() != size) throw std::logic_error("set of the wrong size");
      for (uint32_t p = 0; p < size; ++p) {
        uint32_t previous = j ? sets[j - 1][p] : 0, base = previous ? previous : value;
        value = sets[j][p];
        uint32_t difference = (value + CODE_LENGTH_MODULUS - base) % CODE_LENGTH_MODULUS;
        w.putCode(difference < 11 ? difference : difference + 11, difference < 11 ? 4 : 5);
      }
    }
  }
  const uint8_t* lengths() const {  // of the current set
    static uint8_t fixed[SET_SIZE_2];
    if (!fixed[0])  // once: symbol 0 has a code
      for (uint32_t p = 0; p < SET_SIZE_2; ++p) fixed[p] = (uint8_t)fixedCodeLength(p);
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
    symbol(0, LITLEN_SYMBOLS, SYMBOL_END_OF_SET);
    ++current;
  }
  uint32_t distanceAlphabetFor(uint32_t length) const {
    return distanceAlphabetOf(length, sets.empty() ? std::min(alphabets, FIXED_SET_ALPHABETS) : alphabets);
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
    this->symbol(DIST_ALPHABET_POSITION[a], DIST_ALPHABET_SIZE[a], symbol);
    w.put(extra, extraBits);
  }
};

// Block frames. CompressedFrame::finish writes the block's byte count into
// blockSize unless `sizeOverride` is given; setBlockField overwrites a field.
inline void setBlockField(std::vector<uint8_t>& block, BlockField f, uint32_t value) {
  for (uint32_t i = f.bit; i < f.bit + f.width; ++i) block[i / 8] &= (uint8_t)~(1u << (i % 8));
  writeBlockField(block.data(), f, value);
}
struct CompressedFrame {
  BitString w;
  CompressedFrame(uint32_t outputLength, bool last, uint32_t row = 2, uint32_t column = 7) {
    w.put(BLOCK_COMPRESSED, BF_TYPE.width);
    w.put(last, BF_LAST.width);
    w.put(outputLength, BF_OUTPUT_LENGTH.width);
    w.put(0, BF_BLOCK_SIZE.width);  // written by finish()
    w.put(row, BF_WINDOW_ROW.width);
    w.put(column, BF_WINDOW_COLUMN.width);
  }
  std::vector<uint8_t> finish(int64_t sizeOverride = -1) {
    std::vector<uint8_t> bytes = w.bytes;
    setBlockField(bytes, BF_BLOCK_SIZE, (uint32_t)(sizeOverride >= 0 ? sizeOverride : (int64_t)bytes.size()));
    return bytes;
  }
};
inline std::vector<uint8_t> storedBlock(const std::vector<uint8_t>& data, bool last) {
  CompressedFrame frame((uint32_t)data.size(), last, 0, 0);  // the selector is not read
  std::vector<uint8_t> block = frame.finish(BLOCK_STORED_DATA_BYTE + (int64_t)data.size());
  setBlockField(block, BF_TYPE, BLOCK_STORED);
  block.insert(block.end(), data.begin(), data.end());
  return block;
}

// Complete codes that give every symbol a code of 8 or 9 bits (literal/
// length) and 3 to 6 bits (distances): a set in which anything can be said.
inline std::vector<uint8_t> uniformSet(uint32_t alphabets) {
  std::vector<uint8_t> set;
  for (uint32_t s = 0; s < LITLEN_SYMBOLS; ++s) set.push_back(s < 224 ? 8 : 9);
  for (uint32_t s = 0; s < DIST0_SYMBOLS; ++s) set.push_back(s < 22 ? 5 : 6);
  for (uint32_t s = 0; s < DIST1_SYMBOLS; ++s) set.push_back(s < 2 ? 3 : 4);
  if (alphabets == 3)
    for (uint32_t s = 0; s < DIST2_SYMBOLS; ++s) set.push_back(s < 4 ? 4 : 5);
  return set;
}

// A greedy LZ parse of `data` behind `history` (matches of 3 bytes or more
// within `window`), its coding as a complete block with one set of two
// distance alphabets, and both at once with uniformSet(2).
struct BuilderToken {
  uint32_t length;  // 0: literal
  uint32_t value;   // literal byte or distance
};
inline std::vector<BuilderToken> findMatches(const std::vector<uint8_t>& history,
                                             const std::vector<uint8_t>& data, uint32_t window) {
  std::vector<uint8_t> all(history);
  all.insert(all.end(), data.begin(), data.end());
  const size_t start = history.size(), end = all.size();
  std::vector<int64_t> head(1 << 16, -1), chain(end, -1);
  auto hash = [&](size_t i) { return ((all[i] << 10) ^ (all[i + 1] << 5) ^ all[i + 2]) & 0xFFFF; };
  auto insert = [&](size_t i) {
    if (i + 2 < end) chain[i] = head[hash(i)], head[hash(i)] = (int64_t)i;
  };
  for (size_t i = start > window ? start - window : 0; i < start; ++i) insert(i);
  std::vector<BuilderToken> tokens;
  for (size_t i = start; i < end;) {
    uint32_t bestLength = 0, bestDistance = 0;
    int64_t c = i + 2 < end ? head[hash(i)] : -1;
    for (int tries = 0; c >= 0 && tries < 16 && i - (size_t)c <= window; ++tries, c = chain[c]) {
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
inline std::vector<uint8_t> encodeTokens(const std::vector<BuilderToken>& tokens,
                                         const std::vector<uint8_t>& set, uint32_t outputLength, bool last) {
  CompressedFrame frame(outputLength, last);
  CodedWriter coder(frame.w, 2, {set});
  for (const BuilderToken& t : tokens) {
    if (t.length) coder.match(t.length, t.value);
    else coder.literal((uint8_t)t.value);
  }
  return frame.finish();
}
inline std::vector<uint8_t> compressBlock(const std::vector<uint8_t>& history,
                                          const std::vector<uint8_t>& data, bool last, uint32_t window = 524288) {
  return encodeTokens(findMatches(history, data, window), uniformSet(2), (uint32_t)data.size(), last);
}

// Puts `data` (as much as one load holds) into a fresh block-input buffer as
// a block that lies wholly in it (blockBytesLeft 0), cursor at `startBit`.
struct LoadedInput {
  std::vector<uint8_t> buffer;
  LoadedInput(const std::vector<uint8_t>& data, uint64_t startBit)
      : buffer(INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK, 0) {
    size_t size = std::min<size_t>(data.size(), INPUT_BUFFER_SIZE - INPUT_LOOKAHEAD);  // what one load holds
    std::copy(data.begin(), data.begin() + (ptrdiff_t)size, buffer.begin());
    state.inputBuffer = buffer.data();
    state.inputEnd = buffer.data() + size;
    state.blockBytesLeft = 0;
    state.inputCursor = buffer.data() + startBit / 8;
    state.inputBitOffset = startBit % 8;
  }
};
