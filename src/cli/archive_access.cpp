#include "cli/archive_access.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "archive/directory.h"
#include "archive/header.h"
#include "archive/messages.h"
#include "archive/pe_header.h"
#include "archive/reading.h"
#include "cli/console.h"
#include "codec/crc32.h"
#include "install_state.h"
#include "platform/host_files.h"
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
    if (n < 0) throw CommandFailure(path + ": " + errnoReason(errno));
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

const char* const NOT_AN_ARCHIVE = ": not a JOV archive or self-extractor (--offset names where the archive begins)";

std::string noArchiveAt(uint32_t offset) { return ": no JOV archive at offset " + std::to_string(offset); }

// Judges input from its first bytes while it is copied, so that garbage is
// refused before much of it is stored. `head` holds the first bytes that
// came (up to STUB_SCAN_LIMIT), `ended` tells that no more come. An archive
// starts with its magic (at `offset` when given); a self-extractor with a
// program header ("MZ", a pointer to "PE\0\0") and, within STUB_SCAN_LIMIT,
// the stub's seal. Returns the refusal, "" to go on copying, "ok" once the
// input has passed.
std::string judgeStart(const std::vector<uint8_t>& head, bool ended, std::optional<uint32_t> offset) {
  const size_t magicSize = sizeof ARCHIVE_MAGIC;
  if (offset) {
    if (head.size() < *offset + (uint64_t)magicSize) return ended || head.size() == STUB_SCAN_LIMIT ? "ok" : "";
    return memcmp(head.data() + *offset, ARCHIVE_MAGIC, magicSize) == 0 ? "ok" : noArchiveAt(*offset);
  }
  static const uint8_t PROGRAM[2] = {'M', 'Z'};
  size_t n = std::min(head.size(), magicSize);
  // std::equal, not memcmp: nothing may have come yet, and an empty vector's data() may be null.
  if (std::equal(head.begin(), head.begin() + (ptrdiff_t)n, ARCHIVE_MAGIC)) return n == magicSize || ended ? "ok" : "";
  if (!std::equal(head.begin(), head.begin() + (ptrdiff_t)std::min(n, sizeof PROGRAM), PROGRAM)) return NOT_AN_ARCHIVE;
  if (head.size() >= PE_DOS_HEADER_SIZE) {
    uint64_t signatureEnd = (uint64_t)readLe32(head.data() + PE_POINTER) + PE_OPTIONAL;
    PeHeaders pe;
    if (signatureEnd > STUB_SCAN_LIMIT) return NOT_AN_ARCHIVE;
    if (head.size() >= signatureEnd && !readPeHeaders(head.data(), (uint32_t)head.size(), &pe)) return NOT_AN_ARCHIVE;
  }
  if (!ended && head.size() < STUB_SCAN_LIMIT) return "";
  StubSeal seal;
  return findSeal(head.data(), (uint32_t)head.size(), &seal) ? "ok" : NOT_AN_ARCHIVE;
}

// The directory lies at the end of an archive, so a pipe, a terminal or a
// character device cannot be read where the reader needs it: its bytes are
// copied into a spool (in TMPDIR) first, once their start shows that they
// may be an archive (judgeStart).
int spoolToTemporary(int in, const std::string& shown, std::optional<uint32_t> offset) {
  std::string folder;
  int fd = openSpool("jov-input", folder);
  if (fd < 0) throw CommandFailure(folder + ": cannot make a temporary copy of " + shown + ": " + errnoReason(errno));
  std::vector<uint8_t> buffer(1 << 16), head;
  uint64_t total = 0;
  std::string verdict;
  for (;;) {
    ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      close(fd);
      throw CommandFailure(shown + ": " + errnoReason(error));
    }
    if (verdict != "ok") {
      size_t keep = std::min<size_t>((size_t)n, STUB_SCAN_LIMIT - head.size());
      head.insert(head.end(), buffer.begin(), buffer.begin() + (ptrdiff_t)keep);
      verdict = judgeStart(head, n == 0, offset);
      if (!verdict.empty() && verdict != "ok") {
        close(fd);
        throw CommandFailure(shown + verdict);
      }
    }
    if (n == 0) break;
    total += (uint64_t)n;
    if (total >= SEEK_FAILED) {
      close(fd);
      throw CommandFailure(shown + ": too large for an archive (4 GiB at most)");
    }
    if (!writeAll(fd, buffer.data(), (size_t)n)) {
      int error = errno;
      close(fd);
      throw CommandFailure(folder + ": cannot make a temporary copy of " + shown + ": " + errnoReason(error));
    }
  }
  return fd;
}

}  // namespace

ArchiveFile openArchive(const std::string& path, std::optional<uint32_t> offset) {
  ArchiveFile archive;
  bool standardInput = path == "-";
  archive.path = standardInput ? "standard input" : path;
  int fd;
  if (standardInput) {
    if (isatty(STDIN_FILENO))
      throw CommandFailure("standard input is a terminal; pipe an archive into 'jov' or name a file");
    fd = STDIN_FILENO;
  } else {
    // Not fileOpen: the user's path is already a native (UTF-8) name, while
    // the file wrappers take the core's code-page names.
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw CommandFailure(archive.path + ": " + errnoReason(errno));
    state.archiveFile = fd;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) throw CommandFailure(archive.path + ": " + errnoReason(errno));
  if (S_ISDIR(st.st_mode)) throw CommandFailure(archive.path + ": is a folder");
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    fd = spoolToTemporary(fd, archive.path, offset);
    closeArchive();
    if (fstat(fd, &st) != 0) throw CommandFailure(archive.path + ": " + errnoReason(errno));
  } else if (fd == STDIN_FILENO) {
    // A file redirected into stdin: read it in place, through a descriptor
    // of our own, so closeArchive never closes standard input.
    fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) throw CommandFailure(archive.path + ": " + errnoReason(errno));
  }
  state.archiveFile = fd;
  if (S_ISBLK(st.st_mode)) {
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) throw CommandFailure(archive.path + ": " + errnoReason(errno));
    st.st_size = end;
  }
  archive.size = (uint64_t)st.st_size;
  // Positions in the archive and its file are 32-bit.
  if (archive.size >= SEEK_FAILED) throw CommandFailure(archive.path + ": too large for an archive (4 GiB at most)");

  if (offset) {
    archive.offset = *offset;
    if (!hasMagicAt(fd, archive.offset, archive.path))
      throw CommandFailure(archive.path + noArchiveAt(archive.offset));
  } else if (hasMagicAt(fd, 0, archive.path)) {
    archive.offset = 0;
  } else {
    std::vector<uint8_t> head((size_t)std::min<uint64_t>(archive.size, STUB_SCAN_LIMIT));
    size_t got = readAt(fd, 0, head.data(), head.size(), archive.path);
    if (!findSeal(head.data(), (uint32_t)got, &archive.seal))
      throw CommandFailure(archive.path + NOT_AN_ARCHIVE);
    archive.sealed = true;
    archive.offset = archive.seal.stubLength;
    if (!hasMagicAt(fd, archive.offset, archive.path))
      throw CommandFailure(archive.path + ": no archive behind the stub (at offset " + std::to_string(archive.offset) + ")");
  }
  if (archive.offset > archive.size || archive.size - archive.offset < ARCHIVE_HEADER_SIZE)
    throw CommandFailure(archive.path + ": no room for an archive header at offset " + std::to_string(archive.offset));

  state.archiveOffset = archive.offset;
  ResultCode rc = readArchiveHeader();
  if (rc < 0) throw CommandFailure(codeText(rc, archive.path));
  if (state.header.entryCount == 0) throw CommandFailure(archive.path + ": archive contains no files");
  return archive;
}

void closeArchive() {
  if (state.archiveFile != INVALID_FILE) close((int)state.archiveFile);
  state.archiveFile = INVALID_FILE;
}

std::vector<uint8_t> readStub(const ArchiveFile& archive) {
  std::vector<uint8_t> stub(archive.sealed ? archive.seal.stubLength : 0);
  if (readAt((int)state.archiveFile, 0, stub.data(), stub.size(), archive.path) != stub.size())
    throw CommandFailure(codeText(RC_READ_FAILED, archive.path));
  return stub;
}

bool stubIntact(const ArchiveFile& archive) {
  if (!archive.sealed) return true;
  std::vector<uint8_t> stub = readStub(archive);
  return sealCrc(stub.data(), archive.seal.stubLength, archive.seal.sealOffset) == archive.seal.stubCrc;
}

ResultCode walkDirectory(const std::function<ResultCode(const ArchiveRecord&)>& visit) {
  std::vector<uint8_t> directoryBuffer(DIRECTORY_BUFFER_SIZE);
  ResultCode result = startReading(directoryBuffer.data());
  if (result < 0) return result;
  for (uint32_t index = 0; index < state.header.entryCount; ++index) {
    ArchiveRecord record;
    record.index = index;
    clearDamageReason();  // what the last record's data met is not the directory's
    const uint8_t* name;
    result = nextDirectoryRecord(directoryBuffer.data(), &record.entry, &name);
    if (result != RC_OK) break;
    record.name.assign((const char*)name, record.entry.nameLength);
    result = visit(record);
    if (result < 0) break;
    result = RC_OK;
  }
  finishReading();
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

std::vector<uint32_t> SliceClaims::streams() const {
  std::vector<uint32_t> offsets;
  for (const auto& piece : pieces_)
    if (offsets.empty() || offsets.back() != piece.first.first) offsets.push_back(piece.first.first);
  return offsets;
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

std::string oneLine(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p != '\n') {
      out += *p;
    } else if (p[1]) {
      out += islower((unsigned char)p[1]) ? " " : ": ";
    }
  }
  return out;
}

std::string codeText(ResultCode code, const std::string& path) {
  // The installer's own text, composed around a placeholder so that a path
  // of any length survives whole: the message buffer holds 260-character
  // paths only.
  static const char PLACEHOLDER[] = "\x01";
  if (!composeMessage(code, PLACEHOLDER))
    return path + ": " + (code == RC_CANCELLED ? std::string("cancelled") : "failed (code " + std::to_string(code) + ")");
  std::string text = oneLine(state.messageText);
  size_t at = text.find(PLACEHOLDER);
  if (at == std::string::npos) return path + ": " + text;
  return text.replace(at, 1, path);
}

std::string crcText(uint32_t crc) {
  char text[12];
  snprintf(text, sizeof text, "%08x", crc);
  return text;
}

std::string jsonString(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += (char)c;
    }
  }
  return out + "\"";
}

std::optional<uint32_t> streamNumber(uint32_t key, const std::vector<uint32_t>& streamKeys) {
  auto at = std::lower_bound(streamKeys.begin(), streamKeys.end(), key);
  if (at == streamKeys.end() || *at != key) return std::nullopt;
  return (uint32_t)(at - streamKeys.begin());
}

std::string damageText(const DamageReason& damage, const std::vector<uint32_t>& streamKeys) {
  char offset[16];
  snprintf(offset, sizeof offset, "0x%x", damage.offset - state.archiveOffset);
  std::string place;
  if (damage.site == SITE_DATA_BLOCK) {
    std::optional<uint32_t> number = streamNumber(damage.stream, streamKeys);
    place = number ? "data stream " + std::to_string(*number)
                   : "the data stream at archive offset " + std::to_string(damage.stream - state.archiveOffset);
    place += ", block " + std::to_string(damage.block) + " at archive offset " + offset + ": ";
  } else if (damage.site == SITE_DIRECTORY_BLOCK) {
    place = "directory block " + std::to_string(damage.block) + " at archive offset " + offset + ": ";
  }
  return "archive data is damaged (" + place + damageReasonText(damage) + ")";
}

std::string damageReasonText(const DamageReason& damage) {
  if (damage.crcMismatch) return "CRC-32 " + crcText(damage.crc) + ", stored " + crcText(damage.storedCrc);
  if (!damage.text) return "undecodable";
  return damage.text + (damage.hasValue ? " " + std::to_string(damage.value) : "");
}

std::string dosTimeText(uint16_t date, uint16_t time, char separator) {
  DosDateTime t = splitDosDateTime(date, time);
  char text[64];  // room for any 16-bit fields, which the compiler cannot rule out
  snprintf(text, sizeof text, "%04u-%02u-%02u%c%02u:%02u:%02u", t.year, t.month, t.day, separator, t.hour,
           t.minute, t.second);
  return text;
}

std::string identityFailure(const Identity& identity) {
  auto problem = identityProblem(identity);
  if (!problem) return "";
  return "installer identity, " + std::string(IDENTITY_FIELDS[problem->first].name) + " \"" +
         displayText(identity[problem->first]) + "\": " + problem->second;
}
