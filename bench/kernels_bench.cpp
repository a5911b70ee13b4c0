// Micro-benchmarks of the decoder's signal-processing kernels: inverse DCT
// per extent class, chroma upsampling, and colour conversion per line.
#include "kernels.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace jpeg;

constexpr int block_pool = 512;  // blocks cycled through, so the data stays in L1/L2

// Blocks with typical dequantised magnitudes, zero beyond the extent.
std::vector<int16_t> make_blocks(int extent) {
  std::mt19937 rng(extent);
  std::vector<int16_t> blocks(size_t(block_pool) * 64, 0);
  for (int b = 0; b < block_pool; ++b) {
    int16_t* block = blocks.data() + 64 * b;
    block[0] = int16_t(std::uniform_int_distribution<int>(-1000, 1000)(rng));
    for (int k = 1; k < extent; ++k)
      block[zigzag_to_natural[k]] = int16_t(std::uniform_int_distribution<int>(-120, 120)(rng));
  }
  return blocks;
}

void inverse_dct(benchmark::State& state) {
  const int extent = int(state.range(0));
  const std::vector<int16_t> blocks = make_blocks(extent);
  std::vector<uint8_t> samples(size_t(block_pool) * 64);
  int b = 0;
  for (auto _ : state) {
    selected_kernels().inverse_dct_block(blocks.data() + 64 * b, samples.data() + 64 * b, extent);
    b = (b + 1) & (block_pool - 1);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(inverse_dct)->Arg(1)->Arg(2)->Arg(3)->Arg(6)->Arg(10)->Arg(15)->Arg(21)->Arg(28)->Arg(36)->Arg(44)->Arg(64);

void inverse_dct_quarter(benchmark::State& state) {
  const std::vector<int16_t> blocks = make_blocks(10);
  std::vector<uint8_t> samples(size_t(block_pool) * 64);
  int b = 0;
  for (auto _ : state) {
    selected_kernels().inverse_dct_quarter_block(blocks.data() + 64 * b, samples.data() + 64 * b);
    b = (b + 1) & (block_pool - 1);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(inverse_dct_quarter);

// One chroma block into its four quadrant blocks.
void upsample_chroma(benchmark::State& state) {
  const int extent = int(state.range(0));
  const std::vector<int16_t> blocks = make_blocks(extent);
  std::vector<uint8_t> samples(size_t(block_pool) * 256);
  int b = 0;
  for (auto _ : state) {
    selected_kernels().upsample_chroma_block(blocks.data() + 64 * b, extent, samples.data() + 256 * b);
    b = (b + 1) & (block_pool - 1);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(upsample_chroma)->Arg(1)->Arg(6)->Arg(15)->Arg(36)->Arg(64);

enum class layout { grey, h1v1, h2v1, h1v2, h2v2 };

// One 1024-pixel line per iteration; items are pixels.
constexpr int line_pixels = 1024;

template <layout Layout>
void convert_line(benchmark::State& state) {
  constexpr int mcu_width = (Layout == layout::h2v1 || Layout == layout::h2v2) ? 16 : 8;
  constexpr int mcu_height = (Layout == layout::h1v2 || Layout == layout::h2v2) ? 16 : 8;
  constexpr int blocks = Layout == layout::grey ? 1 : Layout == layout::h1v1 ? 3 : Layout == layout::h2v2 ? 12 : 4;
  constexpr int mcus = line_pixels / mcu_width;
  colour_tables tables;
  build_colour_tables(tables);
  std::mt19937 rng(7);
  std::vector<uint8_t> samples(size_t(mcus) * blocks * 64);
  for (auto& s : samples) s = uint8_t(rng());
  std::vector<uint8_t> first(line_pixels * 4), second(line_pixels * 4);
  int line = 0;
  for (auto _ : state) {
    if constexpr (Layout == layout::grey)
      convert_grey_line(samples.data(), mcus, line, first.data());
    else if constexpr (Layout == layout::h1v1)
      selected_kernels().convert_h1v1_line(tables, samples.data(), mcus, line, first.data());
    else if constexpr (Layout == layout::h2v1)
      selected_kernels().convert_h2v1_line(tables, samples.data(), mcus, line, first.data());
    else if constexpr (Layout == layout::h1v2)
      selected_kernels().convert_h1v2_lines(tables, samples.data(), mcus, line, first.data(), second.data());
    else
      selected_kernels().convert_upsampled_line(tables, samples.data(), mcus, line, first.data());
    line = (line + (Layout == layout::h1v2 ? 2 : 1)) % mcu_height;
    benchmark::ClobberMemory();
  }
  // The two-line converter hands out two lines per call.
  state.SetItemsProcessed(state.iterations() * line_pixels * (Layout == layout::h1v2 ? 2 : 1));
}
BENCHMARK(convert_line<layout::grey>);
BENCHMARK(convert_line<layout::h1v1>);
BENCHMARK(convert_line<layout::h2v1>);
BENCHMARK(convert_line<layout::h1v2>);
BENCHMARK(convert_line<layout::h2v2>);

}  // namespace
