// Host-only block decoder: decodes exactly what the reference decoder
// (lz_decoder.cpp, the stub's) decodes, with the same result codes and the
// same consumed input, several times faster.
#pragma once

#ifndef JOV_STUB
#include <stdint.h>

// The contract of decodeBlock (lz_decoder.h), which dispatches here while
// fastDecoderEnabled is set (the default; tests clear it to compare).
int32_t decodeBlockFast(uint8_t* buffer, uint32_t historyLength, uint32_t requested);

extern bool fastDecoderEnabled;
#endif
