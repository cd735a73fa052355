// Codes archive blocks: each is stored coded when that is shorter than its
// raw bytes, else raw; with the CRC-32 of the raw bytes.
//
// Creation reads blocks in order on its own thread while a pool of workers
// codes them, and writes them in order: coding is most of its processor time,
// so it runs on every core given. Each block is coded alone with the same
// parameters, so the archive's bytes do not depend on how many workers coded
// it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace ablative {

// Run-length coding (archive versions 2 and 3), or Zstandard at `zstdLevel`
// when that is not 0, each block a frame whose window holds it whole.
struct BlockCoding {
  int zstdLevel = 0;
};

struct CodedBlock {
  bool useCoded = false;   // the coded form is shorter: store it
  size_t codedLength = 0;  // valid when useCoded
  uint32_t crc = 0;        // of the raw bytes
};

// The room `coded` needs for a block of `size` bytes: `size` - 1 for the
// run-length code, which stops once it reaches the raw size; Zstandard's
// worst case, in which its frames are made whatever their size.
size_t codedRoom(const BlockCoding& coding, uint32_t size);
CodedBlock codeBlock(const BlockCoding& coding, const uint8_t* raw, uint32_t size, uint8_t* coded);

// One block handed to the pool: its buffers stay untouched by the caller
// until wait() returns for it.
struct CodingJob {
  const uint8_t* raw = nullptr;
  uint32_t size = 0;
  uint8_t* coded = nullptr;
  CodedBlock result;
  bool done = false;
};

// Codes jobs on `workers` threads, started on first use. With no workers, or
// where no thread can be started, a job is coded by the caller at submit().
class CodingPool {
 public:
  CodingPool(BlockCoding coding, unsigned workers) : coding_(coding), workers_(workers) {}
  CodingPool(const CodingPool&) = delete;
  CodingPool& operator=(const CodingPool&) = delete;
  ~CodingPool();

  void submit(CodingJob& job);
  const CodedBlock& wait(CodingJob& job);

 private:
  void run();
  bool startThreads();

  const BlockCoding coding_;
  const unsigned workers_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<CodingJob*> queue_;
  std::vector<std::thread> threads_;
  bool started_ = false;
  bool stopping_ = false;
};

}  // namespace ablative
