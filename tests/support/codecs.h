// The codec in both of its builds, side by side in one test program: the
// host's (jovcore) and the stub's (jovcodec_stub: the same sources with
// JOV_STUB, its symbols renamed; see CMakeLists.txt), each reached through a
// table of its entry points. Both work on the one `state`.
#pragma once

#include <stdint.h>

#include "platform/platform.h"
#include "result.h"

struct Codec {
  const char* name;
  int32_t (*decodeBlock)(uint8_t* buffer, uint32_t historyLength, uint32_t requested);
  ResultCode (*readCodeLengths)(uint8_t* destination, uint32_t setSize, uint32_t setCount);
  ResultCode (*readStreamFile)(FileHandle output, uint32_t streamOffset, uint32_t streamPosition, uint32_t length,
                               uint8_t flags);
  void (*buildCrcTable)();  // fills state.crcTable for this build's CRC-32
};

extern "C" const Codec jovStubCodec;

#ifndef JOV_STUB
#include "codec/code_lengths.h"
#include "codec/crc32.h"
#include "codec/fast_decoder.h"
#include "codec/lz_decoder.h"
#include "codec/stream_reader.h"

inline const Codec hostCodec = {"host", decodeBlock, readCodeLengths, readStreamFile, buildCrcTable};

// lz_decoder.cpp as the host compiles it (64-bit bit reader, widened tables), which `jov` bypasses for
// the fast decoder: tests hold it to the other two.
inline int32_t decodeBlockWithoutFastDecoder(uint8_t* buffer, uint32_t historyLength, uint32_t requested) {
  fastDecoderEnabled = false;
  int32_t result = decodeBlock(buffer, historyLength, requested);
  fastDecoderEnabled = true;
  return result;
}
#endif
