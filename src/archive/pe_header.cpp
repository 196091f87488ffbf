#include "archive/pe_header.h"

#include "format.h"

int readPeHeaders(const uint8_t* bytes, uint32_t size, PeHeaders* pe) {
  if (size < PE_DOS_HEADER_SIZE || bytes[0] != 'M' || bytes[1] != 'Z') return 0;
  uint32_t at = readLe32(bytes + PE_POINTER);
  if (at > size || size - at < PE_MACHINE + 2 || readLe32(bytes + at) != PE_SIGNATURE) return 0;
  const uint8_t* h = bytes + at;
  uint32_t available = size - at;
  pe->signature = at;
  pe->available = available;
  pe->machine = readLe16(h + PE_MACHINE);
  pe->sectionCount = available >= PE_SECTION_COUNT + 2 ? readLe16(h + PE_SECTION_COUNT) : 0;
  pe->optionalSize = available >= PE_OPTIONAL_SIZE + 2 ? readLe16(h + PE_OPTIONAL_SIZE) : 0;
  pe->optionalMagic = available >= PE_OPTIONAL + 2 ? readLe16(h + PE_OPTIONAL) : 0;
  return 1;
}
