// The name rule that the installer, `jov` and the packer share; the packer
// asks it one component at a time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/names.h"
#include "packer/source_tree.h"

namespace {

const struct {
  NameVerdict verdict;
  std::vector<std::string> names;
} NAME_CASES[] = {
    // Code-page letters; an acute accent is no superscript; Windows keeps
    // leading spaces.
    {NAME_OK, {"a", "a\\b.c\\.hidden", "fine\x80\xff.txt", "CONSOLE", "lpt", "com0", "COM10", "LPT\xb4", " CON", "con-x.txt"}},
    {NAME_EMPTY_COMPONENT, {"", "\\rooted", "/rooted", "a\\\\b", "trailing\\"}},
    {NAME_BAD_CHARACTER, {std::string("a\0b", 3), "C:\\drive", "x:stream", "tab\there", "what?", "q\"", "a|b<c>*"}},
    {NAME_TRAILING_DOT, {"..", "a\\..\\..\\up", "../up", "a\\.\\b", "dots...", "space ", "."}},
    // Spaces before the extension are dropped; code page 1252 superscripts
    // one, two and three are port digits too.
    {NAME_DEVICE, {"CON", "Aux.h", "nul.tar.gz", "sub\\lpt1", "conout$.log", "CONIN$", "CON .txt", "nul .log",
                   "COM1  .x", "docs\\prn   .doc", "COM\xb9", "lpt\xb2.txt", "Com\xb3 .a"}},
};

TEST(NameRule, TableOfNamesAndVerdicts) {
  for (const auto& group : NAME_CASES)
    for (const std::string& name : group.names) {
      std::vector<uint8_t> exact(name.begin(), name.end());  // a read past its end shows under ASan
      EXPECT_EQ(checkEntryName(exact.data(), (uint32_t)exact.size()), group.verdict) << name;
      const bool component = name.find_first_of("\\/") == std::string::npos;
      EXPECT_EQ(jov::invalidComponentReason(name).empty(), component && group.verdict == NAME_OK) << name;
    }
}

}  // namespace
