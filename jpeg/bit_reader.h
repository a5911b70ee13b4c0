// Internal to the decoder: the bit reader's operations, inline because the
// Huffman and block decoders (huffman.h, the sequential and progressive
// stages) call them for every symbol. input.cpp holds the rest of the input
// stage.
//
// One bit_reader (jpeg_decoder.h) serves every reader: the engine's own,
// which the header parser and the plain symbol decoders use, and the copies
// that the block decoders keep in locals, so that the many short reads of a
// row or a block stay in registers. Its invariants between reads:
//
//   window     holds 16 + spare valid bits at its top, spare = 0..16: so a
//              code of up to 16 bits can be looked at before it is consumed,
//              and one read may take up to 16 + spare bits (a code with its
//              magnitude bits). Below the valid bits: zeros, or the leading
//              bits of the two bytes at `cursor` exactly where a refill puts
//              them (take_bits_pre_placed leaves them there), which a read
//              never returns before it has taken those bytes in.
//   fill_at    32 - spare, 16..32: the shift that puts the next two bytes
//              right behind the valid bits. 64-bit, like the cursor that the
//              same steps move, so that no sign extension sits between them.
//   cursor     the next unread byte; [cursor, end) is the input not yet read.
//   plain_end  no byte in [cursor, plain_end) is 0xFF, so while
//              plain_end - cursor >= 2 the next two bytes are plain data.
//              unread_byte and fill_input_buffer set it to the cursor; the
//              slow refill looks for the next 0xFF again.
//
// Every refill takes in two bytes when a read leaves no spare bit, in the
// raw reader (headers) and the entropy-coded one alike, so both consume the
// same bytes at the same reads.
#ifndef JPEG_BIT_READER_H
#define JPEG_BIT_READER_H

#include "engine_internal.h"

#include <cassert>
#include <cstdint>
#include <cstring>

namespace jpeg {

inline int spare_bits(const bit_reader& r) { return static_cast<int>(32 - r.fill_at); }

inline void assert_bit_reader_invariants([[maybe_unused]] const bit_reader& r) {
  assert(r.fill_at >= 16 && r.fill_at <= 32);
  assert(r.cursor <= r.end && r.plain_end <= r.end);
}

// The two bytes at the cursor, which the caller knows to be plain data.
inline std::uint32_t plain_pair(const bit_reader& r) {
  assert(r.plain_end - r.cursor >= 2 && r.cursor[0] != 0xFF && r.cursor[1] != 0xFF);
  return (static_cast<std::uint32_t>(r.cursor[0]) << 8) | r.cursor[1];
}

// The first 0xFF byte in [cursor, end), or end.
inline const std::uint8_t* find_plain_end(const std::uint8_t* cursor, const std::uint8_t* end) {
  const void* ff = std::memchr(cursor, 0xFF, static_cast<std::size_t>(end - cursor));
  return ff != nullptr ? static_cast<const std::uint8_t*>(ff) : end;
}

// The callbacks below get the reader as a parameter rather than in a
// closure: a block decoder's copy stays in registers only while nothing
// holds its address.

// Consumes n bits, 1 <= n <= 16 + spare, and returns them, while that leaves
// a spare bit; otherwise refill(r, n) does the read (take_bits_and_refill).
template <class Refill>
JPEG_ALWAYS_INLINE std::uint32_t take_bits(bit_reader& r, int n, Refill&& refill) {
  assert_bit_reader_invariants(r);
  const std::int64_t after = r.fill_at + n;
  if (after < 32) [[likely]] {
    const auto result = static_cast<std::uint32_t>(r.window >> (64 - n));
    r.window <<= n;
    r.fill_at = after;
    return result;
  }
  return refill(r, n);
}

// The read that leaves no spare bit: n bits consumed and returned, and the
// next two bytes, from next_pair(r), taken in. The window shifts in two
// steps, by the old spare count and then by the rest, so that no shift
// reaches its width, and what lies below the valid bits is cleared on the
// way.
template <class NextPair>
JPEG_ALWAYS_INLINE std::uint32_t take_bits_and_refill(bit_reader& r, int n, NextPair&& next_pair) {
  const auto result = static_cast<std::uint32_t>(r.window >> (64 - n));
  const std::int64_t after = r.fill_at + n;
  r.window <<= 32 - r.fill_at;
  const std::uint64_t pair = next_pair(r);
  r.window = ((r.window & 0xFFFF000000000000u) | (pair << 32)) << (after - 32);
  r.fill_at = after - 16;
  return result;
}

// take_bits for the sequential block decoder, where reads come too densely
// for a branch on the refill: while the next two bytes are plain data they
// are always placed right behind the valid bits, and taken in (cursor + 2,
// 16 bits credited) only when the read leaves no spare bit. The count is the
// low 6 bits of `entry`; the bits above are ignored, so that a table entry
// goes in as it stands, and the window's shift, which takes its count
// modulo 64 anyway, waits for nothing but the table load.
template <class NextPair>
JPEG_ALWAYS_INLINE std::uint32_t take_bits_pre_placed(bit_reader& r, std::int32_t entry, NextPair&& next_pair) {
  const int n = entry & 63;
  if (r.plain_end - r.cursor >= 2) [[likely]] {
    assert_bit_reader_invariants(r);
    const auto result = static_cast<std::uint32_t>(r.window >> (64 - n));
    const std::uint64_t pair = plain_pair(r);
    r.window = (r.window | (pair << r.fill_at)) << (entry & 63);
    // 17 to 48; 32 or more exactly when no spare bit is left.
    const std::int64_t after = r.fill_at + n;
    const std::int64_t refill = after >> 5;
    r.cursor += 2 * refill;
    r.fill_at = after - 16 * refill;
    return result;
  }
  return take_bits(r, n, [&next_pair](bit_reader& s, int m) { return take_bits_and_refill(s, m, next_pair); });
}

// The next two bytes of entropy-coded data for r, the engine's reader or a
// copy of it: straight from the buffer while they are plain data, else the
// slow way, through the engine's reader; it moves only the input position
// (cursor, end, plain_end).
JPEG_ALWAYS_INLINE std::uint32_t engine_core::next_entropy_pair(bit_reader& r) {
  if (r.plain_end - r.cursor >= 2) [[likely]] {
    const std::uint32_t pair = plain_pair(r);
    r.cursor += 2;
    return pair;
  }
  bits.cursor = r.cursor;
  bits.end = r.end;
  bits.plain_end = r.plain_end;
  const std::uint32_t pair = next_entropy_pair_slow();
  r.cursor = bits.cursor;
  r.end = bits.end;
  r.plain_end = bits.plain_end;
  return pair;
}

// n may be 0 to 16 + spare.
inline std::uint32_t engine_core::read_bits_scan(int n) {
  if (n == 0) return 0;  // a shift by 64 is undefined
  return take_bits(bits, n, [this](bit_reader& r, int m) {
    return take_bits_and_refill(r, m, [this](bit_reader& s) { return next_entropy_pair(s); });
  });
}

// abort_decode from a block decoder, with its copy of the reader put back.
// Inline, so that no caller's copy has its address taken.
[[noreturn]] JPEG_ALWAYS_INLINE void engine_core::abort_with_reader(const bit_reader& reader, int code) {
  bits = reader;
  abort_decode(code);
}

}  // namespace jpeg

#endif
