#include "block_builder.h"

#include <algorithm>
#include <cassert>
#include <map>
#include <stdexcept>

#include "codec/code_lengths.h"
#include "result.h"

namespace {

// The length bases and distance bases are spelled out here rather than taken
// from format.h, so that the reader's tests also check format.h's rules.
const uint32_t LENGTH_BASES[20] = {11, 13, 15, 17, 19, 23, 27, 31, 35, 43,
                                   51, 59, 67, 83, 99, 115, 131, 163, 195, 227};

// Distance symbol 6 + i: base and extra bits.
uint32_t distBase(uint32_t s) {
  uint32_t i = s - 6, j = i / 2;
  return (i & 1) ? 3u * (1u << (j + 1)) + 1 : (1u << (j + 2)) + 1;
}
uint32_t distExtra(uint32_t s) { return (s - 6) / 2 + 1; }

uint32_t maxDistance(uint32_t alphabet) {
  uint32_t last = DIST_ALPHABET_SIZE[alphabet] - 1;
  return distBase(last) + (1u << distExtra(last)) - 1;
}

}  // namespace

void lengthSymbol(uint32_t length, uint32_t* symbol, uint32_t* extra, uint32_t* extraBits) {
  if (length <= 10) {
    *symbol = length + 255, *extra = 0, *extraBits = 0;
  } else if (length <= 258) {
    uint32_t i = 19;
    while (LENGTH_BASES[i] > length) --i;
    *symbol = 266 + i, *extra = length - LENGTH_BASES[i], *extraBits = i / 4 + 1;
  } else {
    *symbol = 286, *extra = length - 259, *extraBits = 15;
  }
}

void distanceSymbol(uint32_t d, uint32_t* symbol, uint32_t* extra, uint32_t* extraBits) {
  if (d <= 4) {
    *symbol = d + 1, *extra = 0, *extraBits = 0;
    return;
  }
  uint32_t s = 41;
  while (distBase(s) > d) --s;
  *symbol = s, *extra = d - distBase(s), *extraBits = distExtra(s);
}

std::vector<uint32_t> msbFirstCodes(const uint8_t* lengths, uint32_t count) {
  uint32_t perLength[17] = {}, next[17] = {};
  for (uint32_t s = 0; s < count; ++s) ++perLength[lengths[s]];
  perLength[0] = 0;
  for (uint32_t l = 1, code = 0; l <= 16; ++l) next[l] = code = (code + perLength[l - 1]) << 1;
  std::vector<uint32_t> codes(count);
  for (uint32_t s = 0; s < count; ++s)
    if (lengths[s]) codes[s] = next[lengths[s]]++;
  return codes;
}

CodedWriter::CodedWriter(BitString& writer, uint32_t alphabets, std::vector<std::vector<uint8_t>> tableSets)
    : w(writer), layout{alphabets}, sets(std::move(tableSets)) {
  w.put(alphabets, PREFIX_ALPHABETS_BITS);
  w.put(sets.size(), PREFIX_SET_COUNT_BITS);
  if (sets.empty()) return;
  // Pre-code: every symbol 5 bits (code = symbol).
  for (uint32_t i = 0; i < PRECODE_SYMBOLS; ++i) w.put(PRECODE_FIELD_LENGTH_BIAS + 5, PRECODE_FIELD_BITS);
  uint32_t size = layout.size(), value = 0;
  for (size_t j = 0; j < sets.size(); ++j) {
    assert(sets[j].size() == size);
    for (uint32_t p = 0; p < size; ++p) {
      uint32_t previous = j ? sets[j - 1][p] : 0;
      uint32_t base = previous ? previous : value;
      value = sets[j][p];
      w.putCode((value + CODE_LENGTH_MODULUS - base) % CODE_LENGTH_MODULUS, 5);  // its 5-bit code is the symbol
    }
  }
}

const uint8_t* CodedWriter::lengths() const {
  static std::vector<uint8_t> fixed;
  if (fixed.empty()) {
    fixed.resize(SET_SIZE_2);
    setFixedCodeLengths(fixed.data());
  }
  return sets.empty() ? fixed.data() : sets[current].data();
}

void CodedWriter::symbol(uint32_t offset, uint32_t count, uint32_t s) {
  const uint8_t* l = lengths() + offset;
  if (!l[s]) throw std::logic_error("symbol without a code");
  std::vector<uint32_t>& codes = codeCache[{current, offset}];
  if (codes.empty()) codes = msbFirstCodes(l, count);
  w.putCode(codes[s], l[s]);
}

void CodedWriter::endOfSet() {
  symbol(0, LITLEN_SYMBOLS, SYMBOL_END_OF_SET);
  ++current;
}

uint32_t CodedWriter::distanceAlphabetFor(uint32_t length) const {
  return distanceAlphabetOf(length, sets.empty() ? std::min(layout.alphabets, FIXED_SET_ALPHABETS) : layout.alphabets);
}

void CodedWriter::match(uint32_t length, uint32_t distance, int repeatSymbol) {
  uint32_t symbol, extra, extraBits;
  lengthSymbol(length, &symbol, &extra, &extraBits);
  this->symbol(0, LITLEN_SYMBOLS, symbol);
  w.put(extra, extraBits);
  uint32_t a = distanceAlphabetFor(length);
  if (repeatSymbol >= 0) {
    this->symbol(DIST_ALPHABET_POSITION[a], DIST_ALPHABET_SIZE[a], (uint32_t)repeatSymbol);
    return;
  }
  distanceSymbol(distance, &symbol, &extra, &extraBits);
  this->symbol(DIST_ALPHABET_POSITION[a], DIST_ALPHABET_SIZE[a], symbol);
  w.put(extra, extraBits);
}

// ---- Frames -----------------------------------------------------------------

std::vector<uint8_t> storedBlock(const std::vector<uint8_t>& data, bool last) {
  BitString w;
  w.put(BLOCK_STORED, BF_TYPE.width);
  w.put(last, BF_LAST.width);
  w.put(data.size(), BF_OUTPUT_LENGTH.width);
  w.put(BLOCK_STORED_DATA_BYTE + data.size(), BF_BLOCK_SIZE.width);
  w.put(0, BF_WINDOW_SELECTOR.width);  // not read
  w.alignToByte();
  w.putBytes(data);
  return w.bytes;
}

CompressedFrame::CompressedFrame(uint32_t outputLength, bool last, uint32_t row, uint32_t column) {
  w.put(BLOCK_COMPRESSED, BF_TYPE.width);
  w.put(last, BF_LAST.width);
  w.put(outputLength, BF_OUTPUT_LENGTH.width);
  w.put(0, BF_BLOCK_SIZE.width);  // patched by finish()
  w.put(row, BF_WINDOW_ROW.width);
  w.put(column, BF_WINDOW_COLUMN.width);
}

std::vector<uint8_t> CompressedFrame::finish(int64_t sizeOverride) {
  std::vector<uint8_t> bytes = w.bytes;
  uint64_t size = sizeOverride >= 0 ? (uint64_t)sizeOverride : bytes.size();
  for (uint32_t i = 0; i < BF_BLOCK_SIZE.width; ++i) {
    uint32_t bit = BF_BLOCK_SIZE.bit + i;
    bytes[bit / 8] = (uint8_t)((bytes[bit / 8] & ~(1u << (bit % 8))) | (((size >> i) & 1) << (bit % 8)));
  }
  return bytes;
}

// ---- Encoders -----------------------------------------------------------------

std::vector<BuilderToken> findMatches(const std::vector<uint8_t>& history, const std::vector<uint8_t>& data,
                               uint32_t window) {
  std::vector<uint8_t> all(history);
  all.insert(all.end(), data.begin(), data.end());
  const size_t start = history.size(), end = all.size();
  std::vector<int64_t> head(1 << 16, -1), chain(end, -1);
  auto insert = [&](size_t i) {
    if (i + 2 >= end) return;
    uint32_t h = ((all[i] << 10) ^ (all[i + 1] << 5) ^ all[i + 2]) & 0xFFFF;
    chain[i] = head[h], head[h] = (int64_t)i;
  };
  for (size_t i = start > window ? start - window : 0; i < start; ++i) insert(i);
  std::vector<BuilderToken> tokens;
  for (size_t i = start; i < end;) {
    uint32_t bestLength = 0, bestDistance = 0;
    if (i + 2 < end) {
      int64_t c = head[((all[i] << 10) ^ (all[i + 1] << 5) ^ all[i + 2]) & 0xFFFF];
      for (int tries = 0; c >= 0 && tries < 16 && i - (size_t)c <= window; ++tries, c = chain[c]) {
        uint32_t l = 0;
        while (i + l < end && l < 2000 && all[c + l] == all[i + l]) ++l;
        if (l > bestLength) bestLength = l, bestDistance = (uint32_t)(i - c);
      }
    }
    tokens.push_back(bestLength >= 3 ? BuilderToken{bestLength, bestDistance} : BuilderToken{0, all[i]});
    for (uint32_t k = std::max(bestLength >= 3 ? bestLength : 1, 1u); k; --k) insert(i++);
  }
  return tokens;
}

std::vector<uint8_t> encodeTokens(const std::vector<BuilderToken>& tokens, const std::vector<uint8_t>& set,
                                  uint32_t outputLength, bool last) {
  CompressedFrame frame(outputLength, last);
  CodedWriter coder(frame.w, 2, {set});
  for (const BuilderToken& t : tokens) {
    if (t.length) coder.match(t.length, t.value);
    else coder.literal((uint8_t)t.value);
  }
  return frame.finish();
}

std::vector<uint8_t> compressBlock(const std::vector<uint8_t>& history, const std::vector<uint8_t>& data,
                                   bool last, uint32_t window) {
  return encodeTokens(findMatches(history, data, window), uniformSet(2), (uint32_t)data.size(), last);
}

std::vector<uint8_t> randomCompleteLengths(std::mt19937& rng, uint32_t count) {
  std::vector<uint8_t> depths = {0};
  while (depths.size() < count) {
    size_t i = rng() % depths.size();
    if (rng() % 4 == 0) i = std::max_element(depths.begin(), depths.end()) - depths.begin();
    if (depths[i] >= 16) continue;
    uint8_t d = (uint8_t)(depths[i] + 1);
    depths[i] = d;
    depths.push_back(d);
  }
  std::shuffle(depths.begin(), depths.end(), rng);
  return depths;
}

void writeRandomCodedData(std::mt19937& rng, BitString& w, uint32_t historyLength, uint32_t wanted) {
  uint32_t alphabets = 1 + rng() % 3;
  uint32_t setCount = rng() % 5;  // 0: the fixed set
  uint32_t size = setSizeFor(alphabets);
  std::vector<std::vector<uint8_t>> sets;
  for (uint32_t j = 0; j < setCount; ++j) {
    std::vector<uint8_t> set = randomCompleteLengths(rng, LITLEN_SYMBOLS);
    for (uint32_t a = 0; a < (alphabets == 3 ? 3u : 2u); ++a) {
      std::vector<uint8_t> d = randomCompleteLengths(rng, DIST_ALPHABET_SIZE[a]);
      set.insert(set.end(), d.begin(), d.end());
    }
    set.resize(size);
    sets.push_back(set);
  }
  CodedWriter coder(w, alphabets, sets);
  uint64_t produced = 0, available = historyLength;
  uint32_t recent0 = 0, recent1 = 0;
  while (produced < wanted) {
    uint32_t op = rng() % 100;
    if (op < 2 && !sets.empty() && coder.current + 1 < sets.size()) {
      coder.endOfSet();
      continue;
    }
    if (op < 45) {
      coder.literal((uint8_t)(rng() % 4 == 0 ? rng() : 'a' + rng() % 3));
      ++produced, ++available;
      continue;
    }
    uint32_t r = rng() % 100;
    uint32_t length = r < 70 ? 2 + rng() % 9 : r < 95 ? 11 + rng() % 248 : r < 99 ? 259 + rng() % 3000 : 259 + rng() % 32768;
    uint32_t a = coder.distanceAlphabetFor(length);
    const uint8_t* lengths = coder.lengths();
    uint32_t lsym, lextra, lbits;
    lengthSymbol(length, &lsym, &lextra, &lbits);
    if (!lengths[lsym]) continue;
    const uint8_t* dl = lengths + DIST_ALPHABET_POSITION[a];
    int repeat = -1;
    uint32_t distance = 0, k = rng() % 100;
    if (k < 15 && recent0 && dl[0]) {
      repeat = 0, distance = recent0;
    } else if (k < 25 && recent1 && dl[1]) {
      repeat = 1, distance = recent1;
      std::swap(recent0, recent1);
    } else {
      uint32_t limit = std::min<uint64_t>(maxDistance(a), available + (k < 30 ? 50 : 0));
      if (limit == 0) continue;
      distance = 1 + (k < 60 ? rng() % std::min(limit, 40u) : rng() % limit);
      uint32_t dsym, dextra, dbits;
      distanceSymbol(distance, &dsym, &dextra, &dbits);
      if (dsym >= DIST_ALPHABET_SIZE[a] || !dl[dsym]) continue;
      if (dsym >= 6) recent1 = recent0, recent0 = distance;
    }
    coder.match(length, distance, repeat);
    if (distance <= available) {
      uint32_t n = (uint32_t)std::min<uint64_t>(length, wanted - produced);
      produced += n, available += n;
    }
  }
}

// ---- Reference decoder ---------------------------------------------------------

namespace {

struct RefReader {
  const std::vector<uint8_t>& in;
  uint64_t pos;
  uint32_t bit() {
    uint32_t b = pos / 8 < in.size() ? (in[pos / 8] >> (pos % 8)) & 1 : 0;
    ++pos;
    return b;
  }
  uint32_t bits(uint32_t n) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < n; ++i) v |= bit() << i;
    return v;
  }
  bool exhausted() const { return pos / 8 >= in.size(); }
};

struct RefCode {
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> symbols;  // (length, code) -> symbol
  RefCode(const uint8_t* lengths, uint32_t count) {
    std::vector<uint32_t> codes = msbFirstCodes(lengths, count);
    for (uint32_t s = 0; s < count; ++s)
      if (lengths[s]) symbols[{lengths[s], codes[s]}] = s;
  }
  int decode(RefReader& r) const {
    uint64_t start = r.pos;
    for (uint32_t l = 1, code = 0; l <= 16; ++l) {
      code = code << 1 | r.bit();
      auto it = symbols.find({l, code});
      if (it != symbols.end()) return (int)it->second;
    }
    r.pos = start;
    return -1;
  }
};

int32_t refCodeLengths(RefReader& r, std::vector<uint8_t>& out, uint32_t size, uint32_t count) {
  // Run weights saturate: a run never wraps around to a short one.
  auto twice = [](uint64_t w) { return std::min<uint64_t>(2 * w, 1u << 20); };
  uint8_t pre[21] = {};
  uint64_t w = 1;
  for (uint64_t i = 0; i < 21;) {
    if (r.exhausted()) return RC_INPUT_EXHAUSTED;
    uint32_t f = r.bits(5);
    if (f >= 2) {
      if (f - 1 > 16) return RC_DAMAGED;
      pre[i++] = (uint8_t)(f - 1), w = 1;
    } else {
      i += w * (f + 1), w = twice(w);
    }
  }
  RefCode code(pre, 21);
  uint32_t total = size * count, v = 0;
  uint64_t wz = 1, wr = 1;
  out.assign(total, 0);
  for (uint32_t p = 0; p < total;) {
    if (r.exhausted()) return RC_INPUT_EXHAUSTED;
    int s = code.decode(r);
    if (s < 0) return RC_DAMAGED;
    auto inherited = [&](uint32_t q) { return q >= size && out[q - size] ? out[q - size] : 0; };
    if (s <= 16) {
      uint32_t base = inherited(p) ? inherited(p) : v;
      v = (base + s) % 17, out[p++] = (uint8_t)v, wz = wr = 1;
    } else if (s <= 18) {
      for (uint64_t n = wz * (s - 16); n && p < total; --n) out[p++] = 0;
      wz = twice(wz), wr = 1;
    } else {
      for (uint64_t n = wr * (s - 18); n && p < total; --n) {
        if (inherited(p)) v = inherited(p);
        out[p++] = (uint8_t)v;
      }
      wr = twice(wr), wz = 1;
    }
  }
  return 0;
}

}  // namespace

int32_t referenceDecode(const std::vector<uint8_t>& input, uint64_t startBit, std::vector<uint8_t>& output,
                        uint32_t requested, uint64_t* endBit) {
  RefReader r{input, startBit};
  uint32_t prefix = r.bits(8), alphabets = prefix & 3, setCount = prefix >> 2;
  if (alphabets == 0) return RC_DAMAGED;
  uint32_t size = setSizeFor(alphabets);
  std::vector<uint8_t> all;
  if (setCount == 0) {
    all.resize(SET_SIZE_2);
    setFixedCodeLengths(all.data());
  } else {
    int32_t rc = refCodeLengths(r, all, size, setCount);
    if (rc < 0) return rc;
  }
  const size_t historyLength = output.size();
  const uint32_t alphabet2 = alphabets == 3 && setCount ? 2 : 0, alphabet1 = alphabets >= 2 ? 1 : 0;
  uint32_t r0 = 0, r1 = 0;
  size_t stepStart = output.size();
  for (uint32_t set = 0; set < std::max(setCount, 1u); ++set) {
    const uint8_t* l = all.data() + set * size;
    RefCode lit(l, 288);
    std::vector<RefCode> dist;
    for (uint32_t a = 0; a < 3; ++a) dist.emplace_back(l + DIST_ALPHABET_POSITION[a], a < 2 || alphabet2 ? DIST_ALPHABET_SIZE[a] : 0);
    for (;;) {
      if (output.size() - historyLength >= requested || r.exhausted()) goto end;
      stepStart = output.size();
      int s = lit.decode(r);
      if (s < 0) goto end;
      if (s < 256) {
        output.push_back((uint8_t)s);
        continue;
      }
      if (s == 256) break;
      if (s == 287) return RC_DAMAGED;
      uint32_t length = s <= 265 ? s - 255 : s <= 285 ? LENGTH_BASES[s - 266] + r.bits((s - 266) / 4 + 1) : 259 + r.bits(15);
      uint32_t a = length == 2 ? alphabet1 : length == 3 ? alphabet2 : 0;
      int d = dist[a].decode(r);
      if (d < 0) goto end;
      uint32_t distance;
      if (d == 0) distance = r0;
      else if (d == 1) distance = r1, r1 = r0, r0 = distance;
      else if (d <= 5) distance = d - 1;
      else distance = distBase(d) + r.bits(distExtra(d)), r1 = r0, r0 = distance;
      if (distance == 0) return RC_DAMAGED;
      if (distance > output.size()) continue;
      for (uint32_t i = 0; i < length && output.size() - historyLength < requested; ++i)
        output.push_back(output[output.size() - distance]);
    }
  }
end:
  if (r.pos > (uint64_t)input.size() * 8) output.resize(stepStart);  // a step made of bits past the input
  *endBit = (r.pos + 7) / 8 * 8;
  return (int32_t)(output.size() - historyLength);
}

#include "install_state.h"

LoadedInput::LoadedInput(const std::vector<uint8_t>& data, uint64_t startBit)
    : buffer(INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK, 0) {
  std::copy(data.begin(), data.end(), buffer.begin());
  state.inputBuffer = buffer.data();
  state.inputEnd = buffer.data() + data.size();
  state.blockBytesLeft = 0;
  state.inputCursor = buffer.data() + startBit / 8;
  state.inputBitOffset = startBit % 8;
}

std::vector<uint8_t> uniformSet(uint32_t alphabets) {
  std::vector<uint8_t> set;
  for (uint32_t s = 0; s < 288; ++s) set.push_back(s < 224 ? 8 : 9);
  for (uint32_t s = 0; s < 42; ++s) set.push_back(s < 22 ? 5 : 6);
  for (uint32_t s = 0; s < 14; ++s) set.push_back(s < 2 ? 3 : 4);
  if (alphabets == 3)
    for (uint32_t s = 0; s < 28; ++s) set.push_back(s < 4 ? 4 : 5);
  return set;
}
