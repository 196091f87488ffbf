// Test-only LSB-first bit string, so that blocks in tests are
// spelled field by field.
#pragma once

#include <cstdint>
#include <vector>

struct BitString {
  std::vector<uint8_t> bytes;
  uint64_t bits = 0;  // bits written

  // `width` bits of `value`, least significant first.
  void put(uint64_t value, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i, ++bits) {
      if (bits % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() |= (uint8_t)(1u << (bits % 8));
    }
  }
  // A prefix code: its most significant bit comes first in the stream.
  void putCode(uint32_t code, uint32_t length) {
    for (uint32_t i = length; i-- > 0;) put((code >> i) & 1, 1);
  }
  void alignToByte() {
    while (bits % 8) put(0, 1);
  }
  void putBytes(const std::vector<uint8_t>& data) {
    for (uint8_t b : data) put(b, 8);
  }
};
