// Coded data of one compressed block: the 8-bit prefix, the code-length sets
// and the symbols, with the block's tokens split into table sets where the
// statistics change. Also the framing of stored and compressed blocks.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <vector>

#include "packer/bit_writer.h"
#include "packer/lz_model.h"

namespace jov {

struct SymbolStats {
  std::array<uint64_t, LITLEN_SYMBOLS> litlen{};
  std::array<std::array<uint64_t, MAX_DIST_SYMBOLS>, DIST_ALPHABETS_MAX> dist{};

  void add(const Token& t, bool threeAlphabets) {
    if (t.length == 0) {
      litlen[t.distance]++;
      return;
    }
    litlen[lengthSymbol(t.length)]++;
    dist[distanceAlphabetFor(t.length, threeAlphabets)][t.distSymbol]++;
  }
  void addAll(const SymbolStats& o) {
    for (size_t i = 0; i < litlen.size(); ++i) litlen[i] += o.litlen[i];
    for (size_t a = 0; a < DIST_ALPHABETS_MAX; ++a)
      for (size_t i = 0; i < MAX_DIST_SYMBOLS; ++i) dist[a][i] += o.dist[a][i];
  }
};

// Code lengths of one table set (setSize bytes: literal/length, then the
// distance alphabets in position order). `endsWithSwitch`: the set is not the
// block's last, so symbol 256 needs a code.
std::vector<uint8_t> tableSetLengths(const SymbolStats& stats, bool endsWithSwitch, bool threeAlphabets);

struct CodingOptions {
  bool threeAlphabets = false;
  uint32_t chunkTokens = 4096;  // granularity of table-set boundaries
  bool allowFixedSet = true;
  double tableSymbolBits = 3;  // estimated price of one used symbol's length in a set
  bool refineStarts = false;   // move set boundaries off the chunk grid
};

// Writes prefix, code lengths and symbols for `tokens`. Returns the index of
// the first token of every table set (for tests and statistics).
std::vector<size_t> writeCodedData(BitWriter& out, const std::vector<Token>& tokens, const CodingOptions& options);

// Where the table sets of these tokens begin (token indices, the first 0).
std::vector<size_t> chooseSetStarts(const std::vector<Token>& tokens, const CodingOptions& options);

// Cheap estimate, in bits, of what writeCodedData writes for one table set
// with these statistics (entropy of the symbols plus their extra bits).
double estimateBits(const SymbolStats& stats);

// A stored block's header (selector 0): its `length` bytes of data follow
// as they are.
std::vector<uint8_t> storedBlockHeader(uint32_t length, bool last);
// A whole compressed block, header included, ready to append to a stream;
// its selector names windowSizes[windowRow][windowColumn].
std::vector<uint8_t> frameCompressedBlock(const std::vector<Token>& tokens, uint32_t outputLength, bool last,
                                          uint32_t windowRow, uint32_t windowColumn, const CodingOptions& options);

// The smallest window of the table that holds `history` bytes (up to
// WINDOW_MAX), as (row, column).
void chooseWindow(uint32_t history, uint32_t* row, uint32_t* column);

}  // namespace jov
