// Internal to the decoder: the entropy-coded-data bit reader, inline because
// the Huffman decoders and block decoders (huffman.h, the baseline and
// progressive stages) call it for every symbol. input.cpp holds the rest of
// the input stage.
#ifndef JPEG_BIT_READER_H
#define JPEG_BIT_READER_H

#include "engine_internal.h"

#include <cstdint>

namespace jpeg {

// n may be 0 to 16 + spare_bits: the window always holds at least 16 valid
// bits at its top, so a code can be looked at before it is consumed, and a
// code with its magnitude bits can be taken in one call.
inline std::uint32_t jpeg_decoder_engine::read_bits_scan(int n) {
  if (n == 0) return 0;  // a shift by 32 is undefined
  const std::uint32_t result = bit_window >> (32 - n);
  const int old_spare = spare_bits;
  spare_bits -= n;
  if (spare_bits > 0) [[likely]] {
    bit_window <<= n;
    return result;
  }
  // Refill two bytes. The shifts split n so that no single shift reaches 32:
  // old_spare and -spare_bits are each 0 to 16.
  bit_window <<= old_spare;
  std::uint32_t pair;
  if (input_remaining >= 2 && input_cursor[0] != 0xFF && input_cursor[1] != 0xFF) [[likely]] {
    pair = (static_cast<std::uint32_t>(input_cursor[0]) << 8) | input_cursor[1];
    input_cursor += 2;
    input_remaining -= 2;
  } else {
    const std::uint32_t c1 = static_cast<std::uint32_t>(read_entropy_byte());
    pair = (c1 << 8) | static_cast<std::uint32_t>(read_entropy_byte());
  }
  bit_window = (bit_window & 0xFFFF0000u) | pair;
  bit_window <<= -spare_bits;
  spare_bits += 16;
  return result;
}

}  // namespace jpeg

#endif
