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

// The one map from how a command ended to its exit code: `resumable` where a
// resumed run continues what it left.
int exitCodeFor(ablative::StatusKind kind, bool resumable);

// The commands that a failed extraction's report offers, as arguments: the
// one that continues it, or for a damaged block the one that salvages it.
struct Remedy {
  std::vector<std::wstring> resume;
  std::vector<std::wstring> salvage;
};

class Output {
 public:
  // `showFreed` is for extraction.
  Output(bool json, bool showFreed);

  void log(const std::wstring& line);
  void progress(const ablative::ProgressInfo& info);
  void object(const JsonObject& object);  // with --json

  int succeed();
  // `prefix` + the failure's message, and the fields its kind calls for:
  // the run is resumable where `remedy` holds the command that resumes it.
  // `advice` follows in text.
  int fail(const std::wstring& prefix, const ablative::Status& failure, const Remedy& remedy = {},
           const std::wstring& advice = L"");
  int fail(const std::wstring& prefix, const std::wstring& message);  // of a plain failure

  bool json() const { return json_; }

 private:
  void emitProgress(const ablative::ProgressInfo& info);
  void report(const std::wstring& prefix, const std::wstring& message, JsonObject& error, const std::wstring& advice);

  bool json_;
  ProgressLine line_;
  // With --json: at most ten progress objects a second, and the last one.
  ablative::ProgressInfo pending_;
  bool progressPending_ = false;
  std::chrono::steady_clock::time_point lastProgress_;
};

}  // namespace zarvik
