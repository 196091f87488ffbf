// Match finders over one block's span: the history the reader will keep in
// front of the block, then the block itself. Positions count from the span's
// first byte; a match at position p may reach back to the span's start (the
// caller's span never holds more history than the reader keeps) and at most
// MAX_DISTANCE bytes, and never runs past the span's end.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <stdlib.h>

#include <vector>

namespace jov {

// A large table filled with one value. Its memory may be backed with huge
// pages (the finders' tables are larger than the caches and read at random,
// so fewer address-translation misses matter) and is kept by the thread for
// the next table: a thread parses one block after another, and fresh memory
// for each would cost as much in page faults as the parse in places.
template <class T>
class BigTable {
 public:
  BigTable(size_t count, T fill);
  ~BigTable();
  BigTable(const BigTable&) = delete;
  BigTable& operator=(const BigTable&) = delete;
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }

 private:
  T* data_;
  size_t bytes_;
};

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

// Rows of recent positions for the fast and middle levels. A 5-byte hash
// picks a row of ROW_SLOTS slots; each slot holds a position and an 8-bit tag
// (more bits of the same hash), the newest slot first in a ring. A search
// compares the whole row's tags at once and looks only at positions whose tag
// agrees, so it touches two cache lines of the table and the candidates'
// bytes, all of them independent loads, where a hash chain walks one
// dependent load after another through a table as large as the span.
// Matches of 3 bytes come from a table of the latest position of each
// 3-byte hash, and pairs from a direct table, as in the chains.
class RowHashFinder {
 public:
  static const uint32_t ROW_SLOTS = 16;
  RowHashFinder(const uint8_t* data, uint32_t size);
  void insert(uint32_t pos);
  // Inserts pos and returns the longest match of length >= 3 (the nearest
  // among equals) among at most `depth` candidates of its row, fewer once a
  // match of `goodLength` is in hand (length 0: none).
  Match findAndInsert(uint32_t pos, uint32_t depth, uint32_t niceLength, uint32_t goodLength);
  // The nearest earlier occurrence of the 2 bytes at pos (NO_POSITION: none);
  // for length-2 matches, whose distances are short.
  uint32_t lastPair(uint32_t pos) const;
  // Starts loading pos's row, which a search or an insertion a little later
  // then finds in the cache.
  void prefetch(uint32_t pos) const {
    if (pos + 4 > size_) return;
    const uint32_t row = (uint32_t)(hash5(pos) >> (64 - rowBits_));
    __builtin_prefetch(&tags_[(size_t)row * ROW_SLOTS]);
    __builtin_prefetch(&positions_[(size_t)row * ROW_SLOTS]);
    __builtin_prefetch(&heads_[row]);
  }

 private:
  uint64_t hash5(uint32_t pos) const {
    // Five bytes where they exist: rows of machine code and tables stay
    // varied; matches of 3 and 4 bytes come from the short-match tables.
    uint32_t low;
    __builtin_memcpy(&low, data_ + pos, 4);
    uint64_t v = low | (pos + 5 <= size_ ? (uint64_t)data_[pos + 4] << 32 : 0);
    return v * 0x9E3779B97F4A7C15ull;
  }
  uint32_t hash3(uint32_t pos) const;
  void insertHashed(uint32_t pos, uint64_t hash);
  const uint8_t* data_;
  uint32_t size_, rowBits_;
  BigTable<uint32_t> positions_;  // ROW_SLOTS per row
  BigTable<uint8_t> tags_;        // ROW_SLOTS per row
  BigTable<uint8_t> heads_;       // per row: the slot of the newest entry
  std::vector<uint32_t> head3_, pairHead_;
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
