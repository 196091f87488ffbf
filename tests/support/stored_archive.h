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

struct StoredArchiveOptions {
  uint32_t blockOutput = 1000000;  // decoded bytes per stored stream block
  uint32_t recordsPerDirectoryBlock = 1000;
  uint32_t entryCountDelta = 0;  // header claims this many more records
};

// One solid stream of stored blocks holding every file, then the records.
std::vector<uint8_t> buildStoredArchive(const std::vector<StoredEntry>& entries,
                                        const StoredArchiveOptions& options = {});

uint32_t referenceCrc32(const uint8_t* data, size_t size);

// One file's slice of a decoded stream: StreamRecord, name, bytes, CRC-32.
std::vector<uint8_t> streamSlice(const std::string& name, const std::vector<uint8_t>& bytes);

// A file record for `bytes` whose slice starts at `position` of the stream.
RecordDraft fileRecord(const std::string& name, const std::vector<uint8_t>& bytes, uint32_t position);

// Header, one data stream of the given blocks, and the records in stored
// directory blocks of as many whole records as fit 8192 bytes (at most
// `recordsPerBlock`); entryCount is their number plus `extraCount`.
std::vector<uint8_t> assembleArchive(const std::vector<std::vector<uint8_t>>& streamBlocks,
                                     const std::vector<RecordDraft>& records, uint32_t extraCount = 0,
                                     uint32_t recordsPerBlock = 1000);
