#include "packer/exe_filter.h"

#include <algorithm>
#include <vector>

#include "archive/pe_header.h"
#include "codec/call_filter.h"
#include "format.h"
#include "packer/archive_writer.h"
#include "packer/block_encoder.h"
#include "packer/lz_model.h"
#include "packer/match_finder.h"

namespace jov {

namespace {

const uint32_t OPERAND = FILTER_OPERAND_32;

// Quick trial size of some bytes, in bits: a greedy parse that takes the
// last position of each 4-byte hash as the only candidate, priced by entropy.
// Large files are sampled: four slices spread over the file stand for the
// whole. It only has to rank a file's two forms, filtered or not.
double sliceBits(const uint8_t* p, size_t n) {
  const uint32_t HASH_BITS = 14, NONE = 0xFFFFFFFFu;
  thread_local std::vector<uint32_t> last;
  last.assign((size_t)1 << HASH_BITS, NONE);
  SymbolStats stats;
  size_t i = 0;
  while (i + 4 <= n) {
    uint32_t v;
    __builtin_memcpy(&v, p + i, 4);
    const uint32_t h = (v * 2654435761u) >> (32 - HASH_BITS), c = last[h];
    last[h] = (uint32_t)i;
    uint32_t w;
    if (c != NONE && (__builtin_memcpy(&w, p + c, 4), w == v)) {
      const uint32_t length = 4 + matchLength(p + i + 4, p + c + 4, (uint32_t)std::min<size_t>(n - i - 4, 254));
      const uint32_t distance = (uint32_t)i - c;
      Token t = matchToken(length, distance);
      t.distSymbol = RecentDistances().symbolFor(distance);
      stats.add(t, false);
      i += length;
    } else {
      stats.litlen[p[i++]]++;
    }
  }
  for (; i < n; ++i) stats.litlen[p[i]]++;
  return estimateBits(stats);
}

const size_t TRIAL_SLICE = 64 * 1024, TRIAL_SLICES = 4;

// The first file offset of the piece that holds file offset `at`, were the
// stream cut into blocks of DATA_BLOCK_LENGTH: planned block ends differ, but
// the trial only ranks the file's two forms.
uint64_t pieceStart(uint64_t at, uint64_t streamStart) {
  return at - std::min<uint64_t>(at, (streamStart + at) % DATA_BLOCK_LENGTH);
}

// Reads file bytes [from, to) and, with `filter`, filters them as the pieces
// they belong to; `from` and `to` must be piece boundaries (or the file's
// ends).
std::vector<uint8_t> readPieces(FileSource& file, uint64_t from, uint64_t to, uint64_t streamStart, bool filter) {
  std::vector<uint8_t> bytes((size_t)(to - from));
  file.read(from, bytes.data(), bytes.size());
  for (uint64_t at = from; filter && at < to;) {
    const uint64_t room = DATA_BLOCK_LENGTH - (streamStart + at) % DATA_BLOCK_LENGTH;
    const uint32_t n = (uint32_t)std::min<uint64_t>(to - at, room);
    forwardFilterPiece(bytes.data() + (at - from), n, (uint32_t)at, (uint32_t)file.size());
    at += n;
  }
  return bytes;
}

// Trial size of the file in one form, in bits. Large files are sampled: four
// slices spread over the file stand for the whole; a filtered slice is cut
// from its whole pieces, filtered as the reader will see them.
double trialBits(FileSource& file, uint64_t streamStart, bool filter) {
  const uint64_t size = file.size();
  if (size <= TRIAL_SLICES * TRIAL_SLICE) {
    std::vector<uint8_t> all = readPieces(file, 0, size, streamStart, filter);
    return sliceBits(all.data(), all.size());
  }
  double bits = 0;
  for (size_t k = 0; k < TRIAL_SLICES; ++k) {
    const uint64_t at = (size - TRIAL_SLICE) * k / (TRIAL_SLICES - 1), end = at + TRIAL_SLICE;
    uint64_t from = at, to = end;
    if (filter) {
      from = pieceStart(at, streamStart);
      to = std::min(size, end - 1 + (DATA_BLOCK_LENGTH - (streamStart + end - 1) % DATA_BLOCK_LENGTH));
    }
    std::vector<uint8_t> bytes = readPieces(file, from, to, streamStart, filter);
    bits += sliceBits(bytes.data() + (at - from), TRIAL_SLICE);
  }
  return bits;
}

// isPe32I386 without holding the file: only the head is read, as far as the
// signature's machine field. Linkers put the signature within the first few
// hundred bytes; a DOS header pointing beyond PE_HEAD_LIMIT is not taken for
// an executable, so that no file makes the trial read more than that.
const uint64_t PE_HEAD_LIMIT = 1u << 16;

bool isPeFile(FileSource& file) {
  const uint64_t size = file.size();
  uint8_t dos[PE_DOS_HEADER_SIZE];
  if (size < sizeof dos) return false;
  file.read(0, dos, sizeof dos);
  const uint64_t end = (uint64_t)readLe32(dos + PE_POINTER) + PE_MACHINE + 2;
  if (end > size || end > PE_HEAD_LIMIT) return false;
  std::vector<uint8_t> head((size_t)std::max<uint64_t>(end, sizeof dos));
  file.read(0, head.data(), head.size());
  return isPe32I386(head.data(), head.size());
}

}  // namespace

bool isPe32I386(const uint8_t* data, uint64_t size) {
  // Headers lie within the first 4 GiB; a larger file is read as its head.
  PeHeaders pe;
  return readPeHeaders(data, size > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)size, &pe) && pe.machine == PE_MACHINE_I386;
}

// The transform itself is the core's, one body for both directions.
void forwardFilterPiece(uint8_t* piece, uint32_t count, uint32_t fileOffset, uint32_t fileLength) {
  convertCalls(piece, count, fileOffset, fileLength, OPERAND, true);
}

void forwardFilterFile(uint8_t* bytes, uint32_t length, uint64_t streamStart, uint32_t blockLength) {
  uint32_t done = 0;
  while (done < length) {
    uint64_t at = streamStart + done;
    uint32_t room = (uint32_t)(blockLength - at % blockLength);
    uint32_t n = length - done < room ? length - done : room;
    forwardFilterPiece(bytes + done, n, done, length);
    done += n;
  }
}

bool callFilterPays(FileSource& file, uint64_t streamStart) {
  if (file.size() >= 0x80000000u || !isPeFile(file)) return false;
  return trialBits(file, streamStart, true) < trialBits(file, streamStart, false);
}

}  // namespace jov
