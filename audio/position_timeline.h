// Internal to the music layer (music.cpp, module_renderer.cpp) and its tests;
// nothing else needs to see these.
//
// The audio thread renders ahead of what is heard, one tick at a time, and
// leaves a record per tick: where in the output stream it starts and which
// order, row and tick of the module it is. The main thread turns "now" into
// the output frame being heard (output_clock) and looks that frame up here
// (tick_timeline). Both sides touch these objects only under the audio lock.
#ifndef AUDIO_POSITION_TIMELINE_H
#define AUDIO_POSITION_TIMELINE_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace audio_internal {

using steady_time = std::chrono::steady_clock::time_point;

// One tick of the module placed in the output stream. Frames are counted
// from the moment the output was opened.
struct tick_record {
  std::uint64_t start = 0;   // first output frame of the tick
  std::uint32_t length = 1;  // frames in the tick
  std::uint16_t order = 0;   // index in the order list
  std::uint16_t row = 0;
  std::uint32_t tick = 0;          // index of this tick within its row
  std::uint32_t ticks_in_row = 1;  // speed x (1 + pattern delay)
};

struct row_position {
  std::uint16_t order = 0;
  std::uint16_t row = 0;
  std::uint32_t fraction = 0;  // of the row, in 1/256 steps: 0..255
};

// The recent ticks of one module, oldest first. Only the ticks between what
// is heard and what is rendered are needed, which is a few buffers' worth;
// older ones are overwritten.
class tick_timeline {
 public:
  // Ticks no shorter than XM's fastest (255 BPM: 432 frames at 44100 Hz)
  // cover several seconds, far more than the output latency.
  static constexpr std::size_t capacity = 1024;

  void clear();
  // Records arrive in stream order. A record that starts before the end of
  // the previous one cuts the previous one short.
  void push(const tick_record& record);
  // The module ended: nothing of it is played from end_frame on.
  void finish(std::uint64_t end_frame);

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  const tick_record& record(std::size_t i) const { return get(i); }  // 0: oldest kept
  bool finished() const { return finished_; }
  std::uint64_t end_frame() const { return end_frame_; }
  const tick_record& newest() const;

  // The position heard at output frame `frame`. Before the first tick it is
  // the start of the first tick; past the last tick (the module's end, or a
  // gap before more is rendered) it is the last frame of the last tick, so a
  // position never runs into the next row before that row is rendered. Empty
  // timeline: nothing.
  std::optional<row_position> at(std::uint64_t frame) const;

 private:
  const tick_record& get(std::size_t i) const { return ring_[(head_ + i) % capacity]; }
  tick_record& get(std::size_t i) { return ring_[(head_ + i) % capacity]; }

  std::array<tick_record, capacity> ring_{};
  std::size_t head_ = 0;  // oldest record
  std::size_t size_ = 0;
  bool finished_ = false;
  std::uint64_t end_frame_ = 0;
};

// Fraction of a row: tick and offset within the tick, scaled to 0..255.
std::uint32_t row_fraction(const tick_record& record, std::uint64_t offset);

// Which output frame is being heard. Each audio callback reports when it ran
// and which frames it wrote; frames written by a callback start sounding
// `latency` frames later (the device still plays what it was given before).
// Between callbacks the position runs on with the steady clock, but never past
// what the last callback can account for, and it never goes backwards.
class output_clock {
 public:
  void reset(std::uint32_t rate, std::uint32_t latency);
  // Audio thread: a callback is about to write frames [first, first + count).
  void on_callback(std::uint64_t first, std::uint32_t count, steady_time now);
  // The frame heard at `now`; 0 before the first callback.
  std::uint64_t heard(steady_time now);
  // The frame that will be heard `frames` after the one heard at `now`, as
  // far as the callbacks have written: a look ahead within the output's
  // latency. Never goes back from an earlier answer of its own.
  std::uint64_t ahead(steady_time now, std::uint64_t frames);
  // True when callbacks have come before but none for `limit` (the output has
  // stalled); false before the first callback.
  bool stalled(steady_time now, std::chrono::nanoseconds limit) const;

 private:
  std::uint32_t rate_ = 44100;
  std::uint32_t latency_ = 0;
  bool started_ = false;
  steady_time last_time_{};
  std::uint64_t last_first_ = 0;
  std::uint32_t last_count_ = 0;
  std::uint64_t reported_ = 0;
  std::uint64_t reported_ahead_ = 0;
};

}  // namespace audio_internal

#endif
