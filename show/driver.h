// The show's main loop with its outside world made replaceable, so that tests
// can run it headless against a scripted music layer and a fake sleep.
// Internal to show/.
#ifndef SHOW_DRIVER_H
#define SHOW_DRIVER_H

#include "music.h"
#include "timeline.h"

#include <SDL.h>

#include <array>
#include <cstdint>

namespace show {

// The music layer and the sleep, as the driver uses them.
class platform {
 public:
  virtual ~platform() = default;
  virtual void audio_init() = 0;
  // Loads "data/lofasz.xm", sets the position scaler to 256 and starts it. A
  // module that cannot be loaded is simply never reported as playing.
  virtual void start_music() = 0;
  // True only while the module reports exactly "playing".
  virtual bool music_playing() = 0;
  // Bits 0-15 order, bits 16-31 row * 256 + fraction; all ones on error.
  virtual std::uint64_t music_position() = 0;
  virtual void audio_free() = 0;
  virtual void sleep_ms(int ms) = 0;
};

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

// The pictures of picture_files, in that order, null where a load failed,
// ready for draw_frame. They are never freed: the show keeps them to the end.
std::array<SDL_Surface*, picture_count> load_pictures();

// Runs the whole show: start-up, frame loop, final hold, shut-down. Returns
// the process exit code: 0, or 1 when no video mode could be set.
int run_show(platform& world, random_source& random);

}  // namespace show

#endif
