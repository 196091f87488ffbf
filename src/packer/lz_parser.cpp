#include "packer/lz_parser.h"

#include <algorithm>
#include <cmath>

#include "packer/block_encoder.h"
#include "packer/match_finder.h"

namespace jov {

LevelConfig levelConfig(int level) {
  switch (level) {
    case 1: return {Strategy::Greedy, 4, 32, 0, 16384};
    case 2: return {Strategy::Greedy, 8, 48, 0, 16384};
    case 3: return {Strategy::Lazy, 6, 64, 0, 8192};
    case 4: return {Strategy::Lazy, 12, 96, 0, 8192};
    case 5: return {Strategy::Lazy, 16, 96, 0, 4096};
    case 6: return {Strategy::Lazy, 16, 128, 0, 4096};
    case 7: return {Strategy::Optimal, 16, 64, 2, 4096, 4, true};
    case 8: return {Strategy::Optimal, 32, 128, 3, 2048, 4, true};
    default: return {Strategy::Optimal, 128, 273, 6, 1024, 4, true};
  }
}

CodingOptions codingFor(const LevelConfig& config, bool threeAlphabets) {
  CodingOptions coding;
  coding.threeAlphabets = threeAlphabets;
  coding.chunkTokens = config.chunkTokens;
  coding.tableSymbolBits = config.tableSymbolBits;
  coding.refineStarts = config.refineStarts;
  return coding;
}

void resolveDistances(std::vector<Token>& tokens, const uint8_t* block, bool three) {
  RecentDistances recent;
  std::vector<Token> out;
  out.reserve(tokens.size());
  uint32_t pos = 0;
  for (Token t : tokens) {
    if (t.length == 0) {
      out.push_back(t);
      ++pos;
      continue;
    }
    t.distSymbol = recent.symbolFor(t.distance);
    if (t.distSymbol >= DIST_ALPHABET_SIZE[distanceAlphabetFor(t.length, three)]) {
      for (uint32_t i = 0; i < t.length; ++i) out.push_back(literalToken(block[pos + i]));
      pos += t.length;
      continue;
    }
    recent.use(t.distance);
    t.distExtra = t.distSymbol >= DIST_SYMBOL_EXPLICIT ? t.distance - distanceBase(t.distSymbol) : 0;
    out.push_back(t);
    pos += t.length;
  }
  tokens.swap(out);
}

namespace {

// ---- Greedy and lazy parsing ----------------------------------------------
//
// A static estimate of a match's worth in bits: what its bytes would cost as
// literals, less what the match costs.
const int LITERAL_BITS = 7;

int matchCostBits(uint32_t length, uint32_t distance, const RecentDistances& recent) {
  const uint32_t lengthSymbolCostBits = 6;  // the common short lengths
  int cost = lengthSymbol(length) < SYMBOL_FIRST_EXTRA_LENGTH
                 ? lengthSymbolCostBits
                 : lengthSymbolCostBits + 1 + (int)lengthExtraBits(lengthSymbol(length));
  const uint32_t symbol = recent.symbolFor(distance);
  if (symbol == DIST_SYMBOL_REP0) return cost + 1;
  if (symbol == DIST_SYMBOL_REP1) return cost + 3;
  return cost + 4 + (int)distanceSymbolExtraBits(symbol);
}

struct Candidate {
  uint32_t length = 0, distance = 0;
  int score = 0;
};

// Whether the block's codes can carry this match at all (length 2 only
// reaches as far as alphabet 1's symbols; length 3 is coded in alphabet 0,
// which reaches all).
bool codable(uint32_t length, uint32_t distance, const RecentDistances& recent) {
  return recent.symbolFor(distance) < DIST_ALPHABET_SIZE[distanceAlphabetFor(length, false)];
}

class LazyParser {
 public:
  LazyParser(const BlockSpan& s, const LevelConfig& c)
      : span_(s), config_(c), size_(s.history + s.length), finder_(s.data, size_) {}

  std::vector<Token> run() {
    // History positions are entered at a stride: a long repeat of the
    // history is still found within a few bytes of its start, at a fraction
    // of the cost.
    const uint32_t stride = config_.depth <= 8 ? 4 : 2;
    for (uint32_t p = span_.history % stride; p < span_.history; p += stride) {
      finder_.prefetch(p + 8 * stride);
      finder_.insert(p);
    }
    std::vector<Token> tokens;
    uint32_t pos = span_.history;
    Candidate cur = find(pos);
    const bool lazy = config_.strategy != Strategy::Greedy;
    while (pos < size_) {
      if (cur.length == 0) {
        tokens.push_back(literalToken(span_.data[pos]));
        ++pos;
        if (pos < size_) cur = find(pos);
        continue;
      }
      // A long match is taken as it is; looking one byte further rarely
      // finds better and costs another search.
      if (lazy && cur.length < config_.niceLength / 2 && pos + 1 < size_) {
        Candidate next = find(pos + 1);
        if (next.score > cur.score + LITERAL_BITS) {
          tokens.push_back(literalToken(span_.data[pos]));
          ++pos;
          cur = next;
          continue;
        }
        emit(tokens, cur, pos, 2);
        continue;
      }
      emit(tokens, cur, pos, 1);
    }
    return tokens;
  }

 private:
  // Takes the match at pos; `inserted` positions from pos on are already in
  // the finder. Leaves cur on the next position.
  void emit(std::vector<Token>& tokens, Candidate& cur, uint32_t& pos, uint32_t inserted) {
    tokens.push_back(matchToken(cur.length, cur.distance));
    recent_.use(cur.distance);
    // The greedy levels enter only the start of a long match: its inside
    // is rarely the best place to match from again.
    uint32_t end = pos + cur.length;
    if (config_.strategy == Strategy::Greedy && cur.length > 32) end = pos + 16;
    finder_.prefetch(pos + cur.length);
    for (uint32_t p = pos + inserted; p < end; ++p) {
      if (p + 8 < end) finder_.prefetch(p + 8);
      finder_.insert(p);
    }
    pos += cur.length;
    if (pos < size_) cur = find(pos);
  }

  Candidate find(uint32_t pos) {
    finder_.prefetch(pos + 1);
    Candidate best;
    const uint32_t limit = std::min<uint32_t>(size_ - pos, MAX_MATCH);
    const uint8_t* cur = span_.data + pos;
    auto consider = [&](uint32_t length, uint32_t distance) {
      if (length < MIN_MATCH || !codable(length, distance, recent_)) return;
      int score = (int)length * LITERAL_BITS - matchCostBits(length, distance, recent_);
      if (score > best.score || (score == best.score && length > best.length)) best = {length, distance, score};
    };
    for (uint32_t r : {recent_.r0, recent_.r1})
      if (r != 0 && r <= pos) consider(matchLength(cur, cur - r, limit), r);
    uint32_t pair = finder_.lastPair(pos);
    Match m = finder_.findAndInsert(pos, config_.depth, config_.niceLength, config_.niceLength / 4);
    if (m.length) consider(m.length, m.distance);
    if (pair != NO_POSITION && pos - pair <= distanceReach(DIST1_SYMBOLS)) consider(matchLength(cur, span_.data + pair, limit), pos - pair);
    return best;
  }

  const BlockSpan& span_;
  const LevelConfig& config_;
  uint32_t size_;
  RowHashFinder finder_;
  RecentDistances recent_;
};

// ---- Optimal parsing --------------------------------------------------------
//
// Prices are in 1/16 bit. A forward pass over the block relaxes, from every
// position, a literal, the two recent distances at every length they match,
// and every stored match at every length it covers; the cheapest path is then
// traced back. The recent distances along a path are kept in its nodes, so
// every price is the price of the symbols that path will really send.

const uint32_t PRICE_SCALE = 16;
const uint32_t INFINITE_PRICE = 0xFFFFFFFFu;
const uint32_t SEGMENT = 1u << 15;
// From this length on every match takes its distance from alphabet 0.
const uint32_t SHARED_ALPHABET_LENGTH = MIN_MATCH + 2;

struct Prices {
  uint32_t literal[LITLEN_SYMBOLS];
  uint32_t distance[DIST_ALPHABETS_MAX][MAX_DIST_SYMBOLS];
  std::vector<uint32_t> length;  // price of a match length, symbol and extra bits

  void finish(uint32_t maxLength) {
    length.assign(maxLength + 1, 0);
    for (uint32_t l = MIN_MATCH; l <= maxLength; ++l) {
      uint32_t s = lengthSymbol(l);
      length[l] = literal[s] + PRICE_SCALE * lengthExtraBits(s);
    }
  }
  uint32_t dist(uint32_t alphabet, uint32_t symbol) const {
    return distance[alphabet][symbol] + PRICE_SCALE * distanceSymbolExtraBits(symbol);
  }
};

void pricesFromCounts(const uint64_t* freq, size_t n, uint32_t* out) {
  uint64_t total = 0;
  for (size_t i = 0; i < n; ++i) total += freq[i];
  double lt = std::log2((double)total + 1);
  uint32_t unused = (uint32_t)((lt + 2) * PRICE_SCALE);
  if (unused > 18 * PRICE_SCALE) unused = 18 * PRICE_SCALE;
  for (size_t i = 0; i < n; ++i) {
    if (!freq[i]) {
      out[i] = unused;
      continue;
    }
    double bits = lt - std::log2((double)freq[i]);
    if (bits < 1) bits = 1;  // a prefix code spends at least one bit
    out[i] = (uint32_t)(bits * PRICE_SCALE + 0.5);
  }
}

Prices pricesFromStats(const SymbolStats& s, uint32_t maxLength) {
  Prices p;
  pricesFromCounts(s.litlen.data(), LITLEN_SYMBOLS, p.literal);
  for (uint32_t a = 0; a < DIST_ALPHABETS_MAX; ++a) pricesFromCounts(s.dist[a].data(), DIST_ALPHABET_SIZE[a], p.distance[a]);
  p.finish(maxLength);
  return p;
}

// First-pass prices: literals from the block's byte counts, lengths and
// distances from a generic shape (short lengths and recent distances cheap).
Prices initialPrices(const uint8_t* block, uint32_t length, uint32_t maxLength) {
  SymbolStats s;
  for (uint32_t i = 0; i < length; ++i) s.litlen[block[i]]++;
  uint64_t scale = length / 64 + 1;
  for (uint32_t sym = SYMBOL_FIRST_LENGTH; sym <= SYMBOL_LONG_LENGTH; ++sym) s.litlen[sym] = scale * 8 / (sym - 255);
  for (uint32_t a = 0; a < DIST_ALPHABETS_MAX; ++a)
    for (uint32_t d = 0; d < DIST_ALPHABET_SIZE[a]; ++d) s.dist[a][d] = d <= DIST_SYMBOL_REP1 ? 64 : 16;
  return pricesFromStats(s, maxLength);
}

struct Node {
  uint32_t cost;
  uint32_t length;    // 0: reached by a literal
  uint32_t distance;
  RecentDistances recent;  // after this node's step
  uint32_t tail;      // >0: the step is match, literal, then r0 for `tail` bytes
};

class OptimalParser {
 public:
  OptimalParser(const BlockSpan& s, const LevelConfig& c)
      : span_(s), config_(c), size_(s.history + s.length), nice_(std::max<uint32_t>(c.niceLength, 8)) {}

  ParsedBlock run() {
    collectMatches();
    const uint8_t* block = span_.data + span_.history;
    prices_.assign(1, initialPrices(block, span_.length, nice_));
    boundaries_.assign(1, 0);
    ParsedBlock result, best;
    uint64_t bestBits = UINT64_MAX, lastBits = UINT64_MAX;
    bool three = false;
    const uint32_t passes = std::max<uint32_t>(config_.passes, 1);
    for (uint32_t pass = 0; pass < passes; ++pass) {
      result.tokens = parse(three);
      resolveDistances(result.tokens, block, three);
      result.threeAlphabets = three;
      // Prices from the last pass need not give a smaller block than the
      // pass before (a pass can overshoot); the smallest one is kept.
      if (passes > 1) {
        const uint64_t bits = codedBits(result);
        if (bits < bestBits) {
          bestBits = bits;
          best = result;
        }
        // Settled: a pass that gains under 1/2048 of the block stops the
        // iteration (the passes after it gain less still).
        if (pass >= 2 && bits + bits / 2048 >= lastBits) break;
        lastBits = bits;
      }
      if (pass + 1 == passes) break;
      if (pass == 0 && threeAlphabetsPay(result.tokens)) {
        three = true;
        resolveDistances(result.tokens, block, true);
      }
      setPricesFromTokens(result.tokens, three);
    }
    return passes > 1 ? best : result;
  }

  uint64_t codedBits(const ParsedBlock& parsed) const {
    BitWriter scratch;
    writeCodedData(scratch, parsed.tokens, codingFor(config_, parsed.threeAlphabets));
    return scratch.bitCount();
  }

  // Prices for the next pass: one table per table set that the encoder would
  // choose for these tokens, so that a region is priced by its own codes.
  void setPricesFromTokens(const std::vector<Token>& tokens, bool three) {
    std::vector<size_t> starts = chooseSetStarts(tokens, codingFor(config_, three));
    starts.push_back(tokens.size());
    prices_.clear();
    boundaries_.clear();
    uint32_t pos = 0;
    for (size_t k = 0; k + 1 < starts.size(); ++k) {
      boundaries_.push_back(pos);
      SymbolStats stats;
      for (size_t i = starts[k]; i < starts[k + 1]; ++i) {
        stats.add(tokens[i], three);
        pos += tokens[i].length ? tokens[i].length : 1;
      }
      prices_.push_back(pricesFromStats(stats, nice_));
    }
  }

 private:
  // Matches of every block position, found once and reused by every pass.
  // After a match of the nice length the positions it covers get none.
  void collectMatches() {
    BinaryTreeFinder finder(span_.data, size_, config_.depth, nice_);
    for (uint32_t p = 0; p < span_.history; ++p) finder.insert(p);
    offsets_.assign(span_.length + 1, 0);
    std::vector<Match> found;
    for (uint32_t p = span_.history; p < size_;) {
      found.clear();
      finder.findAndInsert(p, found);
      uint32_t i = p - span_.history;
      offsets_[i] = (uint32_t)matches_.size();
      uint32_t skip = 1;
      if (!found.empty()) {
        Match& last = found.back();
        if (last.length >= nice_) {
          const uint8_t* cur = span_.data + p;
          last.length = matchLength(cur, cur - last.distance, std::min<uint32_t>(size_ - p, MAX_MATCH));
          skip = last.length;
        }
        matches_.insert(matches_.end(), found.begin(), found.end());
      }
      for (uint32_t k = 1; k < skip; ++k) {
        offsets_[i + k] = (uint32_t)matches_.size();
        finder.insert(p + k);
      }
      p += skip;
    }
    offsets_[span_.length] = (uint32_t)matches_.size();
  }

  // Whether a third distance alphabet (for length-3 matches, up to 8192)
  // pays: compares the entropy of the distance codes both ways, charging the
  // extra table and the matches that alphabet 2 cannot reach.
  bool threeAlphabetsPay(const std::vector<Token>& tokens) const {
    SymbolStats two, three;
    uint64_t unreachable = 0;
    for (const Token& t : tokens) {
      if (t.length == 0) continue;
      two.add(t, false);
      if (distanceAlphabetFor(t.length, true) == 2 && t.distSymbol >= DIST2_SYMBOLS) {
        ++unreachable;
        continue;
      }
      three.add(t, true);
    }
    double bitsTwo = 0, bitsThree = 0;
    for (uint32_t a = 0; a < DIST_ALPHABETS_MAX; ++a) {
      SymbolStats x, y;
      x.dist[a] = two.dist[a];
      y.dist[a] = three.dist[a];
      bitsTwo += estimateBits(x);
      bitsThree += estimateBits(y);
    }
    bitsThree += DIST2_SYMBOLS * 4 + (double)unreachable * 12;
    return bitsThree < bitsTwo;
  }

  std::vector<Token> parse(bool three) {
    std::vector<Token> tokens;
    nodes_.resize(SEGMENT + 1);
    priceIndex_ = 0;
    uint32_t pos = span_.history;
    RecentDistances recent;
    while (pos < size_) {
      uint32_t end = std::min<uint32_t>(size_, pos + SEGMENT);
      pos = segment(three, pos, end, recent, tokens);
    }
    return tokens;
  }

  // The price table of the set that covers span position pos; positions
  // only grow during a pass.
  const Prices& pricesAt(uint32_t pos) {
    uint32_t at = pos - span_.history;
    while (priceIndex_ + 1 < boundaries_.size() && boundaries_[priceIndex_ + 1] <= at) ++priceIndex_;
    return prices_[priceIndex_];
  }

  void relax(uint32_t index, uint32_t cost, uint32_t length, uint32_t distance, const RecentDistances& recent) {
    Node& n = nodes_[index];
    if (cost < n.cost) n = Node{cost, length, distance, recent, 0};
  }

  // The lengths from..top of one distance from node i, all of them coded in
  // alphabet 0; `base` is the node's cost plus the distance's price. The
  // parse's innermost loop.
  void relaxRun(const Prices& prices, uint32_t i, uint32_t base, uint32_t from, uint32_t top, uint32_t distance,
                const RecentDistances& recent) {
    const uint32_t* lengthPrice = prices.length.data();
    Node* node = nodes_.data() + i;
    for (uint32_t l = from; l <= top; ++l) {
      const uint32_t cost = base + lengthPrice[l];
      if (cost < node[l].cost) node[l] = Node{cost, l, distance, recent, 0};
    }
  }

  // A match that stops at a single differing byte often goes on at the same
  // distance: price match, literal, r0 as one step, since the plain nodes
  // keep only the cheapest path's recent distances and would lose the match's.
  void relaxWithTail(const Prices& prices, bool three, uint32_t i, uint32_t pos, uint32_t segLimit, uint32_t cost,
                     uint32_t length, uint32_t distance, const RecentDistances& recent) {
    const uint32_t after = pos + length + 1;
    if (length + 3 > segLimit || after >= size_) return;
    const uint8_t* p = span_.data + after;
    uint32_t tail = matchLength(p, p - distance, std::min(segLimit - length - 1, nice_ - 1));
    if (tail < MIN_MATCH) return;
    cost += prices.literal[span_.data[pos + length]] + prices.length[tail] +
            prices.dist(distanceAlphabetFor(tail, three), DIST_SYMBOL_REP0);
    Node& n = nodes_[i + length + 1 + tail];
    if (cost < n.cost) n = Node{cost, length, distance, recent, tail};
  }

  // What can follow span position pos from node n: the lengths at its two
  // recent distances, and the stored matches [first, last).
  struct Reach {
    uint32_t repLength[2];
    uint32_t first, last;
  };
  Reach reachAt(uint32_t pos, const Node& n) const {
    const uint8_t* cur = span_.data + pos;
    const uint32_t fullLimit = std::min<uint32_t>(size_ - pos, MAX_MATCH);
    Reach reach{{0, 0}, offsets_[pos - span_.history], offsets_[pos - span_.history + 1]};
    for (int k = 0; k < 2; ++k) {
      uint32_t r = k ? n.recent.r1 : n.recent.r0;
      if (r != 0 && r <= pos) reach.repLength[k] = matchLength(cur, cur - r, fullLimit);
    }
    return reach;
  }

  // A match of the nice length is taken at once: the longest of the recent
  // ones and the longest stored one, a recent distance winning near-ties.
  bool niceMatch(const Reach& reach, const Node& n, Token* t) const {
    const uint32_t longest = reach.first < reach.last ? matches_[reach.last - 1].length : 0;
    const uint32_t rep0 = reach.repLength[0], rep1 = reach.repLength[1];
    if (rep0 < nice_ && rep1 < nice_ && longest < nice_) return false;
    if (rep0 >= nice_ && rep0 >= rep1 && rep0 + 1 >= longest)
      *t = matchToken(rep0, n.recent.r0);
    else if (rep1 >= nice_ && rep1 + 1 >= longest)
      *t = matchToken(rep1, n.recent.r1);
    else
      *t = matchToken(longest, matches_[reach.last - 1].distance);
    return true;
  }

  // Node i's steps by its recent distances, at every length they match.
  void relaxRepeats(const Prices& prices, bool three, uint32_t i, uint32_t pos, uint32_t segLimit, const Node& n,
                    const Reach& reach) {
    for (uint32_t k = 0; k < 2; ++k) {
      const uint32_t top = std::min(reach.repLength[k], segLimit);
      const uint32_t r = k ? n.recent.r1 : n.recent.r0;
      RecentDistances next = n.recent;
      next.use(r);
      for (uint32_t l = MIN_MATCH; l <= std::min(top, SHARED_ALPHABET_LENGTH - 1); ++l)
        relax(i + l, n.cost + prices.length[l] + prices.dist(distanceAlphabetFor(l, three), k), l, r, next);
      relaxRun(prices, i, n.cost + prices.dist(0, k), SHARED_ALPHABET_LENGTH, top, r, next);
      if (top >= MIN_MATCH)
        relaxWithTail(prices, three, i, pos, segLimit,
                      n.cost + prices.length[top] + prices.dist(distanceAlphabetFor(top, three), k), top, r, next);
    }
  }

  // Node i's steps by its stored matches, at every length not already
  // covered by a shorter distance (which codes no dearer).
  void relaxMatches(const Prices& prices, bool three, uint32_t i, uint32_t pos, uint32_t segLimit, const Node& n,
                    const Reach& reach) {
    uint32_t covered = 1;
    for (uint32_t m = reach.first; m < reach.last; ++m) {
      const uint32_t d = matches_[m].distance;
      const uint32_t top = std::min(matches_[m].length, segLimit);
      if (d == n.recent.r0 || d == n.recent.r1) {
        covered = std::max(covered, matches_[m].length);
        continue;
      }
      const uint32_t sym = n.recent.symbolFor(d);
      RecentDistances next = n.recent;
      next.use(d);
      for (uint32_t l = covered + 1; l <= std::min(top, SHARED_ALPHABET_LENGTH - 1); ++l) {
        uint32_t a = distanceAlphabetFor(l, three);
        if (sym >= DIST_ALPHABET_SIZE[a]) continue;
        relax(i + l, n.cost + prices.length[l] + prices.dist(a, sym), l, d, next);
      }
      if (sym < DIST_ALPHABET_SIZE[0]) {  // a distance past alphabet 0's reach codes no longer length
        relaxRun(prices, i, n.cost + prices.dist(0, sym), std::max(covered + 1, SHARED_ALPHABET_LENGTH), top, d, next);
        if (top > covered && top >= 4 && d > SMALL_DISTANCE_MAX)
          relaxWithTail(prices, three, i, pos, segLimit, n.cost + prices.length[top] + prices.dist(0, sym), top, d,
                        next);
      }
      covered = std::max(covered, matches_[m].length);
    }
  }

  // Parses from `start` until `end` or a nice match; returns where the next
  // segment starts and leaves the recent distances there in `recent`.
  uint32_t segment(bool three, uint32_t start, uint32_t end, RecentDistances& recent, std::vector<Token>& tokens) {
    const uint32_t count = end - start;
    for (uint32_t i = 0; i <= count; ++i) nodes_[i].cost = INFINITE_PRICE;
    nodes_[0] = Node{0, 0, 0, recent, 0};
    for (uint32_t i = 0; i < count; ++i) {
      const Node n = nodes_[i];
      const uint32_t pos = start + i;
      const Prices& prices = pricesAt(pos);
      const Reach reach = reachAt(pos, n);
      Token nice;
      if (niceMatch(reach, n, &nice)) {
        traceBack(start, i, tokens);
        tokens.push_back(nice);
        recent = n.recent;
        recent.use(nice.distance);
        return pos + nice.length;
      }
      relax(i + 1, n.cost + prices.literal[span_.data[pos]], 0, 0, n.recent);
      relaxRepeats(prices, three, i, pos, count - i, n, reach);
      relaxMatches(prices, three, i, pos, count - i, n, reach);
    }
    traceBack(start, count, tokens);
    recent = nodes_[count].recent;
    return end;
  }

  // Appends the cheapest path from the segment's start (span position
  // `start`) to node `index`.
  void traceBack(uint32_t start, uint32_t index, std::vector<Token>& tokens) {
    const uint8_t* base = span_.data + start;
    size_t mark = tokens.size();
    while (index > 0) {
      const Node& n = nodes_[index];
      if (n.tail) {
        tokens.push_back(matchToken(n.tail, n.distance));
        tokens.push_back(literalToken(base[index - n.tail - 1]));
        tokens.push_back(matchToken(n.length, n.distance));
        index -= n.tail + 1 + n.length;
      } else if (n.length == 0) {
        tokens.push_back(literalToken(base[index - 1]));
        index -= 1;
      } else {
        tokens.push_back(matchToken(n.length, n.distance));
        index -= n.length;
      }
    }
    std::reverse(tokens.begin() + (ptrdiff_t)mark, tokens.end());
  }

  const BlockSpan& span_;
  const LevelConfig& config_;
  uint32_t size_, nice_;
  std::vector<uint32_t> offsets_;
  std::vector<Match> matches_;
  std::vector<Node> nodes_;
  std::vector<Prices> prices_;
  std::vector<uint32_t> boundaries_;  // block position where each price table starts
  size_t priceIndex_ = 0;
};

}  // namespace

ParsedBlock parseBlock(const BlockSpan& span, const LevelConfig& config) {
  if (config.strategy == Strategy::Optimal) return OptimalParser(span, config).run();
  ParsedBlock result;
  result.tokens = LazyParser(span, config).run();
  // Length-3 matches in the lazy parse are few and far; alphabet 0 takes them.
  result.threeAlphabets = false;
  resolveDistances(result.tokens, span.data + span.history, false);
  return result;
}

}  // namespace jov
