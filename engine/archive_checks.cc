#include "archive_checks.h"

#include <unordered_set>

#include "path_safety.h"

namespace ablative {

namespace {

bool fail(std::wstring& errorText, const std::wstring& message) {
  errorText = message;
  return false;
}

// A folder's path must be safe and must not be, or lie below, a file's.
// Folders may repeat one another and the folders files imply.
size_t findUnsafeFolder(const ExtractionPlan& plan, const std::vector<std::string>& paths) {
  const std::unordered_set<std::string> files(paths.begin(), paths.end());
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    if (plan.files[f].kind != EntryKind::Folder) continue;
    std::string path = plan.pathOf(f);
    if (!isSafeStoredPath(path)) return f;
    for (size_t slash = path.size(); slash != std::string::npos; slash = path.rfind('/')) {
      path.resize(slash);
      if (files.count(path)) return f;
    }
  }
  return plan.files.size();
}

}  // namespace

bool planArchive(SourceReading reading, const UnitFilter& mayLieBeyondEnd, ExtractionPlan& plan,
                 std::wstring& errorText) {
  if (!reading.plan(mayLieBeyondEnd, plan, errorText)) return false;
  reading = SourceReading{};
  std::vector<std::string> paths;  // of what is not a folder
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    if (plan.files[f].kind != EntryKind::Folder) paths.push_back(plan.pathOf(f));
  }
  const size_t unsafe = findUnsafePath(paths);
  if (unsafe < paths.size()) return fail(errorText, L"Unsafe path in archive: " + displayPath(paths[unsafe]));
  const size_t unsafeFolder = findUnsafeFolder(plan, paths);
  if (unsafeFolder < plan.files.size()) {
    return fail(errorText, L"Unsafe path in archive: " + displayPath(plan.pathOf(static_cast<uint32_t>(unsafeFolder))));
  }
  orderUnits(plan);
  return true;
}

std::wstring unaccountedRefusal(const std::wstring& unaccounted) {
  return unaccounted + L": extract with --keep, which leaves the archive as it is";
}

std::wstring unaccountedWarning(const std::wstring& unaccounted) {
  return L"Warning: " + unaccounted + L" (not extracted)";
}

bool openArchiveForRun(const std::wstring& archivePath, bool consume, FileHandle& archive, const wchar_t* cannotOpen,
                       std::wstring& errorText) {
  if (!openFile(archivePath, consume ? OpenMode::ReadWrite : OpenMode::ReadDenyWrite, archive)) {
    return fail(errorText, isInUseError(lastErrorCode()) ? kArchiveInUse : cannotOpen);
  }
  // Only another run's lock refuses: where the file system keeps no locks,
  // the run goes on as it did before locks existed.
  if (!lockFile(archive, consume) && isInUseError(lastErrorCode())) {
    archive.close();
    return fail(errorText, kArchiveInUse);
  }
  return true;
}

}  // namespace ablative
