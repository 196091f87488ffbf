// Content-defined anchors: positions picked by the bytes before them, so that
// two copies of the same bytes carry the same anchors wherever they lie. A
// gear hash takes one byte a step and shifts four bits out, so it depends on
// the last 16 bytes (short enough that recompiled code, whose copies differ
// every few dozen bytes, still shares anchors); a position is an anchor when
// the hash's top 8 bits are zero (about one position in 256), and the other
// 56 bits tell anchors apart.
#pragma once

#include <stdint.h>

namespace jov {

struct GearTable {
  uint64_t v[256];
  constexpr GearTable() : v() {
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint64_t& g : v) g = x = x * 6364136223846793005ull + 1442695040888963407ull;
  }
};
inline constexpr GearTable gearTable{};

// Bytes a hash must have seen before it says anything about them.
const uint32_t ANCHOR_CONTEXT = 16;

inline uint64_t gearStep(uint64_t h, uint8_t byte) { return (h << 4) + gearTable.v[byte]; }
inline bool isAnchor(uint64_t h) { return h < (uint64_t)1 << 56; }  // top 8 bits zero

}  // namespace jov
