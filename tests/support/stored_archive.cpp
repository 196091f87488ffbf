#include "stored_archive.h"

#include <algorithm>

#include "format.h"

namespace {

void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back((uint8_t)(v >> (8 * i)));
}
void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back((uint8_t)v);
  out.push_back((uint8_t)(v >> 8));
}

// One stored block: header bits (type 0, last, outputLength, blockSize),
// selector 0, padding to byte 7, then the bytes.
void putStoredBlock(std::vector<uint8_t>& out, const uint8_t* data, uint32_t size, bool last) {
  uint64_t bits = 0;
  uint32_t blockSize = BLOCK_STORED_DATA_BYTE + size;
  bits |= (uint64_t)(last ? 1 : 0) << 4;
  bits |= (uint64_t)size << 5;
  bits |= (uint64_t)blockSize << 25;
  for (int i = 0; i < 7; ++i) out.push_back((uint8_t)(bits >> (8 * i)));
  out.insert(out.end(), data, data + size);
}

}  // namespace

uint32_t referenceCrc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

std::vector<uint8_t> buildStoredArchive(const std::vector<StoredEntry>& entries,
                                        const StoredArchiveOptions& options) {
  // One solid stream holding every file.
  std::vector<uint8_t> decoded;
  std::vector<uint32_t> positions;
  for (const StoredEntry& e : entries) {
    positions.push_back((uint32_t)decoded.size());
    if (e.folder) continue;
    put32(decoded, (uint32_t)e.data.size());
    put16(decoded, (uint16_t)e.name.size());
    decoded.insert(decoded.end(), 5, 0);
    decoded.insert(decoded.end(), e.name.begin(), e.name.end());
    decoded.insert(decoded.end(), e.data.begin(), e.data.end());
    put32(decoded, referenceCrc32(e.data.data(), e.data.size()));
  }

  std::vector<uint8_t> archive(ARCHIVE_HEADER_SIZE, 0);
  uint32_t streamOffset = (uint32_t)archive.size();
  archive.insert(archive.end(), STREAM_SIGNATURE, STREAM_SIGNATURE + SIGNATURE_SIZE);
  size_t at = 0;
  do {
    uint32_t n = (uint32_t)std::min<size_t>(options.blockOutput, decoded.size() - at);
    putStoredBlock(archive, decoded.data() + at, n, at + n == decoded.size());
    at += n;
  } while (at < decoded.size());

  uint32_t directoryOffset = (uint32_t)archive.size();
  std::vector<uint8_t> records;
  uint32_t inBlock = 0;
  auto flush = [&] {
    archive.insert(archive.end(), DIRECTORY_SIGNATURE, DIRECTORY_SIGNATURE + SIGNATURE_SIZE);
    putStoredBlock(archive, records.data(), (uint32_t)records.size(), true);
    records.clear();
    inBlock = 0;
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    const StoredEntry& e = entries[i];
    uint32_t crc = referenceCrc32(e.data.data(), e.data.size()) ^ (e.badCrc ? 1u : 0u);
    put32(records, 0);
    put32(records, streamOffset);
    records.push_back(e.attributes);
    records.push_back(0);
    records.push_back(0);  // smallExtraLength
    records.push_back((uint8_t)(e.flags | (e.folder ? ENTRY_FOLDER : 0)));
    put32(records, positions[i]);
    put32(records, e.folder ? 0 : (uint32_t)e.data.size());
    put32(records, e.folder ? 0 : crc);
    put16(records, 0);  // extraLength
    put16(records, (uint16_t)e.name.size());
    put16(records, e.createTime);
    put16(records, e.createDate);
    put16(records, e.writeTime);
    put16(records, e.writeDate);
    put16(records, 0);
    records.insert(records.end(), e.name.begin(), e.name.end());
    if (++inBlock == options.recordsPerDirectoryBlock) flush();
  }
  if (inBlock || entries.empty()) flush();

  writeLe32(&archive[AH_DIRECTORY_OFFSET], directoryOffset);
  writeLe32(&archive[AH_ENTRY_COUNT], (uint32_t)entries.size() + options.entryCountDelta);
  writeLe32(&archive[AH_ARCHIVE_LENGTH], (uint32_t)archive.size());
  writeLe32(&archive[AH_DATA_LENGTH], directoryOffset - ARCHIVE_HEADER_SIZE);
  for (int i = 0; i < 4; ++i) archive[AH_MAGIC + i] = ARCHIVE_MAGIC[i];
  return archive;
}

std::vector<uint8_t> streamSlice(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> slice;
  put32(slice, (uint32_t)bytes.size());
  put16(slice, (uint16_t)name.size());
  slice.insert(slice.end(), 5, 0);
  slice.insert(slice.end(), name.begin(), name.end());
  slice.insert(slice.end(), bytes.begin(), bytes.end());
  put32(slice, referenceCrc32(bytes.data(), bytes.size()));
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
                                     const std::vector<RecordDraft>& records, uint32_t extraCount) {
  std::vector<uint8_t> archive(ARCHIVE_HEADER_SIZE, 0);
  const uint32_t streamOffset = (uint32_t)archive.size();
  archive.insert(archive.end(), STREAM_SIGNATURE, STREAM_SIGNATURE + SIGNATURE_SIZE);
  for (const auto& block : streamBlocks) archive.insert(archive.end(), block.begin(), block.end());

  const uint32_t directoryOffset = (uint32_t)archive.size();
  std::vector<uint8_t> directory;
  auto flush = [&] {
    archive.insert(archive.end(), DIRECTORY_SIGNATURE, DIRECTORY_SIGNATURE + SIGNATURE_SIZE);
    putStoredBlock(archive, directory.data(), (uint32_t)directory.size(), true);
    directory.clear();
  };
  for (const RecordDraft& r : records) {
    if (!directory.empty() && directory.size() + DIRECTORY_ENTRY_SIZE + r.name.size() > DIRECTORY_BUFFER_SIZE) flush();
    put32(directory, 0);
    put32(directory, streamOffset);
    directory.push_back(0);                            // attributes
    directory.push_back(0);
    directory.push_back(0);                            // smallExtraLength
    directory.push_back(r.folder ? ENTRY_FOLDER : 0);  // flags
    put32(directory, r.streamPosition);
    put32(directory, r.length);
    put32(directory, r.crc);
    put16(directory, 0);                               // extraLength
    put16(directory, (uint16_t)r.name.size());
    for (int i = 0; i < 5; ++i) put16(directory, 0);   // times, reserved
    directory.insert(directory.end(), r.name.begin(), r.name.end());
  }
  flush();

  for (int i = 0; i < 4; ++i) archive[AH_MAGIC + i] = ARCHIVE_MAGIC[i];
  writeLe32(&archive[AH_DIRECTORY_OFFSET], directoryOffset);
  writeLe32(&archive[AH_ENTRY_COUNT], (uint32_t)records.size() + extraCount);
  writeLe32(&archive[AH_ARCHIVE_LENGTH], (uint32_t)archive.size());
  writeLe32(&archive[AH_DATA_LENGTH], directoryOffset - ARCHIVE_HEADER_SIZE);
  return archive;
}
