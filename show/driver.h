// The show's main loop with its outside world made replaceable, so that tests
// can run it headless against a scripted music layer and a fake sleep.
// Internal to show/.
#ifndef SHOW_DRIVER_H
#define SHOW_DRIVER_H

#include "music.h"
#include "timeline.h"

#include <SDL.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <span>

namespace show {

// The music layer, the clock and the sleep, as the driver uses them.
class platform {
 public:
  virtual ~platform() = default;
  // Opens the sound output; false when not even a silent one can be had, after
  // saying why on standard error.
  virtual bool audio_init() = 0;
  // Loads "data/lofasz.xm" and sets its position scaler to 256. Runs on a
  // thread of its own while the pictures load.
  virtual void load_music() = 0;
  // Starts the loaded module. A module that could not be loaded is simply
  // never reported as playing.
  virtual void play_music() = 0;
  // True only while the module reports exactly "playing".
  virtual bool music_playing() = 0;
  // The position that will be heard `ahead` from now. Bits 0-15 order, bits
  // 16-31 row * 256 + fraction; all ones on error.
  virtual std::uint64_t music_position(std::chrono::microseconds ahead) = 0;
  virtual void audio_free() = 0;
  virtual void sleep_ms(int ms) = 0;
  // Times the show's own frames, never the music.
  virtual std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }
};

// A frame measured slower than this counts as this slow in the display
// estimate: a stall of the system is not the show's pace.
constexpr std::chrono::milliseconds slowest_frame{40};

// The module and how the show plays it; the recorder plays it the same way.
constexpr const char* module_file = "data/lofasz.xm";
constexpr std::uint32_t music_rate = 44100;
constexpr std::uint32_t music_flags = MUSIC_SOFTWARE_MIXING | MUSIC_RAMPS | MUSIC_SINC_INTERPOLATION;
constexpr float position_scaler = 256.0f;

// The real music layer and SDL_Delay.
platform& real_platform();

struct position {
  int order;
  int row;
  int fine_position;
};

// Splits a reported position into the three signed values the timeline uses.
position split_position(std::uint64_t value);

// Loads files[i] with IMG_Load into slots[i] (null where it fails) for every
// i, several at once on all cores; returns when every slot is filled. The
// other threads make only read streams and new software surfaces: nothing of
// SDL's video state is touched there.
void load_pictures(std::span<const char* const> files, SDL_Surface** slots);

// The pictures of picture_files, in that order, null where a load failed,
// ready for draw_frame. They are never freed: the show keeps them to the end.
std::array<SDL_Surface*, picture_count> load_pictures();

// Runs the whole show: start-up, frame loop, final hold, shut-down. Each
// frame is drawn for the position that will be heard while it is on screen,
// as measured on the frames before it. Returns the process exit code: 0, 1
// when no video mode or no sound output (not even a silent one) could be
// set, or 128 + the signal number when SIGINT or SIGTERM stopped it (at
// once, without the hold).
int run_show(platform& world, random_source& random);

}  // namespace show

#endif
