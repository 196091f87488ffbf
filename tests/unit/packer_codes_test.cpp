// The packer's prefix codes and code-length sets, read back by the reference reader.
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
  std::vector<uint64_t> used;
  for (uint64_t x : f)
    if (x) used.push_back(x);
  std::vector<uint8_t> l(used.size(), 1);
  uint64_t best = UINT64_MAX;
  for (;;) {
    if (kraftSum(l, limit) <= (1ull << limit)) best = std::min(best, cost(used, l));
    size_t k = 0;
    while (k < l.size() && l[k] == limit) l[k++] = 1;
    if (k == l.size()) return best;
    l[k]++;
  }
}

// Small alphabets against the brute-force optimum, then Fibonacci weights
// (unlimited Huffman would give lengths up to 39) cut to 16 bits.
TEST(LengthLimiter, OptimalAndCompleteUnderTheLimit) {
  std::mt19937 rng(12345);  // fixed seed: failures reproduce
  std::vector<uint64_t> fibonacci(40, 1);
  for (size_t i = 2; i < fibonacci.size(); ++i) fibonacci[i] = fibonacci[i - 1] + fibonacci[i - 2];
  for (int round = 0; round <= 300; ++round) {
    size_t n = 2 + rng() % 6;
    uint32_t limit = 3 + rng() % 2;  // 2^3 >= n: a code always fits
    std::vector<uint64_t> f(n);
    for (auto& x : f) x = rng() % 4 == 0 ? 0 : 1 + rng() % (round % 2 ? 1000 : 5);
    if ((size_t)std::count(f.begin(), f.end(), 0u) + 2 > n) f[0] = f[1] = 1;
    if (round == 300) {
      f = fibonacci;
      limit = 16;
    }
    std::vector<uint8_t> l = limitedCodeLengths(f, limit);
    ASSERT_EQ(kraftSum(l, limit), 1ull << limit) << "round " << round;
    ASSERT_LE(*std::max_element(l.begin(), l.end()), limit);
    for (size_t i = 0; i < f.size(); ++i) EXPECT_EQ(l[i] == 0, f[i] == 0) << "round " << round;
    if (round < 300) {
      EXPECT_EQ(cost(f, l), bruteForceCost(f, limit)) << "round " << round;
    } else {  // growing weights: lengths never grow, and the limit is reached
      EXPECT_TRUE(std::is_sorted(l.begin(), l.end(), std::greater<>()) && l[0] == 16);
    }
  }
}

// Sets like the previous one, runs of zeros and of equal lengths, read back by
// the reference reader; the cost the packer plans with is what it writes.
TEST(CodeLengthSets, RandomSetsReadBackExactly) {
  std::mt19937 rng(777);
  for (int round = 0; round < 200; ++round) {
    uint32_t setSize = 5 + rng() % 40, sets = 1 + rng() % 5;
    std::vector<uint8_t> lengths((size_t)setSize * sets);
    for (size_t p = 0; p < lengths.size(); ++p) {
      uint32_t kind = rng() % 4;
      if (p >= setSize && kind == 0) lengths[p] = lengths[p - setSize];
      else if (kind == 1) lengths[p] = 0;
      else if (kind == 2 && p > 0) lengths[p] = lengths[p - 1];
      else lengths[p] = (uint8_t)(rng() % 17);
    }
    BitWriter w;
    EXPECT_EQ(writeCodeLengths(w, lengths, setSize), codeLengthsCost(lengths, setSize));
    w.alignToByte();
    EXPECT_EQ(reference::readCodeLengthSets(w.bytes(), setSize, sets), lengths) << "round " << round;
  }
}

}  // namespace
