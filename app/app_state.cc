#include "app_state.h"

#include <cerrno>
#include <climits>
#include <cwchar>
#include <exception>
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

bool extractFromFields(AppState* state, bool resume, const EngineCallbacks& callbacks, std::wstring& reason) {
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
  bool succeeded = runLogged(
      L"Extract failed: ", [&](std::wstring& reason) { return extractFromFields(state, resume, callbacks, reason); },
      callbacks.onLog);
  finish(state, succeeded);
}

}  // namespace zarvik
