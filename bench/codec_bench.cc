// Throughput of the block codec and checksum on 4 MiB blocks of three kinds:
// incompressible (random bytes, all literals), text-like (words and
// punctuation: mostly literals with the occasional pair or short run) and
// run-heavy (long runs with a few stray bytes, mostly repeat packets).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec.h"
#include "crc32.h"

namespace {

constexpr size_t kBlockSize = 4u << 20;

enum class Kind { Random, Text, Runs };

std::vector<uint8_t> makeBlock(Kind kind) {
  std::mt19937_64 rng(42);
  std::vector<uint8_t> out;
  out.reserve(kBlockSize);
  switch (kind) {
    case Kind::Random:
      while (out.size() < kBlockSize) out.push_back(static_cast<uint8_t>(rng()));
      break;
    case Kind::Text: {
      static const char* const kWords[] = {"the",   "archive", "block",  "of",     "and",    "a",
                                           "file",  "folder",  "bytes",  "written", "to",    "disk",
                                           "while", "reading", "header", "0000",   "    ",  "--"};
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

void BM_RleEncode(benchmark::State& state, Kind kind) {
  const std::vector<uint8_t> block = makeBlock(kind);
  size_t codedSize = 0;
  for (auto _ : state) {
    std::vector<uint8_t> coded = ablative::rleEncode(block.data(), block.size());
    codedSize = coded.size();
    benchmark::DoNotOptimize(coded.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
  state.counters["ratio"] = static_cast<double>(codedSize) / static_cast<double>(block.size());
}

// Counted in raw (decoded) bytes, so encode and decode figures compare directly.
void BM_RleDecode(benchmark::State& state, Kind kind) {
  const std::vector<uint8_t> block = makeBlock(kind);
  const std::vector<uint8_t> coded = ablative::rleEncode(block.data(), block.size());
  std::vector<uint8_t> out;
  for (auto _ : state) {
    if (!ablative::rleDecode(coded, static_cast<uint32_t>(block.size()), out)) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
}

void BM_Crc32(benchmark::State& state, Kind kind) {
  const std::vector<uint8_t> block = makeBlock(kind);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ablative::crc32(block.data(), block.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
}

BENCHMARK_CAPTURE(BM_RleEncode, random, Kind::Random);
BENCHMARK_CAPTURE(BM_RleEncode, text, Kind::Text);
BENCHMARK_CAPTURE(BM_RleEncode, runs, Kind::Runs);
BENCHMARK_CAPTURE(BM_RleDecode, random, Kind::Random);
BENCHMARK_CAPTURE(BM_RleDecode, text, Kind::Text);
BENCHMARK_CAPTURE(BM_RleDecode, runs, Kind::Runs);
BENCHMARK_CAPTURE(BM_Crc32, random, Kind::Random);
BENCHMARK_CAPTURE(BM_Crc32, text, Kind::Text);
BENCHMARK_CAPTURE(BM_Crc32, runs, Kind::Runs);

}  // namespace
