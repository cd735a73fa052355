#include "destination/write_behind.h"

#include <system_error>

namespace ablative {

WriteBehind::~WriteBehind() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  due_.notify_one();
  thread_.join();
}

void WriteBehind::written(const FolderHandle& folder, uint64_t bytes) {
  if (!kCanFlushFileSystem) return;
  {
    std::lock_guard lock(mutex_);
    counted_ += bytes;
    if (counted_ < kEveryBytes) return;
    counted_ = 0;
    folder_ = &folder;
    isDue_ = true;
  }
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread(&WriteBehind::writeBackWhileDue, this);
    } catch (const std::system_error&) {
      return;  // no thread to spare: the run's own flushes do it all, as they would without this
    }
  }
  due_.notify_one();
}

void WriteBehind::writeBackWhileDue() {
  std::unique_lock lock(mutex_);
  for (;;) {
    due_.wait(lock, [this] { return isDue_ || stopping_; });
    if (stopping_) return;
    isDue_ = false;
    const FolderHandle& folder = *folder_;
    lock.unlock();
    writeBackFileSystem(folder);
    lock.lock();
  }
}

}  // namespace ablative
