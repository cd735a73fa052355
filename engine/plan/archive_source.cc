#include "plan/archive_source.h"

namespace ablative {

bool rewindArchive(FileHandle& archive) { return archive.isOpen() && seekFile(archive, 0); }

BlockRead readUnit(const ArchiveSource& source, FileHandle& archive, const ExtractionPlan& plan, uint32_t unit,
                   std::vector<uint8_t>& stored, std::vector<uint8_t>& raw, std::wstring& errorText) {
  const BlockRead read = source.readStored(archive, plan, unit, stored, errorText);
  return read == BlockRead::Verified ? source.decodeUnit(plan, unit, stored, raw, errorText) : read;
}

}  // namespace ablative
