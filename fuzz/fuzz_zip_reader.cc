// The zip reader and decoder, from the start and from a recorded point, on arbitrary bytes: never a crash or an
// allocation beyond what the input describes.
#include <optional>

#include "containers/zip_format.h"
#include "files/block_io.h"
#include "fuzz_util.h"

namespace {

// Decodes in small pieces until the decoder finishes, finds damage or stalls; returns the last point it recorded.
std::optional<ablative::InflatePoint> decode(ablative::FileHandle& file, const ablative::ZipEntry& entry,
                                             ablative::ZipDecoder& decoder, uint64_t from) {
  std::optional<ablative::InflatePoint> last;
  decoder.recordPoints(1 << 12, [&](const ablative::InflatePoint& point) { last = point; });
  std::vector<uint8_t> input, output(1 << 12);
  for (uint64_t at = from;;) {
    const uint64_t piece = std::min<uint64_t>(1000, entry.compressedSize - at);
    input.clear();
    if (!ablative::readArchiveBlock(file, entry.dataOffset + at, static_cast<uint32_t>(piece), input).ok()) {
      return last;
    }
    size_t consumed = 0, produced = 0;
    const ablative::Status decoded =
        decoder.decode(input.data(), input.size(), output.data(), output.size(), consumed, produced);
    at += consumed;
    if (!decoded.ok() || decoder.finished() || (consumed == 0 && produced == 0 && piece == 0)) return last;
  }
}

}  // namespace

void fuzz::one(Input input) {
  ablative::FileHandle file;
  ablative::ZipDirectory directory;
  if (!openInput("archive.zip", input, file) || !ablative::readZipDirectory(file, directory).ok()) return;
  for (const ablative::ZipEntry& entry : directory.entries) {
    if (!ablative::checkZipEntryDecodable(entry).ok()) continue;
    ablative::ZipDecoder decoder(entry), resumed(entry);
    std::optional<ablative::InflatePoint> point = decode(file, entry, decoder, 0);
    if (point && resumed.resumeAt(*point)) decode(file, entry, resumed, point->inOffset);
  }
}
