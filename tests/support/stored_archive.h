// Builds small archives of given blocks and records, every byte placed by
// hand, so that a test can also damage any field it likes.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct RecordDraft {
  std::string name;
  bool folder = false;
  uint32_t streamPosition = 0, length = 0, crc = 0;
  uint8_t attributes = 0, flags = 0;  // ENTRY_FOLDER is added for folders
  uint16_t createDate = 0, createTime = 0, writeDate = 0, writeTime = 0;
};

// A record's name and fields with the file's bytes; buildStoredArchive
// fills in streamPosition, length and crc.
struct StoredEntry : RecordDraft {
  std::vector<uint8_t> data;
  bool badCrc = false;  // record a CRC that does not match the data
};

// One stored block holding every file, then the records.
std::vector<uint8_t> buildStoredArchive(const std::vector<StoredEntry>& entries);

uint32_t referenceCrc32(const uint8_t* data, size_t size);

// One file's slice of a decoded stream: StreamRecord, name, bytes, CRC-32.
std::vector<uint8_t> streamSlice(const std::string& name, const std::vector<uint8_t>& bytes);

// A file record for `bytes` whose slice starts at `position` of the stream.
RecordDraft fileRecord(const std::string& name, const std::vector<uint8_t>& bytes, uint32_t position);

// Header, one data stream of the given blocks, and the records in stored
// directory blocks of as many whole records as fit 8192 bytes.
std::vector<uint8_t> assembleArchive(const std::vector<std::vector<uint8_t>>& streamBlocks,
                                     const std::vector<RecordDraft>& records);
