// The installer identity a stub carries (format.h, "Installer identity"):
// finding the record, reading and writing its fields, checking values
// against what the installer can hold, and the identity file of `jov pack`.
#pragma once

#include <stdint.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

enum IdentityField { FIELD_PRODUCT, FIELD_VERSION, FIELD_PUBLISHER, FIELD_PROGRAM, FIELD_INI_FILE, FIELD_COUNT };

struct IdentityFieldSpec {
  const char* name;      // of the `jov pack` option and the identity file's key
  const char* jsonName;  // in `jov list --json`
  uint32_t offset, size;
};
extern const IdentityFieldSpec IDENTITY_FIELDS[FIELD_COUNT];

// Field values in the archive's code page, "\" between the program's names.
using Identity = std::array<std::string, FIELD_COUNT>;

// Where the record lies among the stub's first `length` bytes: the first
// magic with the whole record behind it.
std::optional<uint32_t> findIdentity(const uint8_t* stub, uint32_t length);

// Each field up to its terminator; a field without one is read whole (and
// is then too long for identityProblem).
Identity readIdentity(const uint8_t* record);
// Each field zero-padded; the values fit (identityProblem found nothing).
void writeIdentity(uint8_t* record, const Identity& identity);

// Why the installer cannot hold `value` (code page) in `field`, or "":
// length, empty names, characters a file name or a registry key refuses
// (the name rule of archive/names.h), a program that is not an ".exe".
std::string identityProblem(IdentityField field, const std::string& value);

// The first field of a whole record that the installer cannot hold, and
// why; nullopt when it holds them all.
std::optional<std::pair<IdentityField, std::string>> identityProblem(const Identity& identity);

// The values `jov pack` was given, UTF-8, as written.
using IdentityValues = std::array<std::optional<std::string>, FIELD_COUNT>;

// Reads an identity file into `values`: UTF-8 lines "KEY=VALUE" (keys as
// the options are named, blanks around key and value ignored), "#"
// comments, empty lines. Throws UsageError naming the file and line.
void readIdentityFile(const std::string& path, IdentityValues& values);
