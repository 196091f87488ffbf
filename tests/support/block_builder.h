// Test-only builders of blocks and streams, and a plain reference decoder of
// coded block data to hold the fast decoder against.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bit_string.h"
#include "format.h"

// Canonical codes (not reversed) for lengths, as RFC 1951 assigns them.
std::vector<uint32_t> msbFirstCodes(const uint8_t* lengths, uint32_t count);

// The set layout of a coded block.
struct SetLayout {
  uint32_t alphabets;  // distanceAlphabets, 1..3
  uint32_t size() const { return setSizeFor(alphabets); }
};

// Writes coded data: prefix, sets (or the fixed set when `sets` is empty) and
// symbols. Sets are sent with a 5-bit pre-code for every symbol and plain
// differences, so any lengths can be spelled.
struct CodedWriter {
  BitString& w;
  SetLayout layout;
  std::vector<std::vector<uint8_t>> sets;  // empty: the fixed set
  size_t current = 0;
  std::map<std::pair<size_t, uint32_t>, std::vector<uint32_t>> codeCache;

  CodedWriter(BitString& writer, uint32_t alphabets, std::vector<std::vector<uint8_t>> tableSets);
  const uint8_t* lengths() const;
  void symbol(uint32_t offset, uint32_t count, uint32_t s);  // one code of an alphabet
  void literal(uint8_t b) { symbol(0, LITLEN_SYMBOLS, b); }
  void endOfSet();
  // A match with an explicit distance (distance symbol chosen by the rules)
  // or, with repeatSymbol 0..5, that distance symbol as it stands.
  void match(uint32_t length, uint32_t distance, int repeatSymbol = -1);
  uint32_t distanceAlphabetFor(uint32_t length) const;
};

// Block frames. Returns the whole block: header, selector, data; blockSize
// is the block's byte count unless `sizeOverride` is given.
std::vector<uint8_t> storedBlock(const std::vector<uint8_t>& data, bool last);
struct CompressedFrame {
  BitString w;
  CompressedFrame(uint32_t outputLength, bool last, uint32_t row = 2, uint32_t column = 7);
  std::vector<uint8_t> finish(int64_t sizeOverride = -1);
};

// A greedy LZ parse of `data` behind `history`, matches of 3 bytes or more
// within `window`; and its coding as a complete block with one set of two
// distance alphabets. compressBlock does both with uniformSet(2).
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

// Lengths of a random complete prefix code over `count` symbols (every symbol
// coded, at most 16 bits).
std::vector<uint8_t> randomCompleteLengths(std::mt19937& rng, uint32_t count);

// A random but valid coded block body (prefix, sets, symbols) asking for
// `wanted` bytes after `historyLength` bytes of history; the reference
// decoder judges what it decodes to.
void writeRandomCodedData(std::mt19937& rng, BitString& w, uint32_t historyLength, uint32_t wanted);

// Reference decoder of coded data starting at bit `startBit` of `input`
// (bytes beyond it read as 0; input used up at its end). Works on `output`,
// which holds the history; appends at most `requested` bytes. Returns the
// count or a negative ResultCode; `endBit` receives the rounded-up end.
int32_t referenceDecode(const std::vector<uint8_t>& input, uint64_t startBit, std::vector<uint8_t>& output,
                        uint32_t requested, uint64_t* endBit);

// Puts `data` into a fresh block-input buffer as a block that lies wholly in
// it (blockBytesLeft 0), cursor at `startBit`.
struct LoadedInput {
  std::vector<uint8_t> buffer;
  LoadedInput(const std::vector<uint8_t>& data, uint64_t startBit);
};

// Complete codes that give every symbol a code of 8 or 9 bits (literal/
// length) and 3 to 6 bits (distances): a set in which anything can be said.
std::vector<uint8_t> uniformSet(uint32_t alphabets);
