// The archive writer, then the stub's and the host's stream readers and the reference reader: arbitrary
// files, names and levels come back byte for byte with their CRC-32, the directory lists every entry in
// order, and two threads write what one writes. Input: a control byte (bits 0-6 mod 10: the level; bit 7:
// two threads too), then entries to its end: a byte k (bits 0-5: the name's length; bit 6: a folder), the
// name, and for a file a 16-bit n, n bytes and a count r (the file: the n bytes r + 1 times). A name the
// name rule refuses becomes "f<number>".
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "archive/directory.h"
#include "archive/header.h"
#include "archive/names.h"
#include "archive/reading.h"
#include "codecs.h"
#include "fuzz_support.h"
#include "packed_items.h"
#include "reference_reader.h"

namespace {

const size_t TOTAL_CAP = 1u << 16;  // file bytes of one input: long files cost time, not paths

std::vector<PackItem> itemsOf(const uint8_t* data, size_t size) {
  std::vector<PackItem> items;
  for (size_t at = 1, total = 0; at < size;) {
    const uint8_t k = data[at++];
    const size_t n = std::min<size_t>(k & 63, size - at);
    PackItem item{std::string((const char*)data + at, n), (k & 64) != 0, {}};
    if (!isSafeEntryName(data + at, (uint32_t)n)) item.name = "f" + std::to_string(items.size());
    at += n;
    if (!item.folder && at + 2 <= size) {
      const size_t length = std::min<size_t>(readLe16(data + at), size - at - 2);
      const uint8_t* piece = data + at + 2;
      at += 2 + length;
      for (size_t copies = at < size ? data[at++] + 1u : 1; copies-- && total + length <= TOTAL_CAP; total += length)
        item.bytes.insert(item.bytes.end(), piece, piece + length);
    }
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::vector<PackItem> items = itemsOf(data, size);
  jov::PackOptions options;
  options.level = (data[0] & 127) % 10;
  const std::vector<uint8_t> archive = packItems(items, options);
  options.threads = 2;
  if (data[0] & 128) fuzzCheck(packItems(items, options) == archive, "two threads write what one writes");
  const reference::Archive oracle = reference::readArchive(archive);  // throws on anything it refuses
  for (size_t i = 0; i < items.size(); ++i)
    fuzzCheck(oracle.entries.at(i).name == items[i].name && oracle.entries[i].bytes == items[i].bytes,
              "the reference reader reads what was packed");

  static const int out = memfd_create("file", MFD_CLOEXEC);
  state.archiveFile = memfd_create("archive", MFD_CLOEXEC);
  fuzzCheck(write((int)state.archiveFile, archive.data(), archive.size()) == (ssize_t)archive.size(),
            "the archive in a memory-backed file");
  state.archiveOffset = 0;
  resetPlatformHooks();
  for (const Codec* codec : {&hostCodec, &jovStubCodec}) {
    fuzzCheck(readArchiveHeader() == RC_OK && state.header.entryCount == items.size(), "every entry counted");
    codec->buildCrcTable();
    uint8_t directory[DIRECTORY_BUFFER_SIZE];
    fuzzCheck(startReading(directory) == RC_OK, "reading set up");
    for (const PackItem& item : items) {
      DirectoryEntry entry;
      const uint8_t* name;
      fuzzCheck(nextDirectoryRecord(directory, &entry, &name) == RC_OK &&
                    std::string((const char*)name, entry.nameLength) == item.name &&
                    ((entry.flags & ENTRY_FOLDER) != 0) == item.folder,
                "the directory lists every entry in order");
      if (item.folder) continue;
      fuzzCheck(ftruncate(out, 0) == 0 && lseek(out, 0, SEEK_SET) == 0, "an empty output file");
      const ResultCode rc =
          codec->readStreamFile(out, entry.streamOffset, entry.streamPosition, entry.length, entry.flags);
      std::vector<uint8_t> bytes(item.bytes.size() + 1);
      bytes.resize((size_t)std::max<ssize_t>(pread(out, bytes.data(), bytes.size(), 0), 0));
      fuzzCheck(rc == RC_OK && bytes == item.bytes && state.runningCrc == entry.crc &&
                    entry.crc == ~crc32Update(bytes.data(), (uint32_t)bytes.size(), 0xFFFFFFFFu),
                "every file comes back byte for byte, with its CRC-32");
    }
    finishReading();
  }
  fileClose(state.archiveFile);
  return 0;
}
