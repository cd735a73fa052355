#include "progress.h"

#include <cstdio>

#include "console.h"

namespace zarvik {

namespace {
constexpr auto kRefresh = std::chrono::milliseconds(250);
}  // namespace

std::wstring formatBytes(uint64_t bytes) {
  static const wchar_t* kUnits[] = {L"B", L"kB", L"MB", L"GB", L"TB", L"PB"};
  if (bytes < 1000) return std::to_wstring(bytes) + L" B";
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1000 && unit < 5) {
    value /= 1000;
    ++unit;
  }
  wchar_t text[32];
  std::swprintf(text, 32, L"%.1f %ls", value, kUnits[unit]);
  return text;
}

ProgressLine::ProgressLine(bool showFreed, double bytesPerBlock)
    : enabled_(isTerminal(Stream::Err)),
      showFreed_(showFreed),
      bytesPerBlock_(bytesPerBlock),
      start_(std::chrono::steady_clock::now()) {}

void ProgressLine::update(const ablative::ProgressInfo& info) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  bool last = info.blocksDone == info.blocksTotal;
  if (shown_ && !last && now - lastDraw_ < kRefresh) return;
  lastDraw_ = now;
  draw(info);
}

void ProgressLine::draw(const ablative::ProgressInfo& info) {
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  unsigned percent = info.blocksTotal == 0 ? 100 : static_cast<unsigned>(uint64_t{info.blocksDone} * 100 / info.blocksTotal);
  std::wstring text = std::to_wstring(percent) + L"%  " + std::to_wstring(info.blocksDone) + L"/" +
                      std::to_wstring(info.blocksTotal) + L" blocks";
  if (seconds > 0.05) {
    wchar_t rate[32];
    std::swprintf(rate, 32, L"  %.1f MB/s", info.blocksDone * bytesPerBlock_ / 1e6 / seconds);
    text += rate;
  }
  if (showFreed_) text += L"  freed " + formatBytes(info.bytesFreed);
  std::wstring padding(width_ > text.size() ? width_ - text.size() : 0, L' ');
  width_ = text.size();
  write(Stream::Err, L"\r" + text + padding);
  shown_ = true;
}

void ProgressLine::clear() {
  if (!shown_) return;
  write(Stream::Err, L"\r" + std::wstring(width_, L' ') + L"\r");
  shown_ = false;
  width_ = 0;
}

}  // namespace zarvik
