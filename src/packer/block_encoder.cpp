#include "packer/block_encoder.h"

#include <stddef.h>

#include <algorithm>
#include <cmath>

#include "packer/code_lengths.h"
#include "packer/huffman.h"

namespace jov {

namespace {

double entropyBits(const uint64_t* freq, size_t n) {
  uint64_t total = 0;
  for (size_t i = 0; i < n; ++i) total += freq[i];
  if (total == 0) return 0;
  double bits = 0, lt = std::log2((double)total);
  for (size_t i = 0; i < n; ++i)
    if (freq[i]) bits += (double)freq[i] * (lt - std::log2((double)freq[i]));
  return bits;
}

// A rough price of sending one more table set: a few bits per used symbol.
double tableCostEstimate(const SymbolStats& s, double symbolBits) {
  uint32_t used = 0;
  for (uint64_t f : s.litlen) used += f != 0;
  for (const auto& d : s.dist)
    for (uint64_t f : d) used += f != 0;
  return 100.0 + symbolBits * used;
}

double segmentCost(const SymbolStats& s, double symbolBits) { return estimateBits(s) + tableCostEstimate(s, symbolBits); }

struct Segment {
  size_t begin, end;  // token range
  SymbolStats stats;
  double cost;        // estimate, including the table
};

SymbolStats merged(const SymbolStats& a, const SymbolStats& b) {
  SymbolStats m = a;
  m.addAll(b);
  return m;
}

SymbolStats without(const SymbolStats& a, const SymbolStats& b) {
  SymbolStats m = a;
  for (size_t i = 0; i < m.litlen.size(); ++i) m.litlen[i] -= b.litlen[i];
  for (size_t d = 0; d < DIST_ALPHABETS_MAX; ++d)
    for (size_t i = 0; i < MAX_DIST_SYMBOLS; ++i) m.dist[d][i] -= b.dist[d][i];
  return m;
}

SymbolStats statsOf(const std::vector<Token>& tokens, size_t begin, size_t end, bool three) {
  SymbolStats s;
  for (size_t i = begin; i < end; ++i) s.add(tokens[i], three);
  return s;
}

// Moves the boundary between segs[k] and segs[k + 1] by halving steps while
// that lowers their estimated cost: merging whole chunks leaves boundaries
// up to a chunk away from where the statistics change.
void refineBoundary(std::vector<Segment>& segs, size_t k, const std::vector<Token>& tokens, size_t chunk,
                    const CodingOptions& o) {
  Segment &a = segs[k], &b = segs[k + 1];
  for (size_t step = chunk / 2; step >= 16; step /= 2) {
    for (int dir : {-1, 1}) {
      for (;;) {
        const size_t at = b.begin;
        if (dir < 0 ? at < a.begin + 2 * step : at + 2 * step > b.end) break;
        const size_t lo = dir < 0 ? at - step : at, hi = lo + step;
        const SymbolStats moved = statsOf(tokens, lo, hi, o.threeAlphabets);
        SymbolStats na = dir < 0 ? without(a.stats, moved) : merged(a.stats, moved);
        SymbolStats nb = dir < 0 ? merged(b.stats, moved) : without(b.stats, moved);
        const double ca = segmentCost(na, o.tableSymbolBits), cb = segmentCost(nb, o.tableSymbolBits);
        if (ca + cb >= a.cost + b.cost) break;
        a.stats = na;
        b.stats = nb;
        a.cost = ca;
        b.cost = cb;
        a.end = b.begin = dir < 0 ? lo : hi;
      }
    }
  }
}

}  // namespace

// Splits the tokens into at most MAX_SET_COUNT table sets: start from chunks
// of `chunkTokens` and merge neighbours while a merge saves bits (the saved
// table against the worse fit of one code for both), then, if needed, the
// cheapest merges until MAX_SET_COUNT remain.
std::vector<size_t> chooseSetStarts(const std::vector<Token>& tokens, const CodingOptions& o) {
  std::vector<Segment> segs;
  const size_t chunk = o.chunkTokens ? o.chunkTokens : tokens.size();
  for (size_t b = 0; b < tokens.size(); b += chunk) {
    const size_t e = std::min(tokens.size(), b + chunk);
    Segment s{b, e, statsOf(tokens, b, e, o.threeAlphabets), 0};
    s.cost = segmentCost(s.stats, o.tableSymbolBits);
    segs.push_back(std::move(s));
  }
  if (segs.empty()) return {0};
  // A tiny last chunk always joins its neighbour.
  std::vector<double> gain;  // gain[i]: saving from merging segs[i] and segs[i + 1]
  auto pairGain = [&](size_t i) {
    return segs[i].cost + segs[i + 1].cost - segmentCost(merged(segs[i].stats, segs[i + 1].stats), o.tableSymbolBits);
  };
  for (size_t i = 0; i + 1 < segs.size(); ++i) gain.push_back(pairGain(i));
  while (segs.size() > 1) {
    size_t best = 0;
    for (size_t i = 1; i < gain.size(); ++i)
      if (gain[i] > gain[best]) best = i;
    if (gain[best] <= 0 && segs.size() <= MAX_SET_COUNT) break;
    segs[best].stats.addAll(segs[best + 1].stats);
    segs[best].end = segs[best + 1].end;
    segs[best].cost = segmentCost(segs[best].stats, o.tableSymbolBits);
    segs.erase(segs.begin() + (ptrdiff_t)best + 1);
    gain.erase(gain.begin() + (ptrdiff_t)best);
    if (best < gain.size()) gain[best] = pairGain(best);
    if (best > 0) gain[best - 1] = pairGain(best - 1);
  }
  if (o.refineStarts)
    for (size_t k = 0; k + 1 < segs.size(); ++k) refineBoundary(segs, k, tokens, chunk, o);
  std::vector<size_t> starts;
  for (const Segment& s : segs) starts.push_back(s.begin);
  return starts;
}

namespace {

uint64_t tokenBits(const Token& t, const std::vector<uint8_t>& lengths, bool threeAlphabets) {
  if (t.length == 0) return lengths[t.distance];
  uint32_t ls = lengthSymbol(t.length);
  uint32_t a = distanceAlphabetFor(t.length, threeAlphabets);
  return lengths[ls] + lengthExtraBits(ls) + lengths[DIST_ALPHABET_POSITION[a] + t.distSymbol] +
         distanceSymbolExtraBits(t.distSymbol);
}

// Whether every symbol of the tokens has a code in `lengths`.
bool allCoded(const std::vector<Token>& tokens, const std::vector<uint8_t>& lengths, bool threeAlphabets) {
  for (const Token& t : tokens) {
    if (t.length == 0) {
      if (!lengths[t.distance]) return false;
      continue;
    }
    uint32_t a = distanceAlphabetFor(t.length, threeAlphabets);
    if (!lengths[lengthSymbol(t.length)] || !lengths[DIST_ALPHABET_POSITION[a] + t.distSymbol]) return false;
  }
  return true;
}

void writeToken(BitWriter& out, const Token& t, const std::vector<uint8_t>& lengths,
                const std::vector<uint32_t>& codes, bool threeAlphabets) {
  if (t.length == 0) {
    out.put(codes[t.distance], lengths[t.distance]);
    return;
  }
  uint32_t ls = lengthSymbol(t.length);
  out.put(codes[ls], lengths[ls]);
  if (uint32_t eb = lengthExtraBits(ls)) out.put(t.length - lengthBase(ls), eb);
  uint32_t p = DIST_ALPHABET_POSITION[distanceAlphabetFor(t.length, threeAlphabets)] + t.distSymbol;
  out.put(codes[p], lengths[p]);
  if (uint32_t eb = distanceSymbolExtraBits(t.distSymbol)) out.put(t.distExtra, eb);
}

// Canonical codes of each alphabet of a set, placed at the set's positions.
std::vector<uint32_t> setCodes(const std::vector<uint8_t>& lengths, bool threeAlphabets) {
  std::vector<uint32_t> codes(lengths.size(), 0);
  auto place = [&](uint32_t pos, uint32_t n) {
    std::vector<uint8_t> l(lengths.begin() + pos, lengths.begin() + pos + n);
    std::vector<uint32_t> c = canonicalCodes(l);
    for (uint32_t i = 0; i < n; ++i) codes[pos + i] = c[i];
  };
  place(0, LITLEN_SYMBOLS);
  place(SET_POS_DIST0, DIST0_SYMBOLS);
  place(SET_POS_DIST1, DIST1_SYMBOLS);
  if (threeAlphabets) place(SET_POS_DIST2, DIST2_SYMBOLS);
  return codes;
}

}  // namespace

double estimateBits(const SymbolStats& s) {
  double bits = entropyBits(s.litlen.data(), LITLEN_SYMBOLS);
  for (uint32_t ls = SYMBOL_FIRST_EXTRA_LENGTH; ls <= SYMBOL_LONG_LENGTH; ++ls) bits += (double)s.litlen[ls] * lengthExtraBits(ls);
  for (uint32_t a = 0; a < DIST_ALPHABETS_MAX; ++a) {
    bits += entropyBits(s.dist[a].data(), MAX_DIST_SYMBOLS);
    for (uint32_t d = DIST_SYMBOL_EXPLICIT; d < MAX_DIST_SYMBOLS; ++d)
      bits += (double)s.dist[a][d] * distanceSymbolExtraBits(d);
  }
  return bits;
}

std::vector<uint8_t> tableSetLengths(const SymbolStats& stats, bool endsWithSwitch, bool threeAlphabets) {
  std::vector<uint8_t> set(setSizeFor(alphabetCount(threeAlphabets)), 0);
  std::vector<uint64_t> lit(stats.litlen.begin(), stats.litlen.end());
  if (endsWithSwitch) lit[SYMBOL_END_OF_SET]++;
  lit[SYMBOL_UNUSED] = 0;  // has no meaning and never gets a code
  std::vector<uint8_t> l = limitedCodeLengths(lit, MAX_CODE_LENGTH);
  std::copy(l.begin(), l.end(), set.begin());
  for (uint32_t a = 0; a < alphabetCount(threeAlphabets); ++a) {
    uint32_t n = DIST_ALPHABET_SIZE[a];
    std::vector<uint64_t> f(stats.dist[a].begin(), stats.dist[a].begin() + n);
    std::vector<uint8_t> dl = limitedCodeLengths(f, MAX_CODE_LENGTH);
    std::copy(dl.begin(), dl.end(), set.begin() + DIST_ALPHABET_POSITION[a]);
  }
  return set;
}

std::vector<size_t> writeCodedData(BitWriter& out, const std::vector<Token>& tokens, const CodingOptions& o) {
  const bool three = o.threeAlphabets;
  const uint32_t setSize = setSizeFor(alphabetCount(three));
  std::vector<size_t> starts = chooseSetStarts(tokens, o);
  const size_t setCount = starts.size();

  std::vector<uint8_t> all;
  std::vector<std::vector<uint8_t>> sets;
  uint64_t dynamicBits = 0;
  for (size_t k = 0; k < setCount; ++k) {
    size_t end = k + 1 < setCount ? starts[k + 1] : tokens.size();
    sets.push_back(tableSetLengths(statsOf(tokens, starts[k], end, three), k + 1 < setCount, three));
    all.insert(all.end(), sets.back().begin(), sets.back().end());
    for (size_t i = starts[k]; i < end; ++i) dynamicBits += tokenBits(tokens[i], sets.back(), three);
    if (k + 1 < setCount) dynamicBits += sets.back()[SYMBOL_END_OF_SET];
  }
  dynamicBits += codeLengthsCost(all, setSize);

  // The fixed set only exists for two distance alphabets and has no code
  // for distances beyond 8192 in alphabet 0.
  if (o.allowFixedSet && alphabetCount(three) == FIXED_SET_ALPHABETS) {
    std::vector<uint8_t> fixed(SET_SIZE_2);
    for (uint32_t p = 0; p < SET_SIZE_2; ++p) fixed[p] = fixedCodeLength(p);
    if (allCoded(tokens, fixed, false)) {
      uint64_t fixedBits = 0;
      for (const Token& t : tokens) fixedBits += tokenBits(t, fixed, false);
      if (fixedBits < dynamicBits) {
        out.put(makeBlockPrefix(FIXED_SET_ALPHABETS, 0), BLOCK_PREFIX_BITS);
        std::vector<uint32_t> codes = setCodes(fixed, false);
        for (const Token& t : tokens) writeToken(out, t, fixed, codes, false);
        return {0};
      }
    }
  }

  out.put(makeBlockPrefix(alphabetCount(three), (uint32_t)setCount), BLOCK_PREFIX_BITS);
  writeCodeLengths(out, all, setSize);
  for (size_t k = 0; k < setCount; ++k) {
    size_t end = k + 1 < setCount ? starts[k + 1] : tokens.size();
    std::vector<uint32_t> codes = setCodes(sets[k], three);
    for (size_t i = starts[k]; i < end; ++i) writeToken(out, tokens[i], sets[k], codes, three);
    if (k + 1 < setCount) out.put(codes[SYMBOL_END_OF_SET], sets[k][SYMBOL_END_OF_SET]);
  }
  return starts;
}

namespace {

// Header and selector, blockSize left 0 until the block's size is known.
std::vector<uint8_t> blockHeader(uint32_t type, bool last, uint32_t outputLength, uint32_t row, uint32_t column) {
  std::vector<uint8_t> header(BLOCK_STORED_DATA_BYTE, 0);
  writeBlockField(header.data(), BF_TYPE, type);
  writeBlockField(header.data(), BF_LAST, last ? 1 : 0);
  writeBlockField(header.data(), BF_OUTPUT_LENGTH, outputLength);
  writeBlockField(header.data(), BF_WINDOW_ROW, row);
  writeBlockField(header.data(), BF_WINDOW_COLUMN, column);
  return header;
}

}  // namespace

std::vector<uint8_t> storedBlockHeader(uint32_t length, bool last) {
  std::vector<uint8_t> header = blockHeader(BLOCK_STORED, last, length, 0, 0);
  writeBlockField(header.data(), BF_BLOCK_SIZE, (uint32_t)header.size() + length);
  return header;
}


std::vector<uint8_t> frameCompressedBlock(const std::vector<Token>& tokens, uint32_t outputLength, bool last,
                                          uint32_t row, uint32_t column, const CodingOptions& options) {
  BitWriter w;
  std::vector<uint8_t> header = blockHeader(BLOCK_COMPRESSED, last, outputLength, row, column);
  w.putBits(header.data(), BLOCK_CODED_DATA_BIT);
  writeCodedData(w, tokens, options);
  w.alignToByte();
  std::vector<uint8_t> bytes = std::move(w.bytes());
  // Callers check the size against BLOCK_MAX_SIZE before using the block.
  writeBlockField(bytes.data(), BF_BLOCK_SIZE, (uint32_t)std::min<size_t>(bytes.size(), BLOCK_MAX_SIZE));
  return bytes;
}

void chooseWindow(uint32_t history, uint32_t* row, uint32_t* column) {
  uint32_t bestRow = WINDOW_ROWS - 1, bestColumn = WINDOW_COLUMNS - 1;
  for (uint32_t r = 0; r < WINDOW_ROWS; ++r)
    for (uint32_t c = 0; c < WINDOW_COLUMNS; ++c)
      if (windowSizes[r][c] >= history && windowSizes[r][c] < windowSizes[bestRow][bestColumn]) {
        bestRow = r;
        bestColumn = c;
      }
  *row = bestRow;
  *column = bestColumn;
}

}  // namespace jov
