// Each framing's pass on arbitrary bytes, recording points as often as the framing allows: never a crash, and
// decoding a frame from its points gives the bytes of the straight decode.
#include <algorithm>

#include "framings/framing_table.h"
#include "fuzz_util.h"

constexpr size_t kMostDecoded = 1u << 20;  // an input that decodes to more stops there
constexpr size_t kPointsTried = 8;         // spread over those recorded: each decodes to its frame's end

struct KeptPoint {
  uint64_t in, out;
  size_t frame;
  std::vector<uint8_t> saved;
};

void fuzz::one(Input input) {
  const ablative::Framing* framing = ablative::framingFor({input.data, std::min<size_t>(input.size, 512)});
  ablative::FileHandle file;
  if (framing == nullptr || !openInput("archive", input, file)) return;
  std::vector<uint8_t> decoded;
  std::vector<KeptPoint> points;
  ablative::FramingPass pass;
  pass.onBytes = [&](const uint8_t* bytes, size_t length) {
    if (decoded.size() + length > kMostDecoded) return ablative::failure(ablative::StatusKind::Failed, L"too long");
    decoded.insert(decoded.end(), bytes, bytes + length);
    return ablative::Status{};
  };
  pass.pointSpacing = 1 << 12;
  pass.onPoint = [&](const ablative::RestartPoint& point) {
    points.push_back({point.in, point.out, point.frame, {point.saved.begin(), point.saved.end()}});
  };
  if (!framing->pass(file, pass).ok()) return;
  const size_t tried = std::min(points.size(), kPointsTried);
  for (size_t k = 0; k < tried; ++k) {
    const KeptPoint& point = points[k * points.size() / tried];
    require(point.frame < pass.frames.size());
    const ablative::Frame& frame = pass.frames[point.frame];
    require(point.in >= frame.dataStart && point.in <= frame.dataEnd && point.out <= frame.outEnd);
    require(point.saved.empty() || framing->pointReads(point.saved));
    if (point.out == frame.outEnd) continue;  // at its frame's end (a Zstandard file's end): nothing to decode
    std::vector<uint8_t> again(frame.outEnd - point.out);
    require(framing->decode(point.saved, {input.data + point.in, frame.dataEnd - point.in}, again) &&
            std::equal(again.begin(), again.end(), decoded.begin() + static_cast<ptrdiff_t>(point.out)));
  }
}
