#include "plan/archive_source.h"

namespace ablative {

bool rewindArchive(FileHandle& archive) { return archive.isOpen() && seekFile(archive, 0); }

Status readUnit(const ArchiveSource& source, FileHandle& archive, const ExtractionPlan& plan, uint32_t unit,
                std::vector<uint8_t>& stored, std::vector<uint8_t>& raw) {
  Status read = source.readStored(archive, plan, unit, stored);
  return read.ok() ? source.decodeUnit(plan, unit, stored, raw) : read;
}

}  // namespace ablative
