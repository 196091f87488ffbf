#include "packer/match_finder.h"

#include <algorithm>

#include "format.h"

namespace jov {

namespace {

inline uint32_t load32(const uint8_t* p) {
  uint32_t v;
  __builtin_memcpy(&v, p, 4);
  return v;
}

}  // namespace

HashChainFinder::HashChainFinder(const uint8_t* data, uint32_t size)
    : data_(data), size_(size), head_(1u << HASH_BITS, NO_POSITION), prev_(size, NO_POSITION),
      head3_(1u << 14, NO_POSITION), pairHead_(1u << 16, NO_POSITION) {}

uint32_t HashChainFinder::hash4(uint32_t pos) const {
  // Five bytes where they exist: chains of machine code and tables stay
  // short; matches of 3 and 4 bytes come from the short-match tables.
  uint64_t v = load32(data_ + pos) | (pos + 5 <= size_ ? (uint64_t)data_[pos + 4] << 32 : 0);
  return (uint32_t)((v * 0x9E3779B97F4A7C15ull) >> (64 - HASH_BITS));
}

uint32_t HashChainFinder::hash3(uint32_t pos) const {
  return ((load32(data_ + pos) & 0xFFFFFF) * 2654435761u) >> (32 - 14);
}

void HashChainFinder::insert(uint32_t pos) {
  if (pos + 2 <= size_) pairHead_[(uint32_t)data_[pos] | (uint32_t)data_[pos + 1] << 8] = pos;
  if (pos + 4 > size_) return;
  head3_[hash3(pos)] = pos;
  uint32_t h = hash4(pos);
  prev_[pos] = head_[h];
  head_[h] = pos;
}

uint32_t HashChainFinder::lastPair(uint32_t pos) const {
  if (pos + 2 > size_) return NO_POSITION;
  return pairHead_[(uint32_t)data_[pos] | (uint32_t)data_[pos + 1] << 8];
}

Match HashChainFinder::findAndInsert(uint32_t pos, uint32_t depth, uint32_t nice, uint32_t good) {
  Match best{0, 0};
  if (pos + 4 > size_) {
    insert(pos);
    return best;
  }
  const uint32_t limit = std::min<uint32_t>(size_ - pos, MAX_MATCH);
  const uint32_t lowest = pos > MAX_DISTANCE ? pos - MAX_DISTANCE : 0;
  const uint8_t* cur = data_ + pos;
  uint32_t bestLength = 2;
  uint32_t c3 = head3_[hash3(pos)];
  if (c3 != NO_POSITION && c3 >= lowest) {
    uint32_t len = matchLength(cur, data_ + c3, limit);
    if (len >= 3) {
      bestLength = len;
      best = {len, pos - c3};
    }
  }
  uint32_t candidate = head_[hash4(pos)];
  const uint32_t first = load32(cur);
  while (candidate != NO_POSITION && candidate >= lowest && depth-- > 0 && bestLength < nice && bestLength < limit) {
    const uint8_t* c = data_ + candidate;
    if (c[bestLength] == cur[bestLength] && load32(c) == first) {
      uint32_t len = 4 + matchLength(cur + 4, c + 4, limit - 4);
      if (len > bestLength) {
        bestLength = len;
        best = {len, pos - candidate};
        if (len >= good) depth >>= 2;
      }
    }
    candidate = prev_[candidate];
  }
  insert(pos);
  return best;
}

BinaryTreeFinder::BinaryTreeFinder(const uint8_t* data, uint32_t size, uint32_t cutValue, uint32_t niceLength)
    : data_(data), size_(size), cutValue_(cutValue), niceLength_(niceLength), head4_(1u << 20, NO_POSITION),
      head3_(1u << 16, NO_POSITION), head2_(1u << 16, NO_POSITION), tree_(2 * (size_t)size, NO_POSITION) {}

void BinaryTreeFinder::findAndInsert(uint32_t pos, std::vector<Match>& out) {
  if (pos + 4 > size_) {
    // Too close to the end for the trees: plain comparisons with the
    // short-match tables still find what little there is.
    const uint32_t limit = size_ - pos;
    uint32_t best = 1;
    if (limit >= 2) {
      uint32_t pair = (uint32_t)data_[pos] | (uint32_t)data_[pos + 1] << 8;
      uint32_t c = head2_[pair];
      if (c != NO_POSITION) {
        uint32_t len = matchLength(data_ + pos, data_ + c, limit);
        if (len > best) out.push_back({len, pos - c});
      }
      head2_[pair] = pos;
    }
    return;
  }
  const uint32_t limit = std::min<uint32_t>(size_ - pos, MAX_MATCH);
  const uint32_t lowest = pos > MAX_DISTANCE ? pos - MAX_DISTANCE : 0;
  const uint8_t* cur = data_ + pos;
  uint32_t v = load32(cur);
  uint32_t h2 = v & 0xFFFF;
  uint32_t h3 = ((v & 0xFFFFFF) * 2654435761u) >> 16;
  uint32_t best = 1;
  uint32_t c2 = head2_[h2], c3 = head3_[h3];
  head2_[h2] = pos;
  head3_[h3] = pos;
  if (c2 != NO_POSITION && c2 >= lowest) {
    uint32_t len = matchLength(cur, data_ + c2, limit);
    if (len > best) {
      best = len;
      out.push_back({len, pos - c2});
    }
  }
  if (c3 != NO_POSITION && c3 >= lowest && c3 != c2) {
    uint32_t len = matchLength(cur, data_ + c3, limit);
    if (len > best) {
      best = len;
      out.push_back({len, pos - c3});
    }
  }
  if (best >= std::min(niceLength_, limit)) {
    // A long match already: the tree still needs this position.
    treeStep(pos, best, nullptr);
    return;
  }
  treeStep(pos, best, &out);
}

void BinaryTreeFinder::insert(uint32_t pos) {
  if (pos + 4 > size_) {
    if (pos + 2 <= size_) head2_[(uint32_t)data_[pos] | (uint32_t)data_[pos + 1] << 8] = pos;
    return;
  }
  uint32_t v = load32(data_ + pos);
  head2_[v & 0xFFFF] = pos;
  head3_[((v & 0xFFFFFF) * 2654435761u) >> 16] = pos;
  treeStep(pos, 0, nullptr);
}

// One descent of the tree of pos's 4-byte hash: collects longer matches,
// and re-roots the tree at pos (every node passed is hung on the left or the
// right of pos by comparison), so recent positions stay near the root.
void BinaryTreeFinder::treeStep(uint32_t pos, uint32_t bestLength, std::vector<Match>* out) {
  const uint32_t limit = std::min<uint32_t>({size_ - pos, MAX_MATCH, niceLength_});
  const uint32_t lowest = pos > MAX_DISTANCE ? pos - MAX_DISTANCE : 0;
  const uint8_t* cur = data_ + pos;
  uint32_t h4 = (load32(cur) * 2654435761u) >> 12;
  uint32_t candidate = head4_[h4];
  head4_[h4] = pos;
  uint32_t* left = &tree_[2 * (size_t)pos];       // gets nodes smaller than pos
  uint32_t* right = &tree_[2 * (size_t)pos + 1];  // gets nodes greater than pos
  uint32_t leftLength = 0, rightLength = 0;
  uint32_t cut = cutValue_;
  for (;;) {
    if (candidate == NO_POSITION || candidate < lowest || cut-- == 0) {
      *left = *right = NO_POSITION;
      return;
    }
    const uint8_t* c = data_ + candidate;
    uint32_t len = std::min(leftLength, rightLength);
    len += matchLength(cur + len, c + len, limit - len);
    uint32_t* pair = &tree_[2 * (size_t)candidate];
    if (len > bestLength) {
      bestLength = len;
      if (out) out->push_back({len, pos - candidate});
    }
    if (len >= limit) {
      // Equal as far as we compare: pos takes over candidate's subtrees.
      *left = pair[0];
      *right = pair[1];
      return;
    }
    if (c[len] < cur[len]) {
      *left = candidate;
      left = &pair[1];
      candidate = *left;
      leftLength = len;
    } else {
      *right = candidate;
      right = &pair[0];
      candidate = *right;
      rightLength = len;
    }
  }
}

}  // namespace jov
