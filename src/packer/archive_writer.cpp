#include "packer/archive_writer.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <memory>
#include <stdexcept>

#include "codec/crc32.h"
#include "format.h"
#include "packer/anchors.h"
#include "packer/block_encoder.h"
#include "packer/block_workers.h"
#include "packer/exe_filter.h"
#include "packer/lz_parser.h"

namespace jov {

namespace {

// The history the reader holds in front of each block of a stream, so that
// no match reaches before what the reader keeps.
struct ReaderModel {
  bool started = false;
  uint64_t history = 0;

  // History a compressed block may use: chooseWindow then names a window that
  // keeps all of it.
  uint32_t compressedHistory() const { return started ? keptHistory(history, WINDOW_MAX) : 0; }
  // After a block whose header names `window` (blockWindow).
  void advance(uint32_t length, uint32_t window) {
    history = started ? keptHistory(history, window) + (uint64_t)length : length;
    started = true;
  }
};

// Order-0 entropy of the bytes, in bits; four histograms so that runs of
// one byte do not stall on one counter.
double byteEntropyBits(const uint8_t* p, uint32_t n) {
  uint32_t h[4][256] = {};
  uint32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    h[0][p[i]]++;
    h[1][p[i + 1]]++;
    h[2][p[i + 2]]++;
    h[3][p[i + 3]]++;
  }
  for (; i < n; ++i) h[0][p[i]]++;
  SymbolStats bytes;
  for (uint32_t b = 0; b < 256; ++b) bytes.litlen[b] = (uint64_t)h[0][b] + h[1][b] + h[2][b] + h[3][b];
  return estimateBits(bytes);
}

// One byte of a lane: its hash, and its position kept when it is an anchor
// (one position in 256: the straight path is the one without).
inline void anchorStep(uint64_t& h, const uint8_t* data, size_t i, uint32_t* out, size_t& n) {
  h = gearStep(h, data[i]);
  if (__builtin_expect(isAnchor(h), 0)) out[n++] = (uint32_t)i;
}

// The positions in [begin, end) whose gear hash, run from position 0, is an
// anchor, in order: returns their count, positions in out[0..count). `out`
// holds end - begin entries. A hash depends only on the last ANCHOR_CONTEXT
// bytes, so the range is cut into four lanes, each warmed up on the bytes
// before it, hashed side by side: one serial chain of shifts and adds
// becomes four independent ones.
uint32_t findAnchors(const uint8_t* data, uint32_t begin, uint32_t end, uint32_t* out) {
  const uint32_t LANES = 4;
  const size_t step = (end - begin) / LANES;
  uint64_t h[LANES];
  for (uint32_t k = 0; k < LANES; ++k) {
    const uint32_t start = begin + k * (uint32_t)step;
    h[k] = 0;
    for (uint32_t i = start >= ANCHOR_CONTEXT ? start - ANCHOR_CONTEXT : 0; i < start; ++i)
      h[k] = gearStep(h[k], data[i]);
  }
  // Lane k keeps its anchors at out + k * step: it has no more than that.
  uint64_t h0 = h[0], h1 = h[1], h2 = h[2], h3 = h[3];
  size_t n0 = 0, n1 = 0, n2 = 0, n3 = 0;
  uint32_t *o1 = out + step, *o2 = out + 2 * step, *o3 = out + 3 * step;
  for (size_t i = begin; i < begin + step; ++i) {
    anchorStep(h0, data, i, out, n0);
    anchorStep(h1, data, i + step, o1, n1);
    anchorStep(h2, data, i + 2 * step, o2, n2);
    anchorStep(h3, data, i + 3 * step, o3, n3);
  }
  // The last lane runs on to the end.
  for (size_t i = begin + LANES * step; i < end; ++i) anchorStep(h3, data, i, o3, n3);
  size_t n = n0;
  for (size_t j = 0; j < n1; ++j) out[n++] = o1[j];
  for (size_t j = 0; j < n2; ++j) out[n++] = o2[j];
  for (size_t j = 0; j < n3; ++j) out[n++] = o3[j];
  return (uint32_t)n;
}

// Whether the block has a repeat of a few hundred bytes or more, within
// itself or from the history: whether one of its anchors (anchors.h) came
// before. A repeat of 1 KiB holds one with near certainty; a block and its
// history hold a few thousand anchors.
bool hasLongRepeat(const BlockSpan& span) {
  const uint32_t TABLE_BITS = 14, MAX_ANCHORS = 1u << (TABLE_BITS - 1);
  const size_t TABLE_MASK = ((size_t)1 << TABLE_BITS) - 1;
  // Anchors are found a segment at a time, so that a repeat early in the
  // span ends the search early.
  const uint32_t SEGMENT = 1u << 16;
  std::vector<uint64_t> seen(TABLE_MASK + 1, 0);  // anchor hashes | 1; 0: empty
  std::vector<uint32_t> found(std::min(SEGMENT, span.history + span.length));
  uint32_t anchors = 0;
  const uint32_t size = span.history + span.length;
  for (uint32_t from = 0, to; from < size; from = to) {
    to = size - from > SEGMENT ? from + SEGMENT : size;
    const uint32_t count = findAnchors(span.data, from, to, found.data());
    for (uint32_t f = 0; f < count; ++f) {
      const uint32_t i = found[f];
      if (i < ANCHOR_CONTEXT) continue;
      uint64_t h = 0;  // the anchor's hash again, from the bytes it depends on
      for (uint32_t j = i + 1 - ANCHOR_CONTEXT; j <= i; ++j) h = gearStep(h, span.data[j]);
      const uint64_t key = h | 1;
      size_t slot = (size_t)((key * 0x9E3779B97F4A7C15ull) >> (64 - TABLE_BITS));
      while (seen[slot] != 0 && seen[slot] != key) slot = (slot + 1) & TABLE_MASK;
      if (seen[slot] == key) {
        if (i >= span.history) return true;
        continue;
      }
      // A full table (ordered data hits anchors far more often than random
      // data) says nothing either way: let the coder decide.
      if (++anchors > MAX_ANCHORS) return true;
      seen[slot] = key;
    }
  }
  return false;
}

// Whether the block is not worth the parse: bytes spread near-uniformly with
// no long repeat (compressed or random data). Costs one pass over the bytes
// at memory speed, so incompressible data is stored fast at every level.
bool looksIncompressible(const BlockSpan& span) {
  if (byteEntropyBits(span.data + span.history, span.length) < 7.9 * span.length) return false;
  return !hasLongRepeat(span);
}

// A finished block: compressed when that is smaller and fits the 20-bit
// blockSize, stored otherwise. A stored block's `bytes` are its header
// only: the caller writes its data after them, from where it lies, rather
// than copy a block that did not compress once more.
void encodeBlock(BlockJob& job, const uint8_t* blockData, int level) {
  job.stored = true;
  BlockSpan span{blockData - job.history, job.history, job.length};
  if (level > 0 && !(job.length > 65536 && looksIncompressible(span))) {
    LevelConfig config = levelConfig(level);
    ParsedBlock parsed = parseBlock(span, config);
    uint32_t row = 0, column = 0;
    if (!job.first) chooseWindow(job.history, &row, &column);
    job.window = windowSizes[row][column];
    std::vector<uint8_t> bytes =
        frameCompressedBlock(parsed.tokens, job.length, job.last, row, column, codingFor(config, parsed.threeAlphabets));
    if (bytes.size() <= BLOCK_MAX_SIZE && bytes.size() < (size_t)BLOCK_STORED_DATA_BYTE + job.length) {
      job.bytes = std::move(bytes);
      job.stored = false;
      return;
    }
  }
  job.bytes = storedBlockHeader(job.length, job.last);
  job.window = blockWindow(BLOCK_STORED, 0);
}

}  // namespace

void MemorySource::read(uint64_t offset, uint8_t* to, size_t n) {
  if (offset > bytes_.size() || n > bytes_.size() - offset) throw std::runtime_error("read past the end of a file");
  std::copy(bytes_.begin() + (ptrdiff_t)offset, bytes_.begin() + (ptrdiff_t)(offset + n), to);
}

struct ArchiveWriter::Impl {
  FILE* out = nullptr;
  PackOptions options;
  long archiveStart = 0;
  uint64_t written = 0;  // archive bytes so far (header placeholder included)
  std::vector<std::vector<uint8_t>> records;
  PackStats stats;
  size_t maxInFlight = 1;

  // The open stream.
  bool streamOpen = false;
  uint32_t streamOffset = 0;
  uint64_t streamSize = 0;       // decoded bytes appended so far
  std::vector<uint8_t> buffer;   // decoded bytes from bufferBase on
  uint64_t bufferBase = 0;
  uint64_t nextBlock = 0;        // stream offset of the first block not written
  uint64_t nextDispatch = 0;     // stream offset of the first block not handed out
  uint64_t cutEnd = 0;           // end of the block that appended bytes fall into
  ReaderModel model;             // the reader after the blocks written
  ReaderModel guess;             // ... after the blocks handed out, if they compress
  std::deque<std::unique_ptr<BlockJob>> inFlight;
  // Last, so that it stops (and no worker touches a job) before the jobs go.
  std::unique_ptr<BlockWorkers> workers;

  void write(const uint8_t* data, size_t n) {
    if ((uint64_t)archiveStart + written + n > MAX_OUTPUT_BYTES)
      throw std::runtime_error("the output would reach 4 GiB; an installer or archive holds at most " +
                               std::to_string(MAX_OUTPUT_BYTES) + " bytes");
    if (n && fwrite(data, 1, n, out) != n) throw std::runtime_error("cannot write the output");
    written += n;
  }

  void openStream() {
    streamOpen = true;
    streamOffset = (uint32_t)written;
    streamSize = 0;
    buffer.clear();
    bufferBase = 0;
    nextBlock = nextDispatch = 0;
    model = guess = ReaderModel();
    if (stats.streams > 0) options.blockEnds.clear();  // the plan covers the first stream
    cutEnd = blockEnd(0);
    write(STREAM_SIGNATURE, SIGNATURE_SIZE);
    stats.streams++;
  }

  // Where the block that starts at `start` ends.
  uint64_t blockEnd(uint64_t start) const {
    auto next = std::upper_bound(options.blockEnds.begin(), options.blockEnds.end(), start);
    if (next != options.blockEnds.end() && *next - start <= DATA_BLOCK_LENGTH) return *next;
    return start + DATA_BLOCK_LENGTH;
  }

  // The end of the block that holds stream offset `at` (offsets only grow).
  uint64_t blockEndAt(uint64_t at) {
    while (at >= cutEnd) cutEnd = blockEnd(cutEnd);
    return cutEnd;
  }

  void append(const uint8_t* data, size_t n) {
    buffer.insert(buffer.end(), data, data + n);
    streamSize += n;
  }

  // Hands out every block that is complete; with `final`, also the partial
  // last one. A block goes out only once it is known whether it is the
  // stream's last, so at least one byte must follow a full block. Blocks
  // that are done are written on the way; with `final` all of them.
  void flushBlocks(bool final) {
    for (;;) {
      const uint64_t left = streamSize - nextDispatch, end = blockEnd(nextDispatch);
      if (left == 0 || (!final && streamSize <= end)) break;
      if (inFlight.size() >= maxInFlight) commitFront();
      auto job = std::make_unique<BlockJob>();
      job->start = nextDispatch;
      job->length = (uint32_t)std::min<uint64_t>(left, end - nextDispatch);
      job->last = final && streamSize <= end;
      job->first = !guess.started;
      job->history = guess.compressedHistory();
      job->spanHistory = (uint32_t)std::min<uint64_t>(job->start, WINDOW_MAX);
      const uint8_t* from = data(job->start - job->spanHistory);
      job->span.assign(from, from + job->spanHistory + job->length);
      guess.advance(job->length, WINDOW_MAX);  // compressed blocks keep their history
      nextDispatch += job->length;
      inFlight.push_back(std::move(job));
      workers->submit(inFlight.back().get());
      // Keep only what later blocks can reach; drop the rest once it is as
      // large as what is kept, so that each byte is moved about once.
      uint64_t keep = nextDispatch > WINDOW_MAX ? nextDispatch - WINDOW_MAX : 0;
      if (keep > bufferBase && keep - bufferBase >= bufferBase + buffer.size() - keep) {
        buffer.erase(buffer.begin(), buffer.begin() + (ptrdiff_t)(keep - bufferBase));
        bufferBase = keep;
      }
    }
    while (!inFlight.empty() && (final || inFlight.front()->done)) commitFront();
  }

  // Waits for the oldest block handed out and writes it.
  void commitFront() {
    BlockJob& job = *inFlight.front();
    workers->wait(&job);
    if (job.error) std::rethrow_exception(job.error);
    // The guess took every block before this one to keep its history up to
    // WINDOW_MAX; should a block's window have cut it, this one is redone
    // with the real history.
    if (job.history != model.compressedHistory()) {
      job.history = model.compressedHistory();
      encodeBlock(job, job.blockData(), options.level);
    }
    model.advance(job.length, job.window);
    write(job.bytes.data(), job.bytes.size());
    if (job.stored) write(job.blockData(), job.length);
    (job.stored ? stats.storedBlocks : stats.compressedBlocks)++;
    nextBlock = job.start + job.length;
    if (options.progress) options.progress(nextBlock, written);
    inFlight.pop_front();
    // Blocks handed out from now on are guessed from what is known.
    guess = model;
    for (const auto& later : inFlight) guess.advance(later->length, WINDOW_MAX);
  }

  const uint8_t* data(uint64_t streamPos) const { return buffer.data() + (streamPos - bufferBase); }

  void closeStream() {
    if (!streamOpen) return;
    flushBlocks(true);
    streamOpen = false;
  }

  void addRecord(const EntryInfo& info, uint8_t flags, uint32_t offset, uint32_t position, uint32_t length,
                 uint32_t crc) {
    std::vector<uint8_t> r(DIRECTORY_ENTRY_SIZE + info.name.size(), 0);
    writeLe32(&r[DE_STREAM_OFFSET], offset);
    r[DE_ATTRIBUTES] = info.attributes;
    r[DE_FLAGS] = flags;
    writeLe32(&r[DE_STREAM_POSITION], position);
    writeLe32(&r[DE_LENGTH], length);
    writeLe32(&r[DE_CRC], crc);
    writeLe16(&r[DE_NAME_LENGTH], (uint16_t)info.name.size());
    writeLe16(&r[DE_CREATE_TIME], info.createTime);
    writeLe16(&r[DE_CREATE_DATE], info.createDate);
    writeLe16(&r[DE_WRITE_TIME], info.writeTime);
    writeLe16(&r[DE_WRITE_DATE], info.writeDate);
    std::copy(info.name.begin(), info.name.end(), r.begin() + DIRECTORY_ENTRY_SIZE);
    records.push_back(std::move(r));
    stats.entries++;
  }

  // Running CRC-32 (uncomplemented) of the directory region as written.
  uint32_t directoryCrc = 0xFFFFFFFFu;

  void writeDirectoryBytes(const uint8_t* data, size_t n) {
    directoryCrc = crc32Update(data, (uint32_t)n, directoryCrc);
    write(data, n);
  }

  // Directory blocks of whole records: each decodes to at most 8192 bytes
  // and takes at most 8184 encoded bytes (header and selector included).
  void writeDirectory() {
    const int level = std::min(std::max(options.level, 0), 9);
    size_t i = 0;
    while (i < records.size()) {
      size_t end = i, decoded = 0;
      while (end < records.size() && decoded + records[end].size() <= DIRECTORY_BUFFER_SIZE)
        decoded += records[end++].size();
      for (;;) {
        std::vector<uint8_t> plain;
        for (size_t k = i; k < end; ++k) plain.insert(plain.end(), records[k].begin(), records[k].end());
        BlockJob job;
        job.length = (uint32_t)plain.size();
        job.last = true;
        job.first = true;
        encodeBlock(job, plain.data(), level);
        if (job.bytes.size() + (job.stored ? plain.size() : 0) <= DIRECTORY_BLOCK_MAX_ENCODED) {
          writeDirectoryBytes(DIRECTORY_SIGNATURE, SIGNATURE_SIZE);
          writeDirectoryBytes(job.bytes.data(), job.bytes.size());
          if (job.stored) writeDirectoryBytes(plain.data(), plain.size());
          stats.directoryBlocks++;
          break;
        }
        --end;  // the stored form of fewer records always fits
      }
      i = end;
    }
  }
};

ArchiveWriter::ArchiveWriter(FILE* out, const PackOptions& options) : impl_(std::make_unique<Impl>()) {
  impl_->out = out;
  impl_->options = options;
  buildCrcTable();  // the core's tables; filled here, before any worker starts
  // More workers than a machine has cores gain nothing, and each holds a
  // few blocks' worth of tables and spans; the output is the same for any
  // count, so a large -T is quietly capped.
  const unsigned threads = std::min(std::max(1u, options.threads), 64u);
  // One thread compresses in the caller's thread; more get workers and a
  // queue long enough that none waits while the caller reads the next files.
  const int level = options.level;
  impl_->workers = std::make_unique<BlockWorkers>(
      threads > 1 ? threads : 0, [level](BlockJob& job) { encodeBlock(job, job.blockData(), level); });
  impl_->maxInFlight = threads > 1 ? 2 * threads : 1;
  impl_->archiveStart = ftell(out);
  if (impl_->archiveStart < 0) throw std::runtime_error("cannot tell the output position");
  uint8_t placeholder[ARCHIVE_HEADER_SIZE] = {0};
  impl_->write(placeholder, sizeof placeholder);
}

ArchiveWriter::~ArchiveWriter() = default;

void ArchiveWriter::addFolder(const EntryInfo& info) { impl_->addRecord(info, ENTRY_FOLDER, 0, 0, 0, 0); }

void ArchiveWriter::addFile(const EntryInfo& info, const std::vector<uint8_t>& bytes) {
  MemorySource source(bytes);
  addFile(info, source);
}

void ArchiveWriter::addFile(const EntryInfo& info, FileSource& file) {
  Impl& m = *impl_;
  const uint64_t size = file.size();
  if (size > 0xFFFFFFFFu) throw std::runtime_error("file larger than 4 GiB: " + info.name);
  const uint64_t recordSize = STREAM_RECORD_FIXED_SIZE + info.name.size() + size + STREAM_RECORD_CRC_SIZE;
  if (m.streamOpen && m.streamSize + recordSize > 0xFFFFFFFFu) m.closeStream();
  if (!m.streamOpen) m.openStream();
  const uint32_t length = (uint32_t)size;
  const uint32_t position = (uint32_t)m.streamSize;
  const uint64_t dataStart = m.streamSize + STREAM_RECORD_FIXED_SIZE + info.name.size();
  const bool filter = m.options.level > 0 && callFilterPays(file, dataStart);
  uint8_t fixed[STREAM_RECORD_FIXED_SIZE] = {0};
  writeLe32(fixed + SR_FILE_LENGTH, length);
  writeLe16(fixed + SR_VARIABLE_LENGTH, (uint16_t)info.name.size());
  m.append(fixed, sizeof fixed);
  m.append((const uint8_t*)info.name.data(), info.name.size());
  // One piece at a time (the file's bytes within one block), so the filter
  // sees what the reader will and blocks go out while the file is read.
  std::vector<uint8_t> piece;
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t done = 0; done < length;) {
    const uint32_t room = (uint32_t)(m.blockEndAt(dataStart + done) - (dataStart + done));
    const uint32_t n = std::min(length - done, room);
    piece.resize(n);
    file.read(done, piece.data(), n);
    crc = crc32Update(piece.data(), n, crc);
    if (filter) forwardFilterPiece(piece.data(), n, done, length);
    m.append(piece.data(), n);
    m.flushBlocks(false);
    done += n;
  }
  crc = ~crc;
  uint8_t tail[STREAM_RECORD_CRC_SIZE];
  writeLe32(tail, crc);
  m.append(tail, sizeof tail);
  m.addRecord(info, filter ? ENTRY_FILTER_4 : 0, m.streamOffset, position, length, crc);
  if (filter) m.stats.filtered++;
  m.stats.files++;
  m.stats.inputBytes += length;
  m.flushBlocks(false);
}

PackStats ArchiveWriter::finish() {
  Impl& m = *impl_;
  if (m.stats.streams == 0) {
    // No file at all: the data region still holds one (empty) stream.
    m.openStream();
    std::vector<uint8_t> empty = storedBlockHeader(0, true);
    m.write(empty.data(), empty.size());
    m.streamOpen = false;
  }
  m.closeStream();
  const uint32_t directoryOffset = (uint32_t)m.written;
  m.writeDirectory();
  uint8_t header[ARCHIVE_HEADER_SIZE] = {0};
  for (uint32_t i = 0; i < 4; ++i) header[AH_MAGIC + i] = ARCHIVE_MAGIC[i];
  writeLe32(header + AH_DIRECTORY_OFFSET, directoryOffset);
  writeLe32(header + AH_ENTRY_COUNT, (uint32_t)m.records.size());
  writeLe32(header + AH_ARCHIVE_LENGTH, (uint32_t)m.written);
  writeLe32(header + AH_DATA_LENGTH, directoryOffset - ARCHIVE_HEADER_SIZE);
  writeLe32(header + AH_DIRECTORY_CRC_TAG, DIRECTORY_CRC_TAG);
  writeLe32(header + AH_DIRECTORY_CRC, ~m.directoryCrc);
  // headerWord: the low 16 bits of the CRC-32 of the 40 bytes before it, so
  // that a reader that wants to can tell a damaged header.
  writeLe16(header + AH_HEADER_WORD, (uint16_t)~crc32Update(header, AH_HEADER_WORD, 0xFFFFFFFFu));
  if (fseek(m.out, m.archiveStart, SEEK_SET) != 0 || fwrite(header, 1, sizeof header, m.out) != sizeof header ||
      fseek(m.out, 0, SEEK_END) != 0)
    throw std::runtime_error("cannot write the archive header");
  m.stats.archiveBytes = m.written;
  return m.stats;
}

}  // namespace jov
