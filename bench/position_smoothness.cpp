// How smoothly the reported fraction of a row advances. Plays a module at
// speed 6, 125 BPM (5292 frames, 120 ms per row) on SDL's dummy output unless
// SDL_AUDIODRIVER says otherwise, polls the position like the show does (1 ms
// sleeps) and prints the steps of the fraction between consecutive polls
// within one row. A poll every 1.06 ms or so moves about 2.3/256 of a row, so
// that is the floor for the largest step; "excess" is the step minus what the
// wall clock says should have passed, and shows the clock's own jitter.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "music.h"

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  const char* path = argc > 1 ? argv[1] : SMOOTH_MODULE;
  const double row_seconds = 6 * 882 / 44100.0;
  if (!audio_init(-1, 44100, 0)) {
    std::fprintf(stderr, "no audio output\n");
    return 1;
  }
  const music_handle m = music_load(false, path, 0, 0, 0x800410, 0);
  if (!m) {
    std::fprintf(stderr, "cannot load %s\n", path);
    return 1;
  }
  music_set_attribute(m, MUSIC_ATTRIB_POSITION_SCALER, 256.0f);
  music_play(m, false);

  std::vector<int> steps;
  std::vector<double> excess;
  std::vector<double> intervals;
  int backwards = 0;
  int rows = 0;
  std::uint64_t last = ~std::uint64_t{0};
  auto last_time = std::chrono::steady_clock::now();
  while (music_is_active(m) == MUSIC_ACTIVE_PLAYING) {
    const std::uint64_t pos = music_get_position(m, MUSIC_POSITION_ORDER);
    const auto now = std::chrono::steady_clock::now();
    if (last != ~std::uint64_t{0}) {
      const int order = static_cast<int>(pos & 0xFFFF), last_order = static_cast<int>(last & 0xFFFF);
      const int fine = static_cast<int>(pos >> 16 & 0xFFFF), last_fine = static_cast<int>(last >> 16 & 0xFFFF);
      const double dt = std::chrono::duration<double>(now - last_time).count();
      if (order == last_order && fine >> 8 == last_fine >> 8) {
        const int step = fine - last_fine;
        if (step < 0) ++backwards;
        steps.push_back(step);
        excess.push_back(step - dt / row_seconds * 256.0);
        intervals.push_back(dt * 1000.0);
      } else {
        ++rows;
      }
    }
    last = pos;
    last_time = now;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  audio_free();
  if (steps.empty()) {
    std::fprintf(stderr, "no polls within a row\n");
    return 1;
  }
  auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  std::vector<double> step_values(steps.begin(), steps.end());
  std::sort(steps.begin(), steps.end());
  std::printf("polls within a row: %zu, row changes: %d, steps backwards: %d\n", steps.size(), rows, backwards);
  std::printf("poll interval: median %.3f ms, max %.3f ms\n", median(intervals),
              *std::max_element(intervals.begin(), intervals.end()));
  std::printf("fraction step (1/256 row): median %.0f, 99th percentile %d, max %d\n", median(step_values),
              steps[steps.size() * 99 / 100], steps.back());
  std::printf("step beyond wall-clock time: median %.2f, max %.2f\n", median(excess),
              *std::max_element(excess.begin(), excess.end()));
  return 0;
}
