// Writes a run's new files back to the disk on a thread of its own while the
// run goes on making more, so that the flush that makes a group durable finds
// little left to wait for. startWriteback reaches the large writes; this
// reaches the many small files and the names made for them. Only a hint: it
// makes nothing durable and reports nothing (writeBackFileSystem), and where
// the platform flushes file by file it does nothing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/env.h"

namespace ablative {

class WriteBehind {
 public:
  WriteBehind() = default;
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;
  ~WriteBehind();  // waits for the write-back under way

  // Counts `bytes` more written below `folder`, which must outlive this; each
  // time the count passes kEveryBytes the thread writes the file system back.
  void written(const FolderHandle& folder, uint64_t bytes);

  // What a file made counts for, beyond its bytes: its inode and its name.
  static constexpr uint64_t kMadeFileBytes = 4096;

 private:
  static constexpr uint64_t kEveryBytes = 8 << 20;

  void writeBackWhileDue();

  std::mutex mutex_;
  std::condition_variable due_;
  const FolderHandle* folder_ = nullptr;
  uint64_t counted_ = 0;
  bool isDue_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace ablative
