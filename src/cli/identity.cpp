#include "cli/identity.h"

#include <errno.h>
#include <string.h>
#include <strings.h>

#include <fstream>

#include "archive/messages.h"
#include "archive/names.h"
#include "cli/options.h"
#include "format.h"

const IdentityFieldSpec IDENTITY_FIELDS[FIELD_COUNT] = {
    {"product", "product", ID_PRODUCT, ID_PRODUCT_SIZE},
    {"product-version", "productVersion", ID_VERSION, ID_VERSION_SIZE},
    {"publisher", "publisher", ID_PUBLISHER, ID_PUBLISHER_SIZE},
    {"program", "program", ID_PROGRAM, ID_PROGRAM_SIZE},
    {"ini-file", "iniFile", ID_INI_FILE, ID_INI_FILE_SIZE},
};

std::optional<uint32_t> findIdentity(const uint8_t* stub, uint32_t length) {
  for (uint32_t at = 0; length >= IDENTITY_SIZE && at <= length - IDENTITY_SIZE; ++at)
    if (memcmp(stub + at, IDENTITY_MAGIC, IDENTITY_MAGIC_SIZE) == 0) return at;
  return std::nullopt;
}

Identity readIdentity(const uint8_t* record) {
  Identity identity;
  for (int f = 0; f < FIELD_COUNT; ++f) {
    const char* text = (const char*)record + IDENTITY_FIELDS[f].offset;
    identity[f].assign(text, strnlen(text, IDENTITY_FIELDS[f].size));
  }
  return identity;
}

void writeIdentity(uint8_t* record, const Identity& identity) {
  for (int f = 0; f < FIELD_COUNT; ++f) {
    uint8_t* field = record + IDENTITY_FIELDS[f].offset;
    memset(field, 0, IDENTITY_FIELDS[f].size);
    memcpy(field, identity[f].data(), identity[f].size());
  }
}

std::string identityProblem(IdentityField field, const std::string& value) {
  const uint32_t room = IDENTITY_FIELDS[field].size - 1;
  if (value.size() > room)
    return "longer than the installer holds (" + std::to_string(room) + " bytes in the code page)";
  if (value.empty()) return field == FIELD_VERSION ? "" : "empty";
  const uint8_t* bytes = (const uint8_t*)value.data();
  const uint32_t length = (uint32_t)value.size();
  bool control = false;
  for (uint8_t c : value) control |= c < 0x20 || c == 0x7F;
  switch (field) {
    case FIELD_PRODUCT:  // a folder's name, and the last name of registry keys
    case FIELD_INI_FILE:
      if (value.find_first_of("\\/") != std::string::npos) return "a name, without \"\\\" or \"/\"";
      if (NameVerdict verdict = checkNameComponent(bytes, length); verdict != NAME_OK)
        return std::string("the installer refuses it: ") + nameVerdictText(verdict);
      return "";
    case FIELD_PUBLISHER:  // a registry key's name
      if (value.find('\\') != std::string::npos) return "a registry key's name, without \"\\\"";
      return control ? "holds a control character" : "";
    case FIELD_VERSION:
      return control ? "holds a control character" : "";
    case FIELD_PROGRAM:
      if (NameVerdict verdict = checkEntryName(bytes, length); verdict != NAME_OK)
        return std::string("the installer refuses it: ") + nameVerdictText(verdict);
      if (length < 4 || strcasecmp(value.c_str() + length - 4, ".exe") != 0) return "not an .exe file";
      return "";
    default:
      return "";
  }
}

std::optional<std::pair<IdentityField, std::string>> identityProblem(const Identity& identity) {
  for (int f = 0; f < FIELD_COUNT; ++f)
    if (std::string why = identityProblem((IdentityField)f, identity[f]); !why.empty())
      return std::pair{(IdentityField)f, why};
  return std::nullopt;
}

namespace {

std::string trimmed(const std::string& text) {
  const char* const BLANKS = " \t\r";
  size_t start = text.find_first_not_of(BLANKS);
  return start == std::string::npos ? "" : text.substr(start, text.find_last_not_of(BLANKS) + 1 - start);
}

}  // namespace

void readIdentityFile(const std::string& path, IdentityValues& values) {
  std::ifstream in(path);
  if (!in) throw UsageError(path + ": " + errnoReason(errno));
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    line = trimmed(line);
    if (line.empty() || line[0] == '#') continue;
    size_t equals = line.find('=');
    int f = 0;
    while (f < FIELD_COUNT && trimmed(line.substr(0, equals)) != IDENTITY_FIELDS[f].name) ++f;
    if (equals == std::string::npos || f == FIELD_COUNT)
      throw UsageError(path + ":" + std::to_string(number) + ": not KEY=VALUE with KEY product, product-version, "
                       "publisher, program or ini-file");
    values[f] = trimmed(line.substr(equals + 1));
  }
  if (in.bad()) throw UsageError(path + ": " + errnoReason(errno));
}
