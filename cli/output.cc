#include "output.h"

#include "console.h"
#include "files/path_safety.h"

namespace zarvik {

namespace {
constexpr auto kJsonProgressInterval = std::chrono::milliseconds(100);

bool isDamaged(ablative::StatusKind kind) {
  return kind == ablative::StatusKind::DamagedBlock || kind == ablative::StatusKind::BlockGone;
}
}  // namespace

int exitCodeFor(ablative::StatusKind kind, bool resumable) {
  if (kind == ablative::StatusKind::Ok) return kExitSuccess;
  if (kind == ablative::StatusKind::ArchiveChanged) return kExitArchiveChanged;
  if (isDamaged(kind)) return kExitDamaged;
  return resumable ? kExitResumable : kExitFailure;
}

Output::Output(bool json, bool showFreed) : json_(json), line_(showFreed && !json) {}

void Output::log(const std::wstring& line) {
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

int Output::fail(const std::wstring& prefix, const ablative::Status& failure, const Remedy& remedy,
                 const std::wstring& advice) {
  const bool resumable = !remedy.resume.empty();
  JsonObject error;
  error.add("event", "error").add("message", failure.message).add("resumable", resumable);
  if (resumable) error.add("resume", remedy.resume);
  if (isDamaged(failure.kind)) error.add("damaged", true).add("salvage", remedy.salvage);
  if (failure.kind == ablative::StatusKind::ArchiveChanged) error.add("archiveChanged", true);
  report(prefix, failure.message, error, advice);
  return exitCodeFor(failure.kind, resumable);
}

int Output::fail(const std::wstring& prefix, const std::wstring& message) {
  return fail(prefix, ablative::failure(ablative::StatusKind::Failed, message));
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
