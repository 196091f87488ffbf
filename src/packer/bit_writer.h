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

  // Appends the first `count` bits of `bytes`, LSB-first.
  void putBits(const uint8_t* bytes, uint32_t count) {
    for (; count >= 8; count -= 8) put(*bytes++, 8);
    if (count) put(*bytes, count);
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

}  // namespace jov
