// Row output driver: hands out the picture one line at a time, decoding the
// next MCU row whenever the lines of the current one are used up.
#include "engine_internal.h"
#include "kernels.h"

#include <cstdint>

namespace jpeg {

void jpeg_decoder_engine::convert_current_line() {
  const int line = mcu_height - mcu_lines_remaining;
  if (upsample_in_frequency_domain) {
    convert_upsampled_line(colour, mcu_samples, frame_mcus_per_row, line, output_line);
    return;
  }
  switch (scan_type) {
    case component_layout::grey: convert_grey_line(mcu_samples, frame_mcus_per_row, line, output_line); break;
    case component_layout::h1v1: convert_h1v1_line(colour, mcu_samples, frame_mcus_per_row, line, output_line); break;
    case component_layout::h2v1: convert_h2v1_line(colour, mcu_samples, frame_mcus_per_row, line, output_line); break;
    case component_layout::h1v2:
      // Both lines of a chroma row in one pass; the odd line was converted
      // with the even one before it.
      if ((mcu_lines_remaining & 1) == 0) {
        convert_h1v2_lines(colour, mcu_samples, frame_mcus_per_row, line, output_line, second_output_line);
      }
      break;
    case component_layout::h2v2:
      // Always upsampled in the frequency domain (handled above).
      break;
  }
}

int jpeg_decoder_engine::decode_row(const std::uint8_t** line, std::uint32_t* length) noexcept {
  if (status_ != 0 || !decoding_started) return -1;
  if (lines_remaining == 0) return 1;
  if (mcu_lines_remaining == 0) {
    try {
      // Progressive frames are refused by start_decoding until their block
      // decoders exist, so every started frame is sequential here.
      decode_baseline_mcu_row();
      if (lines_remaining <= mcu_height) find_end_of_image();
    } catch (const decode_abort&) {
      return -1;
    }
    mcu_lines_remaining = mcu_height;
  }

  convert_current_line();
  const bool second = scan_type == component_layout::h1v2 && (mcu_lines_remaining & 1) != 0;
  if (line != nullptr) *line = second ? second_output_line : output_line;
  if (length != nullptr) *length = static_cast<std::uint32_t>(row_bytes);
  --mcu_lines_remaining;
  --lines_remaining;
  return 0;
}

}  // namespace jpeg
