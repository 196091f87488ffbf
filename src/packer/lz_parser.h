// Parsing one block into tokens. The block's span is the history the reader
// will keep in front of the block followed by the block itself; matches reach
// only into that span (never before the kept history, never past the block's
// end), and the recent distances start empty, as the decoder resets them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "packer/block_encoder.h"
#include "packer/lz_model.h"

namespace jov {

enum class Strategy { Greedy, Lazy, Optimal };

struct LevelConfig {
  Strategy strategy;
  uint32_t depth;       // candidates of a hash row, or binary-tree cut value
  uint32_t niceLength;  // a match this long is taken without looking further
  uint32_t passes;      // optimal parsing: price passes
  uint32_t chunkTokens; // table-set granularity
  // Table-set placement (CodingOptions): the estimated bits of one used
  // symbol's code length in a set, and whether boundaries leave the chunk grid.
  double tableSymbolBits = 3;
  bool refineStarts = false;
};

// Levels 1..9 (level 0 stores and parses nothing).
LevelConfig levelConfig(int level);

struct BlockSpan {
  const uint8_t* data;  // first byte of the kept history
  uint32_t history;     // bytes of history before the block
  uint32_t length;      // the block's own bytes
};

struct ParsedBlock {
  std::vector<Token> tokens;
  bool threeAlphabets = false;
};

// How the block encoder codes a block parsed at this level.
CodingOptions codingFor(const LevelConfig& config, bool threeAlphabets);

ParsedBlock parseBlock(const BlockSpan& span, const LevelConfig& config);

// Codes every match's distance under the recent-distance rules (r0, then r1,
// then 1..4, then an explicit distance) and turns matches that the block's
// alphabets cannot code into literals. `block` is the block's first byte.
void resolveDistances(std::vector<Token>& tokens, const uint8_t* block, bool threeAlphabets);

}  // namespace jov
