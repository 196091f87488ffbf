// LZ block decoder: one compressed block's coded data into bytes.
#pragma once

#include <stdint.h>

#include "result.h"

// Decodes behind `historyLength` bytes of history at `buffer`, at most
// `requested` bytes. Returns the count produced or a negative ResultCode.
int32_t decodeBlock(uint8_t* buffer, uint32_t historyLength, uint32_t requested);

#ifndef JOV_STUB
// Host only: entries of the code tables built so far (main tables and
// subtables of either decoder), a measure of the work of table switches.
extern uint64_t tableEntriesBuilt;
#endif
