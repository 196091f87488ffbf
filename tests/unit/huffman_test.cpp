#include <gtest/gtest.h>

#include <vector>

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
  // Symbol 0 with a 10-bit code below a 7-bit lookup: its leaf is 0.
  std::vector<uint8_t> l(14, 0);
  l[0] = 10, l[1] = 10, l[2] = 1;
  Built deep(l, 7);
  EXPECT_EQ(deep.decode({0x01, 0x00}, &used), 0);  // code 1000000000, first bit first
  EXPECT_EQ(used, 10u);
}

}  // namespace
