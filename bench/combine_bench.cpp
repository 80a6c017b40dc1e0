// The 128-byte combine on its own, in bytes per second.
#include "linecore/transform.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void combine_block_bench(benchmark::State& state)
{
    block_string line(block_size, 'a');
    for (std::size_t j = 0; j < block_size; ++j) {
        line[j] = static_cast<char>(j * 131 + 7);
    }
    const block_string block = make_key_block(1);
    block_string output_block;
    for (auto _ : state) {
        benchmark::DoNotOptimize(line.data());
        combine_block(line, block, output_block);
        benchmark::DoNotOptimize(output_block.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * block_size));
}
BENCHMARK(combine_block_bench);

} // namespace

BENCHMARK_MAIN();
