#include "packer/block_plan.h"

#include <algorithm>

#include "format.h"
#include "packer/anchors.h"
#include "packer/archive_writer.h"

namespace jov {

namespace {

const uint32_t TABLE_BITS = 16;
// Far repeats kept at most (24 bytes each, 48 MiB): about 512 MiB of data
// repeated from far back; later blocks then go by length.
const size_t MAX_FAR_REPEATS = (size_t)1 << 21;
// Costs in bits. An anchor stands for the bytes since the anchor before it
// (up to MAX_ANCHOR_SPAN): where anchors crowd (tables, padding) each stands
// for little. Repeated bytes go for next to nothing as a match and for
// about 3 bits each without one (machine code and text); a block costs its
// header and tables.
const uint64_t MAX_ANCHOR_SPAN = 256;
const uint64_t LOST_BYTE_BITS = 3;
const uint64_t BLOCK_BITS = 2000;

}  // namespace

BlockPlanner::BlockPlanner() : keys_((size_t)1 << TABLE_BITS, 0), positions_((size_t)1 << TABLE_BITS, 0) {}

void BlockPlanner::add(uint64_t at, const uint8_t* data, size_t n) {
  if (at != next_) hash_ = run_ = 0;
  for (size_t i = 0; i < n; ++i) {
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
  next_ = at + n;
}

std::vector<uint64_t> BlockPlanner::finish(uint64_t streamSize) const {
  if (streamSize == 0) return {};
  const uint64_t steps = (streamSize + STEP - 1) / STEP;
  const uint64_t maxSteps = DATA_BLOCK_LENGTH / STEP;
  auto offset = [&](uint64_t k) { return std::min<uint64_t>(k * STEP, streamSize); };
  // firstFar[k]: the first far repeat at or after step k's offset.
  std::vector<size_t> firstFar(steps + 1);
  for (uint64_t k = 0, r = 0; k <= steps; ++k) {
    while (r < far_.size() && far_[r].at < offset(k)) ++r;
    firstFar[k] = r;
  }
  // Cheapest way to end a block at each step: every block costs BLOCK_BITS,
  // every far repeat whose copy lies before the history kept in front of its
  // block LOST_ANCHOR_BITS.
  const uint64_t NONE = ~(uint64_t)0;
  std::vector<uint64_t> cost(steps + 1, NONE), from(steps + 1, 0);
  cost[0] = 0;
  for (uint64_t i = 0; i < steps; ++i) {
    if (cost[i] == NONE) continue;
    const uint64_t start = offset(i), kept = start - keptHistory(start, WINDOW_MAX);
    uint64_t lost = 0;
    for (uint64_t j = i + 1; j <= std::min(steps, i + maxSteps); ++j) {
      for (size_t r = firstFar[j - 1]; r < firstFar[j]; ++r)
        if (far_[r].from < kept) lost += far_[r].span;
      const uint64_t c = cost[i] + BLOCK_BITS + lost * LOST_BYTE_BITS;
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
