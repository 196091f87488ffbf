// CRC-32 for the writer (reflected, polynomial 0xEDB88320, initial and final
// complement included), slicing by 8.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace jov {

// The running CRC after `size` more bytes; start with crc32(0, nullptr, 0) = 0.
uint32_t crc32(uint32_t crc, const uint8_t* data, size_t size);

}  // namespace jov
