#include "packer/huffman.h"

#include <algorithm>
#include <numeric>

#include "codec/huffman.h"

namespace jov {

// Package-merge (coin collector): with the used symbols sorted by frequency,
// every level's list is the sorted merge of the leaves and the pairs of the
// deeper level's list; the 2n - 2 cheapest items of the top list decide the
// lengths. Because each list is a sorted merge, the chosen prefix of a list
// holds a prefix of the sorted leaves and a prefix of the packages, so it is
// enough to remember per level how many leaves and packages the first k items
// hold: a leaf's length is the number of levels whose chosen prefix holds it.
std::vector<uint8_t> limitedCodeLengths(const std::vector<uint64_t>& frequencies, uint32_t maxLength,
                                        uint32_t partner) {
  const size_t n = frequencies.size();
  std::vector<uint8_t> lengths(n, 0);
  std::vector<uint32_t> used;
  for (uint32_t s = 0; s < n; ++s)
    if (frequencies[s] > 0) used.push_back(s);
  if (used.empty()) return lengths;
  if (used.size() == 1) {
    lengths[used[0]] = 1;
    lengths[partner != used[0] ? partner : (used[0] == 0 ? 1 : 0)] = 1;
    return lengths;
  }
  std::stable_sort(used.begin(), used.end(),
                   [&](uint32_t a, uint32_t b) { return frequencies[a] < frequencies[b]; });
  const size_t m = used.size();

  struct Item {
    uint64_t weight;
    bool leaf;
  };
  // lists[level]: level maxLength - 1 is the deepest (leaves only).
  std::vector<std::vector<Item>> lists(maxLength);
  std::vector<Item> leaves(m);
  for (size_t i = 0; i < m; ++i) leaves[i] = {frequencies[used[i]], true};
  lists[maxLength - 1] = leaves;
  for (int level = (int)maxLength - 2; level >= 0; --level) {
    const std::vector<Item>& deeper = lists[level + 1];
    std::vector<Item> packages;
    for (size_t i = 0; i + 1 < deeper.size(); i += 2)
      packages.push_back({deeper[i].weight + deeper[i + 1].weight, false});
    std::vector<Item>& out = lists[level];
    out.reserve(m + packages.size());
    size_t a = 0, b = 0;
    while (a < m || b < packages.size()) {
      if (b == packages.size() || (a < m && leaves[a].weight <= packages[b].weight))
        out.push_back(leaves[a++]);
      else
        out.push_back(packages[b++]);
    }
  }
  size_t take = 2 * m - 2;
  for (uint32_t level = 0; level < maxLength && take > 0; ++level) {
    const std::vector<Item>& list = lists[level];
    size_t leafCount = 0, packageCount = 0;
    for (size_t i = 0; i < take && i < list.size(); ++i) (list[i].leaf ? leafCount : packageCount)++;
    for (size_t i = 0; i < leafCount; ++i) lengths[used[i]]++;
    take = 2 * packageCount;
  }
  return lengths;
}

std::vector<uint32_t> canonicalCodes(const std::vector<uint8_t>& lengths) {
  std::vector<uint32_t> codes(lengths.size(), 0);
  assignCodes(codes.data(), lengths.data(), (uint32_t)lengths.size());
  return codes;
}

uint64_t kraftSum(const std::vector<uint8_t>& lengths, uint32_t maxLength) {
  uint64_t sum = 0;
  for (uint8_t l : lengths)
    if (l) sum += (uint64_t)1 << (maxLength - l);
  return sum;
}

}  // namespace jov
