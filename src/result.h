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

// Refusing untrusted data: every refusal in codec/ and archive/ returns
// DAMAGED("a few words of why") or DAMAGED_VALUE("why", n) (printed as
// "why n", e.g. "unknown block type 3") instead of a bare RC_DAMAGED. The
// host keeps the first reason since the last clearDamageReason() of its
// thread for `jov test` and `jov extract` to print with the place; the stub
// compiles the words out, so a reason costs it no byte.
#if defined(JOV_STUB)
#define DAMAGED(reason) ((ResultCode)RC_DAMAGED)
#define DAMAGED_VALUE(reason, value) ((ResultCode)RC_DAMAGED)
#else
struct DamageReason {
  const char* text;  // static text, or nullptr when nothing was noted
  int64_t value;
  bool hasValue;
};
ResultCode noteDamage(const char* reason);                      // returns RC_DAMAGED
ResultCode noteDamageValue(const char* reason, int64_t value);  // returns RC_DAMAGED
const DamageReason& damageReason();
void clearDamageReason();
#define DAMAGED(reason) noteDamage(reason)
#define DAMAGED_VALUE(reason, value) noteDamageValue((reason), (int64_t)(value))
#endif
