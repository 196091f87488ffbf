#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "archive/header.h"
#include "install_state.h"
#include "temp_dir.h"

namespace {

std::vector<uint8_t> sampleHeader() {
  std::vector<uint8_t> h(ARCHIVE_HEADER_SIZE);
  for (size_t i = 0; i < h.size(); ++i) h[i] = (uint8_t)(0xA0 + i);  // distinct bytes
  return h;
}

TEST(ArchiveHeader, FieldsAreLittleEndianAtTheirOffsets) {
  std::vector<uint8_t> b = sampleHeader();
  writeLe32(&b[4], 0x11223344);
  writeLe32(&b[8], 7);
  writeLe32(&b[20], 0xDEADBEEF);
  writeLe32(&b[24], 0x11223344 - 42);
  writeLe16(&b[40], 0xBEEF);
  ArchiveHeader h;
  parseArchiveHeader(b.data(), &h);
  EXPECT_EQ(h.magic[0], 0xA0);
  EXPECT_EQ(h.directoryOffset, 0x11223344u);
  EXPECT_EQ(h.entryCount, 7u);
  EXPECT_EQ(h.archiveLength, 0xDEADBEEFu);
  EXPECT_EQ(h.dataLength, 0x11223344u - 42);
  EXPECT_EQ(h.reserved[0], 0xAFAEADACu);  // offset 12
  EXPECT_EQ(h.reserved[4], 0xC7C6C5C4u);  // offset 36
  EXPECT_EQ(h.headerWord, 0xBEEF);
}

TEST(ArchiveHeader, EntryFieldsAtTheirOffsets) {
  uint8_t b[DIRECTORY_ENTRY_SIZE];
  for (size_t i = 0; i < sizeof b; ++i) b[i] = (uint8_t)i;
  DirectoryEntry e;
  parseDirectoryEntry(b, &e);
  EXPECT_EQ(e.streamOffset, 0x07060504u);
  EXPECT_EQ(e.attributes, 8);
  EXPECT_EQ(e.smallExtraLength, 10);
  EXPECT_EQ(e.flags, 11);
  EXPECT_EQ(e.streamPosition, 0x0F0E0D0Cu);
  EXPECT_EQ(e.length, 0x13121110u);
  EXPECT_EQ(e.crc, 0x17161514u);
  EXPECT_EQ(e.extraLength, 0x1918);
  EXPECT_EQ(e.nameLength, 0x1B1A);
  EXPECT_EQ(e.createTime, 0x1D1C);
  EXPECT_EQ(e.createDate, 0x1F1E);
  EXPECT_EQ(e.writeTime, 0x2120);
  EXPECT_EQ(e.writeDate, 0x2322);
}

TEST(ArchiveHeader, ReadBehindTheStubAndRefuseShortOverlays) {
  TempDir dir;
  std::vector<uint8_t> file(100, 0x55);  // a 100-byte "stub"
  std::vector<uint8_t> h = sampleHeader();
  writeLe32(&h[8], 3);
  file.insert(file.end(), h.begin(), h.end());
  std::string path = (dir.path() / "setup.exe").string();
  std::ofstream(path, std::ios::binary).write((const char*)file.data(), (std::streamsize)file.size());

  state.archiveFile = fileOpen(toCorePath(path).c_str(), ACCESS_READ);
  ASSERT_NE(state.archiveFile, INVALID_FILE);
  state.archiveOffset = 100;
  EXPECT_EQ(readArchiveHeader(), RC_OK);
  EXPECT_EQ(state.header.entryCount, 3u);
  EXPECT_EQ(state.archiveFilePos, 142u);
  state.archiveOffset = 101;  // only 41 bytes behind the stub
  EXPECT_EQ(readArchiveHeader(), RC_READ_FAILED);
  EXPECT_EQ(lastSystemError, 0u) << "a short read has no system error";
  fileClose(state.archiveFile);
}

TEST(DosTime, SplitsAndJoins) {
  uint16_t date = makeDosDate(2107, 12, 31), time = makeDosTime(23, 59, 58);
  DosDateTime t = splitDosDateTime(date, time);
  EXPECT_EQ(t.year, 2107);
  EXPECT_EQ(t.month, 12);
  EXPECT_EQ(t.day, 31);
  EXPECT_EQ(t.hour, 23);
  EXPECT_EQ(t.minute, 59);
  EXPECT_EQ(t.second, 58);
  EXPECT_EQ(date, 0xFF9F);
}

}  // namespace
