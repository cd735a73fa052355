// One extraction run: the checks made before anything is written
// (extraction_checks.cc) and the effects that follow (extract.cc). Internal
// to the engine; extractArchive (ablative.h) runs it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ablative.h"
#include "consume/archive_release.h"
#include "consume/journal.h"
#include "consume/resume_check.h"
#include "destination/destination_files.h"
#include "files/volume_set.h"
#include "plan/archive_source.h"
#include "plan/extraction_plan.h"
#include "plan/unit_decoders.h"
#include "platform/env.h"

namespace ablative {

// What taking a unit of the group in hand comes to, found ahead of it.
enum class UnitStep {
  Skip,          // released by an earlier run
  Intact,        // recorded as written, and found so: only released
  Failed,        // could not be read, or belongs to a file left alone
  Decode,        // handed to the decoders
  DecodeAtTake,  // read and decoded only as it is taken: left to the caller by the decoders
};

struct PreparedUnit {
  uint32_t unit = 0;
  UnitStep step = UnitStep::Skip;
  Status read;  // of Failed, why
};

class Extraction {
 public:
  Extraction(const std::wstring& archivePath, const std::wstring& destinationDir, const ExtractOptions& options,
             const ProgressCallback& onProgress, const LogCallback& onLog, const PauseCallback& isPaused)
      : archivePath_(archivePath), destinationDir_(destinationDir), resume_(options.resume),
        ablate_(!options.keepOriginal), salvage_(options.salvage), checkSpace_(options.checkSpace),
        checkOnly_(options.checkOnly), groupBytes_(options.groupBytes), requestedGroupBytes_(options.groupBytes),
        onProgress_(onProgress), onLog_(onLog), onEntry_(options.onEntry ? options.onEntry : onLog),
        isPaused_(isPaused), shouldStop_(options.shouldStop) {
    journal_.path = journalPathFor(archivePath);
    found_.path = journal_.path;
  }

  bool run();  // memory that runs out part-way fails it as any failure does
  Status status(bool succeeded) const;
  ExtractOutcome outcome(bool succeeded) const;

  // After a run that stopped at its checks (ExtractOptions::checkOnly): what they read.
  const ExtractionPlan& plan() const { return plan_; }
  const Journal& journal() const { return journal_; }
  uint64_t sourceBytes() const { return facts_.sourceBytes; }

 private:
  bool runSteps();  // the checks below, then the effects
  bool archiveTakenAway();

  // Checks (extraction_checks.cc): nothing is written until they all pass.
  bool holdArchive();
  std::wstring linkedNameRefusal() const;
  bool readSource(SourceReading& reading);
  bool checkHeldArchive();
  void writeFingerprint();
  bool checkJournal(uint32_t unitCount);
  bool checkKeepOnly(const std::wstring& keepOnly);
  bool checkUnaccounted(const std::wstring& unaccounted);
  bool checkContents(SourceReading reading);
  bool checkRecordedArchive();
  bool checkFingerprint();
  bool archiveChanged();
  void recordPlanInJournal();
  bool checkOwnFiles();
  bool checkDestinationHoldsExtracted();
  void settleAbsentUnits();
  bool lacksData(const std::wstring& path);
  bool checkDestinationLimits();
  bool checkSpace();

  // Effects (extract.cc): writing starts here.
  bool prepareDestination();
  bool settle(const std::vector<uint32_t>& units, BlockState state);
  void nameLostUnits();
  void nameLost(uint32_t u);
  bool adoptEarlierFiles();
  bool startPosition();
  bool extractUnits();
  void reserveBuffers();
  bool extractGroup(size_t first, size_t end);
  bool prepareUnit(uint32_t u, PreparedUnit& prepared);
  bool takeUnit(PreparedUnit& prepared);
  Status decodeHere(uint32_t u);
  bool piecesInPlace(uint32_t u);
  bool pieceInPlace(uint32_t file);
  bool restoresEarly(uint32_t file) const;
  bool passOver(uint32_t u, Status read);
  bool recordWritten();
  bool releaseGroup();
  bool truncateTail();
  bool finish();
  void removeArchiveThenJournal();
  Status removeLaterParts();
  bool complete() const;

  // Helpers.
  void markDamaged(uint32_t file);
  bool fail(Status status);  // records why the run failed; false
  bool ok(Status status);    // whether the step succeeded, recording why where not
  void log(const std::wstring& line) const;
  void announce(uint32_t file);
  void reportProgress() const;

  const std::wstring& archivePath_;
  const std::wstring& destinationDir_;
  const bool resume_;
  const bool ablate_;
  const bool salvage_;
  const bool checkSpace_;
  const bool checkOnly_;
  uint64_t groupBytes_;
  const uint64_t requestedGroupBytes_;
  Status failed_ = failure(StatusKind::Failed, L"");  // why the run failed, once a step says
  const ProgressCallback& onProgress_;
  const LogCallback& onLog_;
  const LogCallback& onEntry_;  // the line of each file the run reaches
  const PauseCallback& isPaused_;
  const StopCallback& shouldStop_;

  const ArchiveSource* source_ = nullptr;  // once the run starts
  SourceFacts facts_;
  bool recorded_ = false;  // the journal, not the archive, described it
  ExtractionPlan plan_;
  Journal journal_;
  Journal found_;  // the journal as its file holds it, read once, until checkJournal takes it
  JournalLoad foundLoad_ = JournalLoad::Missing;
  bool journalLoaded_ = false;
  bool holdsLinks_ = true;                 // the destination's file system makes symbolic links
  bool accepted_ = false;                  // every check passed: this destination is the run's
  VolumeSet set_;                          // the archive's parts: one file but for a volume set
  FileHandle archive_;                     // opened once, by holdArchive
  std::wstring refusal_;                   // why the run cannot take the archive it could only open to read
  std::optional<ArchiveRelease> release_;  // once the archive is open
  FileIdentity archiveIdentity_;
  uint64_t archiveLength_ = 0;             // when it was opened
  bool consumedWhole_ = false;             // every unit settled: the archive and journal were deleted
  std::optional<DestinationFiles> files_;  // once the destination paths are known
  std::vector<uint8_t> stored_, raw_;
  std::optional<UnitDecoders> decoders_;        // while units are taken
  std::vector<uint32_t> written_, releasable_;  // of the group in hand
  std::vector<uint32_t> absent_;                // gone while nothing records them taken (salvage)
  std::vector<uint32_t> held_;                  // absent units the destination holds
  std::vector<uint32_t> lost_;                  // absent units it lacks, released ones found missing from it
  std::vector<uint8_t> damaged_;                // per file
  std::vector<uint32_t> piecesLeft_;            // per file: pieces not yet in place, in this run or an earlier one
  std::vector<uint64_t> reach_;                 // per file: where its last piece ends; a sparse file may go on
  std::vector<uint8_t> restored_;               // per file: given its time and mode once complete, in this run
  uint32_t damagedFiles_ = 0;
  uint32_t blocksDone_ = 0;
  uint64_t bytesFreed_ = 0;
  uint64_t bytesDone_ = 0, bytesTotal_ = 0;  // raw
  uint32_t lastAnnouncedFile_ = kNoFile;
};

}  // namespace ablative
