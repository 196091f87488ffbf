// Match finders over one block's span: the history the reader will keep in
// front of the block, then the block itself. Positions count from the span's
// first byte; a match at position p may reach back to the span's start (the
// caller's span never holds more history than the reader keeps) and at most
// MAX_DISTANCE bytes, and never runs past the span's end.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace jov {

struct Match {
  uint32_t length;
  uint32_t distance;
};

const uint32_t NO_POSITION = 0xFFFFFFFFu;

inline uint32_t matchLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t n = 0;
  while (n + 8 <= limit) {
    uint64_t x, y;
    __builtin_memcpy(&x, a + n, 8);
    __builtin_memcpy(&y, b + n, 8);
    if (x != y) return n + (uint32_t)(__builtin_ctzll(x ^ y) >> 3);
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// Hash chains over 5-byte prefixes, for the fast and middle levels, with the
// latest position of every 3-byte and 2-byte prefix for short matches. Finds
// the longest match (the nearest one among equals) within `depth` chain
// steps, a quarter of them once a match of `goodLength` is in hand.
class HashChainFinder {
 public:
  HashChainFinder(const uint8_t* data, uint32_t size);
  void insert(uint32_t pos);
  // Inserts pos and returns the best match of length >= 3 (length 0: none).
  Match findAndInsert(uint32_t pos, uint32_t depth, uint32_t niceLength, uint32_t goodLength);
  // The nearest earlier occurrence of the 2 bytes at pos (NO_POSITION: none);
  // for length-2 matches, whose distances are short.
  uint32_t lastPair(uint32_t pos) const;

 private:
  static const uint32_t HASH_BITS = 17;
  uint32_t hash4(uint32_t pos) const;
  uint32_t hash3(uint32_t pos) const;
  const uint8_t* data_;
  uint32_t size_;
  std::vector<uint32_t> head_, prev_, head3_, pairHead_;
};

// Binary trees over 4-byte hashes (plus direct tables for 2- and 3-byte
// matches), for the strong levels: all matches of increasing length.
class BinaryTreeFinder {
 public:
  BinaryTreeFinder(const uint8_t* data, uint32_t size, uint32_t cutValue, uint32_t niceLength);
  // Appends the matches at pos (strictly increasing lengths, each at the
  // nearest distance found for it) and inserts pos.
  void findAndInsert(uint32_t pos, std::vector<Match>& out);
  void insert(uint32_t pos);

 private:
  void treeStep(uint32_t pos, uint32_t bestLength, std::vector<Match>* out);
  const uint8_t* data_;
  uint32_t size_, cutValue_, niceLength_;
  std::vector<uint32_t> head4_, head3_, head2_, tree_;
};

}  // namespace jov
