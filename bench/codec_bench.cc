// Throughput of the block codec and checksum on 4 MiB blocks of three kinds:
// incompressible (random bytes, all literals), text-like (words and
// punctuation: mostly literals with the occasional pair or short run) and
// run-heavy (long runs with a few stray bytes, mostly repeat packets), next
// to the references the targets are ratios of: zlib's crc32 and memcpy. And
// inflate, zlib's against libdeflate's (whole_inflate.h), on system headers
// and libraries deflated at level 6: as one stream, and file by file as a zip
// holds them.
//
// The machine is shared, so by default every benchmark runs 5 repetitions,
// interleaved at random with the others, and the summary at the end divides
// medians taken in this one run. Any --benchmark_* flag overrides the defaults.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <unistd.h>

#include "codecs/codec.h"
#include "codecs/codec_kernels.h"
#include "codecs/crc32.h"
#include "codecs/crc32_kernels.h"
#include "framings/gzip_format.h"
#include "framings/inflate_points.h"
#include "framings/whole_inflate.h"

namespace {

constexpr size_t kBlockSize = 4u << 20;

enum class Kind { Random, Text, Runs };

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::Random: return "random";
    case Kind::Text: return "text";
    case Kind::Runs: return "runs";
  }
  return "?";
}

std::vector<uint8_t> makeBlock(Kind kind) {
  std::mt19937_64 rng(42);
  std::vector<uint8_t> out;
  out.reserve(kBlockSize);
  switch (kind) {
    case Kind::Random:
      while (out.size() < kBlockSize) out.push_back(static_cast<uint8_t>(rng()));
      break;
    case Kind::Text: {
      static const char* const kWords[] = {"the",   "archive", "block",  "of",      "and",  "a",
                                           "file",  "folder",  "bytes",  "written", "to",   "disk",
                                           "while", "reading", "header", "0000",    "    ", "--"};
      static const char kPunct[] = {' ', ' ', ' ', ' ', ',', '.', '\n'};
      while (out.size() < kBlockSize) {
        const std::string word = kWords[rng() % std::size(kWords)];
        out.insert(out.end(), word.begin(), word.end());
        out.push_back(static_cast<uint8_t>(kPunct[rng() % std::size(kPunct)]));
      }
      break;
    }
    case Kind::Runs:
      while (out.size() < kBlockSize) {
        const uint8_t v = static_cast<uint8_t>(rng());
        const size_t n = (rng() % 8 == 0) ? 1 + rng() % 2 : 3 + rng() % 300;
        out.insert(out.end(), n, v);
      }
      break;
  }
  out.resize(kBlockSize);
  return out;
}

const std::vector<uint8_t>& block(Kind kind) {
  static const std::vector<uint8_t> blocks[] = {makeBlock(Kind::Random), makeBlock(Kind::Text), makeBlock(Kind::Runs)};
  return blocks[static_cast<int>(kind)];
}

void setBytes(benchmark::State& state, size_t bytesPerIteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytesPerIteration));
}

// ---- References

void BM_Memcpy(benchmark::State& state) {
  const std::vector<uint8_t>& in = block(Kind::Random);
  std::vector<uint8_t> out(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  setBytes(state, in.size());
}
BENCHMARK(BM_Memcpy);

void BM_ZlibCrc32(benchmark::State& state) {
  const std::vector<uint8_t>& in = block(Kind::Random);
  for (auto _ : state) {
    benchmark::DoNotOptimize(::crc32(0L, in.data(), static_cast<uInt>(in.size())));
  }
  setBytes(state, in.size());
}
BENCHMARK(BM_ZlibCrc32);

// ---- Checksum (its speed does not depend on the data)

void BM_Crc32(benchmark::State& state) {
  const std::vector<uint8_t>& in = block(Kind::Random);
  for (auto _ : state) benchmark::DoNotOptimize(ablative::crc32(in.data(), in.size()));
  setBytes(state, in.size());
}
BENCHMARK(BM_Crc32);

void BM_Crc32Kernel(benchmark::State& state, ablative::CrcKernel kernel) {
  const std::vector<uint8_t>& in = block(Kind::Random);
  for (auto _ : state) benchmark::DoNotOptimize(kernel(0, in.data(), in.size()));
  setBytes(state, in.size());
}

// ---- Codec

// The allocating form, as older callers use it.
void BM_RleEncode(benchmark::State& state, Kind kind) {
  const std::vector<uint8_t>& in = block(kind);
  size_t codedSize = 0;
  for (auto _ : state) {
    std::vector<uint8_t> coded = ablative::rleEncode(in.data(), in.size());
    codedSize = coded.size();
    benchmark::DoNotOptimize(coded.data());
  }
  setBytes(state, in.size());
  state.counters["ratio"] = static_cast<double>(codedSize) / static_cast<double>(in.size());
}

// What a block writer calls: one reused buffer, and no coding past the point
// where the block would be stored raw anyway.
void BM_RleEncodeIfSmaller(benchmark::State& state, Kind kind) {
  const std::vector<uint8_t>& in = block(kind);
  std::vector<uint8_t> out(in.size());
  size_t codedSize = 0;
  for (auto _ : state) {
    if (!ablative::rleEncodeIfSmaller(in.data(), in.size(), out.data(), codedSize)) codedSize = in.size();
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  setBytes(state, in.size());
  state.counters["stored"] = static_cast<double>(codedSize) / static_cast<double>(in.size());
}

// Each scan variant on its own, coding to the end, to show what the vector
// widths buy.
void BM_RleEncoder(benchmark::State& state, ablative::RleEncoder encode, Kind kind) {
  const std::vector<uint8_t>& in = block(kind);
  std::vector<uint8_t> out(ablative::rleBound(in.size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(encode(in.data(), in.size(), out.data(), out.size()));
    benchmark::ClobberMemory();
  }
  setBytes(state, in.size());
}

// Counted in raw (decoded) bytes, so encode and decode figures compare
// directly. `out` is reused, as a reader reuses its block buffer.
void BM_RleDecode(benchmark::State& state, Kind kind) {
  const std::vector<uint8_t>& in = block(kind);
  const std::vector<uint8_t> coded = ablative::rleEncode(in.data(), in.size());
  std::vector<uint8_t> out;
  for (auto _ : state) {
    if (!ablative::rleDecode(coded, static_cast<uint32_t>(in.size()), out)) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  setBytes(state, in.size());
}

// ---- Inflate

constexpr size_t kMixedHalf = 8u << 20;

// Files below `folder` added to `files` until they hold `limit` bytes, each
// one at most 1 MiB of a file: text from /usr/include, code from /usr/lib.
void appendFilesBelow(const char* folder, size_t limit, std::vector<std::vector<uint8_t>>& files) {
  namespace fs = std::filesystem;
  size_t taken = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error), end;
       it != end && taken < limit; it.increment(error)) {
    if (error || !it->is_regular_file(error) || it->is_symlink(error)) continue;
    std::ifstream file(it->path(), std::ios::binary);
    std::vector<uint8_t> bytes(std::min<size_t>({it->file_size(error), 1u << 20, limit - taken}));
    if (bytes.empty() || !file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
      continue;
    }
    taken += bytes.size();
    files.push_back(std::move(bytes));
  }
}

std::vector<uint8_t> rawDeflate(const std::vector<uint8_t>& raw) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::vector<uint8_t> out(deflateBound(&stream, static_cast<uLong>(raw.size())));
  stream.next_in = const_cast<Bytef*>(raw.data());
  stream.avail_in = static_cast<uInt>(raw.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// Up to 16 MiB of files, each deflated on its own, and all of them as one stream.
struct DeflatedFiles {
  std::vector<std::vector<uint8_t>> raw, deflated;
  std::vector<uint8_t> whole, wholeDeflated;
};

const DeflatedFiles& deflatedFiles() {
  static const DeflatedFiles files = [] {
    DeflatedFiles f;
    appendFilesBelow("/usr/include", kMixedHalf, f.raw);
    appendFilesBelow("/usr/lib", kMixedHalf, f.raw);
    if (f.raw.empty()) f.raw.push_back(block(Kind::Text));  // no system files to read: text-like bytes
    for (const std::vector<uint8_t>& raw : f.raw) {
      f.deflated.push_back(rawDeflate(raw));
      f.whole.insert(f.whole.end(), raw.begin(), raw.end());
    }
    f.wholeDeflated = rawDeflate(f.whole);
    return f;
  }();
  return files;
}

// zlib's raw inflate, set up for each stream as a zip entry's decoder is.
bool zlibInflate(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
  z_stream stream{};
  if (inflateInit2(&stream, -15) != Z_OK) return false;
  stream.next_in = const_cast<Bytef*>(in.data());
  stream.avail_in = static_cast<uInt>(in.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&stream, Z_FINISH);
  inflateEnd(&stream);
  return result == Z_STREAM_END && stream.total_out == out.size();
}

bool libdeflateInflate(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
  size_t consumed = 0, produced = 0;
  return ablative::inflateWhole(in, out, consumed, produced) && produced == out.size();
}

// Points every 4 MiB of the whole stream, as a tar.gz's first pass records
// them where its units start; the first is the stream's start.
const std::vector<ablative::InflatePoint>& streamPoints() {
  static const std::vector<ablative::InflatePoint> points = [] {
    const DeflatedFiles& files = deflatedFiles();
    std::vector<ablative::InflatePoint> found(1);
    std::vector<uint8_t> out(files.whole.size());
    ablative::RawInflate inflate;
    if (!inflate.begin()) return found;
    inflate.recordPoints(4 << 20, [&](const ablative::InflatePoint& point) { found.push_back(point); });
    const uint8_t* next = files.wholeDeflated.data();
    size_t left = files.wholeDeflated.size();
    for (auto step = ablative::RawInflate::Step::Progress; step == ablative::RawInflate::Step::Progress;) {
      step = inflate.step(next, left, out.data() + inflate.at.out, out.size() - inflate.at.out);
      inflate.recordPointIfDue();
    }
    return found;
  }();
  return points;
}

// The stretch from point `k` to the next (or the stream's end) into `out`:
// zlib from the point's window, as a unit was decoded before, or as a unit is
// now, with libdeflate on the stretch spliced into a stream of its own.
bool inflateStretchAt(size_t k, bool withLibdeflate, std::span<uint8_t> out) {
  const std::vector<ablative::InflatePoint>& points = streamPoints();
  const std::vector<uint8_t>& stream = deflatedFiles().wholeDeflated;
  const ablative::InflatePoint* from = k > 0 ? &points[k] : nullptr;
  const ablative::InflatePoint* to = k + 1 < points.size() ? &points[k + 1] : nullptr;
  const std::span<const uint8_t> stored(stream.data() + points[k].inOffset,
                                        (to ? to->inOffset : stream.size()) - points[k].inOffset);
  if (withLibdeflate) return ablative::inflateFrom(from, to, stored, out);
  ablative::RawInflate inflate;
  if (!inflate.begin() || (from && !inflate.resumeAt(*from))) return false;
  const uint8_t* next = stored.data();
  size_t left = stored.size();
  const uint64_t start = inflate.at.out;
  for (uint64_t made = 0; made < out.size(); made = inflate.at.out - start) {
    if (inflate.step(next, left, out.data() + made, out.size() - made) != ablative::RawInflate::Step::Progress &&
        inflate.at.out - start < out.size()) {
      return false;
    }
  }
  return true;
}

void BM_InflatePoints(benchmark::State& state, bool withLibdeflate) {
  const std::vector<ablative::InflatePoint>& points = streamPoints();
  const size_t whole = deflatedFiles().whole.size();
  constexpr size_t kWindow = sizeof ablative::InflatePoint::window;
  std::vector<uint8_t> room(kWindow + whole);  // the window the splice writes, in front
  for (auto _ : state) {
    bool ok = true;
    for (size_t k = 0; k < points.size() && ok; ++k) {
      const uint64_t end = k + 1 < points.size() ? points[k + 1].outOffset : whole;
      ok = inflateStretchAt(k, withLibdeflate,
                            std::span<uint8_t>(room.data() + kWindow, static_cast<size_t>(end - points[k].outOffset)));
    }
    if (!ok) {
      state.SkipWithError("inflate failed");
      break;
    }
    benchmark::DoNotOptimize(room.data());
    benchmark::ClobberMemory();
  }
  setBytes(state, whole);
}

// Counted in decoded bytes.
void BM_Inflate(benchmark::State& state, bool (*inflateOne)(const std::vector<uint8_t>&, std::vector<uint8_t>&),
                bool fileByFile) {
  const DeflatedFiles& files = deflatedFiles();
  std::vector<uint8_t> out(files.whole.size());
  for (auto _ : state) {
    bool ok = true;
    if (fileByFile) {
      for (size_t i = 0; i < files.raw.size() && ok; ++i) {
        out.resize(files.raw[i].size());
        ok = inflateOne(files.deflated[i], out);
      }
    } else {
      ok = inflateOne(files.wholeDeflated, out);
    }
    if (!ok) {
      state.SkipWithError("inflate failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  setBytes(state, files.whole.size());
  state.counters["ratio"] = static_cast<double>(files.wholeDeflated.size()) / static_cast<double>(files.whole.size());
}

const int kRegistered = [] {
  for (const bool fileByFile : {false, true}) {
    const std::string suffix = fileByFile ? "/files" : "/stream";
    benchmark::RegisterBenchmark(("BM_Inflate/zlib" + suffix).c_str(), BM_Inflate, zlibInflate, fileByFile);
    benchmark::RegisterBenchmark(("BM_Inflate/libdeflate" + suffix).c_str(), BM_Inflate, libdeflateInflate, fileByFile);
  }
  benchmark::RegisterBenchmark("BM_Inflate/zlib/points", BM_InflatePoints, false);
  benchmark::RegisterBenchmark("BM_Inflate/libdeflate/points", BM_InflatePoints, true);
  for (const ablative::NamedCrcKernel& k : ablative::availableCrcKernels()) {
    benchmark::RegisterBenchmark((std::string("BM_Crc32Kernel/") + k.name).c_str(), BM_Crc32Kernel, k.kernel);
  }
  for (Kind kind : {Kind::Random, Kind::Text, Kind::Runs}) {
    const std::string suffix = std::string("/") + kindName(kind);
    benchmark::RegisterBenchmark(("BM_RleEncode" + suffix).c_str(), BM_RleEncode, kind);
    benchmark::RegisterBenchmark(("BM_RleEncodeIfSmaller" + suffix).c_str(), BM_RleEncodeIfSmaller, kind);
    for (const ablative::NamedRleEncoder& e : ablative::availableRleEncoders()) {
      benchmark::RegisterBenchmark((std::string("BM_RleEncoder/") + e.name + suffix).c_str(), BM_RleEncoder, e.encode,
                                   kind);
    }
    benchmark::RegisterBenchmark(("BM_RleDecode" + suffix).c_str(), BM_RleDecode, kind);
  }
  return 0;
}();

// ---- Summary

// Keeps each benchmark's median rate (or its only rate without repetitions)
// while the console reporter prints as usual.
class RateCollector : public benchmark::ConsoleReporter {
 public:
  // Colour only on a terminal, so a saved log stays plain text.
  RateCollector() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto rate = run.counters.find("bytes_per_second");
      if (run.error_occurred || rate == run.counters.end()) continue;
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") medians_[name] = rate->second.value;
      } else {
        singles_[name] = rate->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Bytes per second, or 0 when the benchmark did not run.
  double rate(const std::string& name) const {
    if (auto m = medians_.find(name); m != medians_.end()) return m->second;
    if (auto s = singles_.find(name); s != singles_.end()) return s->second;
    return 0;
  }

  bool usedMedians() const { return !medians_.empty(); }

 private:
  std::map<std::string, double> medians_, singles_;
};

void printSummary(const RateCollector& r) {
  std::printf("\nTargets, from %s of this run (GB/s = 1e9 bytes/s):\n", r.usedMedians() ? "medians" : "single runs");
  const double zlib = r.rate("BM_ZlibCrc32");
  const double memcpyRate = r.rate("BM_Memcpy");
  auto ratio = [&](const char* what, const std::string& name, double reference, double target) {
    const double x = r.rate(name);
    if (x == 0 || reference == 0) return;
    std::printf("  %-44s %6.2f GB/s  %5.2fx  (target >= %.1fx) %s\n", what, x / 1e9, x / reference, target,
                x / reference >= target ? "met" : "MISSED");
  };
  auto absolute = [&](const char* what, const std::string& name, double targetGBs) {
    const double x = r.rate(name);
    if (x == 0) return;
    std::printf("  %-44s %6.2f GB/s          (target >= %.1f GB/s) %s\n", what, x / 1e9, targetGBs,
                x / 1e9 >= targetGBs ? "met" : "MISSED");
  };
  if (zlib > 0) std::printf("  %-44s %6.2f GB/s\n", "zlib crc32 (reference)", zlib / 1e9);
  if (memcpyRate > 0) std::printf("  %-44s %6.2f GB/s\n", "memcpy 4 MiB (reference)", memcpyRate / 1e9);
  ratio("crc32 (as dispatched) vs zlib", "BM_Crc32", zlib, 5.0);
  for (const ablative::NamedCrcKernel& k : ablative::availableCrcKernels()) {
    const std::string what = std::string("crc32 kernel ") + k.name + " vs zlib";
    ratio(what.c_str(), std::string("BM_Crc32Kernel/") + k.name, zlib, std::string(k.name) == "portable" ? 1.5 : 5.0);
  }
  absolute("rleEncodeIfSmaller, random", "BM_RleEncodeIfSmaller/random", 3.0);
  absolute("rleEncodeIfSmaller, text", "BM_RleEncodeIfSmaller/text", 1.5);
  absolute("rleEncode (allocating), random", "BM_RleEncode/random", 3.0);
  absolute("rleEncode (allocating), text", "BM_RleEncode/text", 1.5);
  ratio("rleDecode, random (all literals) vs memcpy", "BM_RleDecode/random", memcpyRate, 0.5);
  ratio("rleDecode, text (mostly literals) vs memcpy", "BM_RleDecode/text", memcpyRate, 0.5);
  for (const char* how : {"stream", "files", "points"}) {
    const double zlibRate = r.rate(std::string("BM_Inflate/zlib/") + how);
    const double libdeflateRate = r.rate(std::string("BM_Inflate/libdeflate/") + how);
    if (zlibRate == 0 || libdeflateRate == 0) continue;
    std::printf("  inflate, %-6s zlib %7.1f MB/s, libdeflate %7.1f MB/s: %.2fx\n", how, zlibRate / 1e6,
                libdeflateRate / 1e6, libdeflateRate / zlibRate);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args{argv[0]};
  char repetitions[] = "--benchmark_repetitions=5";
  char aggregatesOnly[] = "--benchmark_report_aggregates_only=true";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.end(), {repetitions, aggregatesOnly, interleave});
  // Later flags win, so the caller's come last.
  args.insert(args.end(), argv + 1, argv + argc);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  RateCollector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
