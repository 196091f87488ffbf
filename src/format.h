// The JOV archive format: every constant and record layout that the reader
// (the stub and the `jov` command) and the writer (the packer) share. Both
// sides include this header, so they cannot drift apart. Records are read and
// written byte by byte, little-endian; never by casting a pointer to a struct.
//
//   self-extractor file
//   +----------------------+  0
//   | stub (PE32 GUI exe)  |  carries a seal (below) with its own length
//   +----------------------+  archiveOffset = stub length
//   | ArchiveHeader   42 B |  "JOV\n", directoryOffset, entryCount, ...
//   +----------------------+  archive offset 42
//   | data stream          |  "JOVLH\0", then blocks; decodes into one solid
//   | data stream ...      |  sequence of StreamRecord + file bytes + crc
//   +----------------------+  directoryOffset
//   | directory block      |  "JOVDE\0", then one block (<= 8184 B encoded,
//   | directory block ...  |  <= 8192 B decoded) of whole DirectoryRecords
//   +----------------------+  end of archive (a signature may follow it)
//
//   block = BlockHeader (45 bits) + window selector (5 bits) + data
//     bits  0..3   blockType      0 stored, 1 compressed, 2..15 damaged
//     bit   4      lastBlock
//     bits  5..24  outputLength   decoded bytes, <= 1048575
//     bits 25..44  blockSize      encoded bytes incl. header, <= 1048575
//     bits 45..46  windowRow      (3 means row 2)
//     bits 47..49  windowColumn
//     stored data: whole bytes from byte 7; coded data: from bit 50
//
//   DirectoryRecord = DirectoryEntry (38 B) + name + extra bytes
//   StreamRecord    = fileLength u32, variableLength u16, 5 reserved bytes,
//                     variable part (the name), then the file's bytes, then
//                     the file's CRC-32 (u32)
#pragma once

#include <stdint.h>

// ---- Container ------------------------------------------------------------

const uint32_t ARCHIVE_HEADER_SIZE = 42;
const uint32_t SIGNATURE_SIZE = 6;       // "JOVLH\0" and "JOVDE\0"
const uint32_t DIRECTORY_ENTRY_SIZE = 38;
const uint32_t STREAM_RECORD_FIXED_SIZE = 11;
const uint32_t STREAM_RECORD_CRC_SIZE = 4;  // fileCrc after the file's bytes

// Directory blocks are fetched with one read of at most this many encoded
// bytes (header, selector and data) and decode into the 8192-byte buffer.
const uint32_t DIRECTORY_BLOCK_MAX_ENCODED = 8184;
const uint32_t DIRECTORY_BUFFER_SIZE = 8192;

// Paths: 260 characters with the terminator; a joined install path (folder,
// separator, name) has at most 259 characters.
const uint32_t PATH_CAPACITY = 260;
const uint32_t PATH_MAX_CHARS = 259;

extern const uint8_t ARCHIVE_MAGIC[4];          // "JOV\n"
extern const uint8_t STREAM_SIGNATURE[6];       // "JOVLH\0"
extern const uint8_t DIRECTORY_SIGNATURE[6];    // "JOVDE\0"

// ArchiveHeader byte offsets.
enum {
  AH_MAGIC = 0,
  AH_DIRECTORY_OFFSET = 4,
  AH_ENTRY_COUNT = 8,
  AH_RESERVED1 = 12,
  AH_RESERVED2 = 16,
  AH_ARCHIVE_LENGTH = 20,
  AH_DATA_LENGTH = 24,
  AH_RESERVED3 = 28,
  AH_RESERVED4 = 32,
  AH_RESERVED5 = 36,
  AH_HEADER_WORD = 40,
};

// The directory check that `jov pack` writes into reserved header fields.
// The installer reads none of them (nor headerWord); only `jov` does, and
// only when the tag stands at AH_DIRECTORY_CRC_TAG: readers must accept any
// value in reserved fields, so an archive without the tag is never refused
// for them.
//   12  u32 DIRECTORY_CRC_TAG ("DCRC")
//   16  u32 CRC-32 of the archive bytes [directoryOffset, archiveLength): every
//           directory block, signatures included
//   40  u16 headerWord, the low 16 bits of the CRC-32 of header bytes 0..39
//           (written whether tagged or not; checked by `jov` when tagged)
// CRC-32 finds every single-bit change of the bytes it covers, so a damaged
// directory cannot pass for a good one with other names or kinds.
enum {
  AH_DIRECTORY_CRC_TAG = AH_RESERVED1,
  AH_DIRECTORY_CRC = AH_RESERVED2,
};
const uint32_t DIRECTORY_CRC_TAG = 0x43524344u;  // "DCRC", little-endian

// The parsed header. Only directoryOffset and entryCount steer the reader;
// the rest is what the producer wrote and is shown by `jov list`.
struct ArchiveHeader {
  uint8_t magic[4];
  uint32_t directoryOffset;
  uint32_t entryCount;
  uint32_t archiveLength;
  uint32_t dataLength;
  uint32_t reserved[5];  // offsets 12, 16, 28, 32, 36
  uint16_t headerWord;
};

// DirectoryEntry byte offsets.
enum {
  DE_RESERVED0 = 0,
  DE_STREAM_OFFSET = 4,
  DE_ATTRIBUTES = 8,
  DE_RESERVED9 = 9,
  DE_SMALL_EXTRA_LENGTH = 10,
  DE_FLAGS = 11,
  DE_STREAM_POSITION = 12,
  DE_LENGTH = 16,
  DE_CRC = 20,
  DE_EXTRA_LENGTH = 24,
  DE_NAME_LENGTH = 26,
  DE_CREATE_TIME = 28,
  DE_CREATE_DATE = 30,
  DE_WRITE_TIME = 32,
  DE_WRITE_DATE = 34,
  DE_RESERVED36 = 36,
};

struct DirectoryEntry {
  uint32_t reserved0;
  uint32_t streamOffset;
  uint8_t attributes;
  uint8_t reserved9;
  uint8_t smallExtraLength;
  uint8_t flags;
  uint32_t streamPosition;
  uint32_t length;
  uint32_t crc;
  uint16_t extraLength;
  uint16_t nameLength;
  uint16_t createTime;
  uint16_t createDate;
  uint16_t writeTime;
  uint16_t writeDate;
  uint16_t reserved36;
};

// DirectoryEntry.flags
const uint8_t ENTRY_FOLDER = 0x01;
const uint8_t ENTRY_FILTER_2 = 0x02;  // call filter, 16-bit operands (wins over 4)
const uint8_t ENTRY_FILTER_4 = 0x04;  // call filter, 32-bit operands

// Call-filter modes, named by their operand size in bytes.
const uint32_t FILTER_NONE = 0;
const uint32_t FILTER_OPERAND_16 = 2;
const uint32_t FILTER_OPERAND_32 = 4;

// Attribute bits the extractor applies (read-only, hidden, system).
const uint8_t ENTRY_APPLIED_ATTRIBUTES = 0x07;

// StreamRecord byte offsets.
enum {
  SR_FILE_LENGTH = 0,
  SR_VARIABLE_LENGTH = 4,
  SR_RESERVED = 6,
};

// ---- Little-endian access -------------------------------------------------

inline uint16_t readLe16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t readLe32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline void writeLe16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}
inline void writeLe32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

// ---- Blocks ---------------------------------------------------------------
//
// Every block starts with a header of fixed fields, LSB-first from the
// block's first byte: the bit of a field's value k lies at bit (bit + k).
// These six constants are the one definition of where each field lies.
// Three functions below turn them into shifts: readBlockField and
// writeBlockField, and windowSizeOf, which splits the selector (row and
// column, read as one field) at BF_WINDOW_ROW's width; no other code does.

struct BlockField {
  uint32_t bit;    // position of the field's lowest bit
  uint32_t width;  // in bits
};
constexpr BlockField BF_TYPE = {0, 4};
constexpr BlockField BF_LAST = {4, 1};
constexpr BlockField BF_OUTPUT_LENGTH = {5, 20};
constexpr BlockField BF_BLOCK_SIZE = {25, 20};
constexpr BlockField BF_WINDOW_ROW = {45, 2};
constexpr BlockField BF_WINDOW_COLUMN = {47, 3};
// Row and column read in one go.
constexpr BlockField BF_WINDOW_SELECTOR = {BF_WINDOW_ROW.bit, BF_WINDOW_ROW.width + BF_WINDOW_COLUMN.width};

constexpr uint32_t fieldEnd(BlockField f) { return f.bit + f.width; }
constexpr uint32_t fieldMax(BlockField f) { return (1u << f.width) - 1; }
static_assert(fieldEnd(BF_TYPE) == BF_LAST.bit && fieldEnd(BF_LAST) == BF_OUTPUT_LENGTH.bit &&
                  fieldEnd(BF_OUTPUT_LENGTH) == BF_BLOCK_SIZE.bit && fieldEnd(BF_BLOCK_SIZE) == BF_WINDOW_ROW.bit &&
                  fieldEnd(BF_WINDOW_ROW) == BF_WINDOW_COLUMN.bit,
              "the header's fields follow each other without gaps");

const uint32_t BLOCK_STORED = 0;
const uint32_t BLOCK_COMPRESSED = 1;  // 2 .. fieldMax(BF_TYPE): damaged data
const uint32_t BLOCK_MAX_OUTPUT = fieldMax(BF_OUTPUT_LENGTH);
const uint32_t BLOCK_MAX_SIZE = fieldMax(BF_BLOCK_SIZE);
const uint32_t BLOCK_HEADER_BITS = fieldEnd(BF_BLOCK_SIZE);  // the selector is not always read
const uint32_t BLOCK_HEADER_MIN_BYTES = (BLOCK_HEADER_BITS + 7) / 8;
const uint32_t BLOCK_CODED_DATA_BIT = fieldEnd(BF_WINDOW_COLUMN);  // after header and selector
const uint32_t BLOCK_STORED_DATA_BYTE = (BLOCK_CODED_DATA_BIT + 7) / 8;
// The most data one stored block can carry: header and selector count
// towards its blockSize.
const uint32_t STORED_BLOCK_MAX_DATA = BLOCK_MAX_SIZE - BLOCK_STORED_DATA_BYTE;

// A field's value; reads the 32-bit word at the field's first byte. Always
// inlined: with the field a constant, it is one load, shift and mask.
inline __attribute__((always_inline)) uint32_t readBlockField(const uint8_t* header, BlockField f) {
  return (readLe32(header + f.bit / 8) >> (f.bit % 8)) & fieldMax(f);
}
static_assert(BF_OUTPUT_LENGTH.bit % 8 + BF_OUTPUT_LENGTH.width <= 32 &&
                  BF_BLOCK_SIZE.bit % 8 + BF_BLOCK_SIZE.width <= 32 &&
                  BF_WINDOW_SELECTOR.bit % 8 + BF_WINDOW_SELECTOR.width <= 32,
              "every field read lies within one 32-bit word");

// ORs `value` into a field whose bits are still zero.
inline void writeBlockField(uint8_t* header, BlockField f, uint32_t value) {
  for (uint32_t i = 0; i < f.width; ++i)
    if ((value >> i) & 1) header[(f.bit + i) / 8] |= (uint8_t)(1u << ((f.bit + i) % 8));
}

// Block input buffer: 61440 bytes, of which at most 8 + 61424 are ever loaded;
// the decoders may read a whole word at inputEnd + 8 (one byte past those 8),
// so the allocation carries slack beyond the 61440 bytes.
const uint32_t INPUT_BUFFER_SIZE = 61440;
const uint32_t INPUT_CHUNK = 61424;
const uint32_t INPUT_LOOKAHEAD = 8;
const uint32_t INPUT_BUFFER_SLACK = 16;

// Output buffer slack added whenever the stream's output buffer grows.
const uint32_t OUTPUT_BUFFER_SLACK = 512;

// History windows, chosen by a compressed block's selector. Rows 0 and 1 are
// equal; windowRow 3 reads as row 2. Each row grows; the last entry is the
// largest.
const uint32_t WINDOW_ROWS = 3;
const uint32_t WINDOW_COLUMNS = 1u << BF_WINDOW_COLUMN.width;
inline constexpr uint32_t windowSizes[WINDOW_ROWS][WINDOW_COLUMNS] = {
    {32768, 65536, 73728, 98304, 122880, 147456, 172032, 196608},
    {32768, 65536, 73728, 98304, 122880, 147456, 172032, 196608},
    {32768, 131072, 196608, 262144, 327680, 393216, 458752, 524288},
};
const uint32_t WINDOW_MAX = windowSizes[WINDOW_ROWS - 1][WINDOW_COLUMNS - 1];

inline uint32_t windowSizeOf(uint32_t selector) {
  uint32_t row = selector & fieldMax(BF_WINDOW_ROW), column = selector >> BF_WINDOW_ROW.width;
  if (row >= WINDOW_ROWS) row = WINDOW_ROWS - 1;
  return windowSizes[row][column];
}

// The window a reader keeps in front of a block: a compressed block's
// selector names it; a stored block keeps the largest, since a compressed
// block after it may reach that far.
inline uint32_t blockWindow(uint32_t blockType, uint32_t selector) {
  return blockType == BLOCK_COMPRESSED ? windowSizeOf(selector) : WINDOW_MAX;
}
// The history a reader keeps in front of a block: the last bytes of the
// `history` produced since its stream (re)started, at most `window`
// (blockWindow). A match reaching further is dropped.
inline uint32_t keptHistory(uint64_t history, uint32_t window) {
  return history < window ? (uint32_t)history : window;
}

// ---- Coded blocks ---------------------------------------------------------
//
// What a writer must keep to, because the reader takes the rest as follows:
// - distanceAlphabets 2 or 3. (1 is read as "every match, length 2 included,
//   takes alphabet 0"; sets still hold SET_SIZE_2 lengths. 3 with the fixed
//   set reads length-3 matches from alphabet 0.) 0 is damaged data.
// - Code lengths that form prefix codes (Kraft sum at most 1). A long code
//   colliding with a code of another length is damaged data; pre-code
//   lengths above MAX_CODE_LENGTH are damaged data.
// - Never literal/length symbol SYMBOL_UNUSED (damaged data).
// - No repeat-distance symbol before the block has named the distance it
//   repeats: a distance of 0 is damaged data.
// - No match beyond the block's outputLength (it is cut there).
// - blockSize the block's real encoded size (the reader loads by it but finds
//   the next block by where the coded data end, rounded up to a byte).
// - History: a compressed block sees min(stream so far, its window) bytes
//   before it, also across stored blocks; a match reaching further is dropped.
// - Call-filter pieces are a file's bytes within one block of its stream.

// Block prefix, at BLOCK_CODED_DATA_BIT: distanceAlphabets, then setCount
// (0: the fixed set, no lengths sent).
const uint32_t PREFIX_ALPHABETS_BITS = 2;
const uint32_t PREFIX_SET_COUNT_BITS = 6;
const uint32_t BLOCK_PREFIX_BITS = PREFIX_ALPHABETS_BITS + PREFIX_SET_COUNT_BITS;
const uint32_t MAX_SET_COUNT = (1u << PREFIX_SET_COUNT_BITS) - 1;
inline uint32_t prefixAlphabets(uint32_t prefix) { return prefix & ((1u << PREFIX_ALPHABETS_BITS) - 1); }
inline uint32_t prefixSetCount(uint32_t prefix) { return (prefix >> PREFIX_ALPHABETS_BITS) & MAX_SET_COUNT; }
inline uint32_t makeBlockPrefix(uint32_t alphabets, uint32_t setCount) {
  return alphabets | (setCount << PREFIX_ALPHABETS_BITS);
}

// Literal/length symbols: 0..255 literals, SYMBOL_END_OF_SET, then the
// length symbols up to SYMBOL_UNUSED, which has no meaning.
const uint32_t SYMBOL_END_OF_SET = 256;
const uint32_t SYMBOL_FIRST_LENGTH = 257;        // lengths MIN_MATCH.. without extra bits
const uint32_t SYMBOL_FIRST_EXTRA_LENGTH = 266;  // four symbols per extra-bit count 1..5
const uint32_t SYMBOL_LONG_LENGTH = 286;         // LONG_LENGTH_BASE + 15 extra bits
const uint32_t SYMBOL_UNUSED = 287;
const uint32_t LITLEN_SYMBOLS = SYMBOL_UNUSED + 1;
const uint32_t LENGTH_SYMBOL_COUNT = LITLEN_SYMBOLS - SYMBOL_FIRST_LENGTH;  // SYMBOL_UNUSED included

const uint32_t MIN_MATCH = 2;
const uint32_t LONG_LENGTH_BASE = 259;
const uint32_t LONG_LENGTH_EXTRA_BITS = 15;
const uint32_t MAX_MATCH = LONG_LENGTH_BASE + (1u << LONG_LENGTH_EXTRA_BITS) - 1;

// A length symbol's smallest length and its extra bits (symbol 257..287;
// SYMBOL_UNUSED reads like SYMBOL_LONG_LENGTH). From SYMBOL_FIRST_EXTRA_LENGTH
// on: four symbols per extra-bit count g = 1..5, starting at 11 and stepping
// by 2^g; the long length follows the last of them.
constexpr uint32_t lengthExtraBits(uint32_t symbol) {
  if (symbol < SYMBOL_FIRST_EXTRA_LENGTH) return 0;
  if (symbol >= SYMBOL_LONG_LENGTH) return LONG_LENGTH_EXTRA_BITS;
  return (symbol - SYMBOL_FIRST_EXTRA_LENGTH) / 4 + 1;
}
constexpr uint32_t lengthBase(uint32_t symbol) {
  if (symbol < SYMBOL_FIRST_EXTRA_LENGTH) return symbol - SYMBOL_FIRST_LENGTH + MIN_MATCH;
  if (symbol >= SYMBOL_LONG_LENGTH) return LONG_LENGTH_BASE;
  uint32_t i = symbol - SYMBOL_FIRST_EXTRA_LENGTH, g = i / 4 + 1;
  uint32_t base = lengthBase(SYMBOL_FIRST_EXTRA_LENGTH - 1) + 1;
  for (uint32_t h = 1; h < g; ++h) base += 4u << h;
  return base + (i % 4) * (1u << g);
}
static_assert(lengthBase(SYMBOL_LONG_LENGTH - 1) + (1u << lengthExtraBits(SYMBOL_LONG_LENGTH - 1)) ==
                  LONG_LENGTH_BASE,
              "the long length continues where the last length symbol ends");

// Distance alphabets. A match of length MIN_MATCH takes its distance from
// alphabet 1 and one of length MIN_MATCH + 1 from alphabet 2 when the block
// has a table for them; every other match from alphabet 0.
const uint32_t DIST0_SYMBOLS = 42;
const uint32_t DIST1_SYMBOLS = 14;
const uint32_t DIST2_SYMBOLS = 28;
const uint32_t DIST_ALPHABETS_MAX = 3;
inline uint32_t distanceAlphabetOf(uint32_t length, uint32_t alphabetsWithTables) {
  if (length == MIN_MATCH && alphabetsWithTables > 1) return 1;
  if (length == MIN_MATCH + 1 && alphabetsWithTables > 2) return 2;
  return 0;
}

// Distance symbols, in every alphabet: the two recent distances r0 and r1,
// the small distances 1..4, then explicit distances. An explicit distance
// pushes onto the recent ones (r1 = r0, r0 = distance); DIST_SYMBOL_REP1
// swaps them; the others leave them alone. Both start at 0 in every block.
const uint32_t DIST_SYMBOL_REP0 = 0;
const uint32_t DIST_SYMBOL_REP1 = 1;
const uint32_t DIST_SYMBOL_SMALL = 2;     // distance 1
const uint32_t DIST_SYMBOL_EXPLICIT = 6;  // distance 5 and up
const uint32_t SMALL_DISTANCE_MAX = DIST_SYMBOL_EXPLICIT - DIST_SYMBOL_SMALL;

inline uint32_t smallDistance(uint32_t symbol) { return symbol - DIST_SYMBOL_SMALL + 1; }
inline uint32_t smallDistanceSymbol(uint32_t distance) { return DIST_SYMBOL_SMALL + distance - 1; }

// Explicit symbols: index i = symbol - DIST_SYMBOL_EXPLICIT = 2j + t, extra
// bits j + 1, base 2^(j+2) + 1 (t = 0) or 3 * 2^(j+1) + 1 (t = 1).
constexpr uint32_t distanceBase(uint32_t symbol) {
  uint32_t i = symbol - DIST_SYMBOL_EXPLICIT, j = i / 2;
  return (i & 1) ? (3u << (j + 1)) + 1 : (1u << (j + 2)) + 1;
}
constexpr uint32_t distanceExtraBits(uint32_t symbol) { return (symbol - DIST_SYMBOL_EXPLICIT) / 2 + 1; }
// The explicit symbol of a distance above SMALL_DISTANCE_MAX.
inline uint32_t explicitDistanceSymbol(uint32_t distance) {
  uint32_t x = distance - 1;  // >= SMALL_DISTANCE_MAX
  uint32_t m = 31 - (uint32_t)__builtin_clz(x);
  uint32_t half = (x >> (m - 1)) & 1;  // second-highest bit: upper half of the octave
  return DIST_SYMBOL_EXPLICIT + 2 * (m - 2) + half;
}
const uint32_t DIST_EXTRA_MAX = distanceExtraBits(DIST0_SYMBOLS - 1);
// The farthest distance an alphabet of `symbols` symbols reaches.
constexpr uint32_t distanceReach(uint32_t symbols) {
  return distanceBase(symbols - 1) + (1u << distanceExtraBits(symbols - 1)) - 1;
}
const uint32_t MAX_DISTANCE = distanceReach(DIST0_SYMBOLS);
static_assert(distanceBase(DIST_SYMBOL_EXPLICIT) == SMALL_DISTANCE_MAX + 1, "explicit distances follow the small ones");
static_assert(MAX_DISTANCE == 1048576, "alphabet 0 reaches 1 MiB back");

// A table set: the code lengths of the literal/length alphabet, then of each
// distance alphabet the block uses, in alphabet order.
const uint32_t SET_POS_DIST0 = LITLEN_SYMBOLS;
const uint32_t SET_POS_DIST1 = SET_POS_DIST0 + DIST0_SYMBOLS;
const uint32_t SET_POS_DIST2 = SET_POS_DIST1 + DIST1_SYMBOLS;
const uint32_t SET_SIZE_2 = SET_POS_DIST2;                  // distance alphabets 0 and 1
const uint32_t SET_SIZE_3 = SET_POS_DIST2 + DIST2_SYMBOLS;  // ... and 2
const uint32_t DIST_ALPHABET_SIZE[DIST_ALPHABETS_MAX] = {DIST0_SYMBOLS, DIST1_SYMBOLS, DIST2_SYMBOLS};
const uint32_t DIST_ALPHABET_POSITION[DIST_ALPHABETS_MAX] = {SET_POS_DIST0, SET_POS_DIST1, SET_POS_DIST2};
inline uint32_t setSizeFor(uint32_t distanceAlphabets) {
  return distanceAlphabets == DIST_ALPHABETS_MAX ? SET_SIZE_3 : SET_SIZE_2;
}

const uint32_t LITLEN_LOOKUP_BITS = 9;
const uint32_t DIST_LOOKUP_BITS = 7;
const uint32_t PRECODE_LOOKUP_BITS = 6;
const uint32_t MAX_CODE_LENGTH = 16;

const int32_t EMPTY_ENTRY = -(int32_t)LITLEN_SYMBOLS;

// The fixed set (setCount 0): SET_SIZE_2 lengths, two distance alphabets,
// each a complete code; SYMBOL_END_OF_SET has none. Runs of equal lengths,
// each up to (not including) its end position: literals 0..243 8 bits,
// 244..255 9, lengths 2..4 9, 5..10 10, the rest 11; distance alphabet 0:
// symbols 0..3 4 bits, 4..27 5, none for 28..41 (distances above 8192);
// alphabet 1: 0..1 3 bits, 2..13 4.
const uint32_t FIXED_SET_ALPHABETS = 2;
const uint32_t FIXED_SET_RUNS = 11;
inline constexpr uint16_t fixedSetRunEnd[FIXED_SET_RUNS] = {
    244, SYMBOL_END_OF_SET, SYMBOL_END_OF_SET + 1, 261, SYMBOL_FIRST_EXTRA_LENGTH, SET_POS_DIST0, SET_POS_DIST0 + 4,
    SET_POS_DIST0 + 28, SET_POS_DIST1, SET_POS_DIST1 + 2, SET_SIZE_2};
inline constexpr uint8_t fixedSetRunLength[FIXED_SET_RUNS] = {8, 9, 0, 9, 10, 11, 4, 5, 0, 3, 4};
constexpr uint8_t fixedCodeLength(uint32_t position) {
  uint32_t r = 0;
  while (r + 1 < FIXED_SET_RUNS && position >= fixedSetRunEnd[r]) ++r;
  return fixedSetRunLength[r];
}

// Code lengths of the sets are sent with a pre-code of PRECODE_SYMBOLS
// symbols, whose own lengths come first as PRECODE_FIELD_BITS-bit fields:
// PRECODE_FIELD_LENGTH_BIAS + length for a used symbol, or a digit of a run
// of unused ones (field 0: digit 1, field 1: digit 2). Runs are bijective
// base-2 numbers, least significant digit first.
const uint32_t PRECODE_SYMBOLS = 21;
const uint32_t PRECODE_FIELD_BITS = 5;
const uint32_t PRECODE_FIELD_LENGTH_BIAS = 1;
// Pre-code symbols: 0..16 differences modulo CODE_LENGTH_MODULUS, 17/18
// zero-run digits, 19/20 repeat-run digits.
const uint32_t CODE_LENGTH_MODULUS = MAX_CODE_LENGTH + 1;
const uint32_t CL_ZERO_RUN_1 = 17;
const uint32_t CL_ZERO_RUN_2 = 18;
const uint32_t CL_REPEAT_RUN_1 = 19;
const uint32_t CL_REPEAT_RUN_2 = 20;
static_assert(CL_ZERO_RUN_1 == CODE_LENGTH_MODULUS && CL_REPEAT_RUN_2 + 1 == PRECODE_SYMBOLS,
              "run digits follow the differences");

void parseArchiveHeader(const uint8_t* bytes, ArchiveHeader* header);
void parseDirectoryEntry(const uint8_t* bytes, DirectoryEntry* entry);

// ---- DOS date and time words (local time) ---------------------------------
// date: bits 15..9 year - 1980, 8..5 month 1..12, 4..0 day
// time: bits 15..11 hours, 10..5 minutes, 4..0 seconds / 2
struct DosDateTime {
  uint16_t year, month, day, hour, minute, second;
};
inline DosDateTime splitDosDateTime(uint16_t date, uint16_t time) {
  DosDateTime t;
  t.year = (uint16_t)(1980 + (date >> 9));
  t.month = (uint16_t)((date >> 5) & 15);
  t.day = (uint16_t)(date & 31);
  t.hour = (uint16_t)(time >> 11);
  t.minute = (uint16_t)((time >> 5) & 63);
  t.second = (uint16_t)((time & 31) * 2);
  return t;
}
inline uint16_t makeDosDate(unsigned year, unsigned month, unsigned day) {
  return (uint16_t)(((year - 1980) << 9) | (month << 5) | day);
}
inline uint16_t makeDosTime(unsigned hour, unsigned minute, unsigned second) {
  return (uint16_t)((hour << 11) | (minute << 5) | (second / 2));
}

// ---- Stub seal ------------------------------------------------------------
// The stub carries a 24-byte seal in its static data, filled after linking:
//    0  12  SEAL_MAGIC
//   12  u32 sealOffset  file offset of the seal itself
//   16  u32 stubLength  where the archive begins
//   20  u32 stubCrc     CRC-32 of the stub's bytes [0, stubLength), leaving
//                       out stubCrc itself and what Authenticode signing
//                       changes: the PE checksum and the certificate-table
//                       directory entry
// An unsealed stub has stubLength 0.
const uint32_t SEAL_SIZE = 24;
const uint32_t SEAL_MAGIC_SIZE = 12;
enum { SEAL_OFFSET = 12, SEAL_STUB_LENGTH = 16, SEAL_STUB_CRC = 20 };
extern const uint8_t SEAL_MAGIC[12];

// ---- Installer identity ---------------------------------------------------
// The texts that name what an installer installs, in a record of the stub's
// static data. `jov pack` may rewrite its fields before it seals the stub
// again, so the seal guards them like any other stub byte; the archive
// carries none of them, and any installer of the format reads any archive.
//    0  12  IDENTITY_MAGIC
//   12  64  product    captions ("PRODUCT Installation"), the instruction
//                      text, the default folder (PROGRAM_FILES_FOLDER\PRODUCT),
//                      the uninstall key and its DisplayName, the last name
//                      of the per-user key
//   76  32  version    follows the product in the instruction text; may be empty
//  108  64  publisher  the per-user key Software\PUBLISHER\PRODUCT
//  172 128  program    the file recorded and started, below the install folder
//                      ("\" between names); its file name names the
//                      App Paths key
//  300  32  iniFile    the ini file that takes the values the registry refuses
// Each field is 8-bit text in the archive's code page, terminated within
// the field (so it holds one character less than its size) and padded with
// zeros.
const uint32_t IDENTITY_SIZE = 332;
const uint32_t IDENTITY_MAGIC_SIZE = 12;
enum {
  ID_PRODUCT = 12,
  ID_VERSION = 76,
  ID_PUBLISHER = 108,
  ID_PROGRAM = 172,
  ID_INI_FILE = 300,
};
enum {
  ID_PRODUCT_SIZE = ID_VERSION - ID_PRODUCT,
  ID_VERSION_SIZE = ID_PUBLISHER - ID_VERSION,
  ID_PUBLISHER_SIZE = ID_PROGRAM - ID_PUBLISHER,
  ID_PROGRAM_SIZE = ID_INI_FILE - ID_PROGRAM,
  ID_INI_FILE_SIZE = IDENTITY_SIZE - ID_INI_FILE,
};
extern const uint8_t IDENTITY_MAGIC[12];

// The parent of the default install folder on systems that have it.
const char PROGRAM_FILES_FOLDER[] = "C:\\Program Files";
