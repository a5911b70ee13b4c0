// Where the music is: tick records of the rendered stream and the clock of
// the heard stream.
#include "position_timeline.h"

#include <algorithm>

namespace audio_internal {

void tick_timeline::clear() {
  head_ = 0;
  size_ = 0;
  finished_ = false;
  end_frame_ = 0;
}

void tick_timeline::push(const tick_record& record) {
  tick_record r = record;
  if (r.length == 0) r.length = 1;
  if (r.ticks_in_row == 0) r.ticks_in_row = 1;
  if (size_ > 0) {
    tick_record& last = get(size_ - 1);
    if (r.start <= last.start) {
      // A tick at the same place replaces the one it overlaps completely.
      r.start = std::max(r.start, last.start);
      last = r;
      return;
    }
    if (last.start + last.length > r.start) last.length = static_cast<std::uint32_t>(r.start - last.start);
  }
  if (size_ == capacity) {
    head_ = (head_ + 1) % capacity;
    --size_;
  }
  get(size_) = r;
  ++size_;
}

void tick_timeline::finish(std::uint64_t end_frame) {
  finished_ = true;
  end_frame_ = end_frame;
  if (size_ > 0) {
    tick_record& last = get(size_ - 1);
    if (end_frame > last.start && end_frame - last.start < last.length)
      last.length = static_cast<std::uint32_t>(end_frame - last.start);
  }
}

const tick_record& tick_timeline::newest() const { return get(size_ - 1); }

std::uint32_t row_fraction(const tick_record& r, std::uint64_t offset) {
  // In units of 1/(ticks_in_row * length) of a row; 64-bit products cannot
  // overflow for 32-bit tick counts and lengths.
  const std::uint64_t length = r.length ? r.length : 1;
  const std::uint64_t ticks = r.ticks_in_row ? r.ticks_in_row : 1;
  const std::uint64_t into_row = std::min<std::uint64_t>(r.tick, ticks) * length + std::min(offset, length - 1);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(255, into_row * 256 / (ticks * length)));
}

std::optional<row_position> tick_timeline::at(std::uint64_t frame) const {
  if (size_ == 0) return std::nullopt;
  // The heard frame trails the newest records by a few ticks only, so the
  // search runs from the newest end.
  std::size_t i = size_;
  while (i > 0 && get(i - 1).start > frame) --i;
  if (i == 0) {
    const tick_record& first = get(0);
    return row_position{first.order, first.row, row_fraction(first, 0)};
  }
  const tick_record& r = get(i - 1);
  return row_position{r.order, r.row, row_fraction(r, frame - r.start)};
}

void output_clock::reset(std::uint32_t rate, std::uint32_t latency) {
  *this = output_clock{};
  rate_ = rate ? rate : 1;
  latency_ = latency;
}

void output_clock::on_callback(std::uint64_t first, std::uint32_t count, steady_time now) {
  started_ = true;
  last_time_ = now;
  last_first_ = first;
  last_count_ = count;
}

std::uint64_t output_clock::heard(steady_time now) {
  if (!started_) return reported_;
  // The callback's first frame starts sounding `latency` frames after it ran;
  // until then the frames before it are playing.
  // Clamped so the product below stays far from overflow; the result is
  // capped at one buffer anyway.
  const auto since =
      std::clamp<std::chrono::nanoseconds>(now - last_time_, std::chrono::nanoseconds{0}, std::chrono::seconds{60});
  const std::uint64_t ran = static_cast<std::uint64_t>(since.count()) * rate_ / 1000000000u;
  std::uint64_t frame = last_first_ + std::min<std::uint64_t>(ran, last_count_);
  frame = frame > latency_ ? frame - latency_ : 0;
  reported_ = std::max(reported_, frame);
  return reported_;
}

std::uint64_t output_clock::ahead(steady_time now, std::uint64_t frames) {
  const std::uint64_t frame = heard(now);
  if (!started_) return reported_ahead_;
  // Past what has been written the timeline knows nothing yet.
  const std::uint64_t written = last_first_ + last_count_;
  const std::uint64_t target = frame + std::min(frames, written > frame ? written - frame : 0);
  reported_ahead_ = std::max(reported_ahead_, target);
  return reported_ahead_;
}

bool output_clock::stalled(steady_time now, std::chrono::nanoseconds limit) const {
  return started_ && now - last_time_ > limit;
}

}  // namespace audio_internal
