// The progress line on a terminal's stderr: percent of the bytes, bytes done
// of the total, rate, time left and, for extraction, the space given back.
// Refreshed a few times a second; silent when stderr is not a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "ablative.h"

namespace zarvik {

class ProgressLine {
 public:
  explicit ProgressLine(bool showFreed);
  void update(const ablative::ProgressInfo& info);
  void clear();  // before other output, and at the end

 private:
  void draw(const ablative::ProgressInfo& info);

  bool enabled_;
  bool showFreed_;
  bool shown_ = false;
  bool started_ = false;
  uint64_t bytesAtStart_ = 0;  // a resumed run starts with some done
  size_t width_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

// "1.5 GB", "12.0 MB", "512 B": decimal units, one digit after the point.
std::wstring formatBytes(uint64_t bytes);

}  // namespace zarvik
