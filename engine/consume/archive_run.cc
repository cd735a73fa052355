// Several archives extracted one after another into one destination: the
// checks of the whole set before anything is written, one forecast of the
// space, the record that lets a stopped run resume in the right archive, and
// progress counted over the run. Each archive itself goes through
// extractArchive, as a run of it alone would.
#include <algorithm>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "ablative.h"
#include "codecs/coding.h"
#include "consume/extraction.h"
#include "consume/journal.h"
#include "consume/space.h"
#include "consume/journal_file.h"
#include "consume/resume_check.h"
#include "files/block_io.h"
#include "files/file_util.h"
#include "files/path_safety.h"
#include "files/paths.h"
#include "files/volume_set.h"
#include "pause.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

// The run's record: its archives, in order, and how many of them it has
// consumed. It lives in the destination, which the run writes to anyway: no
// other folder need be writable, the same command finds it again, and the
// run removes it at its end.
constexpr wchar_t kRunRecordName[] = L".zarvik-run.zvkr";
constexpr uint8_t kRunRecordMagic[8] = {'Z', 'V', 'K', 'R', 'U', 'N', 0, 1};
constexpr size_t kRunRecordHead = 16;  // the magic, the archive count and the consumed count
constexpr uint64_t kLargestRunRecord = 64 << 20;

struct RunRecord {
  std::vector<std::wstring> archives;
  uint32_t consumed = 0;
};

// Written whole under a temporary name, flushed, renamed into place and its
// folder flushed, as a journal is. The run writes it before it starts an
// archive and again once that archive is consumed, so an archive a run has
// deleted is always one the record counts as consumed or the one it names
// next, which a resume then finds gone with its journal.
bool writeRecord(const std::wstring& path, const RunRecord& record) {
  JournalFile file;
  if (!file.begin(path)) return false;
  uint8_t head[kRunRecordHead];
  std::copy(std::begin(kRunRecordMagic), std::end(kRunRecordMagic), head);
  put32(head + 8, static_cast<uint32_t>(record.archives.size()));
  put32(head + 12, record.consumed);
  file.append(head);
  for (const std::wstring& archive : record.archives) {
    const std::string name = toUtf8(archive);
    uint8_t length[4];
    put32(length, static_cast<uint32_t>(name.size()));
    file.append(length);
    file.append({reinterpret_cast<const uint8_t*>(name.data()), name.size()});
  }
  const bool written = file.commit(true);
  file.close();
  return written;
}

enum class RecordLoad { Missing, Loaded, Unreadable };

bool parseRecord(const std::vector<uint8_t>& bytes, RunRecord& record) {
  if (bytes.size() < kRunRecordHead ||
      !std::equal(std::begin(kRunRecordMagic), std::end(kRunRecordMagic), bytes.begin()))
    return false;
  const uint32_t count = get32(bytes.data() + 8);
  record.consumed = get32(bytes.data() + 12);
  size_t at = kRunRecordHead;
  for (uint32_t i = 0; i < count; ++i) {
    if (bytes.size() - at < 4 || bytes.size() - at - 4 < get32(bytes.data() + at)) return false;
    const uint32_t length = get32(bytes.data() + at);
    record.archives.push_back(fromUtf8(std::string(bytes.begin() + at + 4, bytes.begin() + at + 4 + length)));
    at += 4 + length;
  }
  return at == bytes.size() && record.consumed <= count;
}

RecordLoad readRecord(const std::wstring& path, RunRecord& record) {
  FileHandle file;
  if (!openFile(path, OpenMode::ReadOnly, file)) {
    return isNotFoundError(lastErrorCode()) ? RecordLoad::Missing : RecordLoad::Unreadable;
  }
  uint64_t size = 0;
  if (!fileSize(file, size) || size > kLargestRunRecord) return RecordLoad::Unreadable;
  std::vector<uint8_t> bytes(size);
  if (!readFully(file, bytes.data(), size)) return RecordLoad::Unreadable;
  return parseRecord(bytes, record) ? RecordLoad::Loaded : RecordLoad::Unreadable;
}

Status failed(std::wstring message) { return failure(StatusKind::Failed, std::move(message)); }

// A check of one archive failed: its messages do not name it. A stop refuses nothing.
Status refused(const std::wstring& archive, Status status, const LogCallback& onLog) {
  if (onLog && status.kind != StatusKind::Stopped) onLog(L"Archive refused: " + archive);
  return status;
}

// By its path, or through another name of the same file.
Status checkNamedOnce(const std::vector<std::wstring>& archives) {
  std::vector<std::optional<FileIdentity>> identities;
  for (const std::wstring& archive : archives) {
    FileIdentity identity;
    const std::optional<FileIdentity> found =
        fileIdentity(archive, identity) ? std::optional<FileIdentity>(identity) : std::nullopt;
    const bool twice = std::any_of(identities.begin(), identities.end(),
                                   [&](const std::optional<FileIdentity>& other) { return found && other == found; });
    if (twice || std::count(archives.begin(), archives.end(), archive) > 1) {
      return failed(L"The archive is named twice: " + archive);
    }
    identities.push_back(found);
  }
  return {};
}

// A stored path as the destination names it: no "." components nor trailing
// "/", and under the Windows rules without letter case.
std::string pathKey(const std::string& path) {
  return kWindowsPathRules ? toUtf8(upperCaseName(fromUtf8(path))) : path;
}

// What extracting one archive of several needs, and what it gives back once consumed.
struct ArchiveNeeds {
  SpaceNeeds space;
  uint64_t givenBack = 0;
};

// What one archive's checks read, once: the paths of its entries and of the
// folders they lie in, each once, in its order, each a folder or not; and
// what extracting it needs.
struct CheckedArchive {
  std::vector<std::pair<std::string, bool>> paths;
  ArchiveNeeds needs;
  uint32_t blocks = 0;
  uint64_t sourceBytes = 0;
};

void addPaths(const ExtractionPlan& plan, std::vector<std::pair<std::string, bool>>& paths) {
  std::unordered_set<std::string> seen;
  const auto add = [&](std::string path, bool folder) {
    if (!path.empty() && seen.insert(pathKey(path)).second) paths.emplace_back(std::move(path), folder);
  };
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    std::string path = withoutDotComponents(std::string(plan.pathOf(f)));
    while (!path.empty() && path.back() == '/') path.pop_back();
    for (size_t cut = path.find('/'); cut != std::string::npos && cut > 0; cut = path.find('/', cut + 1)) {
      add(path.substr(0, cut), true);
    }
    add(std::move(path), plan.files[f].kind == EntryKind::Folder);
  }
}

// What one archive would do to what an earlier one wrote: replace a file, or
// meet a file where it has a folder (or the other way round), which no
// extraction resolves.
Status checkOverlaps(const std::vector<std::wstring>& archives, const std::vector<CheckedArchive>& checked,
                     bool overwrite) {
  struct Holder {
    size_t archive;
    bool folder;
  };
  std::unordered_map<std::string, Holder> holders;
  for (size_t k = 0; k < archives.size(); ++k) {
    for (const auto& [path, folder] : checked[k].paths) {
      const auto [held, added] = holders.try_emplace(pathKey(path), Holder{k, folder});
      if (added || (held->second.folder && folder)) continue;
      const std::wstring both = archives[held->second.archive] + L" and " + archives[k];
      if (held->second.folder != folder) {
        return failed(L"A path is a file in one archive and a folder in another: " + nameFromBytes(path) + L" (" +
                      both + L")");
      }
      if (!overwrite) {
        return failed(L"Two archives hold the file " + nameFromBytes(path) + L": " + both +
                      L"; with --overwrite the later one wins");
      }
      held->second.archive = k;
    }
  }
  return {};
}

// What consuming an archive gives back at the destination once it is
// deleted: its length (of all its parts), where it is whole and on the
// destination's file system.
uint64_t givenBack(const std::wstring& archive, bool partlyExtracted, const std::wstring& destinationDir) {
  VolumeSet set;
  if (partlyExtracted || !sameFileSystem(parentFolder(archive), nearestFolder(destinationDir)) ||
      !findVolumeSet(firstVolumeOf(archive), set).ok()) {
    return 0;
  }
  uint64_t length = 0;
  for (const std::wstring& part : set.parts) length += pathStatus(part).size;
  return length;
}

// Archives extracted one after another: the peak is the largest, over them,
// of what the earlier trees add, less what their archives gave back, plus
// the archive's own peak; kept, their needs add up.
void combineNeeds(const std::vector<ArchiveNeeds>& each, uint64_t groupBytes, SpaceNeeds& run) {
  run = SpaceNeeds{};
  int64_t grown = 0, peak = 0;  // what the earlier trees add, less what their archives gave back: it may shrink
  for (size_t i = 0; i < each.size(); ++i) {
    const SpaceNeeds& space = each[i].space;
    if (i == 0) {
      run.freeAtDestination = space.freeAtDestination;
      run.freeEntries = space.freeEntries;
    }
    peak = std::max(peak, grown + static_cast<int64_t>(space.ablative));
    grown += static_cast<int64_t>(space.keep) - static_cast<int64_t>(each[i].givenBack);
    run.keep += space.keep;
    run.newEntries += space.newEntries;
  }
  run.ablative = static_cast<uint64_t>(peak);
  run.groupBytes = groupBytes;
}

// An archive by the path that stands for it: a volume set's by its first part.
std::vector<std::wstring> firstVolumes(const std::vector<std::wstring>& archives) {
  std::vector<std::wstring> firsts;
  for (const std::wstring& archive : archives) firsts.push_back(firstVolumeOf(archive));
  return firsts;
}

// The archive a consuming run works on: the first not consumed yet, the
// journal alone left of it where it was consumed and deleted but its journal
// was not.
bool onlyJournalLeft(const std::wstring& archive) {
  return pathStatus(archive).kind == PathKind::Missing && pathStatus(journalPathFor(archive)).kind == PathKind::File;
}

class ArchiveRun {
 public:
  ArchiveRun(const std::vector<std::wstring>& archives, const std::wstring& destinationDir,
             const ExtractOptions& options, const ProgressCallback& onProgress, const LogCallback& onLog,
             const PauseCallback& isPaused, const ArchiveCallback& onArchive)
      : archives_(firstVolumes(archives)), destinationDir_(destinationDir), options_(options), onProgress_(onProgress),
        onLog_(onLog), isPaused_(isPaused), onArchive_(onArchive),
        recordPath_(joinPath(destinationDir, kRunRecordName)) {}

  Status run(ExtractOutcome& outcome);

 private:
  bool consuming() const { return !options_.keepOriginal; }
  Status findStart(ExtractOutcome& outcome);
  std::vector<std::wstring> archivesLeft() const;
  Status checkPresent() const;
  Status checkEach(ExtractOutcome& first, std::vector<CheckedArchive>& checked);
  Status checkSpaceAndCount(const std::vector<CheckedArchive>& checked);
  Status startRecord();
  Status extractOne(size_t i, ExtractOutcome& outcome);
  Status stop(Status status, const ExtractOutcome& archive, ExtractOutcome& outcome) const;
  ExtractOptions optionsFor(size_t i) const;
  void reportProgress(size_t i, const ProgressInfo& info);

  const std::vector<std::wstring> archives_;
  const std::wstring& destinationDir_;
  const ExtractOptions& options_;
  const ProgressCallback& onProgress_;
  const LogCallback& onLog_;
  const PauseCallback& isPaused_;
  const ArchiveCallback& onArchive_;
  const std::wstring recordPath_;
  RunRecord record_;
  size_t first_ = 0;  // the first archive not consumed yet
  // Per archive, its blocks and raw bytes, as described and then as its run counts them.
  std::vector<uint32_t> blocks_;
  std::vector<uint64_t> bytes_;
  ProgressInfo finished_;  // of the archives done in this run
  uint64_t lastFreed_ = 0;
};

// A resume continues the stopped run's record: with the same archives, from
// the first it had not consumed. A fresh run, or one keeping its archives,
// would write over files a stopped run took from archives now gone.
Status ArchiveRun::findStart(ExtractOutcome& outcome) {
  const std::wstring recordNames =
      L"An earlier extraction of several archives into " + destinationDir_ + L" was interrupted";
  const RecordLoad load = readRecord(recordPath_, record_);
  if (load == RecordLoad::Unreadable) {
    return failed(withReason(L"Failed to read the record of the run: " + recordPath_));
  }
  if (load == RecordLoad::Loaded && (!options_.resume || !consuming())) {
    outcome.resumable = outcome.resumeHere = true;
    return failed(recordNames + L"; resume it to continue");
  }
  if (load == RecordLoad::Loaded && record_.archives != archives_) {
    return failed(recordNames + L" with other archives: resume it with the same archives, in the same order");
  }
  record_.archives = archives_;
  first_ = record_.consumed;
  // Consumed and deleted, with its journal, before the record could say so.
  if (load == RecordLoad::Loaded && first_ < archives_.size() &&
      nothingRemains(archives_[first_], journalPathFor(archives_[first_]))) {
    ++first_;
  }
  record_.consumed = static_cast<uint32_t>(first_);
  return {};
}

// Those not consumed yet, but for one of which only the journal is left:
// its run only removes the journal.
std::vector<std::wstring> ArchiveRun::archivesLeft() const {
  std::vector<std::wstring> left;
  for (size_t i = first_; i < archives_.size(); ++i) {
    if (!onlyJournalLeft(archives_[i])) left.push_back(archives_[i]);
  }
  return left;
}

Status ArchiveRun::checkPresent() const {
  for (size_t i = first_; i < archives_.size(); ++i) {
    const bool resumable = i == first_ && options_.resume && consuming() && onlyJournalLeft(archives_[i]);
    if (pathStatus(archives_[i]).kind == PathKind::Missing && !resumable) {
      return failed(L"The archive is missing: " + archives_[i]);
    }
  }
  return {};
}

// Resumed, the first archive continues where it stopped; every later one starts afresh.
ExtractOptions ArchiveRun::optionsFor(size_t i) const {
  ExtractOptions options = options_;
  options.resume = options_.resume && i == first_;
  return options;
}

// Every check each archive's own run makes before it writes, against the
// destination as it is now; checkOverlaps covers what earlier archives add.
// Each archive is read once for all of it.
Status ArchiveRun::checkEach(ExtractOutcome& first, std::vector<CheckedArchive>& checked) {
  const ProgressCallback noProgress;
  const LogCallback noLog;
  const PauseCallback noPause;
  for (size_t i = first_; i < archives_.size(); ++i) {
    if (onlyJournalLeft(archives_[i])) continue;
    ExtractOptions options = optionsFor(i);
    options.checkOnly = true;
    options.checkSpace = false;
    Extraction extraction(archives_[i], destinationDir_, options, noProgress, noLog, noPause);
    if (!extraction.run()) {
      if (i == first_) first = extraction.outcome(false);
      return refused(archives_[i], extraction.status(false), onLog_);
    }
    CheckedArchive& archive = checked.emplace_back();
    const ExtractionPlan& plan = extraction.plan();
    addPaths(plan, archive.paths);
    archive.blocks = static_cast<uint32_t>(plan.units.size());
    archive.sourceBytes = extraction.sourceBytes();
    if (!options_.checkSpace) continue;
    if (!estimateSpace(plan, extraction.journal(), archives_[i], destinationDir_, options_.groupBytes,
                       archive.needs.space)) {
      return failed(L"Unable to read the free space at " + destinationDir_);
    }
    archive.needs.givenBack =
        givenBack(archives_[i], extraction.journal().states.recordsProgress(), destinationDir_);
  }
  return {};
}

// One forecast for the archives left, which also gives the run's totals.
Status ArchiveRun::checkSpaceAndCount(const std::vector<CheckedArchive>& checked) {
  blocks_.assign(archives_.size(), 0);
  bytes_.assign(archives_.size(), 0);
  std::vector<ArchiveNeeds> each;
  for (size_t i = archives_.size() - checked.size(), c = 0; i < archives_.size(); ++i, ++c) {
    blocks_[i] = checked[c].blocks;
    bytes_[i] = checked[c].sourceBytes;
    each.push_back(checked[c].needs);
  }
  if (!options_.checkSpace || checked.empty()) return {};
  SpaceNeeds needs;
  combineNeeds(each, options_.groupBytes, needs);
  return checkFits(needs, consuming() ? needs.ablative : needs.keep, destinationDir_);
}

// The destination and the record, durable before any archive is touched.
Status ArchiveRun::startRecord() {
  std::vector<std::wstring> gained;
  bool made = createFolders(destinationDir_, gained);
  for (const std::wstring& folder : gained) made = made && syncDirectory(folder);
  record_.consumed = static_cast<uint32_t>(first_);
  if (made && writeRecord(recordPath_, record_)) return {};
  return failed(withReason(L"Failed to write the record of the run: " + recordPath_));
}

void ArchiveRun::reportProgress(size_t i, const ProgressInfo& info) {
  blocks_[i] = info.blocksTotal;
  bytes_[i] = info.bytesTotal;
  lastFreed_ = info.bytesFreed;
  ProgressInfo all = finished_;
  all.blocksDone += info.blocksDone;
  all.bytesDone += info.bytesDone;
  all.bytesFreed += info.bytesFreed;
  for (size_t k = first_; k < archives_.size(); ++k) {
    all.blocksTotal += blocks_[k];
    all.bytesTotal += bytes_[k];
  }
  if (onProgress_) onProgress_(all);
}

Status ArchiveRun::extractOne(size_t i, ExtractOutcome& outcome) {
  if (i > first_ && !waitWhilePaused(isPaused_, options_.shouldStop)) {
    return stop(stoppedOnRequest(), {}, outcome);
  }
  if (onArchive_) onArchive_(i + 1, archives_.size(), archives_[i]);
  ExtractOutcome own;
  lastFreed_ = 0;
  Status extracted = extractArchive(
      archives_[i], destinationDir_, optionsFor(i), own,
      [this, i](const ProgressInfo& info) { reportProgress(i, info); }, onLog_, isPaused_);
  if (!extracted.ok()) return stop(std::move(extracted), own, outcome);
  finished_.blocksDone += blocks_[i];
  finished_.bytesDone += bytes_[i];
  finished_.bytesFreed += lastFreed_;
  record_.consumed = static_cast<uint32_t>(i + 1);
  if (consuming() && !writeRecord(recordPath_, record_)) {
    return stop(failed(withReason(L"Failed to write the record of the run: " + recordPath_)), {}, outcome);
  }
  return {};
}

// The run resumes once it has consumed an archive, whatever stopped it, as
// long as resuming may help; where it has consumed nothing, its record goes,
// and the run's outcome is that of its first archive.
Status ArchiveRun::stop(Status status, const ExtractOutcome& archive, ExtractOutcome& outcome) const {
  const StatusKind kind = status.kind;
  const bool helps =
      kind == StatusKind::Failed || kind == StatusKind::Stopped || kind == StatusKind::DestinationLacksData;
  const bool consumedAny = consuming() && record_.consumed > 0;
  const bool stopped = kind == StatusKind::Stopped && consuming();
  outcome = archive;
  outcome.resumable = archive.resumable || (consumedAny && helps) || stopped;
  outcome.resumeHere = outcome.resumable && (archive.resumeHere || consumedAny || stopped);
  outcome.partlyConsumed = archive.partlyConsumed || consumedAny;
  if (consuming() && !outcome.resumable && !outcome.partlyConsumed) removeFile(recordPath_);
  return status;
}

Status ArchiveRun::run(ExtractOutcome& outcome) {
  outcome = {};
  if (Status named = checkNamedOnce(archives_); !named.ok()) return named;
  if (Status started = findStart(outcome); !started.ok()) return started;
  ExtractOutcome firstChecked;
  std::vector<CheckedArchive> each;
  Status checked = checkPresent();
  if (checked.ok()) checked = checkEach(firstChecked, each);
  if (checked.ok()) checked = checkOverlaps(archivesLeft(), each, options_.overwrite);
  if (checked.ok()) checked = checkSpaceAndCount(each);
  if (checked.ok() && consuming()) checked = startRecord();
  if (!checked.ok()) return stop(std::move(checked), firstChecked, outcome);
  for (size_t i = first_; i < archives_.size(); ++i) {
    if (Status extracted = extractOne(i, outcome); !extracted.ok()) return extracted;
  }
  if (consuming() && removeFile(recordPath_)) syncDirectory(destinationDir_);
  return {};
}

}  // namespace

Status extractArchives(const std::vector<std::wstring>& archivePaths, const std::wstring& destinationDir,
                       const ExtractOptions& options, ExtractOutcome& outcome, const ProgressCallback& onProgress,
                       const LogCallback& onLog, const PauseCallback& isPaused, const ArchiveCallback& onArchive) {
  return withinMemory([&] {
    ArchiveRun run(archivePaths, destinationDir, options, onProgress, onLog, isPaused, onArchive);
    return run.run(outcome);
  });
}

Status describeArchives(const std::vector<std::wstring>& archivePaths, const std::wstring& destinationDir,
                        uint64_t groupBytes, std::vector<ArchiveDescription>& descriptions, SpaceNeeds& run) {
  descriptions.assign(archivePaths.size(), {});
  run = SpaceNeeds{};
  std::vector<ArchiveNeeds> each;
  for (size_t i = 0; i < archivePaths.size(); ++i) {
    ArchiveDescription& d = descriptions[i];
    if (Status described = describeArchive(archivePaths[i], destinationDir, groupBytes, d); !described.ok())
      return described;
    each.push_back({d.space, givenBack(archivePaths[i], d.partlyExtracted, destinationDir)});
  }
  if (!destinationDir.empty()) combineNeeds(each, groupBytes, run);
  return {};
}

}  // namespace ablative
