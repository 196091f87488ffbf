// The codec's two builds side by side in one test program, each reached through a table of its entry
// points: the host's (jovcore) and the stub's (jovcodec_stub, see CMakeLists.txt). Both work on `state`.
#pragma once

#include <string>

#include "codec/code_lengths.h"
#include "codec/crc32.h"
#include "codec/fast_decoder.h"
#include "codec/lz_decoder.h"
#include "codec/stream_reader.h"

struct Codec {
  const char* name;
  decltype(&::decodeBlock) decodeBlock;
  decltype(&::readCodeLengths) readCodeLengths;
  decltype(&::readStreamFile) readStreamFile;
  decltype(&::buildCrcTable) buildCrcTable;  // this build's CRC-32 tables
};

extern "C" const Codec jovStubCodec;

#ifndef JOV_STUB
inline const Codec hostCodec = {"host", decodeBlock, readCodeLengths, readStreamFile, buildCrcTable};

// The reason the host noted since it was last cleared, as `jov` prints it ("" for none).
inline std::string notedReason() {
  const DamageReason& d = damageReason();
  return !d.text ? "" : d.hasValue ? d.text + (" " + std::to_string(d.value)) : d.text;
}

// lz_decoder.cpp as the host builds it, which `jov` bypasses for the fast decoder.
inline int32_t decodeBlockWithoutFastDecoder(uint8_t* buffer, uint32_t historyLength, uint32_t requested) {
  fastDecoderEnabled = false;
  int32_t result = decodeBlock(buffer, historyLength, requested);
  fastDecoderEnabled = true;
  return result;
}
#endif
