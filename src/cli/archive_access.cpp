#include "cli/archive_access.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "archive/directory.h"
#include "archive/header.h"
#include "archive/messages.h"
#include "codec/crc32.h"
#include "codec/stream_reader.h"
#include "install_state.h"
#include "platform/posix.h"

namespace {

// A stub is some tens of KiB; its seal lies within it. Scanning this much of
// a file finds any plausible stub's seal without reading a large archive.
const uint32_t STUB_SCAN_LIMIT = 1u << 20;

// Reads up to `count` bytes at `at`; the count read.
size_t readAt(int fd, uint64_t at, uint8_t* buffer, size_t count, const std::string& path) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = pread(fd, buffer + done, count - done, (off_t)(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw CommandFailure(path + ": " + strerror(errno));
    if (n == 0) break;
    done += (size_t)n;
  }
  return done;
}

bool hasMagicAt(int fd, uint64_t at, const std::string& path) {
  uint8_t magic[sizeof ARCHIVE_MAGIC];
  return readAt(fd, at, magic, sizeof magic, path) == sizeof magic &&
         memcmp(magic, ARCHIVE_MAGIC, sizeof magic) == 0;
}

}  // namespace

ArchiveFile openArchive(const std::string& path, std::optional<uint32_t> offset) {
  ArchiveFile archive;
  archive.path = path;
  // Not fileOpen: the user's path is already a native (UTF-8) name, while
  // the file wrappers take the core's code-page names.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw CommandFailure(path + ": " + strerror(errno));
  state.archiveFile = fd;
  struct stat st;
  if (fstat(fd, &st) != 0) throw CommandFailure(path + ": " + strerror(errno));
  if (S_ISDIR(st.st_mode)) throw CommandFailure(path + ": is a folder");
  archive.size = (uint64_t)st.st_size;
  // Positions in the archive and its file are 32-bit.
  if (archive.size >= SEEK_FAILED) throw CommandFailure(path + ": too large for an archive (4 GiB at most)");

  if (offset) {
    archive.offset = *offset;
    if (!hasMagicAt(fd, archive.offset, path))
      throw CommandFailure(path + ": no JOV archive at offset " + std::to_string(archive.offset));
  } else if (hasMagicAt(fd, 0, path)) {
    archive.offset = 0;
  } else {
    std::vector<uint8_t> head((size_t)std::min<uint64_t>(archive.size, STUB_SCAN_LIMIT));
    size_t got = readAt(fd, 0, head.data(), head.size(), path);
    if (!findSeal(head.data(), (uint32_t)got, &archive.seal))
      throw CommandFailure(path + ": not a JOV archive or self-extractor (--offset names where the archive begins)");
    archive.sealed = true;
    archive.offset = archive.seal.stubLength;
    if (!hasMagicAt(fd, archive.offset, path))
      throw CommandFailure(path + ": no archive behind the stub (at offset " + std::to_string(archive.offset) + ")");
  }
  if (archive.offset > archive.size || archive.size - archive.offset < ARCHIVE_HEADER_SIZE)
    throw CommandFailure(path + ": no room for an archive header at offset " + std::to_string(archive.offset));

  state.archiveOffset = archive.offset;
  ResultCode rc = readArchiveHeader();
  if (rc < 0) throw CommandFailure(path + ": " + codeText(rc));
  if (state.header.entryCount == 0) throw CommandFailure(path + ": archive contains no files");
  return archive;
}

void closeArchive() {
  if (state.archiveFile != INVALID_FILE) close((int)state.archiveFile);
  state.archiveFile = INVALID_FILE;
}

bool stubIntact(const ArchiveFile& archive) {
  if (!archive.sealed) return true;
  std::vector<uint8_t> stub(archive.seal.stubLength);
  if (readAt((int)state.archiveFile, 0, stub.data(), stub.size(), archive.path) != stub.size())
    throw CommandFailure(archive.path + ": " + codeText(RC_READ_FAILED));
  return sealCrc(stub.data(), archive.seal.stubLength, archive.seal.sealOffset) == archive.seal.stubCrc;
}

ResultCode walkDirectory(const std::function<ResultCode(const ArchiveRecord&)>& visit) {
  // The driver's set-up: one input buffer with its slack, zeroed; no stream
  // open; the file at the first directory block.
  state.inputBuffer = (uint8_t*)memAlloc(INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK);
  if (!state.inputBuffer) return RC_NO_MEMORY;
  memset(state.inputBuffer, 0, INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK);
  startStreamReading(state.inputBuffer);

  std::vector<uint8_t> directoryBuffer(DIRECTORY_BUFFER_SIZE);
  startDirectory(directoryBuffer.data());

  ResultCode result = RC_OK;
  for (uint32_t index = 0; index < state.header.entryCount; ++index) {
    ArchiveRecord record;
    record.index = index;
    const uint8_t* name;
    result = nextDirectoryRecord(directoryBuffer.data(), &record.entry, &name);
    if (result != RC_OK) break;
    record.name.assign((const char*)name, record.entry.nameLength);
    result = visit(record);
    if (result < 0) break;
    result = RC_OK;
  }
  memFree(state.outputBuffer);
  state.outputBuffer = nullptr;
  memFree(state.inputBuffer);
  state.inputBuffer = nullptr;
  return result;
}

std::string directoryCheckFailure(const ArchiveFile& archive) {
  const ArchiveHeader& h = state.header;
  uint8_t bytes[ARCHIVE_HEADER_SIZE];
  if (readAt((int)state.archiveFile, archive.offset, bytes, sizeof bytes, archive.path) != sizeof bytes)
    return "the archive header cannot be read again";
  if (readLe32(bytes + AH_DIRECTORY_CRC_TAG) != DIRECTORY_CRC_TAG) return "";
  if ((uint16_t)~crc32Update(bytes, AH_HEADER_WORD, 0xFFFFFFFFu) != readLe16(bytes + AH_HEADER_WORD))
    return "the archive header is damaged (its check word does not match)";
  if (h.archiveLength < h.directoryOffset || archive.offset + (uint64_t)h.archiveLength > archive.size)
    return "the directory runs past the end of the file";
  uint32_t crc = 0xFFFFFFFFu;
  std::vector<uint8_t> chunk(1 << 16);
  for (uint64_t at = h.directoryOffset; at < h.archiveLength;) {
    size_t want = (size_t)std::min<uint64_t>(chunk.size(), h.archiveLength - at);
    if (readAt((int)state.archiveFile, archive.offset + at, chunk.data(), want, archive.path) != want)
      return "the directory runs past the end of the file";
    crc = crc32Update(chunk.data(), (uint32_t)want, crc);
    at += want;
  }
  if (~crc != readLe32(bytes + AH_DIRECTORY_CRC)) return "the directory is damaged (its CRC-32 does not match)";
  return "";
}

SliceClaims::Result SliceClaims::claim(uint32_t streamOffset, uint32_t position, uint64_t span) {
  const std::pair<uint32_t, uint64_t> start{streamOffset, position};
  const uint64_t end = position + span;
  auto next = pieces_.upper_bound(start);
  auto previous = next == pieces_.begin() ? pieces_.end() : std::prev(next);
  bool joinsPrevious = false, joinsNext = false;
  if (previous != pieces_.end() && previous->first.first == streamOffset) {
    if (previous->second > position) return OVERLAPS;
    joinsPrevious = previous->second == position;
  }
  if (next != pieces_.end() && next->first.first == streamOffset) {
    if (next->first.second < end) return OVERLAPS;
    joinsNext = next->first.second == end;
  }
  if (joinsPrevious && joinsNext) {
    previous->second = next->second;
    pieces_.erase(next);
  } else if (joinsPrevious) {
    previous->second = end;
  } else if (joinsNext) {
    uint64_t nextEnd = next->second;
    pieces_.erase(next);
    pieces_.emplace(start, nextEnd);
  } else {
    if (pieces_.size() >= MAX_PIECES) return TOO_SCATTERED;
    pieces_.emplace(start, end);
  }
  return CLAIMED;
}

std::string nameText(const std::string& stored) {
  std::vector<char> utf8(stored.size() * 4 + 1);
  int32_t length = codePageToUtf8(stored.data(), (uint32_t)stored.size(), utf8.data(), (uint32_t)utf8.size());
  std::string out(utf8.data(), length < 0 ? 0 : (size_t)length);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::string codeText(ResultCode code) {
  std::string suffix = systemErrorText();
  if (!suffix.empty()) suffix = ": " + suffix.substr(1);  // past its "\n"
  switch (code) {
    case RC_NO_MEMORY: return "not enough memory";
    case RC_CREATE_FAILED: return "cannot create" + suffix;
    case RC_OPEN_FAILED: return "cannot open" + suffix;
    case RC_READ_FAILED:
    case RC_SEEK_FAILED: return "cannot read" + suffix;
    case RC_WRITE_FAILED: return "cannot write" + suffix;
    case RC_FOLDER_FAILED: return "cannot create folder" + suffix;
    case RC_DAMAGED:
    case RC_INPUT_EXHAUSTED: return "archive data is damaged";
    case RC_CANCELLED: return "cancelled";
    default: return "failed (code " + std::to_string(code) + ")";
  }
}

std::string dosTimeText(uint16_t date, uint16_t time, char separator) {
  DosDateTime t = splitDosDateTime(date, time);
  char text[64];  // room for any 16-bit fields, which the compiler cannot rule out
  snprintf(text, sizeof text, "%04u-%02u-%02u%c%02u:%02u:%02u", t.year, t.month, t.day, separator, t.hour,
           t.minute, t.second);
  return text;
}
