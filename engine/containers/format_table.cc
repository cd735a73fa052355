#include "containers/format_table.h"

#include "ablative.h"
#include "containers/compression_refusal.h"
#include "containers/framed_tar_source.h"
#include "containers/tar_source.h"
#include "containers/zip_source.h"
#include "containers/zvka_source.h"
#include "files/file_util.h"
#include "framings/gzip_framing.h"

namespace ablative {

namespace {

// Enough for the mark of every format below: a tar's is its first header.
constexpr size_t kFirstBytes = 512;

// The formats read, this program's own first. A tar's header checksum is
// asked of its first bytes, a zip's mark may lie at its end: tar goes first,
// then tar in each framing, and the compressions refused, known by their
// first bytes, before zip.
const ArchiveSource& (*const kSources[])() = {zvkaSource, tarSource, tarOver<gzipFraming>, compressionRefusalSource,
                                              zipSource};

}  // namespace

const ArchiveSource& sourceFor(FileHandle& archive) {
  uint8_t first[kFirstBytes];
  uint64_t got = 0;
  if (rewindArchive(archive) && readUpTo(archive, first, sizeof first, sizeof first, got)) {
    for (const auto source : kSources) {
      if (source().recognises({first, got}, archive)) return source();
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

namespace {

constexpr std::wstring_view kZvkaExtensions[] = {kArchiveExtension};
constexpr std::wstring_view kZipExtensions[] = {L".zip"};
constexpr std::wstring_view kTarExtensions[] = {L".tar"};
constexpr std::wstring_view kTarGzExtensions[] = {L".tar.gz", L".tgz"};

// By the names the sources report. A compression this program only names to
// refuse has no row: nothing is opened as one.
constexpr FormatExtensions kFormatExtensions[] = {
    {L"zvka", kZvkaExtensions}, {L"zip", kZipExtensions}, {L"tar", kTarExtensions}, {L"tar.gz", kTarGzExtensions}};

}  // namespace

std::span<const FormatExtensions> formatExtensions() { return kFormatExtensions; }

std::span<const std::wstring_view> extensionsOf(std::wstring_view format) {
  for (const FormatExtensions& row : kFormatExtensions) {
    if (row.format == format) return row.extensions;
  }
  return {};
}

}  // namespace ablative
