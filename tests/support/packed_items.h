// Test-only: in-memory trees packed with the packer's writer, and the sample
// data that several tests, the fuzz seeds and the memcheck run pack.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "format.h"
#include "packer/archive_writer.h"

struct PackItem {
  std::string name;  // stored form: code page, "\" separators
  bool folder;
  std::vector<uint8_t> bytes;
};

// The archive (no stub) of `items` in their order, every record stamped
// 2020-05-17 13:45:22; `stats`, when given, receives the writer's figures.
inline std::vector<uint8_t> packItems(const std::vector<PackItem>& items, const jov::PackOptions& options,
                                      jov::PackStats* stats = nullptr) {
  FILE* file = tmpfile();
  if (!file) throw std::runtime_error("tmpfile failed");
  {
    jov::ArchiveWriter writer(file, options);
    for (const PackItem& item : items) {
      const uint8_t attributes = item.folder ? 0x10 : 0x20;
      const jov::EntryInfo info{.name = item.name, .folder = item.folder, .attributes = attributes,
                                .writeDate = makeDosDate(2020, 5, 17), .writeTime = makeDosTime(13, 45, 22)};
      if (item.folder)
        writer.addFolder(info);
      else
        writer.addFile(info, item.bytes);
    }
    jov::PackStats s = writer.finish();
    if (stats) *stats = s;
  }
  std::vector<uint8_t> archive;
  rewind(file);
  for (int c; (c = fgetc(file)) != EOF;) archive.push_back((uint8_t)c);
  fclose(file);
  return archive;
}

inline std::vector<uint8_t> packItems(const std::vector<PackItem>& items, int level) {
  jov::PackOptions options;
  options.level = level;
  return packItems(items, options);
}

inline std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) b = (uint8_t)rng();
  return v;
}

// Compressible bytes: a phrase, a fifth of it noise.
inline std::vector<uint8_t> textLike(size_t n, uint32_t seed) {
  std::vector<uint8_t> v = randomBytes(n, seed);
  for (size_t i = 0; i < n; ++i) v[i] = v[i] % 5 ? (uint8_t)"setup archive stream "[i % 21] : v[i];
  return v;
}

// A tiny PE32 i386 image whose code is a near call every 7 bytes to one of
// three targets, so that the packer finds the call filter worth it.
inline std::vector<uint8_t> callHeavyPe(uint32_t size) {
  std::vector<uint8_t> pe(size, 0x90);
  pe[0] = 'M', pe[1] = 'Z';
  writeLe32(pe.data() + 0x3C, 0x80);
  pe[0x80] = 'P', pe[0x81] = 'E', pe[0x82] = 0, pe[0x83] = 0;
  writeLe16(pe.data() + 0x84, 0x014C);
  const uint32_t targets[3] = {0x400, 0x800, 0xA00};
  for (uint32_t at = 0x200, k = 0; at + 5 < size; at += 7, ++k) {
    pe[at] = 0xE8;
    writeLe32(pe.data() + at + 1, targets[k % 3] - (at + 5));
  }
  return pe;
}
