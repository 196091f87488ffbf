#include <gtest/gtest.h>

#include <vector>

#include "bit_string.h"
#include "codec/code_lengths.h"
#include "codec/huffman.h"

namespace {

struct Built {
  std::vector<int32_t> lookup, tree;
  std::vector<uint8_t> lengths;
  HuffmanTable table;
  ResultCode rc;
  Built(std::vector<uint8_t> l, uint32_t bits) : lookup(1u << bits), tree(2 * l.size()), lengths(std::move(l)) {
    std::vector<uint32_t> codes(lengths.size(), 0xDEAD);
    assignCodes(codes.data(), lengths.data(), (uint32_t)lengths.size());
    rc = buildDecodeTable(lookup.data(), tree.data(), codes.data(), lengths.data(), bits, (uint32_t)lengths.size());
    table = {lookup.data(), tree.data(), bits, (uint32_t)lengths.size()};
  }
  int32_t decode(const std::vector<uint8_t>& bytes, uint32_t* bitsUsed) {
    std::vector<uint8_t> padded(bytes);
    padded.resize(bytes.size() + 4);
    const uint8_t* cursor = padded.data();
    uint32_t offset = 0;
    int32_t s = decodeSymbol(&table, lengths.data(), &cursor, &offset);
    *bitsUsed = (uint32_t)(cursor - padded.data()) * 8 + offset;
    return s;
  }
};

TEST(Huffman, WorkedExampleBuildsLookupAndTree) {
  std::vector<uint8_t> lengths = {2, 1, 3, 3};
  uint32_t codes[4];
  assignCodes(codes, lengths.data(), 4);
  EXPECT_EQ(std::vector<uint32_t>(codes, codes + 4), (std::vector<uint32_t>{1, 0, 3, 7}));  // 10, 0, 110, 111 reversed
  Built b(lengths, 2);
  ASSERT_EQ(b.rc, RC_OK);
  EXPECT_EQ(b.lookup, (std::vector<int32_t>{1, 0, 1, -1}));
  EXPECT_EQ(b.tree[2], -2);
  EXPECT_EQ(b.tree[3], -3);
  BitString w;
  w.putCode(7, 3);  // symbol 3: 111
  uint32_t used;
  EXPECT_EQ(b.decode(w.bytes, &used), 3);
  EXPECT_EQ(used, 3u);
}

TEST(Huffman, NodeLimitAndCodesThatAreNoPrefixCode) {
  std::vector<uint8_t> eight(14, 0), nine(14, 0);
  for (int i = 0; i < 8; ++i) eight[i] = 16;
  for (int i = 0; i < 9; ++i) nine[i] = 16;
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
}

TEST(Huffman, EmptyHalfEmptyAndLongSymbolZero) {
  uint32_t used;
  Built empty(std::vector<uint8_t>(5, 0), 3);
  EXPECT_EQ(empty.decode({0xFF}, &used), EMPTY_ENTRY);
  Built one({0, 1}, 3);
  for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(one.lookup[i], (i & 1) ? EMPTY_ENTRY : 1);
  // Symbol 0 with a 10-bit code below a 7-bit lookup: its leaf is 0.
  std::vector<uint8_t> l(14, 0);
  l[0] = 10, l[1] = 10, l[2] = 1;
  Built deep(l, 7);
  ASSERT_EQ(deep.rc, RC_OK);
  BitString w;
  w.putCode(512, 10);  // symbol 0: 1000000000
  EXPECT_EQ(deep.decode(w.bytes, &used), 0);
  EXPECT_EQ(used, 10u);
}

TEST(Huffman, FixedLiteralLengthSetUsesTheTreeOnlyForLongCodes) {
  std::vector<uint8_t> set(344);
  setFixedCodeLengths(set.data());
  uint32_t kraft[3] = {};  // in units of 2^-16
  for (uint32_t s = 0; s < 344; ++s)
    if (set[s]) kraft[s < 288 ? 0 : s < 330 ? 1 : 2] += 1u << (16 - set[s]);
  EXPECT_EQ(kraft[0], 65536u);
  EXPECT_EQ(kraft[1], 65536u);
  EXPECT_EQ(kraft[2], 65536u);
  EXPECT_EQ(set[256], 0) << "no end-of-set code";

  Built b(std::vector<uint8_t>(set.begin(), set.begin() + 288), 9);
  ASSERT_EQ(b.rc, RC_OK);
  std::vector<uint32_t> codes(288);
  assignCodes(codes.data(), b.lengths.data(), 288);
  for (uint32_t s = 0; s < 288; ++s) {
    if (s == 256) continue;
    BitString w;
    for (uint32_t i = 0; i < b.lengths[s]; ++i) w.put((codes[s] >> i) & 1, 1);
    uint32_t used;
    ASSERT_EQ(b.decode(w.bytes, &used), (int32_t)s);
    EXPECT_EQ(used, b.lengths[s]);
    bool inLookup = b.lookup[codes[s] & 511] >= 0;
    EXPECT_EQ(inLookup, b.lengths[s] <= 9) << s;
  }
}

}  // namespace
