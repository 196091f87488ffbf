// PE headers as the seal and the call filter read them, and the seal that
// guards the stub.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "archive/pe_header.h"
#include "archive/seal.h"
#include "codec/crc32.h"
#include "format.h"
#include "packer/exe_filter.h"

namespace {

const uint32_t SIG = 0x80;  // where the image's PE header starts
const uint32_t SEAL_AT = 0x300;
const uint32_t CHECKSUM = SIG + 24 + 64, CERTIFICATES = SIG + 24 + 128;

// A PE32 i386 image's headers (two sections, a full optional header); distinct bytes elsewhere.
std::vector<uint8_t> image(uint32_t size = 0x400) {
  std::vector<uint8_t> b(size);
  for (uint32_t i = 0; i < size; ++i) b[i] = (uint8_t)(i * 7 + 3);
  b[0] = 'M';
  b[1] = 'Z';
  writeLe32(&b[PE_POINTER], SIG);
  writeLe32(&b[SIG], PE_SIGNATURE);
  writeLe16(&b[SIG + PE_MACHINE], PE_MACHINE_I386);
  writeLe16(&b[SIG + PE_SECTION_COUNT], 2);
  writeLe16(&b[SIG + PE_OPTIONAL_SIZE], 224);
  writeLe16(&b[SIG + PE_OPTIONAL], PE32_MAGIC);
  return b;
}

TEST(PeHeaders, ReadsWhatIsPresentAndRefusesTheRest) {
  const struct {
    const char* what;
    uint32_t size, pointer;  // bytes handed to the reader; the value at 0x3C
    uint8_t firstByte;       // 'M' for an executable
    uint16_t machine;
    bool found;
    uint16_t sections, optionalSize, magic;  // as read, when found
  } cases[] = {
      {"whole PE32 image", 0x400, SIG, 'M', PE_MACHINE_I386, true, 2, 224, PE32_MAGIC},
      {"an x86-64 image", 0x400, SIG, 'M', 0x8664, true, 2, 224, PE32_MAGIC},
      {"cut after the machine field", SIG + 6, SIG, 'M', PE_MACHINE_I386, true, 0, 0, 0},
      {"cut inside the optional magic", SIG + PE_OPTIONAL + 1, SIG, 'M', PE_MACHINE_I386, true, 2, 224, 0},
      {"cut inside the machine field", SIG + 5, SIG, 'M', PE_MACHINE_I386, false, 0, 0, 0},
      {"cut inside the DOS header", PE_DOS_HEADER_SIZE - 1, SIG, 'M', PE_MACHINE_I386, false, 0, 0, 0},
      {"pointer past the end", 0x400, 0x400, 'M', PE_MACHINE_I386, false, 0, 0, 0},
      {"pointer that wraps around", 0x400, 0xFFFFFFFEu, 'M', PE_MACHINE_I386, false, 0, 0, 0},
      {"pointer at a non-signature", 0x400, SIG + 4, 'M', PE_MACHINE_I386, false, 0, 0, 0},
      {"not MZ", 0x400, SIG, 'Z', PE_MACHINE_I386, false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> b = image();  // 0x400 bytes
    writeLe32(&b[PE_POINTER], c.pointer);
    b[0] = c.firstByte;
    writeLe16(&b[SIG + PE_MACHINE], c.machine);
    // Exactly `size` bytes: a read past the end is a sanitizer error.
    std::vector<uint8_t> data(b.begin(), b.begin() + c.size);
    PeHeaders pe = {1, 1, 1, 1, 1, 1};
    ASSERT_EQ(readPeHeaders(data.data(), c.size, &pe), c.found ? 1 : 0) << c.what;
    EXPECT_EQ(jov::isPe32I386(data.data(), c.size), c.found && c.machine == PE_MACHINE_I386) << c.what;
    if (!c.found) continue;
    EXPECT_EQ(std::tie(pe.signature, pe.available, pe.machine, pe.sectionCount, pe.optionalSize, pe.optionalMagic),
              std::make_tuple(SIG, c.size - SIG, c.machine, c.sections, c.optionalSize, c.magic)) << c.what;
  }
}

// The image (not one when `pe` is false), sealed.
std::vector<uint8_t> sealedStub(uint32_t size = 0x600, bool pe = true) {
  std::vector<uint8_t> b = image(size), scratch(size);
  b[0] = pe ? 'M' : 'X';
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
  EXPECT_EQ(std::tie(seal.sealOffset, seal.stubLength), std::make_tuple(SEAL_AT, 0x600u));
  EXPECT_TRUE(intact(file));
  EXPECT_FALSE(findSeal(file.data(), SEAL_AT + SEAL_SIZE - 1, &seal)) << "record cut off by the buffer";
  // Magic without a consistent record is no seal.
  std::vector<uint8_t> moved = sealedStub(), tooShort = moved;
  writeLe32(&moved[SEAL_AT + SEAL_OFFSET], SEAL_AT + 1);
  EXPECT_FALSE(findSeal(moved.data(), (uint32_t)moved.size(), &seal));
  writeLe32(&tooShort[SEAL_AT + SEAL_STUB_LENGTH], SEAL_AT + SEAL_SIZE - 1);
  EXPECT_FALSE(findSeal(tooShort.data(), (uint32_t)tooShort.size(), &seal));
}

// Signing may change the checksum and the certificate entry of a PE image (and append behind
// the stub, which the seal's length leaves out); every other byte of the stub counts, and without
// a PE header nothing is left out.
TEST(Seal, SigningFieldsAreLeftOutAndEveryOtherByteCounts) {
  for (bool pe : {true, false}) {
    const std::vector<uint8_t> file = sealedStub(0x600, pe);
    for (uint32_t i = 0; i < file.size(); ++i) {
      bool excluded = pe && ((i >= CHECKSUM && i < CHECKSUM + 4) || (i >= CERTIFICATES && i < CERTIFICATES + 8));
      std::vector<uint8_t> changed = file;
      changed[i] ^= 0x01;
      EXPECT_EQ(intact(changed), excluded) << "byte " << i << (pe ? " of a PE image" : "");
    }
  }
}

}  // namespace
