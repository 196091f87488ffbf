// The stub seal: how a self-extractor knows where its stub ends and that the
// stub is still the one that was built. The 24-byte record (layout in
// format.h, SEAL_*) sits in the stub's static data; the build fills it after
// linking (src/tools/sealstub.cpp), the stub checks it at start-up
// (verifyStub), and the host tools use it to find the archive behind a stub.
//
// What the CRC covers: every byte of the stub, [0, stubLength), except the
// seal's own stubCrc field and the two PE header fields that Authenticode
// signing rewrites (the checksum and the certificate-table directory entry).
// Signing appends its certificate table behind the archive, outside the
// stub, so a signed self-extractor still verifies; any other changed byte of
// the stub does not.
#pragma once

#include <stdint.h>

struct StubSeal {
  uint32_t sealOffset;  // file offset of the record itself
  uint32_t stubLength;  // where the archive begins; 0 in an unsealed stub
  uint32_t stubCrc;
};

// Reads the three fields of a 24-byte record (the magic is not checked).
void parseSeal(const uint8_t* record, StubSeal* seal);

// Finds the seal of a sealed stub among the first `size` bytes of a file: the
// first occurrence of the magic whose record names its own offset and a stub
// length that covers the record. The stub's own record comes first, so a
// stub packed as a file of the archive cannot be mistaken for it. The caller
// still compares stubLength with the file's size. Returns 1 when found.
int findSeal(const uint8_t* bytes, uint32_t size, StubSeal* seal);

// The CRC-32 of a stub's bytes as the seal records it. Zeroes the excluded
// fields in place first, so callers pass a copy they no longer need (the
// stub checks the copy it has just read). sealOffset + 24 <= stubLength.
// Needs crcTable.
uint32_t sealCrc(uint8_t* stub, uint32_t stubLength, uint32_t sealOffset);

// Seals a linked stub whose record lies at sealOffset (sealOffset + 24 <=
// stubLength): writes the record's offset, the length and the CRC, summed
// over `scratch` (stubLength bytes of the caller's).
void fillSeal(uint8_t* stub, uint8_t* scratch, uint32_t stubLength, uint32_t sealOffset);
