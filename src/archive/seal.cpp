#include "archive/seal.h"

#include "archive/paths.h"
#include "archive/pe_header.h"
#include "codec/crc32.h"
#include "format.h"

namespace {

void clear(uint8_t* p, uint32_t count) {
  while (count--) *p++ = 0;
}

}  // namespace

void parseSeal(const uint8_t* record, StubSeal* seal) {
  seal->sealOffset = readLe32(record + SEAL_OFFSET);
  seal->stubLength = readLe32(record + SEAL_STUB_LENGTH);
  seal->stubCrc = readLe32(record + SEAL_STUB_CRC);
}

int findSeal(const uint8_t* bytes, uint32_t size, StubSeal* seal) {
  for (uint32_t at = 0; size >= SEAL_SIZE && at <= size - SEAL_SIZE; ++at) {
    if (bytes[at] != SEAL_MAGIC[0] || compareBytes(bytes + at, SEAL_MAGIC, SEAL_MAGIC_SIZE)) continue;
    parseSeal(bytes + at, seal);
    if (seal->sealOffset == at && seal->stubLength >= at + SEAL_SIZE) return 1;
  }
  return 0;
}

uint32_t sealCrc(uint8_t* stub, uint32_t stubLength, uint32_t sealOffset) {
  // The PE pointer is itself summed, so moving it to hide a change elsewhere
  // fails anyway; a file that is not a PE32 image is summed whole but for
  // the CRC field.
  clear(stub + sealOffset + SEAL_STUB_CRC, 4);
  PeHeaders pe;
  if (readPeHeaders(stub, stubLength, &pe) && pe.optionalMagic == PE32_MAGIC &&
      pe.available >= pe32DirectoryEnd(PE_DIRECTORY_CERTIFICATES)) {
    uint8_t* optional = stub + pe.signature + PE_OPTIONAL;
    clear(optional + PE32_CHECKSUM, 4);
    clear(optional + PE32_DIRECTORIES + PE_DIRECTORY_CERTIFICATES * PE_DIRECTORY_SIZE, PE_DIRECTORY_SIZE);
  }
  return ~crc32Update(stub, stubLength, 0xFFFFFFFFu);
}

void fillSeal(uint8_t* stub, uint8_t* scratch, uint32_t stubLength, uint32_t sealOffset) {
  writeLe32(stub + sealOffset + SEAL_OFFSET, sealOffset);
  writeLe32(stub + sealOffset + SEAL_STUB_LENGTH, stubLength);
  for (uint32_t i = 0; i < stubLength; ++i) scratch[i] = stub[i];
  writeLe32(stub + sealOffset + SEAL_STUB_CRC, sealCrc(scratch, stubLength, sealOffset));
}
