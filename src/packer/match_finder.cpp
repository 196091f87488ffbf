#include "packer/match_finder.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "format.h"

namespace jov {

namespace {

// Memory of the thread's finished tables, for its next ones.
struct SpareMemory {
  static const size_t KEPT = 8;
  struct Piece {
    void* memory;
    size_t bytes;
  };
  Piece pieces[KEPT] = {};
  ~SpareMemory() {
    for (Piece& p : pieces) free(p.memory);
  }
  void* take(size_t bytes) {
    for (Piece& p : pieces)
      if (p.memory && p.bytes == bytes) {
        void* m = p.memory;
        p.memory = nullptr;
        return m;
      }
    return nullptr;
  }
  void give(void* memory, size_t bytes) {
    for (Piece& p : pieces)
      if (!p.memory) {
        p = {memory, bytes};
        return;
      }
    free(pieces[0].memory);  // the oldest kind goes
    for (size_t i = 0; i + 1 < KEPT; ++i) pieces[i] = pieces[i + 1];
    pieces[KEPT - 1] = {memory, bytes};
  }
};

thread_local SpareMemory spareMemory;

}  // namespace

template <class T>
BigTable<T>::BigTable(size_t count, T fill) {
  const size_t huge = (size_t)2 << 20;
  bytes_ = (count * sizeof(T) + huge - 1) / huge * huge;
  void* p = spareMemory.take(bytes_);
  if (!p) {
    if (posix_memalign(&p, huge, bytes_) != 0) throw std::bad_alloc();
    madvise(p, bytes_, MADV_HUGEPAGE);
  }
  data_ = (T*)p;
  std::fill(data_, data_ + count, fill);
}

template <class T>
BigTable<T>::~BigTable() {
  spareMemory.give(data_, bytes_);
}

template class BigTable<uint32_t>;
template class BigTable<uint8_t>;

namespace {

inline uint32_t load32(const uint8_t* p) {
  uint32_t v;
  __builtin_memcpy(&v, p, 4);
  return v;
}

// Rows for a span: about one row per eight positions, so that a row holds
// the recent occurrences of a handful of 5-byte strings; between 2^12 and
// 2^16 rows. A block's span of 1.5 MiB would take 2^17, but the tables of
// 2^16 (5 MiB) miss the caches less often, which is worth more than the
// 0.1 % they cost in size.
uint32_t rowBitsFor(uint32_t size) {
  uint32_t bits = 12;
  while (bits < 16 && (8u << bits) < size) ++bits;
  return bits;
}

// Bit k set when slot k of a row holds `tag`.
inline uint32_t tagMask(const uint8_t* tags, uint8_t tag) {
#if defined(__SSE2__)
  __m128i row = _mm_loadu_si128((const __m128i*)tags);
  return (uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(row, _mm_set1_epi8((char)tag)));
#else
  uint32_t mask = 0;
  for (uint32_t k = 0; k < RowHashFinder::ROW_SLOTS; ++k) mask |= (uint32_t)(tags[k] == tag) << k;
  return mask;
#endif
}

}  // namespace

RowHashFinder::RowHashFinder(const uint8_t* data, uint32_t size)
    : data_(data), size_(size), rowBits_(rowBitsFor(size)),
      positions_((size_t)ROW_SLOTS << rowBits_, NO_POSITION), tags_((size_t)ROW_SLOTS << rowBits_, 0),
      heads_((size_t)1 << rowBits_, 0), head3_(1u << 14, NO_POSITION), pairHead_(1u << 16, NO_POSITION) {}

uint32_t RowHashFinder::hash3(uint32_t pos) const {
  return ((load32(data_ + pos) & 0xFFFFFF) * 2654435761u) >> (32 - 14);
}

void RowHashFinder::insertHashed(uint32_t pos, uint64_t hash) {
  const uint32_t row = (uint32_t)(hash >> (64 - rowBits_));
  const uint8_t slot = (uint8_t)((heads_[row] - 1) & (ROW_SLOTS - 1));
  heads_[row] = slot;
  tags_[(size_t)row * ROW_SLOTS + slot] = (uint8_t)(hash >> 8);
  positions_[(size_t)row * ROW_SLOTS + slot] = pos;
}

void RowHashFinder::insert(uint32_t pos) {
  if (pos + 2 <= size_) pairHead_[(uint32_t)data_[pos] | (uint32_t)data_[pos + 1] << 8] = pos;
  if (pos + 4 > size_) return;
  head3_[hash3(pos)] = pos;
  insertHashed(pos, hash5(pos));
}

uint32_t RowHashFinder::lastPair(uint32_t pos) const {
  if (pos + 2 > size_) return NO_POSITION;
  return pairHead_[(uint32_t)data_[pos] | (uint32_t)data_[pos + 1] << 8];
}

Match RowHashFinder::findAndInsert(uint32_t pos, uint32_t depth, uint32_t nice, uint32_t good) {
  Match best{0, 0};
  if (pos + 4 > size_) {
    insert(pos);
    return best;
  }
  const uint32_t limit = std::min<uint32_t>(size_ - pos, MAX_MATCH);
  const uint32_t lowest = pos > MAX_DISTANCE ? pos - MAX_DISTANCE : 0;
  const uint8_t* cur = data_ + pos;
  uint32_t bestLength = 2;
  const uint32_t h3 = hash3(pos);
  const uint32_t c3 = head3_[h3];
  if (c3 != NO_POSITION && c3 >= lowest) {
    uint32_t len = matchLength(cur, data_ + c3, limit);
    if (len >= 3) {
      bestLength = len;
      best = {len, pos - c3};
    }
  }
  const uint64_t hash = hash5(pos);
  const uint32_t row = (uint32_t)(hash >> (64 - rowBits_));
  const size_t base = (size_t)row * ROW_SLOTS;
  const uint32_t head = heads_[row];
  uint32_t mask = tagMask(&tags_[base], (uint8_t)(hash >> 8));
  // Newest first: slot head, head + 1, ... (the ring is written downwards).
  mask = ((mask >> head) | (mask << (ROW_SLOTS - head))) & ((1u << ROW_SLOTS) - 1);
  uint32_t candidates[ROW_SLOTS], count = 0;
  for (uint32_t m = mask; m && count < depth; m &= m - 1) {
    uint32_t c = positions_[base + ((head + (uint32_t)__builtin_ctz(m)) & (ROW_SLOTS - 1))];
    if (c >= pos || c < lowest) continue;  // an empty slot, or beyond reach
    __builtin_prefetch(data_ + c);
    candidates[count++] = c;
  }
  const uint32_t first = load32(cur);
  for (uint32_t k = 0; k < count && bestLength < nice && bestLength < limit; ++k) {
    const uint8_t* c = data_ + candidates[k];
    if (c[bestLength] != cur[bestLength] || load32(c) != first) continue;
    uint32_t len = 4 + matchLength(cur + 4, c + 4, limit - 4);
    if (len > bestLength) {
      bestLength = len;
      best = {len, pos - candidates[k]};
      if (len >= good && count > k + 1 + depth / 4) count = k + 1 + depth / 4;
    }
  }
  if (pos + 2 <= size_) pairHead_[(uint32_t)data_[pos] | (uint32_t)data_[pos + 1] << 8] = pos;
  head3_[h3] = pos;
  insertHashed(pos, hash);
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
