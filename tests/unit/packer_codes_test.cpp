// The packer's prefix codes and code-length sets.
#include <gtest/gtest.h>

#include <random>

#include "packer/code_lengths.h"
#include "packer/huffman.h"
#include "reference_reader.h"

using namespace jov;

namespace {

uint64_t cost(const std::vector<uint64_t>& f, const std::vector<uint8_t>& l) {
  uint64_t c = 0;
  for (size_t i = 0; i < f.size(); ++i) c += f[i] * l[i];
  return c;
}

// Smallest cost over every length vector (1..limit for used symbols) that
// satisfies Kraft: the optimum package-merge must reach.
uint64_t bruteForceCost(const std::vector<uint64_t>& f, uint32_t limit) {
  std::vector<size_t> used;
  for (size_t i = 0; i < f.size(); ++i)
    if (f[i]) used.push_back(i);
  std::vector<uint8_t> l(used.size(), 1);
  uint64_t best = UINT64_MAX;
  for (;;) {
    uint64_t kraft = 0, c = 0;
    for (size_t i = 0; i < used.size(); ++i) {
      kraft += 1ull << (limit - l[i]);
      c += f[used[i]] * l[i];
    }
    if (kraft <= (1ull << limit)) best = std::min(best, c);
    size_t k = 0;
    while (k < l.size() && l[k] == limit) l[k++] = 1;
    if (k == l.size()) return best;
    l[k]++;
  }
}

}  // namespace

TEST(LengthLimiter, OptimalAndCompleteUnderTightLimits) {
  std::mt19937 rng(12345);  // fixed seed: failures reproduce
  for (int round = 0; round < 300; ++round) {
    size_t n = 2 + rng() % 6;
    uint32_t limit = 3 + rng() % 2;
    if ((1u << limit) < n) limit = 4;
    std::vector<uint64_t> f(n);
    for (auto& x : f) x = rng() % 4 == 0 ? 0 : 1 + rng() % (round % 2 ? 1000 : 5);
    if (std::count_if(f.begin(), f.end(), [](uint64_t x) { return x; }) < 2) f[0] = f[1] = 1;
    std::vector<uint8_t> l = limitedCodeLengths(f, limit);
    EXPECT_EQ(kraftSum(l, limit), 1ull << limit) << "round " << round;
    for (size_t i = 0; i < n; ++i) {
      EXPECT_LE(l[i], limit);
      EXPECT_EQ(l[i] == 0, f[i] == 0);
    }
    EXPECT_EQ(cost(f, l), bruteForceCost(f, limit)) << "round " << round;
  }
}

TEST(LengthLimiter, FibonacciWeightsAreCutToSixteenBits) {
  // Unlimited Huffman would give lengths up to 39 here.
  std::vector<uint64_t> f(40);
  f[0] = f[1] = 1;
  for (size_t i = 2; i < f.size(); ++i) f[i] = f[i - 1] + f[i - 2];
  std::vector<uint8_t> l = limitedCodeLengths(f, 16);
  EXPECT_EQ(kraftSum(l, 16), 1ull << 16);
  EXPECT_EQ(*std::max_element(l.begin(), l.end()), 16);
  for (size_t i = 1; i < f.size(); ++i) EXPECT_LE(l[i], l[i - 1]);  // heavier never longer
}

TEST(LengthLimiter, LoneSymbolIsPairedIntoACompleteCode) {
  std::vector<uint64_t> f(10, 0);
  f[7] = 5;
  for (uint32_t partner : {3u, 7u}) {  // a partner equal to the symbol: another one
    std::vector<uint8_t> l = limitedCodeLengths(f, 16, partner);
    EXPECT_EQ(l[7], 1);
    EXPECT_EQ(std::count(l.begin(), l.end(), 1), 2);
    EXPECT_EQ(kraftSum(l, 16), 1ull << 16);
    EXPECT_TRUE(partner == 7 || l[partner] == 1);
  }
  EXPECT_EQ(limitedCodeLengths(std::vector<uint64_t>(5, 0), 16), std::vector<uint8_t>(5, 0));
}

TEST(CanonicalCodes, MatchTheReadersAssignment) {
  // Lengths 2, 1, 3, 3: canonical codes 10, 0, 110, 111, stored bit-reversed.
  EXPECT_EQ(canonicalCodes({2, 1, 3, 3}), (std::vector<uint32_t>{1, 0, 3, 7}));
  EXPECT_EQ(canonicalCodes({0, 2, 0, 2, 2, 2}), (std::vector<uint32_t>{0, 0, 0, 2, 1, 3}));
}

TEST(CodeLengthSets, RunsAndDifferencesFollowTheReadersRules) {
  std::vector<uint8_t> d;
  bijectiveDigits(15, d);
  EXPECT_EQ(d, (std::vector<uint8_t>{1, 1, 1, 1}));
  d.clear();
  bijectiveDigits(4, d);
  EXPECT_EQ(d, (std::vector<uint8_t>{2, 1}));
  // One set: a difference from the running value, then zeros as a run.
  EXPECT_EQ(codeLengthSymbols({5, 0, 0, 0, 6}, 5), (std::vector<uint8_t>{5, 17, 17, 1}));
  // A second set equal to the first: one repeat run of 3 (digits 1, 1).
  EXPECT_EQ(codeLengthSymbols({4, 5, 3, 4, 5, 3}, 3), (std::vector<uint8_t>{4, 1, 15, 19, 19}));
}

TEST(CodeLengthSets, RandomSetsReadBackExactly) {
  std::mt19937 rng(777);
  for (int round = 0; round < 200; ++round) {
    uint32_t setSize = 5 + rng() % 40, sets = 1 + rng() % 5;
    std::vector<uint8_t> lengths((size_t)setSize * sets);
    for (size_t p = 0; p < lengths.size(); ++p) {
      uint32_t kind = rng() % 4;
      if (p >= setSize && kind == 0) lengths[p] = lengths[p - setSize];  // like the previous set
      else if (kind == 1) lengths[p] = 0;
      else if (kind == 2 && p > 0) lengths[p] = lengths[p - 1];
      else lengths[p] = (uint8_t)(rng() % 17);
    }
    BitWriter w;
    uint64_t bits = writeCodeLengths(w, lengths, setSize);
    EXPECT_EQ(bits, codeLengthsCost(lengths, setSize));
    w.alignToByte();
    std::vector<uint8_t> bytes = w.bytes();
    EXPECT_EQ(reference::readCodeLengthSets(bytes, setSize, sets), lengths) << "round " << round;
  }
}
