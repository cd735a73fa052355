// Codes one archive block: its run-length form when that is shorter than the
// raw bytes, and the CRC-32 of the raw bytes.
//
// Creation reads the next block while the current one is coded: coding is
// most of its processor time, so on a second core the two overlap.
// BackgroundCoder runs that coding on a helper thread of its own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace ablative {

struct CodedBlock {
  bool useRle = false;     // the coded form is shorter: store it
  size_t codedLength = 0;  // valid when useRle
  uint32_t crc = 0;        // of the raw bytes
};

// `coded` must have room for `size` - 1 bytes.
CodedBlock codeBlock(const uint8_t* raw, uint32_t size, uint8_t* coded);

// One block at a time on a helper thread, started on first use. Where no
// thread can be started the block is coded by the caller instead.
class BackgroundCoder {
 public:
  BackgroundCoder() = default;
  BackgroundCoder(const BackgroundCoder&) = delete;
  BackgroundCoder& operator=(const BackgroundCoder&) = delete;
  ~BackgroundCoder();

  // Starts coding; `raw` and `coded` stay untouched by the caller until
  // finish() returns. Only one block may be in progress.
  void start(const uint8_t* raw, uint32_t size, uint8_t* coded);
  CodedBlock finish();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
  const uint8_t* raw_ = nullptr;
  uint32_t size_ = 0;
  uint8_t* coded_ = nullptr;
  CodedBlock result_;
  bool pending_ = false;  // a block waits for the thread or is being coded
  bool stopping_ = false;
};

}  // namespace ablative
