#include "codecs/block_coder.h"

#include <system_error>

#include "codecs/codec.h"
#include "codecs/crc32.h"
#include "codecs/zstd_block.h"

namespace ablative {

size_t codedRoom(const BlockCoding& coding, uint32_t size) { return coding.zstdLevel != 0 ? zstdRoom(size) : size; }

CodedBlock codeBlock(const BlockCoding& coding, const uint8_t* raw, uint32_t size, uint8_t* coded) {
  CodedBlock block;
  block.useCoded = coding.zstdLevel != 0 ? zstdEncodeIfSmaller(raw, size, coding.zstdLevel, ZstdWindow::WholeInput, coded,
                                                               block.codedLength)
                                         : rleEncodeIfSmaller(raw, size, coded, block.codedLength);
  block.crc = crc32(raw, size);
  return block;
}

CodingPool::~CodingPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool CodingPool::startThreads() {
  started_ = true;
  try {
    for (unsigned i = 0; i < workers_; ++i) threads_.emplace_back([this] { run(); });
  } catch (const std::system_error&) {
    // The threads that did start serve; with none the caller codes.
  }
  return !threads_.empty();
}

void CodingPool::submit(CodingJob& job) {
  job.done = false;
  if (!(started_ ? !threads_.empty() : startThreads())) {
    job.result = codeBlock(coding_, job.raw, job.size, job.coded);
    job.done = true;
    return;
  }
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(&job);
  }
  queued_.notify_one();
}

const CodedBlock& CodingPool::wait(CodingJob& job) {
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&job] { return job.done; });
  return job.result;
}

void CodingPool::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return !queue_.empty() || stopping_; });
    if (stopping_) return;
    CodingJob& job = *queue_.front();
    queue_.pop_front();
    lock.unlock();
    const CodedBlock result = codeBlock(coding_, job.raw, job.size, job.coded);
    lock.lock();
    job.result = result;
    job.done = true;
    finished_.notify_all();
  }
}

}  // namespace ablative
