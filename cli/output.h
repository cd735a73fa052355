// What zarvik says while a command runs: log lines, progress and the
// outcome, as text for people or, with --json, as JSON objects, one a line on
// standard output, for scripts.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "ablative.h"
#include "json.h"
#include "progress.h"

namespace zarvik {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // failed, nothing left to resume
inline constexpr int kExitUsage = 2;
inline constexpr int kExitResumable = 3;       // stopped with the archive partly consumed: --resume continues
inline constexpr int kExitDamaged = 4;         // stopped at a damaged block: --salvage extracts everything else
inline constexpr int kExitArchiveChanged = 5;  // the archive is not the one its journal was written for

class Output {
 public:
  // `quiet` drops the per-file lines; `showFreed` is for extraction.
  Output(bool json, bool quiet, bool showFreed);

  void log(const std::wstring& line);
  void progress(const ablative::ProgressInfo& info);
  void object(const JsonObject& object);  // with --json

  int succeed();
  // `prefix` + `message`; when `resume` holds the command that continues
  // (its arguments), the run is resumable. `advice` follows in text.
  int fail(const std::wstring& prefix, const std::wstring& message, const std::vector<std::wstring>& resume = {},
           const std::wstring& advice = L"");
  // Stopped at a damaged block: `salvage` holds the command that extracts
  // everything else (its arguments), which `advice` words in text.
  int failDamaged(const std::wstring& prefix, const std::wstring& message, const std::vector<std::wstring>& salvage,
                  const std::wstring& advice);

  // Refused: the archive is not the one its journal was written for.
  int failArchiveChanged(const std::wstring& prefix, const std::wstring& message);

  bool json() const { return json_; }

 private:
  void emitProgress(const ablative::ProgressInfo& info);
  void report(const std::wstring& prefix, const std::wstring& message, JsonObject& error, const std::wstring& advice);

  bool json_;
  bool quiet_;
  ProgressLine line_;
  // With --json: at most ten progress objects a second, and the last one.
  ablative::ProgressInfo pending_;
  bool progressPending_ = false;
  std::chrono::steady_clock::time_point lastProgress_;
};

}  // namespace zarvik
