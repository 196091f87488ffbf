// The headers of a PE image, read in one place: the seal finds the signing
// fields of the stub through them, the packer's call-filter trial asks
// whether a file is an i386 executable, and sealstub compacts the stub's
// headers. Every bounds check on these headers lives in readPeHeaders.
//
// Layout: a DOS header of 0x40 bytes whose last field (at 0x3C) is the file
// offset of the "PE\0\0" signature; behind the signature the 20-byte file
// header, then the optional header. Offsets below are in bytes, from the
// signature (PE_*) or from the start of a PE32 optional header (PE32_*).
#pragma once

#include <stdint.h>

const uint32_t PE_DOS_HEADER_SIZE = 0x40;
const uint32_t PE_POINTER = 0x3C;  // in the DOS header
const uint32_t PE_SIGNATURE = 0x4550;  // "PE\0\0", little-endian
const uint32_t PE_MACHINE = 4;
const uint32_t PE_SECTION_COUNT = 6;
const uint32_t PE_SYMBOL_TABLE = 12;
const uint32_t PE_OPTIONAL_SIZE = 20;
const uint32_t PE_OPTIONAL = 24;
const uint16_t PE_MACHINE_I386 = 0x14C;

const uint16_t PE32_MAGIC = 0x10B;  // first field of the optional header
const uint32_t PE32_FILE_ALIGNMENT = 36;
const uint32_t PE32_CHECKSUM = 64;
const uint32_t PE32_SIZE_OF_HEADERS = 60;
const uint32_t PE32_DIRECTORY_COUNT = 92;
const uint32_t PE32_DIRECTORIES = 96;  // 8 bytes each: address, size
const uint32_t PE_DIRECTORY_SIZE = 8;
const uint32_t PE_DIRECTORY_CERTIFICATES = 4;
const uint32_t PE_DIRECTORY_DEBUG = 6;
const uint32_t PE_SECTION_HEADER_SIZE = 40;

// Bytes from the signature to the end of data directory `directory` of a
// PE32 image: what must be present to read or clear that entry.
constexpr uint32_t pe32DirectoryEnd(uint32_t directory) {
  return PE_OPTIONAL + PE32_DIRECTORIES + (directory + 1) * PE_DIRECTORY_SIZE;
}

struct PeHeaders {
  uint32_t signature;      // file offset of "PE\0\0"
  uint32_t available;      // bytes from the signature to the end of the data
  uint16_t machine;
  uint16_t sectionCount;   // this and the next two read 0 when they lie
  uint16_t optionalSize;   // beyond the data
  uint16_t optionalMagic;  // PE32_MAGIC for a PE32 image
};

// Reads the headers at the start of `size` bytes. Returns 1 when the bytes
// begin with a whole DOS header starting "MZ" whose pointer names a
// "PE\0\0" signature followed at least by the machine field; 0 otherwise
// (the pointer may hold anything: it is checked, never trusted). The caller
// compares `available` with what it goes on to read.
int readPeHeaders(const uint8_t* bytes, uint32_t size, PeHeaders* pe);
