// An archive format as the consuming protocol sees it: a record of callables
// that read what an archive says of itself into an ExtractionPlan, read one
// unit back, and list the files. Extraction, `test`, `info` and `list` reach
// a format only through its record, and the table of formats
// (containers/format_table.h) picks the record from the archive's first
// bytes, so a format is one more record and one more row in that table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "plan/extraction_plan.h"
#include "platform/env.h"
#include "status.h"

namespace ablative {

// A yes or no for each unit; in the checks, whether it may lie beyond the
// archive's end (consumed and cut away).
using UnitFilter = std::function<bool(uint32_t unit)>;

// What `info` shows that only the format knows.
struct SourceFacts {
  std::wstring format;  // its name, as `info` shows it
  uint32_t version = 0;
  uint32_t blockSize = 0;
  uint64_t sourceBytes = 0;  // as the archive states it
};

// An archive as its source read it, before the checks that depend on its
// journal (and so on how many units the journal indexes).
struct SourceReading {
  uint32_t unitCount = 0;
  SourceFacts facts;
  // Checks what was read, failing with the format's messages, and maps it
  // into `plan` (units and files; the orders are the caller's). Asked once:
  // a source may hand over what it holds instead of copying it.
  std::function<Status(const UnitFilter& mayLieBeyondEnd, ExtractionPlan& plan)> plan;
  // What the archive holds that the plan leaves out, a line each, for the
  // run's log.
  std::vector<std::wstring> skipped;
  // Where bytes other than zeros follow the archive's last structure (its
  // end of archive, end record, stream or last block), which no entry
  // accounts for: the format's message naming the first of them.
  std::wstring unaccounted;
  // Where only a run that keeps the archive can extract it (its units decode
  // only in order, from the start, while a consuming run takes them from the
  // end): the format's message saying why.
  std::wstring keepOnly;
};

class RecordReader;
class RecordWriter;
class UnitPoints;

struct ArchiveSource {
  std::wstring format;  // its name, as `info` shows it
  // From the archive's first bytes, or, where they do not tell, the file.
  std::function<bool(std::span<const uint8_t> firstBytes, FileHandle& file)> recognises;
  // Reads what the archive open as `archive` says of itself, from its first
  // byte whatever its file pointer. Fails with the format's messages, "Unable
  // to open archive file" where the caller could not open it (`archive` is
  // closed). A format that finds points on its first pass keeps them in a
  // file at `scratchPath` until the journal's tail takes them. The reading's
  // `plan` may read the archive through `archive` too, which the caller keeps
  // open until then. A pass over the data, which may take minutes, and the
  // reading's `plan` ask `shouldStop` (from any of their threads) as they go,
  // and fail with "Stopped on request" once it says so.
  std::function<Status(FileHandle& archive, const std::wstring& scratchPath, const StopCallback& shouldStop,
                       SourceReading& reading)>
      read;
  // Reads unit `unit`'s stored bytes from `archive`, ok once they are all in
  // `stored`. Failed: the system failed the read, which a later run may get
  // past. DamagedBlock: the archive no longer holds the unit as written, for
  // good.
  std::function<Status(FileHandle& archive, const ExtractionPlan& plan, uint32_t unit, std::vector<uint8_t>& stored)>
      readStored;
  // Decodes them into `raw` and verifies it, failing as DamagedBlock. It
  // touches nothing else, so units decode on several threads at once.
  std::function<Status(const ExtractionPlan& plan, uint32_t unit, const std::vector<uint8_t>& stored,
                       std::vector<uint8_t>& raw)>
      decodeUnit;
  // Calls `onFile` with each file in archive order, as far as the archive
  // open as `archive` reads, failing at the first file it cannot; as `read`
  // where it could not be opened.
  std::function<Status(FileHandle& archive, const FileLister& onFile)> list;
  // For a format whose archive stops describing itself as a run consumes it
  // (plan_record.h): what its journal keeps of the plan's sourceData, in its
  // record, and the points some units start at (null where none does), which
  // its tail keeps, so that they go as units are released; and how that is
  // read back, with the points its tail still holds, false where the bytes
  // are damaged. Null for .zvka, whose tables lie in front of its data and are
  // released last.
  std::function<void(const ExtractionPlan& plan, RecordWriter& out)> saveUnits;
  std::function<std::shared_ptr<UnitPoints>(const ExtractionPlan& plan)> points;
  std::function<bool(RecordReader& in, std::shared_ptr<UnitPoints> tail, ExtractionPlan& plan)> loadUnits;
};

// Puts `archive`'s file pointer at its first byte, where each reading of a
// source starts: false where it is not open.
bool rewindArchive(FileHandle& archive);

// Reads, decodes and verifies unit `unit` on the caller's thread.
Status readUnit(const ArchiveSource& source, FileHandle& archive, const ExtractionPlan& plan, uint32_t unit,
                std::vector<uint8_t>& stored, std::vector<uint8_t>& raw);

}  // namespace ablative
