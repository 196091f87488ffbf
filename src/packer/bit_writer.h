// LSB-first bit writer: the mirror of the block readers. A field of n bits
// lands at the writer's bit position k so that the reader finds it as the
// little-endian word at byte k / 8, shifted right by k % 8, masked to n bits.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace jov {

class BitWriter {
 public:
  // Appends the low `count` bits of `value` (count <= 32).
  void put(uint32_t value, uint32_t count) {
    accumulator_ |= (uint64_t)(value & mask(count)) << pending_;
    pending_ += count;
    while (pending_ >= 8) {
      bytes_.push_back((uint8_t)accumulator_);
      accumulator_ >>= 8;
      pending_ -= 8;
    }
  }

  // Pads with zero bits to the next byte boundary (a partly used byte counts
  // as used, as the decoder rounds its cursor up).
  void alignToByte() {
    if (pending_ > 0) {
      bytes_.push_back((uint8_t)accumulator_);
      accumulator_ = 0;
      pending_ = 0;
    }
  }

  uint64_t bitCount() const { return (uint64_t)bytes_.size() * 8 + pending_; }

  // The bytes written so far; call alignToByte first to include a partial byte.
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  static uint32_t mask(uint32_t count) { return count >= 32 ? 0xFFFFFFFFu : (1u << count) - 1; }

  std::vector<uint8_t> bytes_;
  uint64_t accumulator_ = 0;
  uint32_t pending_ = 0;  // valid bits in accumulator_, always < 8 between calls
};

// Ors `count` bits of `value` into `bytes` at bit position `bit`; the bits
// there must be zero. Used to fill in a block header once the size is known.
inline void patchBits(uint8_t* bytes, uint64_t bit, uint32_t value, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i, ++bit)
    if (value >> i & 1) bytes[bit / 8] |= (uint8_t)(1u << (bit % 8));
}

}  // namespace jov
