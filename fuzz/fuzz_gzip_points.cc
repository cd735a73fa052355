// The gzip reader on arbitrary bytes, recording a point every 4 KiB: never a crash, and decoding a member from its
// points gives the bytes of the straight decode.
#include <algorithm>
#include <memory>

#include "framings/gzip_format.h"
#include "fuzz_util.h"

constexpr size_t kMostDecoded = 1u << 20;  // an input that decodes to more stops there
constexpr size_t kPointsTried = 8;         // spread over those recorded: each decodes to its member's end

void fuzz::one(Input input) {
  ablative::FileHandle file;
  if (!openInput("archive.gz", input, file)) return;
  std::vector<uint8_t> decoded;
  std::vector<std::pair<std::shared_ptr<const ablative::InflatePoint>, size_t>> points;  // and the member's index
  ablative::GzipPass pass;
  pass.onBytes = [&](const uint8_t* bytes, size_t length) {
    if (decoded.size() + length > kMostDecoded) return ablative::failure(ablative::StatusKind::Failed, L"too long");
    decoded.insert(decoded.end(), bytes, bytes + length);
    return ablative::Status{};
  };
  pass.pointSpacing = 1 << 12;
  pass.onPoint = [&](const ablative::InflatePoint& point) {
    points.push_back({std::make_shared<const ablative::InflatePoint>(point), pass.members.size() - 1});
  };
  if (!ablative::readGzip(file, pass).ok()) return;
  const size_t tried = std::min(points.size(), kPointsTried);
  for (size_t k = 0; k < tried; ++k) {
    const auto& [shared, memberIndex] = points[k * points.size() / tried];
    const ablative::Frame& member = pass.members[memberIndex];
    const ablative::InflatePoint& point = *shared;
    require(point.inOffset >= member.dataStart && point.inOffset <= member.dataEnd && point.outOffset <= member.outEnd);
    std::vector<uint8_t> again(member.outEnd - point.outOffset);
    require(ablative::inflateFrom(&point, {input.data + point.inOffset, member.dataEnd - point.inOffset}, again) &&
            std::equal(again.begin(), again.end(), decoded.begin() + point.outOffset));
  }
}
