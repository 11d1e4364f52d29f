// The conversion of one full chunk against copying it, in the C locale's
// plain ASCII path and in the per-byte map path that other locales take.
#include <benchmark/benchmark.h>
#include <string.h>

#include "case_map.h"
#include "load.h"

namespace {

constexpr size_t chunk_bytes = 1024;

struct chunk_buffers {
  alignas(16) unsigned char in[chunk_bytes];
  alignas(16) unsigned char out[chunk_bytes]{};
  chunk_buffers() {
    const std::string text = capecho_bench::test_chunk(chunk_bytes, 3);
    memcpy(in, text.data(), chunk_bytes);
  }
};

void copy_1024(benchmark::State& state) {
  chunk_buffers b;
  for (auto _ : state) {
    memcpy(b.out, b.in, chunk_bytes);
    benchmark::DoNotOptimize(b.out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk_bytes));
}

// Converts in place: after the first pass the input is upper case already,
// which costs the vector path the same and the map path the same.
void convert_1024(benchmark::State& state, bool mapped) {
  chunk_buffers b;
  case_map map;
  build_case_map(map);
  if (mapped) map.plain_ascii = false;  // the path a non-ASCII locale takes
  for (auto _ : state) {
    upcase(map, b.in, chunk_bytes);
    benchmark::DoNotOptimize(b.in);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk_bytes));
}

void convert_1024_c_locale(benchmark::State& state) { convert_1024(state, false); }
void convert_1024_mapped(benchmark::State& state) { convert_1024(state, true); }

// What every session pays once, before its greeting.
void build_map(benchmark::State& state) {
  for (auto _ : state) {
    case_map map;
    build_case_map(map);
    benchmark::DoNotOptimize(map);
  }
}

BENCHMARK(copy_1024);
BENCHMARK(build_map);
BENCHMARK(convert_1024_c_locale);
BENCHMARK(convert_1024_mapped);

}  // namespace

BENCHMARK_MAIN();
