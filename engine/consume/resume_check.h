// What a resumed ablative run checks before it trusts its destination: that
// it holds what earlier runs took from the archive. Resuming into another
// folder, or after a finished file was removed, would otherwise end in
// "complete" with those blocks lost.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "consume/journal.h"
#include "destination/destination_files.h"
#include "plan/extraction_plan.h"

namespace ablative {

inline constexpr uint32_t kNoFile = 0xFFFFFFFF;

// A destination file opened for reading back, or null where it cannot be.
using OpenDestination = std::function<FileHandle*(uint32_t file)>;

// Whether `unit`, recorded as written, is intact in its files: its pieces,
// read back through `open` piece by piece into `buffer`, have the CRC-32 of
// its raw bytes.
bool destinationHolds(const OpenDestination& open, const ExtractionPlan& plan, uint32_t unit,
                      std::vector<uint8_t>& buffer);

// Every file with a piece of a unit recorded as written must reach that
// piece's end, and the units released last, up to `readBack` bytes of them,
// must read back intact. Returns the first file that fails, lengths first and
// in file order (a unit that reads back wrong names its first piece's file),
// or kNoFile. With `lost`, it does not stop there: every released
// unit found missing goes into `lost`, and the result is kNoFile.
uint32_t fileLackingData(const ExtractionPlan& plan, const Journal& journal, DestinationFiles& files, uint64_t readBack,
                         std::vector<uint32_t>* lost, std::vector<uint8_t>& buffer);

// Whether an ablative run was stopped between deleting the archive at
// `archivePath` and deleting `journal`, as loadJournalAsWritten read it
// (`load`), which then records every unit Punched.
bool onlyTheJournalRemains(const std::wstring& archivePath, const Journal& journal, JournalLoad load);

// Whether neither the archive nor its journal is there: a run stopped after
// deleting both, before it said so, or a path that names nothing.
bool nothingRemains(const std::wstring& archivePath, const std::wstring& journalPath);

}  // namespace ablative
