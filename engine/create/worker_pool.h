// Jobs run on a pool of worker threads while the caller goes on, and waited
// for one at a time: creation hands its workers runs of blocks to read and
// code, and writes them in order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace ablative {

// One job handed to the pool: what it works on stays untouched by the caller
// until wait() returns for it.
struct PoolJob {
  std::function<void()> work;
  bool done = false;
};

// Runs jobs on `workers` threads, started on first use. With no workers, or
// where no thread can be started, a job runs on the caller at submit().
class WorkerPool {
 public:
  explicit WorkerPool(unsigned workers) : workers_(workers) {}
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool();

  void submit(PoolJob& job);
  void wait(PoolJob& job);

 private:
  void run();
  bool startThreads();

  const unsigned workers_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<PoolJob*> queue_;
  std::vector<std::thread> threads_;
  bool started_ = false;
  bool stopping_ = false;
};

}  // namespace ablative
