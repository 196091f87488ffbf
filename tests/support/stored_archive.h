// Builds small archives of given blocks and records, every byte placed by
// hand, so that a test can also damage any field it likes.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "block_builder.h"
#include "format.h"

struct RecordDraft {
  std::string name;
  bool folder = false;
  uint32_t streamPosition = 0, length = 0, crc = 0;  // attributes and times are 0
};

// A record's name and fields with the file's bytes; buildStoredArchive
// fills in streamPosition, length and crc.
struct StoredEntry : RecordDraft {
  std::vector<uint8_t> data;
  bool badCrc = false;  // record a CRC that does not match the data
};

// CRC-32 computed bit by bit, to check the table-driven one against.
inline uint32_t plainCrc32(const std::vector<uint8_t>& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t byte : data) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

// One file's slice of a decoded stream: StreamRecord, name, bytes, CRC-32.
inline std::vector<uint8_t> streamSlice(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> slice(STREAM_RECORD_FIXED_SIZE + name.size() + bytes.size() + STREAM_RECORD_CRC_SIZE, 0);
  writeLe32(&slice[0], (uint32_t)bytes.size());
  writeLe16(&slice[SR_VARIABLE_LENGTH], (uint16_t)name.size());
  std::copy(name.begin(), name.end(), slice.begin() + STREAM_RECORD_FIXED_SIZE);
  std::copy(bytes.begin(), bytes.end(), slice.begin() + STREAM_RECORD_FIXED_SIZE + name.size());
  writeLe32(&slice[slice.size() - STREAM_RECORD_CRC_SIZE], plainCrc32(bytes));
  return slice;
}

// A file record for `bytes` whose slice starts at `position` of the stream.
inline RecordDraft fileRecord(const std::string& name, const std::vector<uint8_t>& bytes, uint32_t position) {
  return {name, false, position, (uint32_t)bytes.size(), plainCrc32(bytes)};
}

// Header, one data stream of the given blocks, and the records in stored
// directory blocks of as many whole records as fit 8192 bytes.
inline std::vector<uint8_t> assembleArchive(const std::vector<std::vector<uint8_t>>& streamBlocks,
                                            const std::vector<RecordDraft>& records) {
  std::vector<uint8_t> archive(ARCHIVE_HEADER_SIZE, 0);  // the stream follows the header
  archive.insert(archive.end(), STREAM_SIGNATURE, STREAM_SIGNATURE + SIGNATURE_SIZE);
  for (const auto& block : streamBlocks) archive.insert(archive.end(), block.begin(), block.end());

  const uint32_t directoryOffset = (uint32_t)archive.size();
  std::vector<uint8_t> directory;  // the records of the block being filled
  auto flush = [&] {
    archive.insert(archive.end(), DIRECTORY_SIGNATURE, DIRECTORY_SIGNATURE + SIGNATURE_SIZE);
    std::vector<uint8_t> block = storedBlock(directory, true);
    archive.insert(archive.end(), block.begin(), block.end());
    directory.clear();
  };
  for (const RecordDraft& r : records) {
    if (!directory.empty() && directory.size() + DIRECTORY_ENTRY_SIZE + r.name.size() > DIRECTORY_BUFFER_SIZE)
      flush();
    directory.resize(directory.size() + DIRECTORY_ENTRY_SIZE);
    uint8_t* e = &directory[directory.size() - DIRECTORY_ENTRY_SIZE];
    writeLe32(e + DE_STREAM_OFFSET, ARCHIVE_HEADER_SIZE);
    e[DE_FLAGS] = r.folder ? ENTRY_FOLDER : 0;
    writeLe32(e + DE_STREAM_POSITION, r.streamPosition);
    writeLe32(e + DE_LENGTH, r.length);
    writeLe32(e + DE_CRC, r.crc);
    writeLe16(e + DE_NAME_LENGTH, (uint16_t)r.name.size());
    directory.insert(directory.end(), r.name.begin(), r.name.end());
  }
  if (!directory.empty() || records.empty()) flush();

  std::copy(ARCHIVE_MAGIC, ARCHIVE_MAGIC + 4, archive.begin() + AH_MAGIC);
  writeLe32(&archive[AH_DIRECTORY_OFFSET], directoryOffset);
  writeLe32(&archive[AH_ENTRY_COUNT], (uint32_t)records.size());
  writeLe32(&archive[AH_ARCHIVE_LENGTH], (uint32_t)archive.size());
  writeLe32(&archive[AH_DATA_LENGTH], directoryOffset - ARCHIVE_HEADER_SIZE);
  return archive;
}

// One stored block holding every file, then the records.
inline std::vector<uint8_t> buildStoredArchive(const std::vector<StoredEntry>& entries) {
  std::vector<uint8_t> decoded;
  std::vector<RecordDraft> records;
  for (const StoredEntry& e : entries) {
    RecordDraft& r = records.emplace_back(e);
    r.streamPosition = (uint32_t)decoded.size();
    if (e.folder) continue;
    r.length = (uint32_t)e.data.size();
    r.crc = plainCrc32(e.data) ^ (e.badCrc ? 1u : 0u);
    std::vector<uint8_t> slice = streamSlice(e.name, e.data);
    decoded.insert(decoded.end(), slice.begin(), slice.end());
  }
  return assembleArchive({storedBlock(decoded, true)}, records);
}
