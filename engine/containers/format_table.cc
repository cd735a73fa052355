#include "containers/format_table.h"

#include "containers/tar_source.h"
#include "containers/targz_source.h"
#include "containers/zip_source.h"
#include "containers/zvka_source.h"
#include "files/file_util.h"

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

const ArchiveSource* sourceNamed(const std::wstring& format) {
  for (const auto source : kSources) {
    if (source().format == format) return &source();
  }
  return nullptr;
}

}  // namespace ablative
