// The code-length sets and the tables built from them.
//
// Input: one control byte (bit 0: three distance alphabets, bits 1-6:
// setCount, bit 7: round trip), then data.
// - Reading: the data are a block's coded lengths. readCodeLengths must end
//   with RC_OK, RC_DAMAGED or RC_INPUT_EXHAUSTED, fill the whole destination
//   with lengths of 0 to 16 and leave its cursor within the lookahead. Every
//   alphabet of every set is then built into a table; a complete code must
//   build, and with any prefix code that builds the rest of the data decoded with it must give, symbol by
//   symbol, what a plain canonical-code search gives.
// - Round trip: the data are the lengths themselves (each byte mod 17); what
//   the packer writes for them must read back exactly.
#include <map>

#include "block_builder.h"
#include "codec/code_lengths.h"
#include "codec/huffman.h"
#include "fuzz_support.h"
#include "packer/code_lengths.h"

namespace {

struct Alphabet {
  uint32_t position, count, lookupBits;
};
const Alphabet ALPHABETS[4] = {{0, LITLEN_SYMBOLS, LITLEN_LOOKUP_BITS},
                               {SET_POS_DIST0, DIST0_SYMBOLS, DIST_LOOKUP_BITS},
                               {SET_POS_DIST1, DIST1_SYMBOLS, DIST_LOOKUP_BITS},
                               {SET_POS_DIST2, DIST2_SYMBOLS, DIST_LOOKUP_BITS}};

// The canonical code, searched plainly: (length, code) -> symbol.
struct PlainCode {
  std::map<std::pair<uint32_t, uint32_t>, int> symbols;
  PlainCode(const uint8_t* lengths, uint32_t count) {
    std::vector<uint32_t> codes = msbFirstCodes(lengths, count);
    for (uint32_t s = 0; s < count; ++s)
      if (lengths[s]) symbols[{lengths[s], codes[s]}] = (int)s;
  }
  // Symbol whose code starts at `bit` of `in`, or -1.
  int decode(const std::vector<uint8_t>& in, uint64_t bit) const {
    uint32_t code = 0;
    for (uint32_t l = 1; l <= MAX_CODE_LENGTH; ++l, ++bit) {
      code = code << 1 | (bit / 8 < in.size() ? (in[bit / 8] >> (bit % 8)) & 1 : 0);
      auto it = symbols.find({l, code});
      if (it != symbols.end()) return it->second;
    }
    return -1;
  }
};

void checkTable(const uint8_t* lengths, const Alphabet& a, const std::vector<uint8_t>& symbols) {
  uint32_t codes[LITLEN_SYMBOLS];
  int32_t lookup[1u << LITLEN_LOOKUP_BITS];
  int32_t tree[2 * LITLEN_SYMBOLS];
  assignCodes(codes, lengths, a.count);
  ResultCode rc = buildDecodeTable(lookup, tree, codes, lengths, a.lookupBits, a.count);
  bool prefix = isPrefixCode(lengths, a.count);
  fuzzCheck(rc == RC_OK || (rc == RC_DAMAGED && !isCompleteCode(lengths, a.count)),
            "every complete code builds");
  if (rc != RC_OK || !prefix || symbols.empty()) return;

  std::vector<uint8_t> buffer;
  loadWholeBlock(buffer, symbols.data(), symbols.size(), 0);
  HuffmanTable table = {lookup, tree, a.lookupBits, a.count};
  const uint8_t* cursor = state.inputCursor;
  uint32_t bitOffset = 0;
  PlainCode plain(lengths, a.count);
  for (int n = 0; n < 64 && cursor < state.inputEnd; ++n) {
    uint64_t bit = (uint64_t)(cursor - buffer.data()) * 8 + bitOffset;
    int expected = plain.decode(symbols, bit);
    int32_t symbol = decodeSymbol(&table, lengths, &cursor, &bitOffset);
    if (symbol == EMPTY_ENTRY) {
      fuzzCheck(expected < 0, "no code where the canonical code has one");
      return;
    }
    fuzzCheck(symbol == expected, "symbol equals the canonical code's");
    uint64_t after = (uint64_t)(cursor - buffer.data()) * 8 + bitOffset;
    fuzzCheck(after == bit + lengths[symbol], "cursor advances by the symbol's length");
  }
}

void readSets(uint32_t setSize, uint32_t setCount, const uint8_t* data, size_t size) {
  std::vector<uint8_t> buffer;
  loadWholeBlock(buffer, data, size, 0);
  const uint8_t* inputEnd = state.inputEnd;
  std::vector<uint8_t> lengths(setCount ? setCount * setSize : SET_SIZE_2, 0xEE);
  ResultCode rc = readCodeLengths(lengths.data(), setSize, setCount);
  fuzzCheck(rc == RC_OK || rc == RC_DAMAGED || rc == RC_INPUT_EXHAUSTED, "result is one of three");
  fuzzCheck(state.inputCursor <= inputEnd + INPUT_LOOKAHEAD, "cursor within the lookahead");
  if (rc != RC_OK) return;
  for (uint8_t l : lengths) fuzzCheck(l <= MAX_CODE_LENGTH, "lengths of 0 to 16");

  // The rest of the data, as symbols of each table.
  size_t used = (size_t)(state.inputCursor - buffer.data()) + (state.inputBitOffset ? 1 : 0);
  std::vector<uint8_t> symbols(data + std::min(used, size), data + size);
  if (setCount == 0) setSize = SET_SIZE_2;  // the fixed set
  uint32_t alphabets = setSize == SET_SIZE_3 ? 4 : 3;
  for (size_t at = 0; at < lengths.size(); at += setSize)
    for (uint32_t a = 0; a < alphabets; ++a) checkTable(lengths.data() + at + ALPHABETS[a].position, ALPHABETS[a], symbols);
}

void roundTrip(uint32_t setSize, uint32_t setCount, const uint8_t* data, size_t size) {
  if (setCount == 0) return;
  std::vector<uint8_t> lengths(setCount * setSize, 0);
  for (size_t i = 0; i < lengths.size() && i < size; ++i) lengths[i] = data[i] % (MAX_CODE_LENGTH + 1);
  jov::BitWriter writer;
  jov::writeCodeLengths(writer, lengths, setSize);
  writer.alignToByte();
  std::vector<uint8_t>& bytes = writer.bytes();
  std::vector<uint8_t> buffer;
  loadWholeBlock(buffer, bytes.data(), bytes.size(), 0);
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
