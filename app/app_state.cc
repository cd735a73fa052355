#include "app_state.h"

#include <cerrno>
#include <climits>
#include <cwchar>
#include <exception>
#include <iterator>
#include <system_error>
#include <thread>

#include "files/path_safety.h"
#include "path_rules.h"
#include "platform/env.h"

namespace zarvik {

namespace {

struct EngineCallbacks {
  ablative::ProgressCallback onProgress;
  ablative::LogCallback onLog;
  ablative::PauseCallback isPaused;
};

// The creation variant leaves bytesFreed alone: nothing is freed while packing.
EngineCallbacks callbacksFor(AppState* state, bool tracksFreedBytes) {
  EngineCallbacks callbacks;
  callbacks.onProgress = [state, tracksFreedBytes](const ablative::ProgressInfo& info) {
    state->blocksTotal.exchange(info.blocksTotal);
    state->blocksDone.exchange(info.blocksDone);
    if (tracksFreedBytes) state->bytesFreed.exchange(info.bytesFreed);
  };
  callbacks.onLog = [state](const std::wstring& line) {
    auto* posted = new std::wstring(ablative::displayText(line));  // names from an archive may hold control characters
    // A window that is gone cannot take ownership of the line.
    if (!PostMessageW(state->hwnd, WM_APP_LOG, 0, reinterpret_cast<LPARAM>(posted))) delete posted;
  };
  callbacks.isPaused = [state] { return state->paused.load(); };
  return callbacks;
}

// A synchronous request to the window's thread, which keeps pumping messages.
std::wstring readField(HWND control) {
  int length = GetWindowTextLengthW(control);
  std::wstring text(length, L'\0');
  if (length > 0) text.resize(GetWindowTextW(control, text.data(), length + 1));
  return text;
}

void writeField(HWND control, const std::wstring& text) { SetWindowTextW(control, text.c_str()); }

// what() texts are UTF-8 here (file-system errors carry their paths in it).
std::wstring textOf(const std::exception& error) { return ablative::fromUtf8(error.what()); }

bool createFromFields(AppState* state, const EngineCallbacks& callbacks, std::wstring& reason) {
  std::wstring source = readField(state->sourceEdit);
  std::wstring output = readField(state->outputEdit);
  std::wstring blockSizeText = readField(state->blockSizeEdit);
  if (source.empty() || output.empty()) {
    reason = L"Set source file/folder and archive output path.";
    return false;
  }
  if (!isRegularFile(source) && !isDirectory(source)) {
    reason = L"Source must be an existing file or folder.";
    return false;
  }
  if (isDirectory(output)) {
    reason = L"Archive output must be a file path.";
    return false;
  }
  std::wstring archive = withArchiveExtension(output);
  if (archive != output) writeField(state->outputEdit, archive);
  writeField(state->archiveEdit, archive);  // the Extract page is ready for the new archive
  const ablative::Status created = ablative::createArchive(source, archive, blockSizeFromField(blockSizeText),
                                                           callbacks.onProgress, callbacks.onLog, callbacks.isPaused);
  if (!created.ok()) reason = created.message;
  return created.ok();
}

// Each archive named as extraction takes it: its journal stands for it.
bool archivesToExtract(const std::vector<std::wstring>& named, bool resume, const EngineCallbacks& callbacks,
                       std::vector<std::wstring>& archives, std::wstring& reason) {
  for (const std::wstring& path : named) {
    std::wstring archive;
    if (const ablative::Status found = ablative::archiveForExtraction(path, resume, archive); !found.ok()) {
      reason = found.message;
      return false;
    }
    if (archive != path) callbacks.onLog(L"Info: Resume file selected; switched to archive: " + archive);
    archives.push_back(archive);
  }
  return true;
}

// Several archives go into the one destination as a run, each announced in the log.
ablative::Status extractAll(const std::vector<std::wstring>& archives, const std::wstring& destination,
                            const ablative::ExtractOptions& options, const EngineCallbacks& callbacks) {
  ablative::ExtractOutcome outcome;
  if (archives.size() == 1) {
    return ablative::extractArchive(archives[0], destination, options, outcome, callbacks.onProgress, callbacks.onLog,
                                    callbacks.isPaused);
  }
  return ablative::extractArchives(
      archives, destination, options, outcome, callbacks.onProgress, callbacks.onLog, callbacks.isPaused,
      [&](size_t number, size_t count, const std::wstring& archive) {
        callbacks.onLog(L"Archive " + std::to_wstring(number) + L" of " + std::to_wstring(count) + L": " + archive);
      });
}

// `advice` is set where the run was refused for space.
bool extractFromFields(AppState* state, bool resume, const EngineCallbacks& callbacks, std::wstring& reason,
                       std::wstring& advice) {
  const std::vector<std::wstring> named = archiveFieldPaths(readField(state->archiveEdit));
  std::wstring destination = readField(state->destinationEdit);
  bool keepOriginal = SendMessageW(state->keepOriginalCheck, BM_GETCHECK, 0, 0) == BST_CHECKED;
  if (named.empty() || destination.empty()) {
    reason = L"Set archive file and destination folder.";
    return false;
  }
  std::vector<std::wstring> archives;
  if (!archivesToExtract(named, resume, callbacks, archives, reason)) return false;
  if (archives != named) writeField(state->archiveEdit, archiveFieldText(archives));
  // A resume may find only the journal left, the archive already deleted; a
  // run of several has the engine name the archive missing.
  if (!resume && archives.size() == 1 && !isRegularFile(archives[0])) {
    reason = L"Archive path must be an existing file.";
    return false;
  }
  if (isRegularFile(destination)) {
    reason = L"Destination must be a folder path.";
    return false;
  }
  ablative::ExtractOptions options;
  options.resume = resume;
  options.keepOriginal = keepOriginal;
  options.checkSpace = true;  // the check the command line makes, with its message
  const ablative::Status status = extractAll(archives, destination, options, callbacks);
  reason = status.message;
  ablative::SpaceNeeds space;
  if (status.kind == ablative::StatusKind::Failed && !resume && forecastSpace(archives, destination, space).ok()) {
    advice = spaceAdvice(space, keepOriginal);
  }
  return status.ok();
}

void finish(AppState* state, bool succeeded) { PostMessageW(state->hwnd, WM_APP_DONE, succeeded ? 1 : 0, 0); }

}  // namespace

uint32_t blockSizeFromField(const std::wstring& text) {
  const wchar_t* begin = text.c_str();
  wchar_t* end = nullptr;
  errno = 0;
  long long kb = std::wcstoll(begin, &end, 10);
  if (end == begin || errno == ERANGE || kb < INT_MIN || kb > INT_MAX || kb < kMinBlockSizeKb) {
    return ablative::kDefaultBlockSize;
  }
  uint64_t bytes = static_cast<uint64_t>(kb) * 1024;
  return bytes > UINT32_MAX ? ablative::kDefaultBlockSize : static_cast<uint32_t>(bytes);
}

std::wstring bytesInUnits(uint64_t bytes) {
  static const wchar_t* const kUnits[] = {L"B", L"kB", L"MB", L"GB", L"TB", L"PB"};
  if (bytes < 1000) return std::to_wstring(bytes) + L" B";
  double value = static_cast<double>(bytes);
  int unit = 0;
  for (; value >= 1000 && unit < 5; ++unit) value /= 1000;
  wchar_t text[32];
  std::swprintf(text, std::size(text), L"%.1f %ls", value, kUnits[unit]);
  return text;
}

ablative::Status forecastSpace(const std::vector<std::wstring>& named, const std::wstring& destination,
                               ablative::SpaceNeeds& space) {
  std::vector<std::wstring> archives;
  for (const std::wstring& path : named) {
    std::wstring archive;
    archives.push_back(ablative::archiveForExtraction(path, false, archive).ok() ? archive : path);
  }
  if (archives.size() > 1) {
    std::vector<ablative::ArchiveDescription> descriptions;
    return ablative::describeArchives(archives, destination, ablative::kDefaultGroupBytes, descriptions, space);
  }
  ablative::ArchiveDescription description;
  ablative::Status described =
      ablative::describeArchive(archives.front(), destination, ablative::kDefaultGroupBytes, description);
  space = description.space;
  return described;
}

std::wstring forecastLine(const ablative::SpaceNeeds& space, bool keepOriginal) {
  const uint64_t needed = keepOriginal ? space.keep : space.ablative;
  std::wstring line = L"Needs " + bytesInUnits(needed) + L" of " + bytesInUnits(space.freeAtDestination) + L" free: ";
  if (needed > space.freeAtDestination) return line + L"does not fit";
  const bool smallerGroups = !keepOriginal && space.groupBytes < ablative::kDefaultGroupBytes;
  return line + (smallerGroups ? L"fits in groups of " + bytesInUnits(space.groupBytes) : L"fits");
}

std::wstring spaceAdvice(const ablative::SpaceNeeds& space, bool keepOriginal) {
  const uint64_t free = space.freeAtDestination;
  if ((keepOriginal ? space.keep : space.ablative) <= free) return {};
  if (space.ablative > free) {
    return keepOriginal ? L"No group size makes it fit, even without Keep original archive."
                        : L"No group size makes it fit.";
  }
  return L"Without Keep original archive it fits, in groups of " + bytesInUnits(space.groupBytes) + L".";
}

bool runLogged(const std::wstring& prefix, const std::function<bool(std::wstring& reason)>& operation,
               const ablative::LogCallback& log) {
  std::wstring reason;
  bool succeeded = false;
  try {
    succeeded = operation(reason);
  } catch (const std::exception& error) {
    reason = textOf(error);
  } catch (...) {
    reason = L"Unexpected error.";
  }
  if (!succeeded) log(prefix + reason);
  return succeeded;
}

bool startDetached(std::function<void()> task) {
  try {
    std::thread(std::move(task)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void runCreate(AppState* state) {
  EngineCallbacks callbacks = callbacksFor(state, false);
  bool succeeded = runLogged(
      L"Create failed: ", [&](std::wstring& reason) { return createFromFields(state, callbacks, reason); },
      callbacks.onLog);
  finish(state, succeeded);
}

void runExtract(AppState* state, bool resume) {
  EngineCallbacks callbacks = callbacksFor(state, true);
  // Waits for a forecast that is reading the archives.
  state->forecastReading.lock();
  state->forecastReading.unlock();
  std::wstring advice;
  bool succeeded = runLogged(
      L"Extract failed: ",
      [&](std::wstring& reason) { return extractFromFields(state, resume, callbacks, reason, advice); },
      callbacks.onLog);
  if (!advice.empty()) callbacks.onLog(advice);
  finish(state, succeeded);
}

void runForecast(AppState* state, const std::vector<std::wstring>& named, const std::wstring& destination,
                 bool keepOriginal, uint32_t request) {
  std::wstring line;
  ablative::SpaceNeeds space;
  try {
    const std::lock_guard<std::mutex> reading(state->forecastReading);
    // Set before a run's worker starts: the run has the archive to itself.
    if (!state->busy.load() && !named.empty() && !destination.empty() &&
        forecastSpace(named, destination, space).ok()) {
      line = forecastLine(space, keepOriginal);
    }
  } catch (const std::exception&) {
    // No forecast: the run itself reports what is wrong.
  }
  auto* posted = new std::wstring(line);
  if (!PostMessageW(state->hwnd, WM_APP_FORECAST, request, reinterpret_cast<LPARAM>(posted))) delete posted;
}

}  // namespace zarvik
