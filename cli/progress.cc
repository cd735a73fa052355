#include "progress.h"

#include <cstdio>

#include "console.h"

namespace zarvik {

namespace {
constexpr auto kRefresh = std::chrono::milliseconds(250);

std::wstring formatDuration(double seconds) {
  const auto whole = static_cast<unsigned long>(seconds + 0.5);
  wchar_t text[32];
  if (whole >= 3600) {
    std::swprintf(text, 32, L"%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::swprintf(text, 32, L"%lu:%02lu", whole / 60, whole % 60);
  }
  return text;
}
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

ProgressLine::ProgressLine(bool showFreed)
    : enabled_(isTerminal(Stream::Err)), showFreed_(showFreed), start_(std::chrono::steady_clock::now()) {}

void ProgressLine::update(const ablative::ProgressInfo& info) {
  if (!enabled_) return;
  if (!started_) {
    started_ = true;
    bytesAtStart_ = info.bytesDone;
  }
  auto now = std::chrono::steady_clock::now();
  bool last = info.blocksDone == info.blocksTotal;
  if (shown_ && !last && now - lastDraw_ < kRefresh) return;
  lastDraw_ = now;
  draw(info);
}

void ProgressLine::draw(const ablative::ProgressInfo& info) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const unsigned percent =
      info.bytesTotal == 0 ? 100 : static_cast<unsigned>(static_cast<double>(info.bytesDone) * 100 / info.bytesTotal);
  std::wstring text =
      std::to_wstring(percent) + L"%  " + formatBytes(info.bytesDone) + L" of " + formatBytes(info.bytesTotal);
  const double rate = static_cast<double>(info.bytesDone - bytesAtStart_) / seconds;
  if (seconds > 0.5 && rate > 0) {
    text += L"  " + formatBytes(static_cast<uint64_t>(rate)) + L"/s";
    text += L"  " + formatDuration(static_cast<double>(info.bytesTotal - info.bytesDone) / rate) + L" left";
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
