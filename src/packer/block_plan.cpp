#include "packer/block_plan.h"

#include <algorithm>
#include <cmath>

#include "format.h"
#include "packer/anchors.h"
#include "packer/archive_writer.h"

namespace jov {

namespace {

const uint32_t TABLE_BITS = 16;
// Far repeats kept at most (24 bytes each, 48 MiB): about 512 MiB of data
// repeated from far back; later blocks then go by length.
const size_t MAX_FAR_REPEATS = (size_t)1 << 21;
// Costs in 1/16 bits. An anchor stands for the bytes since the anchor before
// it (up to MAX_ANCHOR_SPAN): where anchors crowd (tables, padding) each
// stands for little. Repeated bytes go for next to nothing as a match;
// without one, a byte costs about half its step's order-0 entropy (machine
// code of 6 bits codes in about 3, padding in next to none). Every block
// start leaves the repeats of the bytes after it blind for a stretch, so the
// plan puts those stretches where bytes are cheap on their own: on a run of
// near-identical libraries that is 3 to 5 % smaller than counting every byte
// alike. A block costs its header and tables.
const uint64_t MAX_ANCHOR_SPAN = 256;
const uint64_t BLOCK_COST = 2000 * 16;

}  // namespace

BlockPlanner::BlockPlanner() : keys_((size_t)1 << TABLE_BITS, 0), positions_((size_t)1 << TABLE_BITS, 0) {}

void BlockPlanner::closeStep() {
  uint32_t total = 0;
  double bits = 0;
  for (uint32_t& c : counts_) {
    if (c) {
      total += c;
      bits -= c * std::log2((double)c);
    }
  }
  if (total) {
    bits += total * std::log2((double)total);
    if (stepCost_.size() <= countedStep_) stepCost_.resize(countedStep_ + 1, 0);
    stepCost_[countedStep_] = (uint16_t)std::lround(16 / 2 * bits / total);
  }
  std::fill(std::begin(counts_), std::end(counts_), 0);
}

void BlockPlanner::add(uint64_t at, const uint8_t* data, size_t n) {
  if (at != next_) hash_ = run_ = 0;
  for (size_t i = 0; i < n;) {
    const size_t piece = (size_t)std::min<uint64_t>(n - i, STEP - (at + i) % STEP);
    if ((at + i) / STEP != countedStep_) {
      closeStep();
      countedStep_ = (at + i) / STEP;
    }
    for (size_t k = i; k < i + piece; ++k) counts_[data[k]]++;
    for (size_t end = i + piece; i < end; ++i) {
      hash_ = gearStep(hash_, data[i]);
      if (++run_ <= ANCHOR_CONTEXT || !isAnchor(hash_)) continue;
      const uint64_t x = at + i, key = hash_ | 1;
      const uint32_t span = (uint32_t)std::min<uint64_t>(x - lastAnchor_, MAX_ANCHOR_SPAN);
      lastAnchor_ = x;
      const size_t slot = (size_t)((key * 0x9E3779B97F4A7C15ull) >> (64 - TABLE_BITS));
      if (keys_[slot] == key) {
        const uint64_t distance = x - positions_[slot];
        if (distance > WINDOW_MAX && distance <= MAX_DISTANCE && far_.size() < MAX_FAR_REPEATS)
          far_.push_back({x, positions_[slot], span});
      }
      keys_[slot] = key;
      positions_[slot] = x;
    }
  }
  next_ = at + n;
}

std::vector<uint64_t> BlockPlanner::finish(uint64_t streamSize) {
  if (streamSize == 0) return {};
  closeStep();
  auto costOf = [&](uint64_t at) { return at / STEP < stepCost_.size() ? stepCost_[at / STEP] : 0; };
  const uint64_t steps = (streamSize + STEP - 1) / STEP;
  const uint64_t maxSteps = DATA_BLOCK_LENGTH / STEP;
  auto offset = [&](uint64_t k) { return std::min<uint64_t>(k * STEP, streamSize); };
  // firstFar[k]: the first far repeat at or after step k's offset.
  std::vector<size_t> firstFar(steps + 1);
  for (uint64_t k = 0, r = 0; k <= steps; ++k) {
    while (r < far_.size() && far_[r].at < offset(k)) ++r;
    firstFar[k] = r;
  }
  // Cheapest way to end a block at each step: every block costs BLOCK_COST,
  // every far repeat whose copy lies before the history kept in front of its
  // block what its bytes cost on their own.
  const uint64_t NONE = ~(uint64_t)0;
  std::vector<uint64_t> cost(steps + 1, NONE), from(steps + 1, 0);
  cost[0] = 0;
  for (uint64_t i = 0; i < steps; ++i) {
    if (cost[i] == NONE) continue;
    const uint64_t start = offset(i), kept = start - keptHistory(start, WINDOW_MAX);
    uint64_t lost = 0;
    for (uint64_t j = i + 1; j <= std::min(steps, i + maxSteps); ++j) {
      for (size_t r = firstFar[j - 1]; r < firstFar[j]; ++r)
        if (far_[r].from < kept) lost += far_[r].span * costOf(far_[r].at);
      const uint64_t c = cost[i] + BLOCK_COST + lost;
      if (c < cost[j]) {
        cost[j] = c;
        from[j] = i;
      }
    }
  }
  std::vector<uint64_t> ends;
  for (uint64_t k = steps; k > 0; k = from[k]) ends.push_back(offset(k));
  std::reverse(ends.begin(), ends.end());
  return ends;
}

}  // namespace jov
