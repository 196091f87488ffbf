#include <gtest/gtest.h>

#include <vector>

#include "archive/pe_header.h"
#include "format.h"
#include "packer/exe_filter.h"

namespace {

const uint32_t SIG = 0x80;

// A PE32 i386 image's headers: two sections, a full optional header.
std::vector<uint8_t> image() {
  std::vector<uint8_t> b(0x400, 0xCC);
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

struct Case {
  const char* what;
  uint32_t size;       // bytes handed to the reader
  uint32_t pointer;    // value at 0x3C
  uint8_t firstByte;   // 'M' for an executable
  uint16_t machine;
  bool found, i386;
  uint16_t sections, optionalSize, magic;  // as read, when found
};

TEST(PeHeaders, ReadsWhatIsPresentAndRefusesTheRest) {
  const Case cases[] = {
      {"whole PE32 image", 0x400, SIG, 'M', PE_MACHINE_I386, true, true, 2, 224, PE32_MAGIC},
      {"an x86-64 image", 0x400, SIG, 'M', 0x8664, true, false, 2, 224, PE32_MAGIC},
      {"cut after the machine field", SIG + 6, SIG, 'M', PE_MACHINE_I386, true, true, 0, 0, 0},
      {"cut inside the optional magic", SIG + PE_OPTIONAL + 1, SIG, 'M', PE_MACHINE_I386, true, true, 2, 224, 0},
      {"cut inside the machine field", SIG + 5, SIG, 'M', PE_MACHINE_I386, false, false, 0, 0, 0},
      {"cut inside the DOS header", PE_DOS_HEADER_SIZE - 1, SIG, 'M', PE_MACHINE_I386, false, false, 0, 0, 0},
      {"pointer past the end", 0x400, 0x400, 'M', PE_MACHINE_I386, false, false, 0, 0, 0},
      {"pointer that wraps around", 0x400, 0xFFFFFFFEu, 'M', PE_MACHINE_I386, false, false, 0, 0, 0},
      {"pointer at a non-signature", 0x400, SIG + 4, 'M', PE_MACHINE_I386, false, false, 0, 0, 0},
      {"not MZ", 0x400, SIG, 'Z', PE_MACHINE_I386, false, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> b = image();
    writeLe32(&b[PE_POINTER], c.pointer);
    b[0] = c.firstByte;
    writeLe16(&b[SIG + PE_MACHINE], c.machine);
    // A copy of exactly `size` bytes, so that a read past the end is a
    // sanitizer error rather than a lucky byte.
    std::vector<uint8_t> data(b.begin(), b.begin() + c.size);
    PeHeaders pe = {1, 1, 1, 1, 1, 1};
    ASSERT_EQ(readPeHeaders(data.data(), c.size, &pe), c.found ? 1 : 0) << c.what;
    EXPECT_EQ(jov::isPe32I386(data.data(), c.size), c.i386) << c.what;
    if (!c.found) continue;
    EXPECT_EQ(pe.signature, SIG) << c.what;
    EXPECT_EQ(pe.available, c.size - SIG) << c.what;
    EXPECT_EQ(pe.machine, c.machine) << c.what;
    EXPECT_EQ(pe.sectionCount, c.sections) << c.what;
    EXPECT_EQ(pe.optionalSize, c.optionalSize) << c.what;
    EXPECT_EQ(pe.optionalMagic, c.magic) << c.what;
  }
}

}  // namespace
