// The show's start-up: from process start to its first frame, with SDL's
// dummy drivers and the thirteen bundled pictures, against libjpeg-turbo
// reading and decoding the same files one after the other on one thread.
// Runs alternate between the two so both see the same machine load.
//
// usage: show_startup [RUNS]   (run from anywhere; the show runs in the
// project folder, where its data/ is)
#include <turbojpeg.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

const char* const pictures[] = {"fank",        "sun",       "kick1",     "kick2",     "murvhat",   "egyenlo",  "murv",
                                "murvparaszt", "murvtabla", "function0", "function1", "function2", "function3"};

std::int64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// Milliseconds from spawning the show to its first SDL_Flip; negative on failure.
double show_start_ms() {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  std::vector<std::string> env_strings = {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy",
                                          std::string("LD_PRELOAD=") + FIRST_FRAME_SHIM,
                                          "SHOW_FIRST_FRAME_FD=" + std::to_string(fds[1])};
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    if (s.rfind("SDL_", 0) != 0 && s.rfind("LD_PRELOAD=", 0) != 0) env_strings.push_back(s);
  }
  std::vector<char*> env;
  for (std::string& s : env_strings) env.push_back(s.data());
  env.push_back(nullptr);
  char* argv[] = {const_cast<char*>(SHOW_BINARY), nullptr};

  const std::int64_t start = now_ns();
  pid_t pid;
  if (posix_spawn(&pid, SHOW_BINARY, nullptr, nullptr, argv, env.data()) != 0) return -1;
  close(fds[1]);
  std::int64_t first_frame = 0;
  const bool got = read(fds[0], &first_frame, sizeof first_frame) == sizeof first_frame;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return got ? (first_frame - start) / 1e6 : -1;
}

std::vector<unsigned char> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Milliseconds for libjpeg-turbo to read and decode the thirteen files to RGBA.
double turbo_ms() {
  const std::int64_t start = now_ns();
  tjhandle tj = tjInitDecompress();
  for (const char* name : pictures) {
    std::vector<unsigned char> bytes = read_file(std::string(PROJECT_ROOT "/data/") + name + ".jpg");
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(tj, bytes.data(), bytes.size(), &width, &height, &subsampling, &colourspace) != 0) {
      tjDestroy(tj);
      return -1;
    }
    std::unique_ptr<unsigned char[]> rgba(new unsigned char[std::size_t(width) * height * 4]);
    if (tjDecompress2(tj, bytes.data(), bytes.size(), rgba.get(), width, 0, height, TJPF_RGBA, 0) != 0) {
      tjDestroy(tj);
      return -1;
    }
  }
  tjDestroy(tj);
  return (now_ns() - start) / 1e6;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 11;
  if (chdir(PROJECT_ROOT) != 0) return 2;
  std::vector<double> show, turbo;
  for (int i = 0; i < runs; ++i) {
    const double s = show_start_ms(), t = turbo_ms();
    if (s < 0 || t < 0) {
      std::fprintf(stderr, "show_startup: run %d failed\n", i);
      return 1;
    }
    show.push_back(s);
    turbo.push_back(t);
  }
  const double ms = median(show), mt = median(turbo);
  std::printf("show start to first frame: median %.1f ms (best %.1f) over %d runs\n", ms,
              *std::min_element(show.begin(), show.end()), runs);
  std::printf("libjpeg-turbo, 13 files:   median %.1f ms (best %.1f)\n", mt,
              *std::min_element(turbo.begin(), turbo.end()));
  std::printf("ratio show / libjpeg-turbo: %.2fx\n", ms / mt);
  return 0;
}
