#include "containers/format_table.h"

#include <vector>

#include "ablative.h"
#include "containers/compression_refusal.h"
#include "containers/framed_tar_source.h"
#include "containers/tar_source.h"
#include "containers/zip_source.h"
#include "containers/zvka_source.h"
#include "files/file_util.h"
#include "framings/bzip2_framing.h"
#include "framings/gzip_framing.h"
#include "framings/xz_framing.h"
#include "framings/zstd_framing.h"

namespace ablative {

namespace {

// Enough for the mark of every format below: a tar's is its first header.
constexpr size_t kFirstBytes = 512;

// Where a format's mark lies. Marks at the start are asked first: a zip's may
// lie at its end, behind what would otherwise be the start of another format
// (a tar whose last member is a zip ends with a zip's mark).
enum class MarkAt : uint8_t { Start, End };

struct Format {
  const ArchiveSource& (*source)();
  std::span<const std::wstring_view> extensions;  // the usual one first; none for a format only refused
  MarkAt mark;
};

constexpr std::wstring_view kZvkaExtensions[] = {kArchiveExtension};
constexpr std::wstring_view kZipExtensions[] = {L".zip"};
constexpr std::wstring_view kTarExtensions[] = {L".tar"};
constexpr std::wstring_view kTarGzExtensions[] = {L".tar.gz", L".tgz"};
constexpr std::wstring_view kTarZstExtensions[] = {L".tar.zst", L".tzst"};
constexpr std::wstring_view kTarXzExtensions[] = {L".tar.xz", L".txz"};
constexpr std::wstring_view kTarBz2Extensions[] = {L".tar.bz2", L".tbz2", L".tbz"};

// The formats read, in the order they are listed to users, this program's own
// first. Among marks at the start, tar's header checksum is asked before the
// framings' marks, and the compressions refused come last.
constexpr Format kFormats[] = {
    {zvkaSource, kZvkaExtensions, MarkAt::Start},
    {zipSource, kZipExtensions, MarkAt::End},
    {tarSource, kTarExtensions, MarkAt::Start},
    {tarOver<gzipFraming>, kTarGzExtensions, MarkAt::Start},
    {tarOver<zstdFraming>, kTarZstExtensions, MarkAt::Start},
    {tarOver<xzFraming>, kTarXzExtensions, MarkAt::Start},
    {tarOver<bzip2Framing>, kTarBz2Extensions, MarkAt::Start},
    {compressionRefusalSource, {}, MarkAt::Start},
};

const ArchiveSource* recognised(std::span<const uint8_t> first, FileHandle& archive) {
  for (const MarkAt mark : {MarkAt::Start, MarkAt::End}) {
    for (const Format& format : kFormats) {
      if (format.mark == mark && format.source().recognises(first, archive)) return &format.source();
    }
  }
  return nullptr;
}

}  // namespace

const ArchiveSource& sourceFor(FileHandle& archive) {
  uint8_t first[kFirstBytes];
  uint64_t got = 0;
  if (rewindArchive(archive) && readUpTo(archive, first, sizeof first, sizeof first, got)) {
    if (const ArchiveSource* source = recognised({first, got}, archive)) return *source;
  }
  return zvkaSource();
}

const ArchiveSource* sourceNamed(const std::wstring& name) {
  for (const Format& format : kFormats) {
    if (format.source().format == name) return &format.source();
  }
  return nullptr;
}

std::span<const FormatExtensions> formatExtensions() {
  static const std::vector<FormatExtensions> listed = [] {
    std::vector<FormatExtensions> rows;
    for (const Format& format : kFormats) {
      if (!format.extensions.empty()) rows.push_back({format.source().format, format.extensions});
    }
    return rows;
  }();
  return listed;
}

std::span<const std::wstring_view> extensionsOf(std::wstring_view name) {
  for (const FormatExtensions& row : formatExtensions()) {
    if (row.format == name) return row.extensions;
  }
  return {};
}

}  // namespace ablative
