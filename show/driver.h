// The show's main loop with its outside world made replaceable, so that tests
// can run it headless against a scripted music layer and a fake sleep.
// Internal to show/.
#ifndef SHOW_DRIVER_H
#define SHOW_DRIVER_H

#include "timeline.h"

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

// The real music layer and SDL_Delay.
platform& real_platform();

struct position {
  int order;
  int row;
  int fine_position;
};

// Splits a reported position into the three signed values the timeline uses.
position split_position(std::uint64_t value);

// Runs the whole show: start-up, frame loop, final hold, shut-down. Returns
// the process exit code: 0, 1 when no video mode could be set, or 128 + the
// signal number when SIGINT or SIGTERM stopped it (at once, without the hold).
int run_show(platform& world, random_source& random);

}  // namespace show

#endif
