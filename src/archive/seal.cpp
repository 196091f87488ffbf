#include "archive/seal.h"

#include "archive/paths.h"
#include "codec/crc32.h"
#include "format.h"

namespace {

// PE32 layout: the "PE\0\0" signature at the offset stored at 0x3C, then the
// 20-byte file header, then the optional header, whose checksum lies at 64
// and whose data directories start at 96, 8 bytes each; the certificate
// table is directory 4.
const uint32_t PE_POINTER = 0x3C;
const uint32_t OPTIONAL_HEADER = 24;  // from the signature
const uint32_t PE_CHECKSUM = OPTIONAL_HEADER + 64;
const uint32_t CERTIFICATE_DIRECTORY = OPTIONAL_HEADER + 96 + 4 * 8;
const uint16_t PE32_MAGIC = 0x10B;

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
  if (stubLength >= PE_POINTER + 4 && stub[0] == 'M' && stub[1] == 'Z') {
    uint32_t pe = readLe32(stub + PE_POINTER);
    if (pe < stubLength && stubLength - pe >= CERTIFICATE_DIRECTORY + 8 && readLe32(stub + pe) == 0x4550 &&
        readLe16(stub + pe + OPTIONAL_HEADER) == PE32_MAGIC) {
      clear(stub + pe + PE_CHECKSUM, 4);
      clear(stub + pe + CERTIFICATE_DIRECTORY, 8);
    }
  }
  return ~crc32Update(stub, stubLength, 0xFFFFFFFFu);
}

void fillSeal(uint8_t* stub, uint8_t* scratch, uint32_t stubLength, uint32_t sealOffset) {
  writeLe32(stub + sealOffset + SEAL_OFFSET, sealOffset);
  writeLe32(stub + sealOffset + SEAL_STUB_LENGTH, stubLength);
  for (uint32_t i = 0; i < stubLength; ++i) scratch[i] = stub[i];
  writeLe32(stub + sealOffset + SEAL_STUB_CRC, sealCrc(scratch, stubLength, sealOffset));
}
