#include "consume/archive_checks.h"

#include <algorithm>

#include "status.h"
#include "files/block_io.h"
#include "files/path_safety.h"
#include "platform/utf8.h"

namespace ablative {

Status planArchive(SourceReading reading, const UnitFilter& mayLieBeyondEnd, ExtractionPlan& plan) {
  if (Status status = reading.plan(mayLieBeyondEnd, plan); !status.ok()) return status;
  reading = SourceReading{};
  std::vector<std::string_view> paths, folders;  // folders may repeat one another and the folders files imply
  const auto folderCount = static_cast<size_t>(std::count_if(
      plan.files.begin(), plan.files.end(), [](const PlanFile& file) { return file.kind == EntryKind::Folder; }));
  paths.reserve(plan.files.size() - folderCount);
  folders.reserve(folderCount);
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    (plan.files[f].kind == EntryKind::Folder ? folders : paths).push_back(plan.pathViewOf(f));
  }
  const UnsafePaths unsafe = findUnsafePaths(paths, folders);
  if (unsafe.file < paths.size())
    return failure(StatusKind::Failed, L"Unsafe path in archive: " + nameFromBytes(paths[unsafe.file]));
  if (unsafe.folder < folders.size()) {
    return failure(StatusKind::Failed, L"Unsafe path in archive: " + nameFromBytes(folders[unsafe.folder]));
  }
  orderUnits(plan);
  return {};
}

std::wstring unaccountedRefusal(const std::wstring& unaccounted) {
  return unaccounted + L": extract with --keep, which leaves the archive as it is";
}

std::wstring unaccountedWarning(const std::wstring& unaccounted) {
  return L"Warning: " + unaccounted + L" (not extracted)";
}

namespace {

Status openArchiveForRun(const VolumeSet& set, bool consume, FileHandle& archive, const wchar_t* cannotOpen) {
  if (!openVolumeSet(set, consume ? OpenMode::ReadWrite : OpenMode::ReadDenyWrite, archive)) {
    if (isInUseError(lastErrorCode())) return failure(StatusKind::InUse, kArchiveInUse);
    return failure(StatusKind::Failed, withReason(cannotOpen + (L": " + set.parts.front())));
  }
  // Only another run's lock refuses: where the file system keeps no locks,
  // the run goes on as it did before locks existed.
  if (!lockFile(archive, consume) && isInUseError(lastErrorCode())) {
    archive.close();
    return failure(StatusKind::InUse, kArchiveInUse);
  }
  return {};
}

}  // namespace

Status holdArchiveForRun(const VolumeSet& set, bool consume, FileHandle& archive, const wchar_t* cannotOpen,
                         std::wstring& refusal) {
  refusal.clear();
  Status opened = openArchiveForRun(set, consume, archive, cannotOpen);
  if (opened.ok() || opened.kind == StatusKind::InUse) return opened;
  refusal = std::move(opened.message);
  openVolumeSet(set, OpenMode::ReadOnly, archive);
  return {};
}

}  // namespace ablative
