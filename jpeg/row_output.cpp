// Row output driver: hands out the picture one line at a time, decoding the
// next MCU row whenever the lines of the current one are used up.
#include "engine_internal.h"
#include "kernels.h"

#include <cstdint>
#include <cstring>

namespace jpeg {

bool engine_core::start_next_line() noexcept(true) {
  if (mcu_lines_remaining != 0) return true;
  try {
    const int row = (height() - lines_remaining) / mcu_height;
    // Where the rows come from is chosen once, with the first: the threads
    // of a ring, or this thread alone as below.
    if (row == 0) start_row_threads(false);
    if (ring != nullptr) {
      // The converters read the row wherever the threads left it.
      mcu_samples = take_threaded_row(row);
    } else {
      // A progressive picture's coefficients were all decoded by
      // start_decoding; its MCU rows come out of the coefficient stores.
      if (frame.progressive) {
        reconstruct_progressive_row(row, mcu_samples);
      } else {
        decode_baseline_mcu_row();
      }
      if (lines_remaining <= mcu_height) find_end_of_image();
    }
  } catch (const decode_abort&) {
    return false;
  }
  mcu_lines_remaining = mcu_height;
  return true;
}

void engine_core::convert_mcus(int first, int count, std::uint8_t* out, std::uint8_t* second) {
  const int line = mcu_height - mcu_lines_remaining;
  const kernel_table& kernels = selected_kernels();
  const layout_facts& layout = facts_of(scan_type);
  if (scale_shift != 0) {
    // The scaled row's 8-pixel columns, laid out as grey or h1v1 MCUs.
    const std::uint8_t* columns = mcu_samples + static_cast<std::size_t>(first) * layout.components * 64;
    if (layout.components == 1) {
      convert_grey_line(columns, count, line, out);
    } else {
      kernels.convert_h1v1_line(colour, columns, count, line, out);
    }
    return;
  }
  const std::uint8_t* samples = mcu_samples + static_cast<std::size_t>(first) * layout.sample_blocks * 64;
  if (layout.upsampled) {
    kernels.convert_upsampled_line(colour, samples, count, line, out);
    return;
  }
  switch (scan_type) {
    case component_layout::grey: convert_grey_line(samples, count, line, out); break;
    case component_layout::h1v1: kernels.convert_h1v1_line(colour, samples, count, line, out); break;
    case component_layout::h2v1: kernels.convert_h2v1_line(colour, samples, count, line, out); break;
    // Both lines of a chroma row in one pass.
    case component_layout::h1v2: kernels.convert_h1v2_lines(colour, samples, count, line, out, second); break;
    case component_layout::h2v2: break;  // always upsampled in the frequency domain
  }
}

bool engine_core::line_already_converted() const {
  // The odd line of a pair was converted with the even one before it.
  return scale_shift == 0 && facts_of(scan_type).paired_lines && (mcu_lines_remaining & 1) != 0;
}

int engine_core::decode_row(const std::uint8_t** line, std::uint32_t* length) noexcept(true) {
  if (status_ != 0 || !decoding_started) return -1;
  if (lines_remaining == 0) return 1;
  if (!start_next_line()) return -1;

  const bool converted = line_already_converted();
  if (!converted) convert_mcus(0, output_mcus_per_row, output_line, second_output_line);
  if (line != nullptr) *line = converted ? second_output_line : output_line;
  if (length != nullptr) *length = static_cast<std::uint32_t>(row_bytes);
  --mcu_lines_remaining;
  --lines_remaining;
  return 0;
}

int engine_core::decode_row_into(std::uint8_t* row) noexcept(true) {
  if (status_ != 0 || !decoding_started) return -1;
  if (lines_remaining == 0) return 1;
  if (!start_next_line()) return -1;

  if (line_already_converted()) {
    std::memcpy(row, second_output_line, static_cast<std::size_t>(row_bytes));
  } else {
    // Whole MCUs go straight into the caller's row; the one that reaches
    // past the picture's right edge goes through the line buffer, from which
    // only the picture's part is copied. The bytes are the same either way.
    const int whole = width() / mcu_width;
    convert_mcus(0, whole, row, second_output_line);
    if (whole < output_mcus_per_row) {
      const std::size_t offset = static_cast<std::size_t>(whole) * mcu_width * output_pixel_bytes;
      convert_mcus(whole, 1, output_line + offset,
                   second_output_line == nullptr ? nullptr : second_output_line + offset);
      std::memcpy(row + offset, output_line + offset, static_cast<std::size_t>(row_bytes) - offset);
    }
  }
  --mcu_lines_remaining;
  --lines_remaining;
  return 0;
}

}  // namespace jpeg
