// decodeBlock on arbitrary block data, behind a history of chosen length.
//
// Input: one control byte, then a block as it lies in a stream (BlockHeader,
// window selector, coded data from bit 50). Control bits 0-2 choose the
// history length; the block's outputLength (at most 64 KiB of it) is the
// length asked for.
//
// Checks: nothing outside [history end, history end + requested) changes
// (the output area is sized exactly, so ASan sees any write beyond it; within
// it, bytes past the count are no output: a step dropped at a cut input may
// have left its bytes there), the history is untouched, the count is within what was asked, the cursor ends
// within the lookahead, the length buffer is freed on every path. Whenever
// every table set is a prefix code, the result, the bytes and the end of the
// coded data must equal the plain reference decoder's.
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "block_builder.h"
#include "codec/code_lengths.h"
#include "codec/huffman.h"
#include "codec/lz_decoder.h"
#include "fuzz_support.h"

namespace {

const uint32_t HISTORIES[8] = {0, 0, 1, 37, 1000, 4096, 65536, 200000};
// Long outputs cost both decoders time without new paths; the whole-archive
// target decodes full-size blocks.
const uint32_t REQUEST_CAP = 1u << 16;

uint8_t historyByte(uint32_t i) { return (uint8_t)(i * 7 + (i >> 8) * 13); }

// Whether the pre-code that follows the prefix is a prefix code: when it is
// not, the two decoders may resolve its clashes differently.
bool precodeIsPrefixCode(const uint8_t* block, size_t size) {
  uint8_t precode[PRECODE_SYMBOLS] = {};
  uint64_t bit = BLOCK_CODED_DATA_BIT + 8, weight = 1;
  for (uint64_t i = 0; i < PRECODE_SYMBOLS;) {
    uint32_t field = 0;
    for (uint32_t k = 0; k < 5; ++k, ++bit)
      field |= (bit / 8 < size ? (block[bit / 8] >> (bit % 8)) & 1u : 0u) << k;
    if (field >= 2) {
      if (field - 1 > MAX_CODE_LENGTH) return false;
      precode[i++] = (uint8_t)(field - 1), weight = 1;
    } else {
      i += weight * (field + 1), weight = std::min<uint64_t>(2 * weight, 1u << 20);
    }
  }
  return isPrefixCode(precode, PRECODE_SYMBOLS);
}

// The table sets the block carries, as the decoder reads them; false when
// they cannot be read.
bool blockSets(const uint8_t* block, size_t size, uint32_t* alphabets, uint32_t* setCount,
               std::vector<uint8_t>* lengths) {
  std::vector<uint8_t> buffer;
  loadWholeBlock(buffer, block, size, BLOCK_CODED_DATA_BIT);
  uint32_t prefix = (readLe32(state.inputCursor) >> state.inputBitOffset) & 0xFF;
  *alphabets = prefix & 3;
  *setCount = prefix >> 2;
  if (*alphabets == 0) return false;
  state.inputCursor += 1;  // bit 58, past the 8-bit prefix
  uint32_t setSize = *alphabets == 3 ? SET_SIZE_3 : SET_SIZE_2;
  lengths->assign(*setCount ? *setCount * setSize : SET_SIZE_2, 0);
  return readCodeLengths(lengths->data(), setSize, *setCount) == RC_OK;
}

// Every alphabet in use is a prefix code that builds into a table: then the
// fast tables and the reference's plain search must decode alike.
bool allPrefixCodes(uint32_t alphabets, uint32_t setCount, const std::vector<uint8_t>& lengths) {
  uint32_t setSize = setCount == 0 ? SET_SIZE_2 : alphabets == 3 ? SET_SIZE_3 : SET_SIZE_2;
  auto usable = [](const uint8_t* l, uint32_t count, uint32_t bits) {
    return isPrefixCode(l, count) && tableBuilds(l, count, bits);
  };
  for (size_t at = 0; at < lengths.size(); at += setSize) {
    const uint8_t* set = lengths.data() + at;
    if (!usable(set, LITLEN_SYMBOLS, LITLEN_LOOKUP_BITS) ||
        !usable(set + SET_POS_DIST0, DIST0_SYMBOLS, DIST_LOOKUP_BITS))
      return false;
    if (alphabets >= 2 && !usable(set + SET_POS_DIST1, DIST1_SYMBOLS, DIST_LOOKUP_BITS)) return false;
    if (alphabets == 3 && setCount && !usable(set + SET_POS_DIST2, DIST2_SYMBOLS, DIST_LOOKUP_BITS))
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzInit();
  if (size < 1 + 8) return 0;
  const uint32_t history = HISTORIES[data[0] & 7];
  const uint8_t* block = data + 1;
  size_t blockSize = size - 1;
  const uint32_t requested = std::min((readLe32(block) >> 5) & 0xFFFFF, REQUEST_CAP);

  std::vector<uint8_t> out(history + requested);
  for (uint32_t i = 0; i < history; ++i) out[i] = historyByte(i);

  std::vector<uint8_t> buffer;
  loadWholeBlock(buffer, block, blockSize, BLOCK_CODED_DATA_BIT);
  const uint8_t* inputEnd = state.inputEnd;
  uint64_t blocksBefore = platformHooks.liveBlocks;
  int32_t got = decodeBlock(out.data(), history, requested);
  fuzzCheck(platformHooks.liveBlocks == blocksBefore, "length buffer freed");
  fuzzCheck(got == RC_DAMAGED || got == RC_INPUT_EXHAUSTED || got == RC_NO_MEMORY ||
                (got >= 0 && (uint32_t)got <= requested),
            "result is a count within the request, damaged data or input used up");
  fuzzCheck(state.inputCursor <= inputEnd + INPUT_LOOKAHEAD + 1, "cursor within the lookahead");
  for (uint32_t i = 0; i < history; ++i) fuzzCheck(out[i] == historyByte(i), "history untouched");
  uint32_t written = got >= 0 ? (uint32_t)got : 0;
  if (got >= 0) fuzzCheck(state.inputBitOffset == 0, "cursor rounded up to a byte");
  uint64_t endBit = (uint64_t)(state.inputCursor - buffer.data()) * 8;

  uint32_t alphabets, setCount;
  std::vector<uint8_t> lengths;
  if (!blockSets(block, blockSize, &alphabets, &setCount, &lengths)) return 0;
  if (!allPrefixCodes(alphabets, setCount, lengths)) return 0;
  if (setCount && !precodeIsPrefixCode(block, blockSize)) return 0;
  std::vector<uint8_t> input(block, block + std::min(blockSize, (size_t)(INPUT_BUFFER_SIZE - INPUT_LOOKAHEAD)));
  std::vector<uint8_t> reference(out.begin(), out.begin() + history);
  uint64_t referenceEnd = 0;
  int32_t expected = referenceDecode(input, BLOCK_CODED_DATA_BIT, reference, requested, &referenceEnd);
  if (got != expected) fprintf(stderr, "decodeBlock %d, reference %d\n", got, expected);
  fuzzCheck(got == expected, "result equals the reference decoder's");
  if (got < 0) return 0;
  fuzzCheck(std::equal(out.begin() + history, out.begin() + history + written, reference.begin() + history),
            "bytes equal the reference decoder's");
  fuzzCheck(endBit == referenceEnd, "coded data end where the reference decoder's end");
  return 0;
}
