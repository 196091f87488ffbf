#include "packer/block_workers.h"

#include <utility>

namespace jov {

BlockWorkers::BlockWorkers(unsigned count, std::function<void(BlockJob&)> encode) : encode_(std::move(encode)) {
  for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
}

BlockWorkers::~BlockWorkers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void BlockWorkers::submit(BlockJob* job) {
  if (threads_.empty()) {
    run(job);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(job);
  }
  wake_.notify_one();
}

void BlockWorkers::wait(BlockJob* job) {
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [job] { return job->done; });
}

void BlockWorkers::run(BlockJob* job) {
  try {
    encode_(*job);
  } catch (...) {
    job->error = std::current_exception();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  job->done = true;
}

void BlockWorkers::work() {
  for (;;) {
    BlockJob* job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;  // only when the writer is torn down
      job = queue_.front();
      queue_.pop_front();
    }
    run(job);
    finished_.notify_all();
  }
}

}  // namespace jov
