#include "format.h"

const uint8_t ARCHIVE_MAGIC[4] = {'J', 'O', 'V', '\n'};
const uint8_t STREAM_SIGNATURE[6] = {'J', 'O', 'V', 'L', 'H', 0};
const uint8_t DIRECTORY_SIGNATURE[6] = {'J', 'O', 'V', 'D', 'E', 0};


void parseArchiveHeader(const uint8_t* b, ArchiveHeader* h) {
  for (int i = 0; i < 4; ++i) h->magic[i] = b[AH_MAGIC + i];
  h->directoryOffset = readLe32(b + AH_DIRECTORY_OFFSET);
  h->entryCount = readLe32(b + AH_ENTRY_COUNT);
  h->archiveLength = readLe32(b + AH_ARCHIVE_LENGTH);
  h->dataLength = readLe32(b + AH_DATA_LENGTH);
  h->reserved[0] = readLe32(b + AH_RESERVED1);
  h->reserved[1] = readLe32(b + AH_RESERVED2);
  h->reserved[2] = readLe32(b + AH_RESERVED3);
  h->reserved[3] = readLe32(b + AH_RESERVED4);
  h->reserved[4] = readLe32(b + AH_RESERVED5);
  h->headerWord = readLe16(b + AH_HEADER_WORD);
}

void parseDirectoryEntry(const uint8_t* b, DirectoryEntry* e) {
  e->reserved0 = readLe32(b + DE_RESERVED0);
  e->streamOffset = readLe32(b + DE_STREAM_OFFSET);
  e->attributes = b[DE_ATTRIBUTES];
  e->reserved9 = b[DE_RESERVED9];
  e->smallExtraLength = b[DE_SMALL_EXTRA_LENGTH];
  e->flags = b[DE_FLAGS];
  e->streamPosition = readLe32(b + DE_STREAM_POSITION);
  e->length = readLe32(b + DE_LENGTH);
  e->crc = readLe32(b + DE_CRC);
  e->extraLength = readLe16(b + DE_EXTRA_LENGTH);
  e->nameLength = readLe16(b + DE_NAME_LENGTH);
  e->createTime = readLe16(b + DE_CREATE_TIME);
  e->createDate = readLe16(b + DE_CREATE_DATE);
  e->writeTime = readLe16(b + DE_WRITE_TIME);
  e->writeDate = readLe16(b + DE_WRITE_DATE);
  e->reserved36 = readLe16(b + DE_RESERVED36);
}

// Twelve bytes each that occur nowhere else in the stub: the stub's code
// never refers to these arrays (it knows its own records by address), so
// only the seal and the identity record carry them.
const uint8_t SEAL_MAGIC[12] = {'J', 'O', 'V', 0x1A, 'S', 'E', 'A', 'L', 0x8F, 0x3C, 0xD2, 0x05};
const uint8_t IDENTITY_MAGIC[12] = {'J', 'O', 'V', 0x1A, 'N', 'A', 'M', 'E', 0x5B, 0xE1, 0x07, 0x93};
