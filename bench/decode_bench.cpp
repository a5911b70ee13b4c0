// Decode from memory to RGBA: our decoder on the caller's thread alone
// ("ours-1T") and on the process's default thread count ("ours-all") against
// libjpeg-turbo's TurboJPEG API and stb_image, which use one thread, on every
// file of a corpus directory (tools/make_bench_corpus.sh). "ours-c-1T" is
// ours-1T through the C interface, for what that layer costs. Scaled decodes
// at 1/d, d = 2, 4, 8, are "ours-1T-1/d", "ours-all-1/d" and "turbo-1/d";
// --benchmark_filter=1/[248]/ runs them alone, --benchmark_filter=-1/[248]/
// everything else. Times are real (wall-clock) times; the CPU time is the
// whole process's, so CPU / real says how many cores a decode kept busy. Run
// with --benchmark_repetitions and read the medians; tools/bench_report.py
// turns the JSON output into MP/s and ratios.
// --busy=N runs everything beside N busy processes (plain spinning loops, not
// pinned to a core), as on a machine whose other programs are at work.
#include "jpeg_decoder.h"
#include "picshow_jpeg.h"

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

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
#include <string_view>
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
// Scaled decodes count the full picture's megapixels too: every block is
// still read, and MP/s then compares the work done on one file at any scale.
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

void ours_c(benchmark::State& state, const picture_file* f) {
  std::vector<unsigned char> out(static_cast<size_t>(f->width) * f->height * 4);
  picshow_jpeg_options options;
  picshow_jpeg_default_options(&options);
  options.threads = 1;
  for (auto _ : state) {
    int w, h, c;
    const int status =
        picshow_jpeg_decode_memory(f->bytes.data(), f->bytes.size(), &options, 4, out.data(), out.size(), &w, &h, &c);
    if (status != PICSHOW_JPEG_OK) {
      state.SkipWithError(picshow_jpeg_status_name(status));
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  set_rate(state, *f);
}

int scaled(int size, int denominator) { return (size + denominator - 1) / denominator; }

// The destination of a scaled decode: the buffer allocated before timing,
// refused (the decode then fails) unless the decode's size is the one it
// was made for.
struct scaled_buffer {
  std::vector<unsigned char> pixels;
  int width, height;
};

std::uint8_t* preallocated(void* context, int width, int height, int) {
  auto* buffer = static_cast<scaled_buffer*>(context);
  return width == buffer->width && height == buffer->height ? buffer->pixels.data() : nullptr;
}

void ours_scaled(benchmark::State& state, const picture_file* f, int threads, int denominator) {
  scaled_buffer out{{}, scaled(f->width, denominator), scaled(f->height, denominator)};
  out.pixels.resize(static_cast<size_t>(out.width) * out.height * 4);
  jpeg::decoder_limits limits;
  limits.threads = threads;
  for (auto _ : state) {
    jpeg::jpeg_decoder_mem_stream in(f->bytes.data(), static_cast<std::uint32_t>(f->bytes.size()));
    int w, h, c, status;
    if (!jpeg::decode_jpeg_scaled(&in, &w, &h, &c, 4, denominator, limits, preallocated, &out, &status)) {
      state.SkipWithError(jpeg::status_code_name(status));
      break;
    }
    benchmark::DoNotOptimize(out.pixels.data());
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

// TurboJPEG decodes at the largest of its scaling factors that fits the size
// asked for; asking for the picture scaled by 1/d gives 1/d, as long as that
// is one of its factors and its size is ours.
void turbo_scaled(benchmark::State& state, const picture_file* f, int denominator) {
  const tjscalingfactor factor{1, denominator};
  int count = 0;
  const tjscalingfactor* factors = tjGetScalingFactors(&count);
  const bool offered = factors != nullptr && std::any_of(factors, factors + count, [&](const tjscalingfactor& s) {
                         return s.num * denominator == s.denom;
                       });
  const int width = TJSCALED(f->width, factor), height = TJSCALED(f->height, factor);
  if (!offered || width != scaled(f->width, denominator) || height != scaled(f->height, denominator)) {
    state.SkipWithError("TurboJPEG does not scale to the same size");
    return;
  }
  std::vector<unsigned char> out(static_cast<size_t>(width) * height * 4);
  tjhandle tj = tjInitDecompress();
  for (auto _ : state) {
    if (tjDecompress2(tj, f->bytes.data(), f->bytes.size(), out.data(), width, 0, height, TJPF_RGBA, 0) != 0) {
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

// Takes --busy=N out of the arguments; 0 without it.
int take_busy_option(int& argc, char** argv) {
  constexpr std::string_view option = "--busy=";
  int busy = 0;
  int kept = 0;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i > 0 && arg.substr(0, option.size()) == option) {
      busy = std::atoi(argv[i] + option.size());
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return busy;
}

// Processes that spin until killed, or until this one ends.
std::vector<pid_t> start_busy_processes(int count) {
  std::vector<pid_t> started;
  for (int i = 0; i < count; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (volatile unsigned spin = 0;; spin = spin + 1) {
      }
    }
    if (pid > 0) started.push_back(pid);
  }
  return started;
}

void stop_busy_processes(const std::vector<pid_t>& started) {
  for (pid_t pid : started) kill(pid, SIGKILL);
  for (pid_t pid : started) waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  const int busy = take_busy_option(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: decode_bench [benchmark options] [--busy=N] CORPUS_DIR\n");
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
  benchmark::AddCustomContext("busy_processes", std::to_string(busy));
  for (const auto& f : corpus()) {
    for (auto* b : {benchmark::RegisterBenchmark(("ours-1T/" + f.name).c_str(), ours, &f, 1),
                    benchmark::RegisterBenchmark(("ours-all/" + f.name).c_str(), ours, &f, 0),
                    benchmark::RegisterBenchmark(("turbo/" + f.name).c_str(), turbo, &f),
                    benchmark::RegisterBenchmark(("stb/" + f.name).c_str(), stb, &f),
                    benchmark::RegisterBenchmark(("ours-c-1T/" + f.name).c_str(), ours_c, &f)})
      b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
  }
  for (const int d : {2, 4, 8}) {
    const std::string scale = "-1/" + std::to_string(d) + "/";
    for (const auto& f : corpus()) {
      for (auto* b : {benchmark::RegisterBenchmark(("ours-1T" + scale + f.name).c_str(), ours_scaled, &f, 1, d),
                      benchmark::RegisterBenchmark(("ours-all" + scale + f.name).c_str(), ours_scaled, &f, 0, d),
                      benchmark::RegisterBenchmark(("turbo" + scale + f.name).c_str(), turbo_scaled, &f, d)})
        b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
    }
  }
  const std::vector<pid_t> busy_processes = start_busy_processes(busy);
  benchmark::RunSpecifiedBenchmarks();
  stop_busy_processes(busy_processes);
  benchmark::Shutdown();
  return 0;
}
