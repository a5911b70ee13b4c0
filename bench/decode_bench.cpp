// Decode from memory to RGBA: our decoder on the caller's thread alone
// ("ours-1T") and on the process's default thread count ("ours-all") against
// libjpeg-turbo's TurboJPEG API and stb_image, which use one thread, on every
// file of a corpus directory (tools/make_bench_corpus.sh). Times are real
// (wall-clock) times; the CPU time is the whole process's, so CPU / real says
// how many cores a decode kept busy. Run with --benchmark_repetitions and read
// the medians; tools/bench_report.py turns the JSON output into MP/s and ratios.
#include "jpeg_decoder.h"

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#include <stb/stb_image.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct picture_file {
  std::string name;
  std::vector<unsigned char> bytes;
  int width = 0, height = 0;
};

std::vector<picture_file>& corpus() {
  static std::vector<picture_file> files;
  return files;
}

// The picture's size rides along so that the report can group files by it.
void set_rate(benchmark::State& state, const picture_file& f) {
  const double megapixels = static_cast<double>(f.width) * f.height / 1e6;
  state.counters["MP/s"] = benchmark::Counter(megapixels, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["MP"] = megapixels;
}

// threads as in decoder_limits: 1 the caller's thread, 0 the default count.
void ours(benchmark::State& state, const picture_file* f, int threads) {
  std::vector<unsigned char> out(static_cast<size_t>(f->width) * f->height * 4);
  jpeg::decoder_limits limits;
  limits.threads = threads;
  for (auto _ : state) {
    jpeg::jpeg_decoder_mem_stream in(f->bytes.data(), static_cast<std::uint32_t>(f->bytes.size()));
    int w, h, c;
    if (!jpeg::decode_jpeg_with_limits(&in, &w, &h, &c, 4, out.data(), limits, nullptr)) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  set_rate(state, *f);
}

void turbo(benchmark::State& state, const picture_file* f) {
  std::vector<unsigned char> out(static_cast<size_t>(f->width) * f->height * 4);
  tjhandle tj = tjInitDecompress();
  for (auto _ : state) {
    if (tjDecompress2(tj, f->bytes.data(), f->bytes.size(), out.data(), f->width, 0, f->height, TJPF_RGBA, 0) != 0) {
      state.SkipWithError(tjGetErrorStr2(tj));
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  tjDestroy(tj);
  set_rate(state, *f);
}

void stb(benchmark::State& state, const picture_file* f) {
  for (auto _ : state) {
    int w, h, c;
    unsigned char* p = stbi_load_from_memory(f->bytes.data(), static_cast<int>(f->bytes.size()), &w, &h, &c, 4);
    if (!p) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(p);
    stbi_image_free(p);
  }
  set_rate(state, *f);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: decode_bench [benchmark options] CORPUS_DIR\n");
    return 2;
  }
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
    if (entry.path().extension() == ".jpg") paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  for (const auto& p : paths) {
    std::ifstream in(p, std::ios::binary);
    picture_file f{p.filename().string(), {std::istreambuf_iterator<char>(in), {}}};
    int c;
    jpeg::decode_jpeg_from_memory(f.bytes.data(), static_cast<int>(f.bytes.size()), &f.width, &f.height, &c, 4,
                                  reinterpret_cast<unsigned char*>(1));
    corpus().push_back(std::move(f));
  }
  benchmark::AddCustomContext("decoder_threads", std::to_string(jpeg::default_decoder_threads()));
  for (const auto& f : corpus()) {
    for (auto* b : {benchmark::RegisterBenchmark(("ours-1T/" + f.name).c_str(), ours, &f, 1),
                    benchmark::RegisterBenchmark(("ours-all/" + f.name).c_str(), ours, &f, 0),
                    benchmark::RegisterBenchmark(("turbo/" + f.name).c_str(), turbo, &f),
                    benchmark::RegisterBenchmark(("stb/" + f.name).c_str(), stb, &f)})
      b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
