#include "driver.h"

#include "draw.h"
#include "img.h"
#include "jpeg_decoder.h"
#include "music.h"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace show {

namespace {

// SIGINT or SIGTERM, once received. Keys, the mouse and window events never end
// the show, but the operating system's request to stop it always does.
volatile std::sig_atomic_t stop_signal = 0;

void request_stop(int signal) { stop_signal = signal; }

// Installed before SDL starts, which then leaves these two signals alone
// instead of turning them into a quit event that nothing reads. A second
// signal of the same kind gets the default action and ends the process.
void catch_stop_signals() {
  stop_signal = 0;
  struct sigaction action = {};
  action.sa_handler = request_stop;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

class sdl_platform final : public platform {
 public:
  bool audio_init() override {
    if (::audio_init(-1, music_rate, 0)) return true;
    // Without sound the show still plays: SDL's dummy output takes the sound
    // at the rate it would be heard, so the music keeps its pace and remains
    // the pictures' clock.
    const std::string cause = SDL_GetError();
    if (::setenv("SDL_AUDIODRIVER", "dummy", 1) == 0 && ::audio_init(-1, music_rate, 0)) {
      std::fprintf(stderr,
                   "show: no sound: the sound output cannot be opened (%s). The show plays in silence; "
                   "SDL_AUDIODRIVER chooses another output, for example SDL_AUDIODRIVER=pulseaudio or alsa.\n",
                   cause.c_str());
      return true;
    }
    std::fprintf(stderr, "show: cannot open a sound output, not even a silent one: %s\n", cause.c_str());
    return false;
  }
  void load_music() override {
    music_ = music_load(false, module_file, 0, 0, music_flags, 0);
    music_set_attribute(music_, MUSIC_ATTRIB_POSITION_SCALER, position_scaler);
  }
  void play_music() override { music_play(music_, false); }
  bool music_playing() override { return music_is_active(music_) == MUSIC_ACTIVE_PLAYING; }
  std::uint64_t music_position(std::chrono::microseconds ahead) override {
    return music_get_position_ahead(music_, MUSIC_POSITION_ORDER, static_cast<std::uint32_t>(ahead.count()));
  }
  void audio_free() override { ::audio_free(); }
  void sleep_ms(int ms) override {
    // In short steps, so that a stop request cuts the final hold short.
    for (; ms > 0 && !stop_signal; ms -= 10) SDL_Delay(static_cast<Uint32>(ms < 10 ? ms : 10));
  }

 private:
  music_handle music_ = 0;
};

// How long after its position is read a frame is seen, on average: its
// drawing and the flip, and then it stays on screen until the next flip, one
// frame period, so half a period more. Both are running averages of the
// show's recent frames.
class display_estimate {
 public:
  void frame(std::chrono::steady_clock::time_point read, std::chrono::steady_clock::time_point flipped) {
    average(draw_and_flip_, flipped - read);
    if (any_) average(period_, read - last_read_);
    last_read_ = read;
    any_ = true;
  }
  std::chrono::microseconds ahead() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(draw_and_flip_ + period_ / 2);
  }

 private:
  // Over about the last 16 frames.
  static void average(std::chrono::nanoseconds& mean, std::chrono::nanoseconds sample) {
    mean += (std::clamp<std::chrono::nanoseconds>(sample, {}, slowest_frame) - mean) / 16;
  }
  std::chrono::nanoseconds draw_and_flip_{0};
  std::chrono::nanoseconds period_{0};
  std::chrono::steady_clock::time_point last_read_{};
  bool any_ = false;
};

}  // namespace

platform& real_platform() {
  static sdl_platform p;
  return p;
}

position split_position(std::uint64_t value) {
  return {
      .order = static_cast<int>(value & 0xFFFF),
      .row = static_cast<int>(static_cast<std::uint32_t>(value >> 24)),
      .fine_position = static_cast<int>(static_cast<std::uint32_t>(value >> 16)),
  };
}

void load_pictures(std::span<const char* const> files, SDL_Surface** slots) {
  // Largest files first, so that the pictures left for the end are short ones
  // and the threads run out of work at about the same time. A file that cannot
  // be read counts as empty: its load fails at once.
  std::vector<std::pair<std::uintmax_t, std::size_t>> order;
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(files[i], error);
    order.emplace_back(error ? 0 : size, i);
  }
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  // One thread per picture: the loaders below already keep every core busy.
  jpeg::set_default_decoder_threads(1);
  std::atomic<std::size_t> next{0};
  auto load_some = [&] {
    for (std::size_t n; (n = next.fetch_add(1)) < order.size();) {
      const std::size_t i = order[n].second;
      slots[i] = IMG_Load(files[i]);
    }
  };
  const std::size_t helpers =
      std::min<std::size_t>(std::max(std::thread::hardware_concurrency(), 1u), files.size()) - 1;
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < helpers; ++t) threads.emplace_back(load_some);
  load_some();
  for (std::thread& t : threads) t.join();
}

std::array<SDL_Surface*, picture_count> load_pictures() {
  std::array<SDL_Surface*, picture_count> pictures;
  load_pictures(picture_files, pictures.data());
  for (SDL_Surface* p : pictures) {
    // Every pixel of a decoded picture is opaque: blit it as a plain copy
    // rather than alpha-blending it, which costs a quarter of the frame rate.
    if (p) SDL_SetAlpha(p, 0, 255);
  }
  return pictures;
}

int run_show(platform& world, random_source& random) {
  catch_stop_signals();
  // The music is the show's clock: without any output it could not play.
  if (!world.audio_init()) return 1;
  // The module loads on its own thread (its player builds its tables on the
  // first load) beside the video set-up and the pictures, which would
  // otherwise leave the second core idle; the music starts once everything
  // is in. The thread touches nothing of SDL's video.
  std::thread music_loader([&world] { world.load_music(); });
  SDL_Init(SDL_INIT_VIDEO);
  SDL_Surface* screen = SDL_SetVideoMode(screen_width, screen_height, 32, SDL_FULLSCREEN | SDL_DOUBLEBUF);
  if (!screen) {
    // Nothing can be drawn without a screen: stop in order instead.
    std::fprintf(stderr, "show: cannot set a %dx%d 32-bit video mode: %s\n", screen_width, screen_height,
                 SDL_GetError());
    music_loader.join();
    world.audio_free();
    SDL_Quit();
    return 1;
  }
  SDL_ShowCursor(SDL_DISABLE);
  IMG_Init(IMG_INIT_JPG);

  // Decoded once, before the music starts; kept until the process ends.
  const std::array<SDL_Surface*, picture_count> pictures = load_pictures();
  music_loader.join();

  world.play_music();
  // The music position is the only clock: nothing is paced or summed here.
  // The frames' own timing says only how far ahead of the heard sound to look.
  display_estimate display;
  while (!stop_signal && world.music_playing()) {
    const auto read = world.now();
    position at = split_position(world.music_position(display.ahead()));
    draw_frame(screen, pictures.data(), plan_frame(at.order, at.row, at.fine_position, random));
    SDL_Flip(screen);
    display.frame(read, world.now());
    world.sleep_ms(1);
  }

  if (!stop_signal) {
    draw_frame(screen, pictures.data(), final_frame);
    SDL_Flip(screen);
    world.sleep_ms(2000);
  }
  world.audio_free();
  SDL_Quit();  // gives the screen back
  return stop_signal ? 128 + stop_signal : 0;
}

}  // namespace show
