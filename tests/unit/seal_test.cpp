#include <gtest/gtest.h>

#include <vector>

#include "archive/seal.h"
#include "codec/crc32.h"
#include "format.h"

namespace {

const uint32_t PE = 0x80;  // where the fake image's PE header starts
const uint32_t SEAL_AT = 0x300;
const uint32_t CHECKSUM = PE + 24 + 64, CERTIFICATES = PE + 24 + 128;

// A minimal PE32 image shape (MZ, the PE pointer, "PE\0\0", the optional
// header magic) with distinct bytes everywhere else, sealed.
std::vector<uint8_t> sealedStub(uint32_t size = 0x600, bool pe = true) {
  std::vector<uint8_t> b(size), scratch(size);
  for (uint32_t i = 0; i < size; ++i) b[i] = (uint8_t)(i * 7 + 3);
  b[0] = pe ? 'M' : 'X';
  b[1] = 'Z';
  writeLe32(&b[0x3C], PE);
  writeLe32(&b[PE], 0x4550);
  writeLe16(&b[PE + 24], 0x10B);
  for (uint32_t i = 0; i < SEAL_SIZE; ++i) b[SEAL_AT + i] = i < SEAL_MAGIC_SIZE ? SEAL_MAGIC[i] : 0;
  buildCrcTable();
  fillSeal(b.data(), scratch.data(), size, SEAL_AT);
  return b;
}

bool intact(const std::vector<uint8_t>& file) {
  StubSeal seal;
  if (!findSeal(file.data(), (uint32_t)file.size(), &seal) || seal.stubLength > file.size()) return false;
  std::vector<uint8_t> copy(file.begin(), file.begin() + seal.stubLength);
  return sealCrc(copy.data(), seal.stubLength, seal.sealOffset) == seal.stubCrc;
}

TEST(Seal, TheFirstConsistentRecordCounts) {
  // The archive behind the stub carries another sealed stub (a packed
  // installer): the first seal is the one that counts.
  std::vector<uint8_t> file = sealedStub(), inner = sealedStub(0x400);
  file.insert(file.end(), {'J', 'O', 'V', '\n'});
  file.insert(file.end(), inner.begin(), inner.end());
  StubSeal seal;
  ASSERT_TRUE(findSeal(file.data(), (uint32_t)file.size(), &seal));
  EXPECT_EQ(seal.sealOffset, SEAL_AT);
  EXPECT_EQ(seal.stubLength, 0x600u);
  EXPECT_TRUE(intact(file));
  EXPECT_FALSE(findSeal(file.data(), SEAL_AT + SEAL_SIZE - 1, &seal)) << "record cut off by the buffer";
  // Magic without a consistent record is no seal.
  std::vector<uint8_t> moved = sealedStub(), tooShort = moved;
  writeLe32(&moved[SEAL_AT + SEAL_OFFSET], SEAL_AT + 1);
  EXPECT_FALSE(findSeal(moved.data(), (uint32_t)moved.size(), &seal));
  writeLe32(&tooShort[SEAL_AT + SEAL_STUB_LENGTH], SEAL_AT + SEAL_SIZE - 1);
  EXPECT_FALSE(findSeal(tooShort.data(), (uint32_t)tooShort.size(), &seal));
}

// Signing may change the checksum and the certificate entry of a PE image
// and append behind it; every other byte of the stub counts (the CRC field
// then no longer matches), and without a PE header nothing is left out.
TEST(Seal, SigningFieldsAreLeftOutAndEveryOtherByteCounts) {
  std::vector<uint8_t> file = sealedStub(), signedStub = file;
  for (uint32_t i = 0; i < 4; ++i) signedStub[CHECKSUM + i] ^= 0xFF;
  for (uint32_t i = 0; i < 8; ++i) signedStub[CERTIFICATES + i] ^= 0xFF;
  signedStub.insert(signedStub.end(), 300, 0xCC);
  EXPECT_TRUE(intact(signedStub));
  for (bool pe : {true, false}) {
    file = sealedStub(0x600, pe);
    for (uint32_t i = 0; i < file.size(); ++i) {
      bool excluded = pe && ((i >= CHECKSUM && i < CHECKSUM + 4) || (i >= CERTIFICATES && i < CERTIFICATES + 8));
      std::vector<uint8_t> changed = file;
      changed[i] ^= 0x01;
      EXPECT_EQ(intact(changed), excluded) << "byte " << i << (pe ? " of a PE image" : "");
    }
  }
}

}  // namespace
