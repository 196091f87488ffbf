// sealstub: compacts the headers of a freshly linked stub, fills its seal
// (archive/seal.h) and checks the stub's size budget. Run by the build after
// the stub links; safe to run again on a sealed stub (the file is rewritten
// only when it changes).
//
//   sealstub [--max-size BYTES] STUB.exe
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/pe_header.h"
#include "archive/seal.h"
#include "codec/crc32.h"
#include "format.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "sealstub: %s\n", message.c_str());
  return 1;
}

uint16_t get16(const std::vector<uint8_t>& b, size_t at) { return (uint16_t)(b[at] | b[at + 1] << 8); }
uint32_t get32(const std::vector<uint8_t>& b, size_t at) { return get16(b, at) | (uint32_t)get16(b, at + 2) << 16; }
void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = (uint8_t)v;
  b[at + 1] = (uint8_t)(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  put16(b, at, v);
  put16(b, at + 2, v >> 16);
}

// Header compaction. The linker puts the PE header at 0x80, behind a DOS
// program that prints a message; with the stub's four sections the headers
// then take 536 bytes, two file sectors. Moved to 0x48, behind a DOS program
// that only exits (mov ax, 4C01h; int 21h), they fit one sector: the section
// data move down by one sector, and SizeOfHeaders and every section's
// PointerToRawData follow. Nothing else in a linked, unsigned, stripped image
// is a file offset (the refusals below make sure), so the image the loader
// maps is the same. Run before sealing: the seal sums the final bytes.
const uint32_t COMPACT_PE_OFFSET = 0x48;
const uint8_t DOS_EXIT_PROGRAM[] = {0xB8, 0x01, 0x4C, 0xCD, 0x21};
const uint32_t SECTION_RAW_SIZE = 16;
const uint32_t SECTION_RAW_POINTER = 20;
const uint32_t SECTION_RELOCATIONS = 24;  // and line numbers at 28

// Returns an empty string when `bytes` is compact (now or already), else
// why it cannot be compacted.
std::string compactHeaders(std::vector<uint8_t>& bytes) {
  size_t size = bytes.size();
  if (size < PE_DOS_HEADER_SIZE || bytes[0] != 'M' || bytes[1] != 'Z') return "not an MZ executable";
  PeHeaders h;
  if (size > 0xFFFFFFFFu || !readPeHeaders(bytes.data(), (uint32_t)size, &h) || h.optionalMagic != PE32_MAGIC ||
      h.available < PE_OPTIONAL + PE32_DIRECTORIES)
    return "not a PE32 image";
  uint32_t pe = h.signature;
  if (pe <= COMPACT_PE_OFFSET) return "";  // compact already
  uint32_t sections = h.sectionCount;
  uint32_t optionalSize = h.optionalSize;
  uint32_t opt = pe + PE_OPTIONAL;
  uint32_t headersLength = PE_OPTIONAL + optionalSize + sections * PE_SECTION_HEADER_SIZE;
  uint32_t alignment = get32(bytes, opt + PE32_FILE_ALIGNMENT);
  uint32_t oldHeaders = get32(bytes, opt + PE32_SIZE_OF_HEADERS);
  if (alignment == 0 || (alignment & (alignment - 1)) || oldHeaders > size || pe + headersLength > oldHeaders)
    return "unexpected header layout";
  uint32_t newHeaders = (COMPACT_PE_OFFSET + headersLength + alignment - 1) & ~(alignment - 1);
  if (newHeaders >= oldHeaders) return "";  // nothing to gain
  uint32_t shift = oldHeaders - newHeaders;

  if (get32(bytes, pe + PE_SYMBOL_TABLE) != 0) return "the image has a symbol table";
  uint32_t directories = get32(bytes, opt + PE32_DIRECTORY_COUNT);
  for (uint32_t d : {PE_DIRECTORY_CERTIFICATES, PE_DIRECTORY_DEBUG}) {
    uint32_t entry = PE32_DIRECTORIES + PE_DIRECTORY_SIZE * d;
    if (d < directories && entry + PE_DIRECTORY_SIZE <= optionalSize &&
        (get32(bytes, opt + entry) || get32(bytes, opt + entry + 4)))
      return "the image has a certificate table or debug directory";
  }
  for (uint32_t at = pe + headersLength; at < oldHeaders; ++at)
    if (bytes[at]) return "the headers' padding is not empty";
  uint32_t table = opt + optionalSize;
  for (uint32_t i = 0; i < sections; ++i) {
    uint32_t header = table + i * PE_SECTION_HEADER_SIZE;
    uint32_t raw = get32(bytes, header + SECTION_RAW_POINTER);
    uint32_t rawSize = get32(bytes, header + SECTION_RAW_SIZE);
    if (get32(bytes, header + SECTION_RELOCATIONS) || get32(bytes, header + SECTION_RELOCATIONS + 4))
      return "a section has relocations or line numbers";
    if ((raw || rawSize) && (raw < oldHeaders || raw > size || size - raw < rawSize))
      return "a section's data lie outside the file";
  }

  std::vector<uint8_t> out(size - shift, 0);
  std::copy(bytes.begin(), bytes.begin() + PE_DOS_HEADER_SIZE, out.begin());
  std::copy(std::begin(DOS_EXIT_PROGRAM), std::end(DOS_EXIT_PROGRAM), out.begin() + PE_DOS_HEADER_SIZE);
  std::copy(bytes.begin() + pe, bytes.begin() + pe + headersLength, out.begin() + COMPACT_PE_OFFSET);
  std::copy(bytes.begin() + oldHeaders, bytes.end(), out.begin() + newHeaders);
  // The DOS view of the file: one 512-byte page holding 0x48 bytes.
  put16(out, 2, COMPACT_PE_OFFSET);
  put16(out, 4, 1);
  put32(out, PE_POINTER, COMPACT_PE_OFFSET);
  uint32_t newOpt = COMPACT_PE_OFFSET + PE_OPTIONAL;
  put32(out, newOpt + PE32_SIZE_OF_HEADERS, newHeaders);
  for (uint32_t i = 0; i < sections; ++i) {
    uint32_t header = newOpt + optionalSize + i * PE_SECTION_HEADER_SIZE;
    uint32_t raw = get32(out, header + SECTION_RAW_POINTER);
    if (raw) put32(out, header + SECTION_RAW_POINTER, raw - shift);
  }
  bytes.swap(out);
  return "";
}

std::vector<size_t> magicPositions(const std::vector<uint8_t>& bytes, const uint8_t* magic, size_t size) {
  std::vector<size_t> found;
  for (size_t i = 0; i + size <= bytes.size(); ++i)
    if (std::memcmp(&bytes[i], magic, size) == 0) found.push_back(i);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long maxSize = 0;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--max-size") == 0 && i + 1 < argc) {
      maxSize = std::strtoul(argv[++i], nullptr, 10);
    } else if (!path && argv[i][0] != '-') {
      path = argv[i];
    } else {
      return fail("usage: sealstub [--max-size BYTES] STUB.exe");
    }
  }
  if (!path) return fail("usage: sealstub [--max-size BYTES] STUB.exe");

  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(std::string("cannot read ") + path);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();

  std::vector<uint8_t> original = bytes;
  std::string refusal = compactHeaders(bytes);
  if (!refusal.empty()) return fail(std::string(path) + ": cannot compact the headers: " + refusal);

  // Exactly one occurrence: a second copy of the magic (SEAL_MAGIC kept by
  // the linker, say) could be taken for the seal by the archive finders.
  std::vector<size_t> at = magicPositions(bytes, SEAL_MAGIC, SEAL_MAGIC_SIZE);
  if (at.size() != 1)
    return fail(std::string(path) + ": the seal magic occurs " + std::to_string(at.size()) + " times, not once");
  size_t offset = at[0];
  if (offset + SEAL_SIZE > bytes.size()) return fail(std::string(path) + ": the seal record is cut off");
  // Likewise the identity record, which `jov pack` rewrites and `jov list` shows.
  std::vector<size_t> identity = magicPositions(bytes, IDENTITY_MAGIC, IDENTITY_MAGIC_SIZE);
  if (identity.size() != 1 || identity[0] + IDENTITY_SIZE > bytes.size())
    return fail(std::string(path) + ": the identity record occurs " + std::to_string(identity.size()) +
                " times, or is cut off");

  std::vector<uint8_t> sealed = bytes;
  buildCrcTable();
  std::vector<uint8_t> scratch(sealed.size());
  fillSeal(sealed.data(), scratch.data(), (uint32_t)sealed.size(), (uint32_t)offset);

  if (sealed != original) {
    std::string temporary = std::string(path) + ".sealing";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(sealed.data()), (std::streamsize)sealed.size());
    out.close();
    std::error_code error;
    if (!out) return fail("cannot write " + temporary);
    std::filesystem::permissions(temporary, std::filesystem::status(path).permissions(), error);
    std::filesystem::rename(temporary, path, error);
    if (error) return fail("cannot replace " + std::string(path) + ": " + error.message());
  }

  std::printf("sealstub: %s sealed, %zu bytes", path, sealed.size());
  if (maxSize) std::printf(" (budget %lu)", maxSize);
  std::printf("\n");
  if (maxSize && sealed.size() > maxSize)
    return fail(std::string(path) + " is " + std::to_string(sealed.size()) + " bytes, over the budget of " +
                std::to_string(maxSize));
  return 0;
}
