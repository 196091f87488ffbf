// decodeBlock on arbitrary block data, in the stub's build (tests/support/
// codecs.h), the host's build of the same source and the host's fast decoder:
// all three decode alike. Input: one control byte (bits 0-2 choose the
// history length), then a block as it lies in a stream; its outputLength (at
// most 64 KiB of it) is asked for. A guard behind the output area must stay
// as it was: ASan does not see into the stub's string move.
#include <algorithm>
#include <stdexcept>

#include "archive_fixture.h"
#include "block_builder.h"
#include "codec/fast_decoder.h"
#include "codec/lz_decoder.h"
#include "codecs.h"
#include "fuzz_support.h"
#include "reference_reader.h"

namespace {

const uint32_t HISTORIES[8] = {0, 0, 1, 37, 1000, 4096, 65536, 200000};
// Long outputs cost time without new paths; the whole-archive target decodes
// full-size blocks.
const uint32_t REQUEST_CAP = 1u << 16;
const uint32_t GUARD = 64;

// The bytes in front of every decode, compared whole: byte checks cost more than the decoding.
const std::vector<uint8_t> HISTORY = [] {
  std::vector<uint8_t> h(HISTORIES[7]);
  for (uint32_t i = 0; i < h.size(); ++i) h[i] = (uint8_t)(i * 7 + (i >> 8) * 13);
  return h;
}();

struct Outcome {
  int32_t result;
  std::vector<uint8_t> bytes;  // history and output
  uint64_t endBit;
};

Outcome decode(int32_t (*decodeBlock)(uint8_t*, uint32_t, uint32_t), const std::vector<uint8_t>& block,
               uint32_t history, uint32_t requested) {
  Outcome o{0, std::vector<uint8_t>(history + requested + GUARD, 0xCC), 0};
  std::copy(HISTORY.begin(), HISTORY.begin() + history, o.bytes.begin());
  LoadedInput input(block, BLOCK_CODED_DATA_BIT);
  const uint8_t* inputEnd = state.inputEnd;
  uint64_t blocksBefore = platformHooks.liveBlocks;
  o.result = decodeBlock(o.bytes.data(), history, requested);
  fuzzCheck(std::all_of(o.bytes.end() - GUARD, o.bytes.end(), [](uint8_t b) { return b == 0xCC; }),
            "nothing written past the request");
  fuzzCheck(platformHooks.liveBlocks == blocksBefore, "length buffer freed");
  fuzzCheck(o.result == RC_DAMAGED || o.result == RC_INPUT_EXHAUSTED || o.result == RC_NO_MEMORY ||
                (o.result >= 0 && (uint32_t)o.result <= requested),
            "result is a count within the request, damaged data or input used up");
  fuzzCheck(state.inputCursor <= inputEnd + INPUT_LOOKAHEAD + 1, "cursor within the lookahead");
  fuzzCheck(std::equal(HISTORY.begin(), HISTORY.begin() + history, o.bytes.begin()), "history untouched");
  if (o.result >= 0) fuzzCheck(state.inputBitOffset == 0, "cursor rounded up to a byte");
  o.bytes.resize(history + (uint32_t)std::max(o.result, 0));
  o.endBit = (uint64_t)(state.inputCursor - input.buffer.data()) * 8 + state.inputBitOffset;
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 + 8) return 0;
  const uint32_t history = HISTORIES[data[0] & 7];
  std::vector<uint8_t> block(data + 1, data + std::min(size, (size_t)(1 + INPUT_BUFFER_SIZE - INPUT_LOOKAHEAD)));
  const uint32_t outputLength = readBlockField(block.data(), BF_OUTPUT_LENGTH);
  const uint32_t requested = std::min(outputLength, REQUEST_CAP);

  Outcome stub = decode(jovStubCodec.decodeBlock, block, history, requested),
          host = decode(decodeBlockWithoutFastDecoder, block, history, requested),
          fast = decode(decodeBlock, block, history, requested);
  for (const Outcome* o : {&host, &fast})
    fuzzCheck(o->result == stub.result && o->endBit == stub.endBit && o->bytes == stub.bytes,
              "the three decoders decode alike");
  if (requested != outputLength) return 0;
  std::vector<uint8_t> expected(stub.bytes.begin(), stub.bytes.begin() + history);
  uint32_t used;
  try {
    used = reference::decodeCompressedBlock(block.data(), (uint32_t)block.size(), expected, history, requested, nullptr);
  } catch (const std::runtime_error&) {
    return 0;
  }
  fuzzCheck(stub.result == (int32_t)requested && stub.bytes == expected && stub.endBit == used * 8ull,
            "a valid block decodes as the reference reader reads it");
  return 0;
}
