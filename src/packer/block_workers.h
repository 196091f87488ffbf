// The archive writer's worker pool: blocks of a stream are compressed on
// worker threads, first come first served, while the writer reads on.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "format.h"

namespace jov {

struct BlockJob {
  uint64_t start = 0;     // stream offset of the block's first byte
  uint32_t length = 0;
  bool last = false;
  bool first = false;     // first block of its stream: no history, selector unread
  uint32_t history = 0;   // history the block was compressed against
  // The history the reader may keep at most (up to WINDOW_MAX bytes), then
  // the block: a copy of its own, so that workers never read the stream
  // buffer while it grows. `history` is a suffix of the kept part.
  std::vector<uint8_t> span;
  uint32_t spanHistory = 0;
  std::vector<uint8_t> bytes;  // the encoded block; stored, its header only (data: blockData())
  bool stored = false;
  uint32_t window = WINDOW_MAX;  // the window its header names (blockWindow)
  bool done = false;
  std::exception_ptr error;

  const uint8_t* blockData() const { return span.data() + spanHistory; }
};

// Workers that compress blocks, first come first served. The writer hands
// out a block as soon as its bytes and the bytes after it are known and keeps
// reading files meanwhile; finished blocks are written strictly in stream
// order, so the output never depends on which worker ran what.
class BlockWorkers {
 public:
  // `count` threads run `encode` on the jobs submitted; none: submit runs it
  // in the caller's thread. An exception from `encode` is kept in the job.
  BlockWorkers(unsigned count, std::function<void(BlockJob&)> encode);
  ~BlockWorkers();
  BlockWorkers(const BlockWorkers&) = delete;
  BlockWorkers& operator=(const BlockWorkers&) = delete;

  void submit(BlockJob* job);
  // Until the job is done.
  void wait(BlockJob* job);

 private:
  void run(BlockJob* job);
  void work();

  const std::function<void(BlockJob&)> encode_;
  std::mutex mutex_;
  std::condition_variable wake_, finished_;
  std::deque<BlockJob*> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace jov
