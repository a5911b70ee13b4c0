// Internal to the music layer (music.cpp) and its tests.
//
// Renders a libopenmpt module one tick at a time so that every tick's start
// in the output stream is known to the frame: the first frame of a tick is
// read on its own, the module's order, row, speed and tempo are read back
// (they now describe that tick), and then the rest of the tick follows.
// No SDL here: the caller supplies the buffer and the stream position.
#ifndef AUDIO_MODULE_RENDERER_H
#define AUDIO_MODULE_RENDERER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "position_timeline.h"

typedef struct openmpt_module openmpt_module;

namespace audio_internal {

class module_renderer {
 public:
  // Reads the pattern delay of every row up front: rendering runs on the
  // audio thread, which must not allocate, and libopenmpt hands out the
  // tracker's notation of a row only as allocated strings.
  module_renderer(openmpt_module* module, std::uint32_t rate);

  // Forgets the tick in progress; for a module that was just sought to a new
  // place (its next frame starts a tick).
  void restart();

  // Renders up to `frames` stereo frames into `out` (interleaved, 2 samples
  // per frame), which go to the output stream at frame `first`, and records
  // each tick that starts in them. Returns the frames rendered: fewer than
  // asked once the module has ended, after which the timeline is finished.
  std::size_t render(std::int16_t* out, std::size_t frames, std::uint64_t first, tick_timeline& timeline);

  bool ended() const { return ended_; }

  // Frames per tick at `tempo` BPM: 2.5 s / tempo, truncated, as the player
  // itself counts them.
  static std::uint32_t tick_length(std::uint32_t rate, std::int32_t tempo);

 private:
  void start_tick(std::uint64_t at, tick_timeline& timeline);
  // speed x (1 + pattern delay of the row).
  std::uint32_t ticks_in_row(std::int32_t order, std::int32_t row, std::int32_t speed) const;

  openmpt_module* module_;
  std::uint32_t rate_;
  std::vector<std::size_t> pattern_first_row_;  // index in row_delay_; one more entry than patterns
  std::vector<std::uint8_t> row_delay_;         // pattern delay of each row of each pattern
  std::uint32_t left_in_tick_ = 0;  // frames of the current tick still to render
  tick_record tick_{};
  bool in_row_ = false;
  bool ended_ = false;
};

}  // namespace audio_internal

#endif
