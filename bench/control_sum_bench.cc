#include <benchmark/benchmark.h>

#include <vector>

#include "sys/control_sum.h"

namespace {

// One Update over a buffer of the given size and a digest, as FileControlSum does over a mapping.
void BM_UpdateAndGet(benchmark::State& state) {
  std::vector<unsigned char> data(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<unsigned char>(i * 131 + 7);
  unsigned char digest[16];
  for (auto _ : state) {
    CControlSumMD5 sum;
    sum.Update(data.data(), data.size());
    sum.Get(digest, sizeof digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_UpdateAndGet)->Arg(0)->Arg(64)->Arg(4096)->Arg(1 << 20)->Arg(64 << 20);

// Whole blocks from an address that is not word aligned, as a mapping's tail buffer never is but a
// caller's data may be.
void BM_UpdateUnaligned(benchmark::State& state) {
  std::vector<unsigned char> data((1 << 20) + 1, 0x5A);
  CControlSumMD5 sum;
  for (auto _ : state)
    sum.Update(data.data() + 1, 1 << 20);
  unsigned char digest[16];
  sum.Get(digest, sizeof digest);
  benchmark::DoNotOptimize(digest);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1 << 20));
}
BENCHMARK(BM_UpdateUnaligned);

// Feeding in pieces smaller than a block goes through the context's buffer.
void BM_UpdateInPieces(benchmark::State& state) {
  const size_t piece = static_cast<size_t>(state.range(0));
  std::vector<unsigned char> data(1 << 16, 0x5A);
  for (auto _ : state) {
    CControlSumMD5 sum;
    for (size_t offset = 0; offset < data.size(); offset += piece)
      sum.Update(data.data() + offset, piece);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_UpdateInPieces)->Arg(1)->Arg(16)->Arg(64)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
