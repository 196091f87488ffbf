// The installer identity that `jov pack` writes into a stub and `jov list`
// and `jov test` read back: its record and the values the installer holds.
#include <gtest/gtest.h>

#include <string.h>

#include "cli/identity.h"
#include "cli/options.h"
#include "format.h"
#include "temp_dir.h"

namespace {

TEST(Identity, ValuesTheInstallerHoldsAsNamesKeysAndTexts) {
  const struct {
    IdentityField field;
    std::string value;
    const char* problem;  // a part of the reason; "" when the value is held
  } cases[] = {
      {FIELD_PRODUCT, std::string(63, 'p'), ""}, {FIELD_PRODUCT, std::string(64, 'p'), "longer"},
      {FIELD_PRODUCT, "", "empty"}, {FIELD_PRODUCT, "A\\B", "without"}, {FIELD_PRODUCT, "A/B", "without"},
      {FIELD_PRODUCT, "A|B", "refuses"}, {FIELD_PRODUCT, "Tools.", "refuses"}, {FIELD_PRODUCT, "CON", "refuses"},
      {FIELD_VERSION, "", ""}, {FIELD_VERSION, "2.1 <beta> | \\ " + std::string(16, 'v'), ""},
      {FIELD_VERSION, std::string(32, 'v'), "longer"}, {FIELD_VERSION, "1.0\n", "control"},
      {FIELD_PUBLISHER, "Acme/Co: \"x\" ?", ""}, {FIELD_PUBLISHER, "", "empty"}, {FIELD_PUBLISHER, "A\\B", "key"},
      {FIELD_PUBLISHER, "A\x7f", "control"}, {FIELD_PUBLISHER, "\x1f", "control"},
      {FIELD_PROGRAM, "bin\\acme.EXE", ""}, {FIELD_PROGRAM, std::string(123, 'p') + ".exe", ""},
      {FIELD_PROGRAM, std::string(124, 'p') + ".exe", "longer"}, {FIELD_PROGRAM, "acme.exe.txt", "not an .exe"},
      {FIELD_PROGRAM, "exe", "not an .exe"}, {FIELD_PROGRAM, "..\\acme.exe", "refuses"},
      {FIELD_PROGRAM, "", "empty"}, {FIELD_INI_FILE, "acme.ini", ""}, {FIELD_INI_FILE, "a\\b.ini", "without"},
      {FIELD_INI_FILE, "nul.ini", "refuses"}, {FIELD_INI_FILE, std::string(32, 'i'), "longer"},
  };
  for (const auto& c : cases) {
    std::string why = identityProblem(c.field, c.value);
    EXPECT_TRUE(*c.problem ? why.find(c.problem) != std::string::npos : why.empty())
        << IDENTITY_FIELDS[c.field].name << " \"" << c.value << "\": " << why;
  }
}

// A hostile or damaged record: one only partly in the stub is none; a field
// without its terminator reads whole, no further, and is too long.
TEST(Identity, ACutRecordIsNoneAndAnUnterminatedFieldTooLong) {
  std::vector<uint8_t> stub(IDENTITY_SIZE + 1, 'p');
  memcpy(&stub[1], IDENTITY_MAGIC, IDENTITY_MAGIC_SIZE);
  EXPECT_FALSE(findIdentity(stub.data(), IDENTITY_SIZE));
  ASSERT_EQ(findIdentity(&stub[1], IDENTITY_SIZE), 0u);
  const Identity read = readIdentity(&stub[1]);
  EXPECT_EQ(read[FIELD_INI_FILE], std::string(ID_INI_FILE_SIZE, 'p'));
  EXPECT_EQ(identityProblem(read)->first, FIELD_PRODUCT);
}

TEST(Identity, FileLinesCommentsBlanksAndTheLineThatIsWrong) {
  TempDir dir;
  const std::string path = (dir.path() / "identity").string();
  IdentityValues values;
  values[FIELD_INI_FILE] = "kept.ini";
  for (const char* text : {"# Acme\r\n  product = Acme Tools \r\n\npublisher=A=B\nproduct-version=\nproduct=Acme\n",
                           "product=x\nversion=1\n", "product=x\n product\n"}) {
    writeFile(path, text);
    try {
      readIdentityFile(path, values);
      EXPECT_EQ(values, (IdentityValues{"Acme", "", "A=B", std::nullopt, "kept.ini"})) << text;
    } catch (const UsageError& e) {
      EXPECT_EQ(std::string(e.what()).find(path + ":2: "), 0u) << text << e.what();
    }
  }
}

}  // namespace
