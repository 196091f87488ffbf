#include <gtest/gtest.h>

#include <vector>

#include "bit_string.h"
#include "codec/code_lengths.h"
#include "codec/huffman.h"

namespace {

struct Built {
  std::vector<int32_t> lookup, tree;
  std::vector<uint8_t> lengths;
  std::vector<uint32_t> codes;
  HuffmanTable table;
  ResultCode rc;
  Built(std::vector<uint8_t> l, uint32_t bits)
      : lookup(1u << bits), tree(2 * l.size()), lengths(std::move(l)), codes(lengths.size(), 0xDEAD) {
    assignCodes(codes.data(), lengths.data(), (uint32_t)lengths.size());
    rc = buildDecodeTable(lookup.data(), tree.data(), codes.data(), lengths.data(), bits, (uint32_t)lengths.size());
    table = {lookup.data(), tree.data(), bits, (uint32_t)lengths.size()};
  }
  // The symbol at the start of `bytes`, and the bits it took.
  int32_t decode(std::vector<uint8_t> bytes, uint32_t* bitsUsed) {
    bytes.resize(bytes.size() + 4);
    const uint8_t* cursor = bytes.data();
    uint32_t offset = 0;
    int32_t s = decodeSymbol(&table, lengths.data(), &cursor, &offset);
    *bitsUsed = (uint32_t)(cursor - bytes.data()) * 8 + offset;
    return s;
  }
};

TEST(Huffman, WorkedExampleBuildsLookupAndTree) {
  Built b({2, 1, 3, 3}, 2);
  EXPECT_EQ(b.codes, (std::vector<uint32_t>{1, 0, 3, 7}));  // 10, 0, 110, 111 reversed
  ASSERT_EQ(b.rc, RC_OK);
  EXPECT_EQ(b.lookup, (std::vector<int32_t>{1, 0, 1, -1}));
  EXPECT_EQ(b.tree[2], -2);
  EXPECT_EQ(b.tree[3], -3);
}

TEST(Huffman, NodeLimitAndCodesThatAreNoPrefixCode) {
  std::vector<uint8_t> eight(14, 0), nine(14, 0);
  std::fill(eight.begin(), eight.begin() + 8, 16);
  std::fill(nine.begin(), nine.begin() + 9, 16);
  EXPECT_EQ(Built(eight, 7).rc, RC_OK);
  EXPECT_EQ(Built(nine, 7).rc, RC_DAMAGED) << "needs node 14 of a 14-symbol alphabet";
  // Over-subscribed lengths whose canonical codes overlap across lengths:
  // {1, 1, 3}: symbol 2 gets 000, under symbol 0's 0 (a symbol in its lookup entry);
  // {2, 2, 2, 2, 2, 3}: symbol 5 gets 010, under symbol 1's 01 (a leaf in the tree);
  // {3, 2, 2, 2, 2, 2}: symbol 2 gets 01, a prefix of symbol 0's 010.
  EXPECT_EQ(Built({1, 1, 3}, 2).rc, RC_DAMAGED);
  EXPECT_EQ(Built({2, 2, 2, 2, 2, 3}, 1).rc, RC_DAMAGED);
  EXPECT_EQ(Built({3, 2, 2, 2, 2, 2}, 1).rc, RC_DAMAGED);
  // Over-subscribed short codes: the later symbol takes the entry, no error.
  Built over({1, 1, 1}, 2);
  ASSERT_EQ(over.rc, RC_OK);
  EXPECT_EQ(over.lookup[0], 2);  // symbol 2's code 10 keeps its low bit 0
  EXPECT_EQ(over.lookup[1], 1);
  uint32_t used;
  EXPECT_EQ(Built(std::vector<uint8_t>(5, 0), 3).decode({0xFF}, &used), EMPTY_ENTRY);
  Built one({0, 1}, 3);
  for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(one.lookup[i], (i & 1) ? EMPTY_ENTRY : 1);
}

// Every symbol of the fixed literal/length code (codes of 8 to 11 bits
// under a 9-bit lookup) and a symbol 0 deep in the tree, where its leaf is 0.
TEST(Huffman, EverySymbolDecodesThroughLookupOrTree) {
  std::vector<uint8_t> set(SET_SIZE_2), deepLengths(14, 0);
  setFixedCodeLengths(set.data());
  deepLengths[0] = 10, deepLengths[1] = 10, deepLengths[2] = 1;
  std::vector<uint8_t> literalLengths(set.begin(), set.begin() + LITLEN_SYMBOLS);
  for (auto [lengths, bits] : {std::pair{literalLengths, LITLEN_LOOKUP_BITS}, {deepLengths, 7u}}) {
    Built b(lengths, bits);
    ASSERT_EQ(b.rc, RC_OK);
    for (uint32_t s = 0; s < b.lengths.size(); ++s) {
      if (!b.lengths[s]) continue;
      BitString w;
      w.put(b.codes[s], b.lengths[s]);
      uint32_t used;
      ASSERT_EQ(b.decode(w.bytes, &used), (int32_t)s);
      EXPECT_EQ(used, b.lengths[s]);
      EXPECT_EQ(b.lookup[b.codes[s] & ((1u << b.table.lookupBits) - 1)] >= 0, b.lengths[s] <= b.table.lookupBits) << s;
    }
  }
}

}  // namespace
