// Prefix codes: the lookup-plus-tree of huffman.cpp, the wide tables built on its verdict (both
// accept or refuse a set of lengths, and decode every 16-bit input alike), the code-length reader in the
// host's build and in the stub's.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "archive_fixture.h"
#include "block_builder.h"
#include "codec/code_lengths.h"
#include "codec/fast_tables.h"
#include "codec/huffman.h"
#include "codecs.h"
#include "install_state.h"
#include "packer/huffman.h"

namespace {

struct Reference {
  std::vector<uint8_t> lengths;
  std::vector<uint32_t> codes;
  std::vector<int32_t> lookup, tree;
  HuffmanTable table;
  bool built;
  Reference(std::vector<uint8_t> l, uint32_t bits)
      : lengths(std::move(l)), codes(lengths.size()), lookup(1u << bits), tree(2 * lengths.size()) {
    assignCodes(codes.data(), lengths.data(), (uint32_t)lengths.size());
    built = buildDecodeTable(lookup.data(), tree.data(), codes.data(), lengths.data(), bits, (uint32_t)lengths.size());
    table = {lookup.data(), tree.data(), bits, (uint32_t)lengths.size()};
  }
  // The symbol that 16 bits of input (first bit lowest) start with, and the bits it took.
  int32_t decode(uint32_t input, uint32_t* used) const {
    uint8_t bytes[4] = {(uint8_t)input, (uint8_t)(input >> 8), 0, 0};
    const uint8_t* cursor = bytes;
    uint32_t bit = 0;
    int32_t s = decodeSymbol(&table, lengths.data(), &cursor, &bit);
    *used = (uint32_t)(cursor - bytes) * 8 + bit;
    return s;
  }
};

TEST(Huffman, NodeLimitAndCodesThatAreNoPrefixCode) {
  std::vector<uint8_t> eight(14, 0), nine(14, 0), deep(14, 0);
  std::fill(eight.begin(), eight.begin() + 8, 16);
  std::fill(nine.begin(), nine.begin() + 9, 16);
  EXPECT_TRUE(Reference(eight, 7).built);
  // Nine 16-bit codes need node 14 of a 14-symbol alphabet. The others are over-subscribed with canonical
  // codes overlapping across lengths: symbol 2 gets 000 under symbol 0's 0 (a symbol in its lookup entry);
  // symbol 5 gets 010 under symbol 1's 01 (a leaf in the tree); symbol 2 gets 01, a prefix of symbol 0's 010.
  const std::pair<std::vector<uint8_t>, uint32_t> refused[] = {
      {nine, 7}, {{1, 1, 3}, 2}, {{2, 2, 2, 2, 2, 3}, 1}, {{3, 2, 2, 2, 2, 2}, 1}};
  for (const auto& [lengths, bits] : refused) EXPECT_FALSE(Reference(lengths, bits).built) << lengths.size();
  // Over-subscribed short codes: the later symbol takes the entry, no error.
  Reference over({1, 1, 1}, 2);
  uint32_t used;
  EXPECT_EQ(over.decode(0, &used), 2);  // symbol 2's code 10 keeps its low bit 0
  EXPECT_EQ(over.decode(1, &used), 1);
  // Symbol 0 with a 10-bit code below a 7-bit lookup: its leaf is 0.
  deep[0] = deep[1] = 10, deep[2] = 1;
  EXPECT_EQ(Reference(deep, 7).decode(1, &used), 0);  // code 1000000000, first bit first
  EXPECT_EQ(used, 10u);
}

struct Alphabet {
  const char* name;
  FastAlphabet fast;
  uint32_t symbols;
};
const Alphabet ALPHABETS[] = {
    {"literal/length", LIT_ALPHABET, LITLEN_SYMBOLS},
    {"distance 0", DIST_ALPHABET, DIST0_SYMBOLS},
    {"distance 1", DIST_ALPHABET, DIST1_SYMBOLS},
    {"pre-code", {8, PRECODE_LOOKUP_BITS, FAST_LIT_PAYLOAD_SHIFT}, PRECODE_SYMBOLS},
};

// Symbol and code length of `input` in the wide table, -1 for no code.
std::pair<int32_t, uint32_t> fastDecode(const std::vector<uint32_t>& table, const FastAlphabet& a, uint32_t input) {
  uint32_t e = table[input & ((1u << a.mainBits) - 1)], length = 0;
  if (((e >> FAST_KIND_SHIFT) & FAST_KIND_MASK) == K_SUBTABLE) {
    uint32_t start = e >> a.payloadShift, width = e & FAST_TOTAL_MASK;
    e = table.at(start + ((input >> a.mainBits) & ((1u << width) - 1)));
    length = a.mainBits;
  }
  if (((e >> FAST_KIND_SHIFT) & FAST_KIND_MASK) == K_EMPTY) return {-1, 0};
  EXPECT_EQ(e & FAST_TOTAL_MASK, (e >> FAST_CODE_SHIFT) & FAST_CODE_MASK) << "no extra bits in these rules";
  return {(int32_t)(e >> 16), length + ((e >> FAST_CODE_SHIFT) & FAST_CODE_MASK)};
}

void expectSameAsReference(const Alphabet& a, const std::vector<uint8_t>& lengths) {
  SCOPED_TRACE(a.name);
  Reference reference(lengths, a.fast.lookupBits);
  std::vector<uint32_t> rule(a.symbols);
  for (uint32_t s = 0; s < a.symbols; ++s) rule[s] = s << 16;
  std::vector<uint32_t> table((1u << a.fast.mainBits) + subtableRoom(a.symbols, a.fast.mainBits), 0xDEADBEEF);
  ASSERT_EQ(buildFastTable(table.data(), a.fast, lengths.data(), a.symbols, rule.data()), reference.built);
  if (!reference.built) return;
  for (uint32_t input = 0, used; input < (1u << MAX_CODE_LENGTH); ++input) {
    int32_t symbol = reference.decode(input, &used);
    auto expected = symbol == EMPTY_ENTRY ? std::pair(-1, 0u) : std::pair(symbol, used);
    ASSERT_EQ(fastDecode(table, a.fast, input), expected) << "input " << input;
  }
}

TEST(FastTables, HandPickedRandomCompleteAndArbitrarySetsMatchTheReference) {
  std::mt19937 rng(14);
  for (const Alphabet& a : ALPHABETS) {
    std::vector<uint8_t> none(a.symbols, 0), one = none, deepPair = none, oversubscribed = none, prefixClash = none,
                                              manyLong = none;
    one[a.symbols - 1] = 1;                                         // incomplete
    deepPair[0] = 1, deepPair[a.symbols - 1] = 16;                  // incomplete, a long chain
    oversubscribed[0] = oversubscribed[1] = oversubscribed[2] = 1;  // accepted, later ones win
    prefixClash[0] = 1, prefixClash[1] = 1, prefixClash[2] = 12;    // refused: a code below a code
    for (uint32_t s = 0; s < a.symbols; s += 2) manyLong[s] = 16;   // past the node limit or not
    for (const auto& lengths : {none, one, deepPair, oversubscribed, prefixClash, manyLong})
      expectSameAsReference(a, lengths);
    for (int round = 0; round < 12; ++round) {
      // Complete codes over random subsets; skewed counts reach the longest codes.
      std::vector<uint64_t> counts(a.symbols);
      for (uint64_t& c : counts) c = rng() % 3 ? 0 : 1ull << rng() % 40;
      counts[1] += 1;  // used; alone, it pairs with the default partner 0
      expectSameAsReference(a, jov::limitedCodeLengths(counts, MAX_CODE_LENGTH));
      std::vector<uint8_t> arbitrary(a.symbols);
      for (auto& l : arbitrary) l = (uint8_t)(rng() % 3 ? 0 : rng() % (MAX_CODE_LENGTH + 1));
      expectSameAsReference(a, arbitrary);
    }
  }
}

// readCodeLengths over pre-code fields (none: every symbol 5 bits, so that its code is the symbol), then
// `codes` of `codeBits` bits each.
TEST(CodeLengths, PrecodeRunsDifferencesRepeatsAndDamage) {
  struct Row {
    std::vector<uint32_t> fields, codes;
    uint32_t codeBits, size, count;
    ResultCode rc;
    std::vector<uint8_t> lengths;  // checked on RC_OK
    uint64_t endBit;               // checked unless 0
    const char* reason = "";       // what the host notes
  } rows[] = {
      // Fields 0,0,0,0 skip 1+2+4+8 = 15 symbols; a length resets the weight, then 1,0 skip 2+2 more:
      // symbols 15 and 20 get 1 bit (codes 0, 1); symbol 20 (code 1) repeats v = 0 twice.
      {{0, 0, 0, 0, 2, 1, 0, 2}, {1}, 1, 2, 1, RC_OK, {0, 0}, 0},
      // Set 0 (size 8): 5, zero, 6 (zero runs keep v), 16, wrap 16+3 -> 2, then 17,17 = 3 zeros. Set 1:
      // difference 0 over a non-zero length keeps it (5, v = 5); over a zero it applies to v (6); then repeat
      // runs of 2, 2 and 8 copy set 0 where non-zero (6, 16, 2), else repeat v, and the last one is cut at
      // the end without error.
      {{}, {5, 17, 1, 10, 3, 17, 17, 0, 1, 20, 19, 20}, 5, 8, 2, RC_OK,
       {5, 0, 6, 16, 2, 0, 0, 0, 5, 6, 6, 16, 2, 2, 2, 2}, 0},
      // A repeat at the start gives 0; 17 and 19 reset each other's weights.
      {{}, {19, 4, 17, 19, 18, 17}, 5, 8, 1, RC_OK, {0, 4, 0, 4, 0, 0, 0, 0}, 0},
      // A zero run past symbol 20 ends the pre-code; all empty, it codes nothing.
      {{0, 0, 0, 0, 0}, {}, 5, 1, 1, RC_DAMAGED, {}, 25, "code lengths use a code missing from the pre-code"},
      {{18}, {}, 5, 1, 1, RC_DAMAGED, {}, 0, "too long a pre-code length 17"},
      // Symbols 0 and 1 get 2 bits (00, 01); code 11 is no symbol: the cursor stays before it, behind the fields.
      {{3, 3, 1, 0, 1, 0}, {3}, 2, 4, 1, RC_DAMAGED, {}, 30, "code lengths use a code missing from the pre-code"},
      {{}, {3}, 5, 100, 1, RC_INPUT_EXHAUSTED, {}, 0},
  };
  for (const Row& r : rows) {
    for (const Codec* codec : {&hostCodec, &jovStubCodec}) {
      SCOPED_TRACE("row " + std::to_string(&r - rows) + ", " + codec->name);
      BitString w;
      const std::vector<uint32_t> everyFive(PRECODE_SYMBOLS, PRECODE_FIELD_LENGTH_BIAS + 5);
      for (uint32_t f : r.fields.empty() ? everyFive : r.fields) w.put(f, PRECODE_FIELD_BITS);
      for (uint32_t c : r.codes) w.putCode(c, r.codeBits);
      LoadedInput input(w.bytes, 0);
      std::vector<uint8_t> lengths(r.size * r.count, 0xEE);
      clearDamageReason();
      ASSERT_EQ(codec->readCodeLengths(lengths.data(), r.size, r.count), r.rc);
      if (codec == &hostCodec) {
        EXPECT_EQ(notedReason(), r.reason);
      }
      if (r.rc == RC_OK) {
        EXPECT_EQ(lengths, r.lengths);
      }
      if (r.endBit) {
        EXPECT_EQ((uint64_t)(state.inputCursor - state.inputBuffer) * 8 + state.inputBitOffset, r.endBit);
      }
    }
  }
}

}  // namespace
