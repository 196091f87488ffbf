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

// Attribute bits the extractor applies (read-only, hidden, system).
const uint8_t ENTRY_APPLIED_ATTRIBUTES = 0x07;

// StreamRecord byte offsets.
enum {
  SR_FILE_LENGTH = 0,
  SR_VARIABLE_LENGTH = 4,
  SR_RESERVED = 6,
};

// ---- Blocks ---------------------------------------------------------------

const uint32_t BLOCK_STORED = 0;
const uint32_t BLOCK_COMPRESSED = 1;
const uint32_t BLOCK_MAX_OUTPUT = 1048575;  // 20-bit outputLength
const uint32_t BLOCK_MAX_SIZE = 1048575;    // 20-bit blockSize
const uint32_t BLOCK_HEADER_MIN_BYTES = 6;  // 45 bits fit in 48
const uint32_t BLOCK_CODED_DATA_BIT = 50;   // after header and selector
const uint32_t BLOCK_STORED_DATA_BYTE = 7;  // first byte boundary after bit 50

// Block input buffer: 61440 bytes, of which at most 8 + 61424 are ever loaded;
// the decoders may read a whole word at inputEnd + 8 (one byte past those 8),
// so the allocation carries slack beyond the 61440 bytes.
const uint32_t INPUT_BUFFER_SIZE = 61440;
const uint32_t INPUT_CHUNK = 61424;
const uint32_t INPUT_LOOKAHEAD = 8;
const uint32_t INPUT_BUFFER_SLACK = 16;

// Output buffer slack added whenever the stream's output buffer grows.
const uint32_t OUTPUT_BUFFER_SLACK = 512;

// History windows: rows 0 and 1 are equal, windowRow 3 selects row 2.
extern const uint32_t windowSizes[3][8];
const uint32_t WINDOW_MAX = 524288;

// ---- Coded blocks ---------------------------------------------------------
//
// What a writer must keep to, because the reader takes the rest as follows:
// - distanceAlphabets 2 or 3. (1 is read as "every match, length 2 included,
//   takes alphabet 0"; sets still hold SET_SIZE_2 lengths. 3 with the fixed
//   set reads length-3 matches from alphabet 0.) 0 is damaged data.
// - Code lengths that form prefix codes (Kraft sum at most 1). A long code
//   colliding with a code of another length is damaged data; pre-code
//   lengths above MAX_CODE_LENGTH are damaged data.
// - Never literal/length symbol 287 (damaged data).
// - No repeat-distance symbol before the block has named the distance it
//   repeats: a distance of 0 is damaged data.
// - No match beyond the block's outputLength (it is cut there).
// - blockSize the block's real encoded size (the reader loads by it but finds
//   the next block by where the coded data end, rounded up to a byte).
// - History: a compressed block sees min(stream so far, its window) bytes
//   before it, also across stored blocks; a match reaching further is dropped.
// - Call-filter pieces are a file's bytes within one block of its stream.

const uint32_t LITLEN_SYMBOLS = 288;
const uint32_t DIST0_SYMBOLS = 42;   // matches of length >= 4 (and 3 without alphabet 2)
const uint32_t DIST1_SYMBOLS = 14;   // matches of length 2
const uint32_t DIST2_SYMBOLS = 28;   // matches of length 3 when distanceAlphabets is 3
const uint32_t PRECODE_SYMBOLS = 21;

const uint32_t SET_POS_DIST0 = 288;
const uint32_t SET_POS_DIST1 = 330;
const uint32_t SET_POS_DIST2 = 344;
const uint32_t SET_SIZE_2 = 344;  // literal/length + distance alphabets 0 and 1
const uint32_t SET_SIZE_3 = 372;  // ... + distance alphabet 2
const uint32_t MAX_SET_COUNT = 63;

const uint32_t LITLEN_LOOKUP_BITS = 9;
const uint32_t DIST_LOOKUP_BITS = 7;
const uint32_t PRECODE_LOOKUP_BITS = 6;
const uint32_t MAX_CODE_LENGTH = 16;

// The fixed set (setCount 0): 344 lengths, two distance alphabets. Literal
// 0..243: 8; 244..255: 9; 256: none; 257..260: 9; 261..265: 10; 266..287: 11;
// distance alphabet 0, symbols 0..3: 4, 4..27: 5, 28..41: none; distance
// alphabet 1, symbols 0..1: 3, 2..13: 4. Each code is complete.
inline uint8_t fixedCodeLength(uint32_t position) {
  if (position < 244) return 8;
  if (position < 256) return 9;
  if (position == 256) return 0;
  if (position < 261) return 9;
  if (position < 266) return 10;
  if (position < 288) return 11;
  if (position < 292) return 4;
  if (position < 316) return 5;
  if (position < 330) return 0;
  if (position < 332) return 3;
  return 4;
}

const int32_t EMPTY_ENTRY = -288;

const uint32_t SYMBOL_END_OF_SET = 256;
const uint32_t SYMBOL_FIRST_LENGTH = 257;  // 257..265: lengths 2..10
const uint32_t SYMBOL_LONG_LENGTH = 286;   // 259 + 15 extra bits
const uint32_t MIN_MATCH = 2;
const uint32_t MAX_MATCH = 259 + 32767;    // 33026
const uint32_t MAX_DISTANCE = 1048576;

// Code-length alphabet: 0..16 differences, 17/18 zero-run digits, 19/20
// repeat-run digits (bijective base 2, least significant digit first).
const uint32_t CL_ZERO_RUN_1 = 17;
const uint32_t CL_ZERO_RUN_2 = 18;
const uint32_t CL_REPEAT_RUN_1 = 19;
const uint32_t CL_REPEAT_RUN_2 = 20;

// Length symbols 266..285: four symbols per extra-bit count g = 1..5,
// starting at 11 and stepping by 2^g.
inline uint32_t lengthBase(uint32_t symbol) {  // symbol 266..285
  uint32_t i = symbol - 266, g = i / 4 + 1;
  uint32_t base = 11;
  for (uint32_t h = 1; h < g; ++h) base += 4u << h;
  return base + (i % 4) * (1u << g);
}
inline uint32_t lengthExtraBits(uint32_t symbol) { return (symbol - 266) / 4 + 1; }

// Distance symbols 6..41: index i = symbol - 6 = 2j + t, extra bits j + 1,
// base 2^(j+2) + 1 (t = 0) or 3 * 2^(j+1) + 1 (t = 1).
inline uint32_t distanceBase(uint32_t symbol) {
  uint32_t i = symbol - 6, j = i / 2;
  return (i & 1) ? (3u << (j + 1)) + 1 : (1u << (j + 2)) + 1;
}
inline uint32_t distanceExtraBits(uint32_t symbol) { return (symbol - 6) / 2 + 1; }

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
