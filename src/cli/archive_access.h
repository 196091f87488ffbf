// Reading an archive from `jov`: finding it in a file, walking its directory
// the way the extraction driver does, and the texts the commands print.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/seal.h"
#include "cli/identity.h"
#include "format.h"
#include "result.h"

// A failure that ends a command: shown as "jov: WHAT", exit status 1.
struct CommandFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ArchiveFile {
  std::string path;    // as the user gave it; "standard input" for "-"
  uint64_t size = 0;   // of the whole file
  uint32_t offset = 0; // where the archive's header begins
  bool sealed = false; // found behind a sealed stub
  StubSeal seal{};
};

// Opens `path` as state.archiveFile and reads the header into state.header.
// "-" is standard input; input that cannot be read at any position (a pipe,
// a terminal, a character device) is first copied into an unlinked
// temporary file, since the directory lies at the archive's end.
// The archive lies at `offset` when given; otherwise at 0 when the file
// starts with "JOV\n", else behind the stub whose seal names its length;
// it must start with "JOV\n" and hold records (the installer refuses an
// archive of none). Throws CommandFailure.
ArchiveFile openArchive(const std::string& path, std::optional<uint32_t> offset);
void closeArchive();

// Whether the stub in front of the archive still matches its seal (the
// installer refuses to run otherwise). Throws CommandFailure on a read error.
bool stubIntact(const ArchiveFile& archive);

// The stub's bytes, as long as its seal says; none without a sealed stub.
// Throws CommandFailure on a read error.
std::vector<uint8_t> readStub(const ArchiveFile& archive);

struct ArchiveRecord {
  uint32_t index;       // 0-based position in the directory
  DirectoryEntry entry;
  std::string name;     // bytes as stored: code page, "\" separators
};

// Walks the directory as extractArchive does: the same set-up (startReading), the
// same rules for short blocks and overlong records, so a listing or a test
// meets exactly the records and failures an installation would. The visitor
// may read the record's data with readStreamFile; a negative code from it
// stops the walk. Returns RC_OK after every record, or the code that stopped.
ResultCode walkDirectory(const std::function<ResultCode(const ArchiveRecord&)>& visit);

// The directory check that `jov pack` writes (format.h). Without its tag the
// reserved fields are another producer's and are not judged: empty string.
// With it, the header word and the CRC-32 of the directory region must
// match; otherwise the reason, in a few words.
std::string directoryCheckFailure(const ArchiveFile& archive);

// The bytes of the data streams that file records have claimed so far: each
// record claims what it provably covers, and no byte may be claimed twice
// (records naming the same bytes would make a small archive extract without
// end). Claims that touch merge, so an archive written in stream order holds
// one piece per stream whatever its record count; scattered claims are
// refused beyond MAX_PIECES to keep memory bounded (a piece costs about 64
// bytes).
class SliceClaims {
 public:
  static const size_t MAX_PIECES = 1u << 19;
  enum Result { CLAIMED, OVERLAPS, TOO_SCATTERED };
  Result claim(uint32_t streamOffset, uint32_t position, uint64_t span);
  // The streams claimed in, by offset, each once.
  std::vector<uint32_t> streams() const;

 private:
  std::map<std::pair<uint32_t, uint64_t>, uint64_t> pieces_;  // (stream, start) -> end
};

// The stream bytes a file record covers at least, known from the directory
// alone: the StreamRecord's fixed part and the file's bytes. The variable
// part's length is known only from the stream, and nobody reads the CRC-32
// behind the bytes. An empty file covers nothing: it is never read.
inline uint64_t recordSpan(const DirectoryEntry& entry) {
  return entry.length ? (uint64_t)STREAM_RECORD_FIXED_SIZE + entry.length : 0;
}

// A stored name as UTF-8 with "/" separators (the code page selected with
// setPathCodePage), exactly: control characters are kept.
std::string nameText(const std::string& stored);

// A message of the driver on one console line. They are one line in `jov`
// (archive/messages.h) but for the damaged-data text, whose sentence goes on
// after "\n" ("corrupt disk or download error"): a break becomes " " before
// a word in lower case, ": " before anything else.
std::string oneLine(const char* text);

// `jov`'s message for `code` about `path`, on one line, with the reason for
// the last system error ("cannot read Setup.exe: Input/output error",
// "Setup.exe: Archive data is damaged, probably caused by corrupt disk or
// download error").
std::string codeText(ResultCode code, const std::string& path);

// Eight lowercase hexadecimal digits.
std::string crcText(uint32_t crc);

// A string in JSON notation (quotes, escapes).
std::string jsonString(const std::string& utf8);

// Why and where data was found damaged, for a line about the file or
// archive it belongs to: "archive data is damaged (data stream 0, block 3 at
// archive offset 0x1a2b3: unknown block type 3)", or "(CRC-32 8d095447,
// stored d6dd8621)". Streams are numbered by their place among `streamKeys`
// (the stream reader's keys, ascending); offsets count from the archive's
// first byte. damageReasonText is the part after the place.
std::string damageText(const DamageReason& damage, const std::vector<uint32_t>& streamKeys);
// The number of the stream of `key` among `streamKeys` (ascending), if there.
std::optional<uint32_t> streamNumber(uint32_t key, const std::vector<uint32_t>& streamKeys);
std::string damageReasonText(const DamageReason& damage);

// "YYYY-MM-DD HH:MM:SS" (separator ' ') or ISO 8601 local time (separator
// 'T') of DOS date and time words, field by field as stored.
std::string dosTimeText(uint16_t date, uint16_t time, char separator);

// "installer identity, product \"A|B\": why" for the first value the
// installer cannot hold, or "" when it holds them all.
std::string identityFailure(const Identity& identity);
