// The code-length sets and the tables built from them.
//
// Input: one control byte (bit 0: three distance alphabets, bits 1-6:
// setCount, bit 7: round trip), then data.
// - Reading: the data are a block's coded lengths. readCodeLengths must end
//   with RC_OK, RC_DAMAGED or RC_INPUT_EXHAUSTED, fill the destination with
//   lengths of 0 to 16, leave its cursor within the lookahead, and read what
//   the strict reference reader reads from the same bytes when that accepts
//   them. Every alphabet of every set is then built into a table: a complete
//   code must build and decode the rest of the data, symbol by symbol, as the
//   reference's canonical code does.
// - Round trip: the data are the lengths themselves (each byte mod 17); what
//   the packer writes for them must read back exactly.
#include <stdexcept>

#include "block_builder.h"
#include "codec/code_lengths.h"
#include "codec/huffman.h"
#include "fuzz_support.h"
#include "packer/code_lengths.h"
#include "reference_reader.h"

namespace {

void checkTable(const uint8_t* lengths, uint32_t count, uint32_t lookupBits, const std::vector<uint8_t>& symbols) {
  uint32_t codes[LITLEN_SYMBOLS];
  int32_t lookup[1u << LITLEN_LOOKUP_BITS], tree[2 * LITLEN_SYMBOLS];
  assignCodes(codes, lengths, count);
  ResultCode rc = buildDecodeTable(lookup, tree, codes, lengths, lookupBits, count);
  reference::Code code;
  try {
    code.build(lengths, count);
  } catch (const std::runtime_error&) {
    return;  // neither complete nor empty
  }
  if (code.symbols.empty()) return;
  fuzzCheck(rc == RC_OK, "every complete code builds");
  LoadedInput input(symbols, 0);
  HuffmanTable table = {lookup, tree, lookupBits, count};
  const uint8_t* cursor = state.inputCursor;
  uint32_t bitOffset = 0;
  reference::Bits in{symbols.data(), (uint64_t)symbols.size() * 8};
  for (int n = 0; n < 64; ++n) {
    uint32_t expected;
    try {
      expected = code.decode(in);
    } catch (const std::runtime_error&) {
      return;  // the data end
    }
    int32_t symbol = decodeSymbol(&table, lengths, &cursor, &bitOffset);
    fuzzCheck(symbol == (int32_t)expected, "symbol equals the canonical code's");
    fuzzCheck((uint64_t)(cursor - input.buffer.data()) * 8 + bitOffset == in.pos, "cursor advances by the code");
  }
}

void readSets(uint32_t setSize, uint32_t setCount, const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  LoadedInput input(bytes, 0);
  const uint8_t* inputEnd = state.inputEnd;
  std::vector<uint8_t> lengths(setCount ? setCount * setSize : SET_SIZE_2, 0xEE);
  ResultCode rc = readCodeLengths(lengths.data(), setSize, setCount);
  fuzzCheck(rc == RC_OK || rc == RC_DAMAGED || rc == RC_INPUT_EXHAUSTED, "result is one of three");
  fuzzCheck(state.inputCursor <= inputEnd + INPUT_LOOKAHEAD, "cursor within the lookahead");
  if (rc != RC_OK) return;
  for (uint8_t l : lengths) fuzzCheck(l <= MAX_CODE_LENGTH, "lengths of 0 to 16");
  size_t used = (size_t)(state.inputCursor - input.buffer.data()) + (state.inputBitOffset ? 1 : 0);
  if (setCount && used <= size) {
    try {
      std::vector<uint8_t> expected = reference::readCodeLengthSets({data, data + used}, setSize, setCount);
      fuzzCheck(expected == lengths, "lengths equal the reference reader's");
    } catch (const std::runtime_error&) {
    }
  }
  // The rest of the data, as symbols of each table.
  std::vector<uint8_t> symbols(data + std::min(used, size), data + size);
  if (setCount == 0) setSize = SET_SIZE_2;  // the fixed set
  for (size_t at = 0; at < lengths.size(); at += setSize) {
    checkTable(&lengths[at], LITLEN_SYMBOLS, LITLEN_LOOKUP_BITS, symbols);
    for (uint32_t a = 0; a < (setSize == SET_SIZE_3 ? 3u : 2u); ++a)
      checkTable(&lengths[at + DIST_ALPHABET_POSITION[a]], DIST_ALPHABET_SIZE[a], DIST_LOOKUP_BITS, symbols);
  }
}

void roundTrip(uint32_t setSize, uint32_t setCount, const uint8_t* data, size_t size) {
  if (setCount == 0) return;
  std::vector<uint8_t> lengths(setCount * setSize, 0);
  for (size_t i = 0; i < lengths.size() && i < size; ++i) lengths[i] = data[i] % (MAX_CODE_LENGTH + 1);
  jov::BitWriter writer;
  jov::writeCodeLengths(writer, lengths, setSize);
  writer.alignToByte();
  LoadedInput input(writer.bytes(), 0);
  std::vector<uint8_t> back(lengths.size(), 0xEE);
  fuzzCheck(readCodeLengths(back.data(), setSize, setCount) == RC_OK, "written lengths read back");
  fuzzCheck(back == lengths, "written lengths read back exactly");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzInit();
  if (size < 1) return 0;
  uint32_t setSize = (data[0] & 1) ? SET_SIZE_3 : SET_SIZE_2;
  uint32_t setCount = (data[0] >> 1) & 63;
  if (data[0] & 0x80) roundTrip(setSize, setCount, data + 1, size - 1);
  else readSets(setSize, setCount, data + 1, size - 1);
  return 0;
}
