// Input buffer and bit reader: an 8192-byte buffer filled from the caller's
// stream, an endless run of synthesised EOI markers after the data ends, and
// the raw and entropy-coded readers over one 32-bit bit window.
#include "bit_reader.h"

#include <cstdint>

namespace jpeg {

namespace {
constexpr std::uint8_t* buffer_start(std::uint8_t* storage) {
  return storage + jpeg_decoder_engine::input_pushback_bytes;
}
}  // namespace

void jpeg_decoder_engine::fill_input_buffer() {
  input_remaining = 0;
  input_cursor = buffer_start(input_storage);
  if (end_of_stream) return;
  if (stream == nullptr) abort_decode(input_read_failed);
  do {
    const int room = input_buffer_bytes - input_remaining;
    const int got = stream->read_bytes(input_cursor + input_remaining, room, &end_of_stream);
    if (got < 0 || got > room) abort_decode(input_read_failed);
    // A stream that delivers nothing and still does not report its end would
    // keep this loop spinning for ever; its data has ended all the same.
    if (got == 0) end_of_stream = true;
    input_remaining += got;
  } while (input_remaining < input_buffer_bytes && !end_of_stream);
}

int jpeg_decoder_engine::read_byte() {
  bool synthesised;
  return read_byte_flagged(synthesised);
}

int jpeg_decoder_engine::read_byte_flagged(bool& synthesised) {
  if (input_remaining == 0) {
    fill_input_buffer();
    if (input_remaining == 0) {
      // Past the end: 0xFF 0xD9 pairs for ever, so every reader meets an EOI.
      synthesised = true;
      const int b = end_byte_toggle == 0 ? 0xFF : 0xD9;
      end_byte_toggle ^= 1;
      return b;
    }
  }
  synthesised = false;
  --input_remaining;
  return *input_cursor++;
}

void jpeg_decoder_engine::unread_byte(int b) {
  // Callers push back at most a handful of bytes in a row, well within the
  // room in front of the buffer; the check keeps a logic slip from writing
  // outside the object.
  if (input_cursor == input_storage) abort_decode(input_read_failed);
  *--input_cursor = static_cast<std::uint8_t>(b);
  ++input_remaining;
}

int jpeg_decoder_engine::read_entropy_byte() {
  bool synthesised;
  const int b1 = read_byte_flagged(synthesised);
  if (b1 != 0xFF || synthesised) return b1;
  const int b2 = read_byte_flagged(synthesised);
  if (synthesised) {
    unread_byte(0xFF);
    return 0xFF;
  }
  if (b2 == 0) return 0xFF;  // stuffed zero after a 0xFF data byte
  // A marker: leave it next in the input, so that every later call meets it
  // again and the data read as one bits until the marker is taken out.
  met_marker = true;
  unread_byte(b2);
  unread_byte(0xFF);
  return 0xFF;
}

std::uint32_t jpeg_decoder_engine::read_bits(int n) {
  if (n == 0) return 0;
  const std::uint32_t result = bit_window >> (32 - n);
  const int old_spare = spare_bits;
  spare_bits -= n;
  if (spare_bits > 0) {
    bit_window <<= n;
    return result;
  }
  bit_window <<= old_spare;
  const std::uint32_t c1 = static_cast<std::uint32_t>(read_byte());
  const std::uint32_t c2 = static_cast<std::uint32_t>(read_byte());
  bit_window = (bit_window & 0xFFFF0000u) | (c1 << 8) | c2;
  bit_window <<= -spare_bits;
  spare_bits += 16;
  return result;
}

void jpeg_decoder_engine::reload_bit_window(bit_mode mode) {
  spare_bits = 16;
  if (mode == bit_mode::raw) {
    read_bits(16);
    read_bits(16);
  } else {
    read_bits_scan(16);
    read_bits_scan(16);
  }
}

void jpeg_decoder_engine::prime_scan_bits() {
  // The raw reader has already fetched three or four bytes beyond the scan
  // header; give them back, last first, and read them again as entropy-coded
  // data so that stuffing is removed from them too.
  if (spare_bits == 16) unread_byte(static_cast<int>(bit_window & 0xFF));
  if (spare_bits >= 8) unread_byte(static_cast<int>((bit_window >> 8) & 0xFF));
  unread_byte(static_cast<int>((bit_window >> 16) & 0xFF));
  unread_byte(static_cast<int>(bit_window >> 24));
  met_marker = false;
  reload_bit_window(bit_mode::entropy);
}

}  // namespace jpeg
