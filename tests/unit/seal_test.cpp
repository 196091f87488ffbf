#include <gtest/gtest.h>

#include <vector>

#include "archive/seal.h"
#include "codec/crc32.h"
#include "format.h"

namespace {

const uint32_t PE = 0x80;  // where the fake image's PE header starts
const uint32_t SEAL_AT = 0x300;

// A minimal PE32 image shape: MZ, the PE pointer, "PE\0\0", the optional
// header magic, an unsealed record, and distinct bytes everywhere else.
std::vector<uint8_t> fakeStub(uint32_t size = 0x600) {
  std::vector<uint8_t> b(size);
  for (uint32_t i = 0; i < size; ++i) b[i] = (uint8_t)(i * 7 + 3);
  b[0] = 'M';
  b[1] = 'Z';
  writeLe32(&b[0x3C], PE);
  writeLe32(&b[PE], 0x4550);
  writeLe16(&b[PE + 24], 0x10B);
  for (uint32_t i = 0; i < SEAL_SIZE; ++i) b[SEAL_AT + i] = i < SEAL_MAGIC_SIZE ? SEAL_MAGIC[i] : 0;
  return b;
}

void sealStub(std::vector<uint8_t>& stub) {
  std::vector<uint8_t> scratch(stub.size());
  fillSeal(stub.data(), scratch.data(), (uint32_t)stub.size(), SEAL_AT);
}

bool intact(const std::vector<uint8_t>& file) {
  StubSeal seal;
  if (!findSeal(file.data(), (uint32_t)file.size(), &seal) || seal.stubLength > file.size()) return false;
  std::vector<uint8_t> copy(file.begin(), file.begin() + seal.stubLength);
  return sealCrc(copy.data(), seal.stubLength, seal.sealOffset) == seal.stubCrc;
}

class Seal : public ::testing::Test {
 protected:
  void SetUp() override { buildCrcTable(); }
};

TEST_F(Seal, FoundBehindItsStubWithTheArchiveOffset) {
  std::vector<uint8_t> file = fakeStub();
  StubSeal seal;
  EXPECT_FALSE(findSeal(file.data(), (uint32_t)file.size(), &seal)) << "an unsealed stub has no seal";
  sealStub(file);
  // The archive behind it carries another sealed stub (a packed installer):
  // the first seal is the one that counts.
  std::vector<uint8_t> inner = fakeStub(0x400);
  sealStub(inner);
  file.insert(file.end(), {'J', 'O', 'V', '\n'});
  file.insert(file.end(), inner.begin(), inner.end());
  ASSERT_TRUE(findSeal(file.data(), (uint32_t)file.size(), &seal));
  EXPECT_EQ(seal.sealOffset, SEAL_AT);
  EXPECT_EQ(seal.stubLength, 0x600u);
  EXPECT_TRUE(intact(file));
}

TEST_F(Seal, MagicWithoutAConsistentRecordIsNotASeal) {
  std::vector<uint8_t> file = fakeStub();
  sealStub(file);
  std::vector<uint8_t> moved = file;
  writeLe32(&moved[SEAL_AT + SEAL_OFFSET], SEAL_AT + 1);
  StubSeal seal;
  EXPECT_FALSE(findSeal(moved.data(), (uint32_t)moved.size(), &seal));
  std::vector<uint8_t> tooShort = file;
  writeLe32(&tooShort[SEAL_AT + SEAL_STUB_LENGTH], SEAL_AT + SEAL_SIZE - 1);
  EXPECT_FALSE(findSeal(tooShort.data(), (uint32_t)tooShort.size(), &seal));
  EXPECT_FALSE(findSeal(file.data(), SEAL_AT + SEAL_SIZE - 1, &seal)) << "record cut off by the buffer";
}

TEST_F(Seal, SigningFieldsAreLeftOutAndEveryOtherByteCounts) {
  std::vector<uint8_t> file = fakeStub();
  sealStub(file);
  const uint32_t checksum = PE + 24 + 64, certificates = PE + 24 + 128;
  std::vector<uint8_t> signedStub = file;
  for (uint32_t i = 0; i < 4; ++i) signedStub[checksum + i] ^= 0xFF;
  for (uint32_t i = 0; i < 8; ++i) signedStub[certificates + i] ^= 0xFF;
  signedStub.insert(signedStub.end(), 300, 0xCC);  // archive and certificate table
  EXPECT_TRUE(intact(signedStub));

  for (uint32_t i = 0; i < file.size(); ++i) {
    bool excluded = (i >= checksum && i < checksum + 4) || (i >= certificates && i < certificates + 8) ||
                    (i >= SEAL_AT + SEAL_STUB_CRC && i < SEAL_AT + SEAL_SIZE);
    if (excluded) continue;
    std::vector<uint8_t> changed = file;
    changed[i] ^= 0x01;
    EXPECT_FALSE(intact(changed)) << "byte " << i;
  }
}

TEST_F(Seal, WithoutAPeHeaderOnlyTheCrcFieldIsLeftOut) {
  std::vector<uint8_t> file = fakeStub();
  file[0] = 'X';
  sealStub(file);
  std::vector<uint8_t> changed = file;
  changed[PE + 24 + 64] ^= 0x01;  // would be the checksum of a PE image
  EXPECT_FALSE(intact(changed));
  changed = file;
  changed[SEAL_AT + SEAL_SIZE] ^= 0x01;  // just past the record
  EXPECT_FALSE(intact(changed));
  changed = file;
  changed[SEAL_AT + SEAL_STUB_CRC] ^= 0x01;
  EXPECT_FALSE(intact(changed)) << "the CRC field no longer matches";
}

}  // namespace
