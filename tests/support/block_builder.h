// Test-only builders of blocks: frames, coded data spelled symbol by symbol,
// a plain LZ encoder and random coded data, all from the rules in format.h.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "format.h"

// An LSB-first bit string, so that blocks in tests are spelled field by field.
struct BitString {
  std::vector<uint8_t> bytes;
  uint64_t bits = 0;  // bits written

  // `width` bits of `value`, least significant first.
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
std::vector<uint32_t> msbFirstCodes(const uint8_t* lengths, uint32_t count);

// Writes coded data: prefix, sets (or the fixed set when `sets` is empty) and
// symbols. Sets are sent with a fixed complete pre-code and plain
// differences, so any lengths can be spelled.
struct CodedWriter {
  BitString& w;
  uint32_t alphabets;  // distanceAlphabets, 1..3
  std::vector<std::vector<uint8_t>> sets;  // empty: the fixed set
  size_t current = 0;
  std::map<std::pair<size_t, uint32_t>, std::vector<uint32_t>> codeCache;

  CodedWriter(BitString& writer, uint32_t distanceAlphabets, std::vector<std::vector<uint8_t>> tableSets);
  const uint8_t* lengths() const;
  void symbol(uint32_t offset, uint32_t count, uint32_t s);  // one code of an alphabet
  void literal(uint8_t b) { symbol(0, LITLEN_SYMBOLS, b); }
  void endOfSet();
  // A match with an explicit distance (distance symbol chosen by the rules)
  // or, with repeatSymbol 0..5, that distance symbol as it stands.
  void match(uint32_t length, uint32_t distance, int repeatSymbol = -1);
  uint32_t distanceAlphabetFor(uint32_t length) const;
};

// Block frames. CompressedFrame::finish writes the block's byte count into
// blockSize unless `sizeOverride` is given; setBlockField overwrites a field.
std::vector<uint8_t> storedBlock(const std::vector<uint8_t>& data, bool last);
void setBlockField(std::vector<uint8_t>& block, BlockField f, uint32_t value);
struct CompressedFrame {
  BitString w;
  CompressedFrame(uint32_t outputLength, bool last, uint32_t row = 2, uint32_t column = 7);
  std::vector<uint8_t> finish(int64_t sizeOverride = -1);
};

// A greedy LZ parse of `data` behind `history` (matches of 3 bytes or more
// within `window`), its coding as a complete block with one set of two
// distance alphabets, and both at once with uniformSet(2).
struct BuilderToken {
  uint32_t length;  // 0: literal
  uint32_t value;   // literal byte or distance
};
std::vector<BuilderToken> findMatches(const std::vector<uint8_t>& history, const std::vector<uint8_t>& data,
                                      uint32_t window);
std::vector<uint8_t> encodeTokens(const std::vector<BuilderToken>& tokens, const std::vector<uint8_t>& set,
                                  uint32_t outputLength, bool last);
std::vector<uint8_t> compressBlock(const std::vector<uint8_t>& history, const std::vector<uint8_t>& data,
                                   bool last, uint32_t window = 524288);
// The symbol and extra bits that spell a match length or an explicit distance.
void lengthSymbol(uint32_t length, uint32_t* symbol, uint32_t* extra, uint32_t* extraBits);
void distanceSymbol(uint32_t distance, uint32_t* symbol, uint32_t* extra, uint32_t* extraBits);

// Random coded data for `wanted` bytes behind `historyLength` bytes of
// history. `valid`: only what the strict reference reader accepts; otherwise
// also what merely a lenient decoder copes with (one distance alphabet,
// distances before the history, overlong matches, symbol 287 coded).
void writeRandomCodedData(std::mt19937& rng, BitString& w, uint32_t historyLength, uint32_t wanted,
                          bool valid = false);

// Puts `data` (as much as one load holds) into a fresh block-input buffer as
// a block that lies wholly in it (blockBytesLeft 0), cursor at `startBit`.
struct LoadedInput {
  std::vector<uint8_t> buffer;
  LoadedInput(const std::vector<uint8_t>& data, uint64_t startBit);
};

// Complete codes that give every symbol a code of 8 or 9 bits (literal/
// length) and 3 to 6 bits (distances): a set in which anything can be said.
std::vector<uint8_t> uniformSet(uint32_t alphabets);
