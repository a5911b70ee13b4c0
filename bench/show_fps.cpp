// Frames per second of the show's real loop (real music layer, real drawing
// and flipping, 1 ms sleeps) and how far the fraction of a row moves between
// consecutive frames. Plays a speed-6, 125-BPM module (120 ms rows) under
// SDL's dummy drivers unless SDL_VIDEODRIVER / SDL_AUDIODRIVER say otherwise,
// with the bundled pictures, from a staged working directory.
#include "driver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;

// The real platform, with every position poll timestamped.
class timed_platform final : public show::platform {
 public:
  explicit timed_platform(show::platform& real) : real_(real) {}
  bool audio_init() override { return real_.audio_init(); }
  void load_music() override { real_.load_music(); }
  void play_music() override { real_.play_music(); }
  bool music_playing() override { return real_.music_playing(); }
  std::uint64_t music_position(std::chrono::microseconds ahead) override {
    std::uint64_t p = real_.music_position(ahead);
    polls.push_back({clock_type::now(), p, ahead});
    return p;
  }
  void audio_free() override { real_.audio_free(); }
  void sleep_ms(int ms) override {
    // The final two-second hold is not part of the loop being measured.
    if (ms == 1) real_.sleep_ms(ms);
  }

  struct poll {
    clock_type::time_point at;
    std::uint64_t position;
    std::chrono::microseconds ahead;  // asked for by the driver
  };
  std::vector<poll> polls;

 private:
  show::platform& real_;
};

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: show_fps MODULE.xm   (a speed-6, 125-BPM module)\n");
    return 2;
  }
  setenv("SDL_VIDEODRIVER", "dummy", 0);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  fs::path module = fs::absolute(argv[1]);
  fs::path dir = fs::temp_directory_path() / "show-fps";
  fs::remove_all(dir);
  fs::create_directories(dir / "data");
  for (const auto& e : fs::directory_iterator(fs::path(PROJECT_ROOT) / "data"))
    if (e.path().extension() == ".jpg") fs::copy_file(e.path(), dir / "data" / e.path().filename());
  fs::copy_file(module, dir / "data" / "lofasz.xm");
  fs::current_path(dir);

  timed_platform world(show::real_platform());
  show::standard_random random;
  show::run_show(world, random);
  fs::current_path(fs::temp_directory_path());
  fs::remove_all(dir);

  const auto& p = world.polls;
  if (p.size() < 2) {
    std::fprintf(stderr, "the module did not play\n");
    return 1;
  }
  const double row_seconds = 6 * 882 / 44100.0;
  std::vector<double> intervals, steps, excess, aims;
  for (std::size_t i = 1; i < p.size(); ++i) {
    aims.push_back(std::chrono::duration<double, std::milli>(p[i].ahead).count());
    double dt = std::chrono::duration<double>(p[i].at - p[i - 1].at).count();
    intervals.push_back(dt * 1000);
    int order = p[i].position & 0xFFFF, last_order = p[i - 1].position & 0xFFFF;
    int fine = p[i].position >> 16 & 0xFFFF, last_fine = p[i - 1].position >> 16 & 0xFFFF;
    if (order != last_order || fine >> 8 != last_fine >> 8) continue;  // a real row change
    steps.push_back(fine - last_fine);
    excess.push_back(fine - last_fine - dt / row_seconds * 256);
  }
  double seconds = std::chrono::duration<double>(p.back().at - p.front().at).count();
  std::printf("frames %zu in %.2f s: %.0f frames/s, median frame %.3f ms, slowest %.3f ms\n", p.size(), seconds,
              (p.size() - 1) / seconds, median(intervals), *std::max_element(intervals.begin(), intervals.end()));
  std::printf("fraction step within a row (1/256 of a row): median %.0f, largest %.0f\n", median(steps),
              *std::max_element(steps.begin(), steps.end()));
  std::printf("step beyond the wall-clock time between frames: median %.2f, largest %.2f\n", median(excess),
              *std::max_element(excess.begin(), excess.end()));
  // How far ahead of the heard sound the frames were aimed (draw and flip
  // plus half a frame period, as the driver measured them).
  std::sort(aims.begin(), aims.end());
  auto aim_at = [&](double q) { return aims[static_cast<std::size_t>(q * (aims.size() - 1))]; };
  std::printf("aimed ahead (ms): median %.2f, 5-95 %% %.2f to %.2f, range %.2f to %.2f\n", aim_at(0.5), aim_at(0.05),
              aim_at(0.95), aims.front(), aims.back());
  return 0;
}
