// The host's record of why untrusted data was refused (result.h). One per
// thread, so that packing threads' own trial decodes cannot mix reasons;
// the first reason noted wins, because later refusals are consequences
// (a failed block leaves its stream refusing every later call).
#include "result.h"

#if !defined(JOV_STUB)

namespace {
thread_local DamageReason current = {nullptr, 0, false};
}

ResultCode noteDamage(const char* reason) {
  if (!current.text) current = {reason, 0, false};
  return RC_DAMAGED;
}

ResultCode noteDamageValue(const char* reason, int64_t value) {
  if (!current.text) current = {reason, value, true};
  return RC_DAMAGED;
}

const DamageReason& damageReason() { return current; }

void clearDamageReason() { current = {nullptr, 0, false}; }

#endif
