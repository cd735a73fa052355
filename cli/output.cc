#include "output.h"

#include "console.h"
#include "files/path_safety.h"

namespace zarvik {

namespace {
constexpr auto kJsonProgressInterval = std::chrono::milliseconds(100);

bool isPerFileLine(const std::wstring& line) {
  return line.rfind(L"Packing: ", 0) == 0 || line.rfind(L"Extracting: ", 0) == 0;
}
}  // namespace

Output::Output(bool json, bool quiet, bool showFreed) : json_(json), quiet_(quiet), line_(showFreed && !json) {}

void Output::log(const std::wstring& line) {
  if (quiet_ && isPerFileLine(line)) return;
  if (json_) return object(JsonObject().add("event", "log").add("line", line));
  line_.clear();
  write(Stream::Out, ablative::displayText(line) + L"\n");
}

void Output::progress(const ablative::ProgressInfo& info) {
  if (!json_) return line_.update(info);
  pending_ = info;
  progressPending_ = true;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastProgress_ < kJsonProgressInterval) return;
  lastProgress_ = now;
  emitProgress(info);
}

void Output::emitProgress(const ablative::ProgressInfo& info) {
  progressPending_ = false;
  object(JsonObject()
             .add("event", "progress")
             .add("blocksDone", uint64_t{info.blocksDone})
             .add("blocksTotal", uint64_t{info.blocksTotal})
             .add("bytesDone", info.bytesDone)
             .add("bytesTotal", info.bytesTotal)
             .add("bytesFreed", info.bytesFreed));
}

void Output::object(const JsonObject& object) { writeUtf8(Stream::Out, object.line()); }

int Output::succeed() {
  line_.clear();
  if (json_) {
    if (progressPending_) emitProgress(pending_);
    object(JsonObject().add("event", "done").add("ok", true));
  }
  return kExitSuccess;
}

int Output::fail(const std::wstring& prefix, const std::wstring& message, const std::vector<std::wstring>& resume,
                 const std::wstring& advice) {
  const bool resumable = !resume.empty();
  JsonObject error;
  error.add("event", "error").add("message", message).add("resumable", resumable);
  if (resumable) error.add("resume", resume);
  report(prefix, message, error, advice);
  return resumable ? kExitResumable : kExitFailure;
}

int Output::failDamaged(const std::wstring& prefix, const std::wstring& message,
                        const std::vector<std::wstring>& salvage, const std::wstring& advice) {
  JsonObject error;
  error.add("event", "error").add("message", message).add("resumable", false).add("damaged", true);
  error.add("salvage", salvage);
  report(prefix, message, error, advice);
  return kExitDamaged;
}

int Output::failArchiveChanged(const std::wstring& prefix, const std::wstring& message) {
  JsonObject error;
  error.add("event", "error").add("message", message).add("resumable", false).add("archiveChanged", true);
  report(prefix, message, error, L"");
  return kExitArchiveChanged;
}

void Output::report(const std::wstring& prefix, const std::wstring& message, JsonObject& error,
                    const std::wstring& advice) {
  line_.clear();
  if (json_) {
    if (progressPending_) emitProgress(pending_);
    object(error);
  } else {
    write(Stream::Err, prefix + ablative::displayText(message) + L"\n" + advice);
  }
}

}  // namespace zarvik
