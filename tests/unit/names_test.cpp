// The name rule that the installer, `jov` and the packer share.
#include <gtest/gtest.h>

#include <string>

#include "archive/names.h"

namespace {

struct NameCase {
  std::string name;
  NameVerdict verdict;
};

const NameCase NAME_CASES[] = {
    {"a", NAME_OK},
    {"a\\b.c\\.hidden", NAME_OK},
    {"fine\x80\xff.txt", NAME_OK},  // code-page letters
    {"CONSOLE", NAME_OK},
    {"com0", NAME_OK},
    {"COM10", NAME_OK},
    {"LPT\xb4", NAME_OK},  // an acute accent is no superscript
    {" CON", NAME_OK},     // Windows keeps leading spaces
    {"con-x.txt", NAME_OK},
    {"", NAME_EMPTY_COMPONENT},
    {"\\rooted", NAME_EMPTY_COMPONENT},
    {"/rooted", NAME_EMPTY_COMPONENT},
    {"a\\\\b", NAME_EMPTY_COMPONENT},
    {"trailing\\", NAME_EMPTY_COMPONENT},
    {std::string("a\0b", 3), NAME_BAD_CHARACTER},
    {"C:\\drive", NAME_BAD_CHARACTER},
    {"x:stream", NAME_BAD_CHARACTER},
    {"tab\there", NAME_BAD_CHARACTER},
    {"what?", NAME_BAD_CHARACTER},
    {"q\"", NAME_BAD_CHARACTER},
    {"a|b<c>*", NAME_BAD_CHARACTER},
    {"..", NAME_TRAILING_DOT},
    {"a\\..\\..\\up", NAME_TRAILING_DOT},
    {"../up", NAME_TRAILING_DOT},
    {"a\\.\\b", NAME_TRAILING_DOT},
    {"dots...", NAME_TRAILING_DOT},
    {"space ", NAME_TRAILING_DOT},
    {"CON", NAME_DEVICE},
    {"Aux.h", NAME_DEVICE},
    {"nul.tar.gz", NAME_DEVICE},
    {"sub\\lpt1", NAME_DEVICE},
    {"conout$.log", NAME_DEVICE},
    {"CONIN$", NAME_DEVICE},
    // The spaces before the extension are dropped: still the device.
    {"CON .txt", NAME_DEVICE},
    {"nul .log", NAME_DEVICE},
    {"COM1  .x", NAME_DEVICE},
    {"docs\\prn   .doc", NAME_DEVICE},
    // Code page 1252 superscripts one, two and three are port digits too.
    {"COM\xb9", NAME_DEVICE},
    {"lpt\xb2.txt", NAME_DEVICE},
    {"Com\xb3 .a", NAME_DEVICE},
};

TEST(NameRule, TableOfNamesAndVerdicts) {
  for (const NameCase& c : NAME_CASES) {
    EXPECT_EQ(checkEntryName((const uint8_t*)c.name.data(), (uint32_t)c.name.size()), c.verdict) << c.name;
  }
}

}  // namespace
