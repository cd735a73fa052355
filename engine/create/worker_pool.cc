#include "create/worker_pool.h"

#include <system_error>

namespace ablative {

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool WorkerPool::startThreads() {
  started_ = true;
  try {
    for (unsigned i = 0; i < workers_; ++i) threads_.emplace_back([this] { run(); });
  } catch (const std::system_error&) {
    // The threads that did start serve; with none the caller runs the jobs.
  }
  return !threads_.empty();
}

void WorkerPool::submit(PoolJob& job) {
  job.done = false;
  if (!(started_ ? !threads_.empty() : startThreads())) {
    job.work();
    job.done = true;
    return;
  }
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(&job);
  }
  queued_.notify_one();
}

void WorkerPool::wait(PoolJob& job) {
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&job] { return job.done; });
}

void WorkerPool::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return !queue_.empty() || stopping_; });
    if (stopping_) return;
    PoolJob& job = *queue_.front();
    queue_.pop_front();
    lock.unlock();
    job.work();
    lock.lock();
    job.done = true;
    finished_.notify_all();
  }
}

}  // namespace ablative
