#include "containers/compression_refusal.h"

#include "status.h"
#include "files/file_util.h"
#include "framings/refused_compressions.h"

namespace ablative {

namespace {

Status refuse(FileHandle& file) {
  uint8_t first[8];
  uint64_t got = 0;
  if (!rewindArchive(file) || !readUpTo(file, first, sizeof first, sizeof first, got)) {
    return failure(StatusKind::Failed, L"Unable to open archive file");
  }
  const RefusedCompression* compression = refusedCompressionFor({first, got});
  return failure(StatusKind::Failed, L"Compressed archive (" + std::wstring(compression ? compression->name : L"unknown") +
                             L"), which this program cannot extract");
}

bool recognises(std::span<const uint8_t> firstBytes, FileHandle&) {
  return refusedCompressionFor(firstBytes) != nullptr;
}
Status refuseReading(FileHandle& archive, const std::wstring&, const StopCallback&, SourceReading&) {
  return refuse(archive);
}
Status refuseListing(FileHandle& archive, const FileLister&) {
  return refuse(archive);
}

}  // namespace

const ArchiveSource& compressionRefusalSource() {
  // Only reading and listing are ever asked of it: both refuse.
  static const ArchiveSource source{.format = L"compressed",
                                    .recognises = recognises,
                                    .read = refuseReading,
                                    .readStored = {},
                                    .decodeUnit = {},
                                    .list = refuseListing,
                                    .saveUnits = {},
                                    .points = {},
                                    .loadUnits = {}};
  return source;
}

}  // namespace ablative
