#include "jumping_archive.h"

#include <string>

#include "block_builder.h"
#include "format.h"
#include "stored_archive.h"

std::vector<uint8_t> zeroPaddedBlock(const std::vector<uint8_t>& head, uint32_t outputLength, bool last) {
  CompressedFrame frame(outputLength, last);
  CodedWriter coder(frame.w, 2, {uniformSet(2)});
  for (uint8_t b : head) coder.literal(b);
  coder.literal(0);
  for (uint64_t made = head.size() + 1; made < outputLength; made += MAX_MATCH) coder.match(MAX_MATCH, 1);
  return frame.finish();
}

std::vector<uint8_t> backAndForthArchive(uint32_t files, uint32_t blockOutput) {
  std::vector<std::vector<uint8_t>> blocks;
  std::vector<RecordDraft> records;
  for (uint32_t i = 0; i < files; ++i) {
    std::vector<uint8_t> data = {(uint8_t)('a' + i % 26)};
    std::string name = "f" + std::to_string(i);
    blocks.push_back(zeroPaddedBlock(streamSlice(name, data), blockOutput, i + 1 == files));
    records.push_back(fileRecord(name, data, i * blockOutput));
  }
  std::vector<RecordDraft> order;
  for (uint32_t low = 0, high = files; low < high;) {
    order.push_back(records[--high]);
    if (low < high) order.push_back(records[low++]);
  }
  return assembleArchive(blocks, order);
}
