// The host's record of why untrusted data was refused (result.h). One per
// thread, so that packing threads' own trial decodes cannot mix reasons;
// the first reason noted wins, because later refusals are consequences
// (a failed block leaves its stream refusing every later call), and so does
// the first place: the innermost reader that knows one places it.
#include "result.h"

#if !defined(JOV_STUB)

namespace {

thread_local DamageReason current = {};

bool reasonNoted() { return current.text || current.crcMismatch; }

}  // namespace

ResultCode noteDamage(const char* reason) {
  if (!reasonNoted()) current.text = reason, current.hasValue = false;
  return RC_DAMAGED;
}

ResultCode noteDamageValue(const char* reason, int64_t value) {
  if (!reasonNoted()) current.text = reason, current.value = value, current.hasValue = true;
  return RC_DAMAGED;
}

ResultCode noteCrcMismatch(uint32_t crc, uint32_t stored) {
  if (!reasonNoted()) current.crcMismatch = true, current.crc = crc, current.storedCrc = stored;
  return RC_DAMAGED;
}

ResultCode noteDamageAgain(const DamageReason& earlier) {
  if (!reasonNoted() && current.site == SITE_UNKNOWN) current = earlier;
  return RC_DAMAGED;
}

void placeDamage(DamageSite site, uint32_t stream, uint32_t block, uint32_t offset) {
  if (current.site != SITE_UNKNOWN) return;
  current.site = site;
  current.stream = stream, current.block = block, current.offset = offset;
}

const DamageReason& damageReason() { return current; }

bool damageNoted() { return reasonNoted() || current.site != SITE_UNKNOWN; }

void clearDamageReason() { current = {}; }

#endif
