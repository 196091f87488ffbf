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

uint32_t sealCrc(const uint8_t* stub, uint32_t stubLength, uint32_t sealOffset) {
  // Excluded 4- and 8-byte fields count as zeros. The PE pointer is itself
  // summed, so moving it to hide a change elsewhere fails anyway; a file
  // that is not a PE32 image is summed whole but for the CRC field.
  uint32_t crcField = sealOffset + SEAL_STUB_CRC;
  // Without a PE header both fields fall back on the CRC field itself.
  uint32_t checksum = crcField, certificates = crcField, certificateSize = 4;
  if (stubLength >= PE_POINTER + 4 && stub[0] == 'M' && stub[1] == 'Z') {
    uint32_t pe = readLe32(stub + PE_POINTER);
    if (pe < stubLength && stubLength - pe >= CERTIFICATE_DIRECTORY + 8 && readLe32(stub + pe) == 0x4550 &&
        readLe16(stub + pe + OPTIONAL_HEADER) == PE32_MAGIC) {
      checksum = pe + PE_CHECKSUM;
      certificates = pe + CERTIFICATE_DIRECTORY;
      certificateSize = 8;
    }
  }
  uint32_t value = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < stubLength; ++i) {
    uint8_t b = stub[i];
    if (i - crcField < 4 || i - checksum < 4 || i - certificates < certificateSize) b = 0;
    value = crc32Update(&b, 1, value);
  }
  return ~value;
}

void fillSeal(uint8_t* stub, uint32_t stubLength, uint32_t sealOffset) {
  writeLe32(stub + sealOffset + SEAL_OFFSET, sealOffset);
  writeLe32(stub + sealOffset + SEAL_STUB_LENGTH, stubLength);
  writeLe32(stub + sealOffset + SEAL_STUB_CRC, sealCrc(stub, stubLength, sealOffset));
}
