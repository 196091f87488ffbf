#include "packer/pack_order.h"

#include <algorithm>
#include <string>

#include "packer/anchors.h"

namespace jov {

namespace {

// The extension of a stored name, lower case ("" when there is none).
std::string extensionOf(const std::string& name) {
  const size_t slash = name.rfind('\\'), dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string e = name.substr(dot + 1);
  for (char& c : e)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return e;
}

// A sketch of a file's content: the SKETCH smallest anchor hashes of a few
// slices spread over it (anchors.h). Two files share about as large a part
// of their sketches as of their content.
const size_t SKETCH = 32, SLICE = 256 * 1024, SLICES = 4;
const uint64_t MAX_CHAINED = 4000;  // more files keep the type order: chaining costs files^2
// Files less alike than this follow the type order: a weak likeness is
// noise (small files hold few anchors), and names group related files.
const size_t MIN_LIKENESS = 4;

std::vector<uint64_t> sketchOf(const SourceEntry& e) {
  std::vector<uint64_t> all;
  std::vector<uint8_t> bytes;
  SourceFile file(e);
  const uint64_t size = e.size;
  const size_t slices = size <= SLICES * SLICE ? 1 : SLICES;
  for (size_t k = 0; k < slices; ++k) {
    const uint64_t at = slices == 1 ? 0 : (size - SLICE) * k / (SLICES - 1);
    bytes.resize((size_t)std::min<uint64_t>(size - at, slices == 1 ? size : SLICE));
    file.read(at, bytes.data(), bytes.size());
    uint64_t h = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
      h = gearStep(h, bytes[i]);
      if (i >= ANCHOR_CONTEXT && isAnchor(h)) all.push_back(h * 0x9E3779B97F4A7C15ull);
    }
  }
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  if (all.size() > SKETCH) all.resize(SKETCH);
  return all;
}

// Likeness of two sketches: the share of the union's SKETCH smallest
// hashes that both hold, in 1/SKETCH.
size_t likeness(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) {
  size_t i = 0, j = 0, taken = 0, both = 0;
  while (taken < SKETCH && (i < a.size() || j < b.size())) {
    if (j == b.size() || (i < a.size() && a[i] < b[j])) {
      ++i;
    } else if (i == a.size() || b[j] < a[i]) {
      ++j;
    } else {
      ++i, ++j, ++both;
    }
    ++taken;
  }
  return both;
}

}  // namespace

void orderForPacking(std::vector<SourceEntry>& entries) {
  std::stable_partition(entries.begin(), entries.end(), [](const SourceEntry& e) { return e.info.folder; });
  const auto files = std::find_if(entries.begin(), entries.end(), [](const SourceEntry& e) { return !e.info.folder; });
  std::stable_sort(files, entries.end(), [](const SourceEntry& a, const SourceEntry& b) {
    const std::string x = extensionOf(a.info.name), y = extensionOf(b.info.name);
    return x != y ? x < y : a.info.name < b.info.name;
  });
  const size_t first = (size_t)(files - entries.begin()), n = entries.size() - first;
  if (n < 3 || n > MAX_CHAINED) return;
  std::vector<std::vector<uint64_t>> sketches(n);
  for (size_t i = 0; i < n; ++i) sketches[i] = sketchOf(entries[first + i]);
  // From the first file in type order, each next file is the unplaced one
  // most like the last placed; when none is alike enough, the next in type
  // order. Ties go to the earlier in type order.
  std::vector<bool> placed(n, false);
  std::vector<size_t> chain;
  size_t current = 0, nextInOrder = 0;
  for (size_t step = 0; step < n; ++step) {
    placed[current] = true;
    chain.push_back(current);
    size_t best = n, bestLikeness = MIN_LIKENESS - 1;
    for (size_t j = 0; j < n; ++j) {
      if (placed[j]) continue;
      const size_t l = likeness(sketches[current], sketches[j]);
      if (l > bestLikeness) {
        best = j;
        bestLikeness = l;
      }
    }
    if (best == n) {
      while (nextInOrder < n && placed[nextInOrder]) ++nextInOrder;
      best = nextInOrder;
    }
    current = best;
  }
  std::vector<SourceEntry> ordered(entries.begin(), entries.begin() + (ptrdiff_t)first);
  for (size_t i : chain) ordered.push_back(std::move(entries[first + i]));
  entries.swap(ordered);
}

}  // namespace jov
