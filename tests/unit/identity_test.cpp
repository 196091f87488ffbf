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

TEST(Identity, TheRecordReadsBackAsWrittenAndIsFoundOnlyWhole) {
  std::vector<uint8_t> stub(1000, 0xAA);
  const uint32_t at = 300;
  memcpy(&stub[at], IDENTITY_MAGIC, IDENTITY_MAGIC_SIZE);
  const Identity written = {"Acme Tools", "", "Acme", "bin\\acme.exe", "acme.ini"};
  writeIdentity(&stub[at], written);
  EXPECT_EQ(stub[at + IDENTITY_SIZE], 0xAA);
  EXPECT_EQ(findIdentity(stub.data(), at + IDENTITY_SIZE), at);
  EXPECT_FALSE(findIdentity(stub.data(), at + IDENTITY_SIZE - 1));
  EXPECT_EQ(readIdentity(&stub[at]), written);
  EXPECT_FALSE(identityProblem(written));
  // A field without its terminator reads whole, and is too long.
  memset(&stub[at + ID_PUBLISHER], 'p', ID_PUBLISHER_SIZE);
  auto problem = identityProblem(readIdentity(&stub[at]));
  ASSERT_TRUE(problem);
  EXPECT_EQ(problem->first, FIELD_PUBLISHER);
}

TEST(Identity, FileLinesCommentsBlanksAndTheLineThatIsWrong) {
  TempDir dir;
  const std::string path = (dir.path() / "identity").string();
  writeFile(path, "# Acme\r\n\n  product = Acme Tools \r\npublisher=A=B\nproduct-version=\nproduct=Acme\n");
  IdentityValues values;
  values[FIELD_INI_FILE] = "kept.ini";
  readIdentityFile(path, values);
  EXPECT_EQ(values, (IdentityValues{"Acme", "", "A=B", std::nullopt, "kept.ini"}));
  for (const char* wrong : {"product=x\nversion=1\n", "product=x\n product\n"}) {
    writeFile(path, wrong);
    try {
      readIdentityFile(path, values);
      ADD_FAILURE() << wrong;
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(path + ":2: "), std::string::npos) << e.what();
    }
  }
}

}  // namespace
