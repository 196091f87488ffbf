// CRC-32 (reflected, polynomial 0xEDB88320), as RFC 1952 uses it.
#pragma once

#include <stdint.h>

// Fills state.crcTable once, at start-up (the stub's; nothing to do on the host).
void buildCrcTable();

// The running value after `count` bytes, without the initial and final
// complement (callers apply them).
uint32_t crc32Update(const uint8_t* data, uint32_t count, uint32_t value);
