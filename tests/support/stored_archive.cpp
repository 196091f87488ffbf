#include "stored_archive.h"

#include "block_builder.h"
#include "format.h"

uint32_t referenceCrc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

std::vector<uint8_t> buildStoredArchive(const std::vector<StoredEntry>& entries) {
  std::vector<uint8_t> decoded;
  std::vector<RecordDraft> records;
  for (const StoredEntry& e : entries) {
    records.push_back(e);
    records.back().streamPosition = (uint32_t)decoded.size();
    if (e.folder) continue;
    RecordDraft& r = records.back();
    r.length = (uint32_t)e.data.size();
    r.crc = referenceCrc32(e.data.data(), e.data.size()) ^ (e.badCrc ? 1u : 0u);
    std::vector<uint8_t> slice = streamSlice(e.name, e.data);
    decoded.insert(decoded.end(), slice.begin(), slice.end());
  }
  return assembleArchive({storedBlock(decoded, true)}, records);
}

std::vector<uint8_t> streamSlice(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> slice(STREAM_RECORD_FIXED_SIZE, 0);
  writeLe32(&slice[0], (uint32_t)bytes.size());
  writeLe16(&slice[SR_VARIABLE_LENGTH], (uint16_t)name.size());
  slice.insert(slice.end(), name.begin(), name.end());
  slice.insert(slice.end(), bytes.begin(), bytes.end());
  slice.resize(slice.size() + STREAM_RECORD_CRC_SIZE);
  writeLe32(&slice[slice.size() - STREAM_RECORD_CRC_SIZE], referenceCrc32(bytes.data(), bytes.size()));
  return slice;
}

RecordDraft fileRecord(const std::string& name, const std::vector<uint8_t>& bytes, uint32_t position) {
  RecordDraft r;
  r.name = name;
  r.streamPosition = position;
  r.length = (uint32_t)bytes.size();
  r.crc = referenceCrc32(bytes.data(), bytes.size());
  return r;
}

std::vector<uint8_t> assembleArchive(const std::vector<std::vector<uint8_t>>& streamBlocks,
                                     const std::vector<RecordDraft>& records) {
  std::vector<uint8_t> archive(ARCHIVE_HEADER_SIZE, 0);
  const uint32_t streamOffset = (uint32_t)archive.size();
  archive.insert(archive.end(), STREAM_SIGNATURE, STREAM_SIGNATURE + SIGNATURE_SIZE);
  for (const auto& block : streamBlocks) archive.insert(archive.end(), block.begin(), block.end());

  const uint32_t directoryOffset = (uint32_t)archive.size();
  std::vector<uint8_t> directory;
  uint32_t inBlock = 0;
  auto flush = [&] {
    archive.insert(archive.end(), DIRECTORY_SIGNATURE, DIRECTORY_SIGNATURE + SIGNATURE_SIZE);
    std::vector<uint8_t> block = storedBlock(directory, true);
    archive.insert(archive.end(), block.begin(), block.end());
    directory.clear(), inBlock = 0;
  };
  for (const RecordDraft& r : records) {
    if (inBlock && directory.size() + DIRECTORY_ENTRY_SIZE + r.name.size() > DIRECTORY_BUFFER_SIZE) flush();
    size_t at = directory.size();
    directory.resize(at + DIRECTORY_ENTRY_SIZE);
    uint8_t* e = &directory[at];
    writeLe32(e + DE_STREAM_OFFSET, streamOffset);
    e[DE_ATTRIBUTES] = r.attributes;
    e[DE_FLAGS] = (uint8_t)(r.flags | (r.folder ? ENTRY_FOLDER : 0));
    writeLe32(e + DE_STREAM_POSITION, r.streamPosition);
    writeLe32(e + DE_LENGTH, r.length);
    writeLe32(e + DE_CRC, r.crc);
    writeLe16(e + DE_NAME_LENGTH, (uint16_t)r.name.size());
    writeLe16(e + DE_CREATE_TIME, r.createTime);
    writeLe16(e + DE_CREATE_DATE, r.createDate);
    writeLe16(e + DE_WRITE_TIME, r.writeTime);
    writeLe16(e + DE_WRITE_DATE, r.writeDate);
    directory.insert(directory.end(), r.name.begin(), r.name.end());
    ++inBlock;
  }
  if (inBlock || records.empty()) flush();

  std::copy(ARCHIVE_MAGIC, ARCHIVE_MAGIC + 4, archive.begin() + AH_MAGIC);
  writeLe32(&archive[AH_DIRECTORY_OFFSET], directoryOffset);
  writeLe32(&archive[AH_ENTRY_COUNT], (uint32_t)records.size());
  writeLe32(&archive[AH_ARCHIVE_LENGTH], (uint32_t)archive.size());
  writeLe32(&archive[AH_DATA_LENGTH], directoryOffset - ARCHIVE_HEADER_SIZE);
  return archive;
}
