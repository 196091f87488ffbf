// ResultCode: a signed 32-bit integer; 0 or more is success (operations that
// move data return a count), each negative value names one failure.
#pragma once

#include <stdint.h>

typedef int32_t ResultCode;

enum : int32_t {
  RC_OK = 0,
  RC_MODIFIED = -1,         // stub self-check failed; its own warning was shown
  RC_NO_MEMORY = -2,
  RC_CREATE_FAILED = -3,    // an output file cannot be created
  RC_OPEN_FAILED = -5,      // the self-extractor's own file cannot be opened
  RC_READ_FAILED = -6,
  RC_WRITE_FAILED = -8,
  RC_FOLDER_FAILED = -9,
  RC_DAMAGED = -11,
  RC_UNSAFE_NAME = -13,     // a record's name fails the name rule (archive/names.h)
  RC_SEEK_FAILED = -17,     // reported like RC_READ_FAILED
  RC_CANCELLED = -25,       // no message: the user asked for it, or it was shown
  RC_INPUT_EXHAUSTED = -50, // a block's input is used up; reported as damaged
};

// Codes that mean damaged data: a block whose coded data runs past its end
// is damaged too, though the installer offers no Cancel for it.
inline bool isDamaged(ResultCode code) { return code == RC_DAMAGED || code == RC_INPUT_EXHAUSTED; }

// Refusing untrusted data: every refusal in codec/ and archive/ returns
// DAMAGED("a few words of why") or DAMAGED_VALUE("why", n) (printed as
// "why n", e.g. "unknown block type 3") instead of a bare RC_DAMAGED; a file
// whose bytes do not match their CRC-32 returns DAMAGED_CRC(crc, stored). The
// host keeps the first reason since the last clearDamageReason() of its
// thread, and the reader that met it adds the place (placeDamage), for
// `jov test` and `jov extract` to print; the stub compiles the words out, so
// a reason costs it no byte.
#if defined(JOV_STUB)
#define DAMAGED(reason) ((ResultCode)RC_DAMAGED)
#define DAMAGED_VALUE(reason, value) ((ResultCode)RC_DAMAGED)
#define DAMAGED_CRC(crc, stored) ((ResultCode)RC_DAMAGED)
#else
enum DamageSite : uint8_t { SITE_UNKNOWN, SITE_DATA_BLOCK, SITE_DIRECTORY_BLOCK };

struct DamageReason {
  const char* text;  // static text, or nullptr when nothing was noted
  int64_t value;
  bool hasValue;
  bool crcMismatch;  // then crc and storedCrc hold the two sums, and text is nullptr
  uint32_t crc, storedCrc;
  // Where, once placed: the block's file position, its index (from 0, in its
  // data stream or among the directory's blocks) and, for a data block, the
  // file position of its stream's first block (the stream reader's key).
  DamageSite site;
  uint32_t stream, block, offset;
};
ResultCode noteDamage(const char* reason);                      // returns RC_DAMAGED
ResultCode noteDamageValue(const char* reason, int64_t value);  // returns RC_DAMAGED
ResultCode noteCrcMismatch(uint32_t crc, uint32_t stored);      // returns RC_DAMAGED
// Puts `earlier` back as the reason unless one is noted already: a refusal
// that only repeats an earlier one (a stream whose block failed) says what
// that one said, where it was met. Returns RC_DAMAGED.
ResultCode noteDamageAgain(const DamageReason& earlier);
// Places the reason noted (or about to be noted) unless it has a place.
void placeDamage(DamageSite site, uint32_t stream, uint32_t block, uint32_t offset);
const DamageReason& damageReason();
// Whether a reason or a place was noted since the last clearDamageReason().
bool damageNoted();
void clearDamageReason();
#define DAMAGED(reason) noteDamage(reason)
#define DAMAGED_VALUE(reason, value) noteDamageValue((reason), (int64_t)(value))
#define DAMAGED_CRC(crc, stored) noteCrcMismatch((crc), (stored))
#endif
