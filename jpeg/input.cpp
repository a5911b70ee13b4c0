// Input buffer and bit reader: an 8192-byte buffer filled from the caller's
// stream, an endless run of synthesised EOI markers after the data ends, and
// the raw and entropy-coded readers over one bit window (bit_reader.h).
#include "bit_reader.h"

#include <cstdint>
#include <cstring>

namespace jpeg {

void engine_core::fill_input_buffer() {
  std::uint8_t* const start = input_storage + input_pushback_bytes;
  bits.cursor = bits.end = start;
  bits.plain_end = start;
  if (end_of_stream) return;
  if (stream == nullptr) abort_decode(input_read_failed);
  int filled = 0;
  do {
    const int room = input_buffer_bytes - filled;
    const int got = stream->read_bytes(start + filled, room, &end_of_stream);
    if (got < 0 || got > room) abort_decode(input_read_failed);
    // A stream that delivers nothing and still does not report its end would
    // keep this loop spinning for ever; its data has ended all the same.
    if (got == 0) end_of_stream = true;
    filled += got;
  } while (filled < input_buffer_bytes && !end_of_stream);
  bits.end = start + filled;
}

int engine_core::read_byte() {
  bool synthesised;
  return read_byte_flagged(synthesised);
}

int engine_core::read_byte_flagged(bool& synthesised) {
  if (bits.cursor == bits.end) {
    fill_input_buffer();
    if (bits.cursor == bits.end) {
      // Past the end: 0xFF 0xD9 pairs for ever, so every reader meets an EOI.
      synthesised = true;
      const int b = end_byte_toggle == 0 ? 0xFF : 0xD9;
      end_byte_toggle ^= 1;
      return b;
    }
  }
  synthesised = false;
  return *bits.cursor++;
}

void engine_core::unread_byte(int b) {
  // Callers push back at most a handful of bytes in a row, well within the
  // room in front of the buffer; the check keeps a logic slip from writing
  // outside the object.
  if (bits.cursor == input_storage) abort_decode(input_read_failed);
  *--bits.cursor = static_cast<std::uint8_t>(b);
  bits.plain_end = bits.cursor;
}

int engine_core::read_entropy_byte() {
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

// The two bytes where stuffing, a marker, the buffer's end or the data's end
// may lie among them; then the next 0xFF is looked for again.
std::uint32_t engine_core::next_entropy_pair_slow() {
  const auto c1 = static_cast<std::uint32_t>(read_entropy_byte());
  const std::uint32_t pair = (c1 << 8) | static_cast<std::uint32_t>(read_entropy_byte());
  bits.plain_end = find_plain_end(bits.cursor, bits.end);
  return pair;
}

std::uint32_t engine_core::read_bits(int n) {
  if (n == 0) return 0;
  return take_bits(bits, n, [this](bit_reader& r, int m) {
    return take_bits_and_refill(r, m, [this](bit_reader&) {
      const auto c1 = static_cast<std::uint32_t>(read_byte());
      return (c1 << 8) | static_cast<std::uint32_t>(read_byte());
    });
  });
}

void engine_core::reload_bit_window(bit_mode mode) {
  bits.fill_at = 16;
  if (mode == bit_mode::raw) {
    read_bits(16);
    read_bits(16);
  } else {
    // A scan or a restart interval begins: no marker met in it yet.
    met_marker = false;
    read_bits_scan(16);
    read_bits_scan(16);
  }
}

void engine_core::prime_scan_bits() {
  // The raw reader has already fetched three or four bytes beyond the scan
  // header; give them back, last first, and read them again as entropy-coded
  // data so that stuffing is removed from them too.
  const int spare = spare_bits(bits);
  const auto window = static_cast<std::uint32_t>(bits.window >> 32);
  if (spare == 16) unread_byte(static_cast<int>(window & 0xFF));
  if (spare >= 8) unread_byte(static_cast<int>((window >> 8) & 0xFF));
  unread_byte(static_cast<int>((window >> 16) & 0xFF));
  unread_byte(static_cast<int>(window >> 24));
  reload_bit_window(bit_mode::entropy);
}

void engine_core::skip_scan_data() {
  // The bytes in the bit window are data of the scan; from the cursor on,
  // the search is next_marker_code's, which also passes stuffed zeros and
  // restart markers, so that the engine stands where reading the scan would
  // have left it.
  for (;;) {
    for (;;) {
      const auto left = static_cast<std::size_t>(bits.end - bits.cursor);
      if (auto* found = static_cast<std::uint8_t*>(std::memchr(bits.cursor, 0xFF, left))) {
        bits.cursor = found + 1;
        break;
      }
      bits.cursor = bits.end;
      // Past the end of the data the synthesised bytes begin with 0xFF.
      if (read_byte() == 0xFF) break;
    }
    int c;
    do c = read_byte();
    while (c == 0xFF);
    if (c == 0 || (c >= marker::rst0 && c <= marker::rst7)) continue;
    unread_byte(c);
    unread_byte(0xFF);
    return;
  }
}

std::uint32_t engine_core::input_offset() const {
  // Bytes pushed back in front of the buffer are the ones read from there.
  const auto buffered = static_cast<std::uint32_t>(bits.end - bits.cursor);
  return shared.memory->position - shared.first_position - buffered;
}

void engine_core::advance_input_to(std::uint32_t offset) {
  // The buffer is refilled as reading would refill it, so that the stream
  // is read as far as reading would have read it.
  for (;;) {
    const std::uint32_t ahead = offset - input_offset();
    if (ahead <= static_cast<std::uint32_t>(bits.end - bits.cursor)) {
      bits.cursor += ahead;
      bits.plain_end = bits.cursor;
      return;
    }
    bits.cursor = bits.end;
    fill_input_buffer();
    // An offset past the data: a slip, not an input.
    if (bits.cursor == bits.end) abort_decode(input_read_failed);
  }
}

}  // namespace jpeg
