// Where the blocks of a data stream end. The reader keeps at most WINDOW_MAX
// bytes of history in front of a compressed block and a match reaches back at
// most MAX_DISTANCE, so a repeat from farther back than WINDOW_MAX is out of
// reach for the first (distance - WINDOW_MAX) bytes of every block: with
// fixed blocks, a third of every run of near-identical files of 856 KB
// cannot see the previous copy. The planner finds those far repeats
// (content-defined anchors, anchors.h) and chooses the block ends that keep
// the most of them within reach, each block at most DATA_BLOCK_LENGTH long;
// a repeat left out of reach weighs what its bytes cost without it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace jov {

class BlockPlanner {
 public:
  BlockPlanner();
  // Feeds `n` bytes that lie at stream offset `at`; offsets only grow, and
  // bytes never fed (records, gaps) hold no anchors.
  void add(uint64_t at, const uint8_t* data, size_t n);
  // The stream offsets where its blocks end, ascending, the last one
  // `streamSize`; none for an empty stream.
  std::vector<uint64_t> finish(uint64_t streamSize);

  // Granularity of the block ends a plan chooses.
  static const uint32_t STEP = 2048;

 private:
  struct FarRepeat {
    uint64_t at;    // the anchor's stream offset
    uint64_t from;  // where its earlier copy lies
    uint32_t span;  // the bytes it stands for
  };
  std::vector<uint64_t> keys_, positions_;  // direct-mapped: the latest position of an anchor hash
  std::vector<FarRepeat> far_;
  // What a byte of each step costs without a far match, in 1/16 bits, from
  // the byte counts of the step (counts_ for the step being fed); 0 for
  // steps never fed.
  std::vector<uint16_t> stepCost_;
  uint32_t counts_[256] = {};
  uint64_t countedStep_ = 0;
  void closeStep();
  uint64_t next_ = 0, hash_ = 0, run_ = 0;  // where the fed bytes continue; bytes since a gap
  uint64_t lastAnchor_ = 0;
};

}  // namespace jov
