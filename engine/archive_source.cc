#include "archive_source.h"

#include "file_util.h"
#include "tar_source.h"
#include "targz_source.h"
#include "zip_source.h"
#include "zvka_source.h"

namespace ablative {

namespace {

// Enough for the mark of every format below: a tar's is its first header.
constexpr size_t kFirstBytes = 512;

// The formats read, this program's own first. A tar's header checksum is
// asked of its first bytes, a zip's mark may lie at its end: tar goes first,
// and the compressions, known by their first bytes, before zip.
const ArchiveSource& (*const kSources[])() = {zvkaSource, tarSource, targzSource, otherCompressionSource, zipSource};

}  // namespace

const ArchiveSource& sourceFor(const std::wstring& archivePath) {
  uint8_t first[kFirstBytes];
  uint64_t got = 0;
  FileHandle file;
  if (openFile(archivePath, OpenMode::ReadOnly, file) && readUpTo(file, first, sizeof first, sizeof first, got)) {
    for (const auto source : kSources) {
      if (source().recognises({first, got}, file)) return source();
    }
  }
  return zvkaSource();
}

BlockRead readUnit(const ArchiveSource& source, FileHandle& archive, const ExtractionPlan& plan, uint32_t unit,
                   std::vector<uint8_t>& stored, std::vector<uint8_t>& raw, std::wstring& errorText) {
  const BlockRead read = source.readStored(archive, plan, unit, stored, errorText);
  return read == BlockRead::Verified ? source.decodeUnit(plan, unit, stored, raw, errorText) : read;
}

const ArchiveSource* sourceNamed(const std::wstring& format) {
  for (const auto source : kSources) {
    if (source().format == format) return &source();
  }
  return nullptr;
}

}  // namespace ablative
