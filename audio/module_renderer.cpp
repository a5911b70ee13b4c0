// Tick-exact rendering of a module into the output stream.
#include "module_renderer.h"

#include <libopenmpt/libopenmpt.h>

#include <algorithm>
#include <cstring>

namespace audio_internal {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The x of an EEx in the row, 0 without one. A row holding EEx in several
// channels takes the rightmost one, the last the player processes. It is
// read in the tracker's own notation (effect E, parameter Ex) rather than
// through libopenmpt's internal command numbers.
std::uint8_t pattern_delay(openmpt_module* module, std::int32_t pattern, std::int32_t row) {
  std::uint8_t delay = 0;
  const std::int32_t channels = openmpt_module_get_num_channels(module);
  for (std::int32_t ch = 0; ch < channels; ++ch) {
    const char* effect =
        openmpt_module_format_pattern_row_channel_command(module, pattern, row, ch, OPENMPT_MODULE_COMMAND_EFFECT);
    const bool extended = effect && std::strcmp(effect, "E") == 0;
    openmpt_free_string(effect);
    if (!extended) continue;
    const char* param =
        openmpt_module_format_pattern_row_channel_command(module, pattern, row, ch, OPENMPT_MODULE_COMMAND_PARAMETER);
    if (param && (param[0] == 'E' || param[0] == 'e') && hex_digit(param[1]) >= 0)
      delay = static_cast<std::uint8_t>(hex_digit(param[1]));
    openmpt_free_string(param);
  }
  return delay;
}

}  // namespace

module_renderer::module_renderer(openmpt_module* module, std::uint32_t rate) : module_(module), rate_(rate) {
  const std::int32_t patterns = std::max(0, openmpt_module_get_num_patterns(module_));
  pattern_first_row_.reserve(static_cast<std::size_t>(patterns) + 1);
  for (std::int32_t pattern = 0; pattern < patterns; ++pattern) {
    pattern_first_row_.push_back(row_delay_.size());
    const std::int32_t rows = openmpt_module_get_pattern_num_rows(module_, pattern);
    for (std::int32_t row = 0; row < rows; ++row) row_delay_.push_back(pattern_delay(module_, pattern, row));
  }
  pattern_first_row_.push_back(row_delay_.size());
}

void module_renderer::restart() {
  left_in_tick_ = 0;
  in_row_ = false;
  ended_ = false;
}

std::uint32_t module_renderer::tick_length(std::uint32_t rate, std::int32_t tempo) {
  if (tempo <= 0) tempo = 125;
  return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::uint64_t{rate} * 5 / (2 * std::uint64_t(tempo))));
}

std::uint32_t module_renderer::ticks_in_row(std::int32_t order, std::int32_t row, std::int32_t speed) const {
  const std::uint32_t ticks = speed > 0 ? static_cast<std::uint32_t>(speed) : 1;
  const std::int32_t pattern = openmpt_module_get_order_pattern(module_, order);
  if (pattern < 0 || static_cast<std::size_t>(pattern) + 1 >= pattern_first_row_.size() || row < 0) return ticks;
  const std::size_t index = pattern_first_row_[pattern] + static_cast<std::size_t>(row);
  if (index >= pattern_first_row_[pattern + 1]) return ticks;
  return ticks * (1 + std::uint32_t{row_delay_[index]});
}

void module_renderer::start_tick(std::uint64_t at, tick_timeline& timeline) {
  const std::int32_t order = openmpt_module_get_current_order(module_);
  const std::int32_t row = openmpt_module_get_current_row(module_);
  // Row starts are told apart by a change of order or row. A row that repeats
  // itself in place (a pattern loop on one row) reads as one long row, whose
  // fraction then waits at its end; so does a row that lasts longer than
  // expected.
  if (in_row_ && order == tick_.order && row == tick_.row) {
    ++tick_.tick;
  } else {
    tick_.order = static_cast<std::uint16_t>(std::clamp(order, 0, 0xFFFF));
    tick_.row = static_cast<std::uint16_t>(std::clamp(row, 0, 0xFFFF));
    tick_.tick = 0;
    tick_.ticks_in_row = ticks_in_row(order, row, openmpt_module_get_current_speed(module_));
    in_row_ = true;
  }
  tick_.start = at;
  tick_.length = tick_length(rate_, openmpt_module_get_current_tempo(module_));
  timeline.push(tick_);
}

std::size_t module_renderer::render(std::int16_t* out, std::size_t frames, std::uint64_t first,
                                    tick_timeline& timeline) {
  std::size_t done = 0;
  while (done < frames && !ended_) {
    if (left_in_tick_ == 0) {
      // Reading the first frame alone makes the module step into the next
      // tick, so its state describes the tick that starts here. If the tick
      // length was misjudged, the row change is caught at the next tick start
      // instead, a little late but never early.
      if (openmpt_module_read_interleaved_stereo(module_, static_cast<std::int32_t>(rate_), 1, out + 2 * done) == 0) {
        ended_ = true;
        break;
      }
      start_tick(first + done, timeline);
      ++done;
      left_in_tick_ = tick_.length - 1;
      continue;
    }
    const std::size_t want = std::min<std::size_t>(left_in_tick_, frames - done);
    const std::size_t got =
        openmpt_module_read_interleaved_stereo(module_, static_cast<std::int32_t>(rate_), want, out + 2 * done);
    done += got;
    left_in_tick_ -= static_cast<std::uint32_t>(got);
    if (got < want) ended_ = true;
  }
  // After its end the module reports the place it would loop to; the
  // timeline keeps the last tick actually rendered.
  if (ended_ && !timeline.finished()) timeline.finish(first + done);
  return done;
}

}  // namespace audio_internal
