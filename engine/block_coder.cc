#include "block_coder.h"

#include <system_error>

#include "codec.h"
#include "crc32.h"

namespace ablative {

CodedBlock codeBlock(const uint8_t* raw, uint32_t size, uint8_t* coded) {
  CodedBlock block;
  block.useRle = rleEncodeIfSmaller(raw, size, coded, block.codedLength);
  block.crc = crc32(raw, size);
  return block;
}

BackgroundCoder::~BackgroundCoder() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundCoder::start(const uint8_t* raw, uint32_t size, uint8_t* coded) {
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      result_ = codeBlock(raw, size, coded);
      return;
    }
  }
  {
    std::lock_guard lock(mutex_);
    raw_ = raw, size_ = size, coded_ = coded;
    pending_ = true;
  }
  changed_.notify_all();
}

CodedBlock BackgroundCoder::finish() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !pending_; });
  return result_;
}

void BackgroundCoder::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return pending_ || stopping_; });
    if (stopping_) return;
    const uint8_t* raw = raw_;
    const uint32_t size = size_;
    uint8_t* coded = coded_;
    lock.unlock();
    const CodedBlock block = codeBlock(raw, size, coded);
    lock.lock();
    result_ = block;
    pending_ = false;
    changed_.notify_all();
  }
}

}  // namespace ablative
