// Decode from memory to RGBA: our decoder on the caller's thread alone
// ("ours-1T") and on the process's default thread count ("ours-all") against
// libjpeg-turbo's TurboJPEG API and stb_image, which use one thread, on every
// file of a corpus directory (tools/make_bench_corpus.sh). Times are real
// (wall-clock) times; the CPU time is the whole process's, so CPU / real says
// how many cores a decode kept busy. Run with --benchmark_repetitions and read
// the medians; tools/bench_report.py turns the JSON output into MP/s and ratios.
// --busy=N runs everything beside N busy processes (plain spinning loops, not
// pinned to a core), as on a machine whose other programs are at work.
#include "jpeg_decoder.h"

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
                    benchmark::RegisterBenchmark(("stb/" + f.name).c_str(), stb, &f)})
      b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
  }
  const std::vector<pid_t> busy_processes = start_busy_processes(busy);
  benchmark::RunSpecifiedBenchmarks();
  stop_busy_processes(busy_processes);
  benchmark::Shutdown();
  return 0;
}
