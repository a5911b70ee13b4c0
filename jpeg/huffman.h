// Internal to the decoder: Huffman decoding tables and the two symbol
// decoders, inline for the block decoders (baseline and progressive stages)
// that call them for every coefficient. Built by huffman.cpp; allocated and
// rebuilt per scan by setup.cpp; the count check is used by markers.cpp.
#ifndef JPEG_HUFFMAN_H
#define JPEG_HUFFMAN_H

#include "bit_reader.h"

#include <cstdint>

namespace jpeg {

// Decodes codes of up to 8 bits with one look-up and longer ones by a walk of
// at most 8 steps down a binary tree.
//
// first_level[i], i = the next 8 bits: >= 0 is the symbol of a code of at
// most 8 bits that prefixes i; < 0 is a tree node reference; 0 where no code
// begins.
// first_level_with_bits[i]: node references as above, otherwise a symbol
//   entry (below).
// Tree node j owns long_code_tree slots 2j (reached by a 1 bit) and 2j+1
// (a 0 bit) and is referred to as -(2j+1), so from reference n the child for
// bit b is slot -n-b.
//
// fast_value[i], i = the next huffman_fast_bits bits: when a code and all its
// magnitude bits lie within them, a fast entry (below); 0 otherwise. An AC
// table leaves out the symbols without magnitude bits (end of block, sixteen
// zeros), whose run means something else; a DC table keeps the difference
// 0. Consuming the counted bits in one read leaves the bit reader exactly as
// a code read followed by a magnitude read would, since together they never
// take all the bits of the window.
//
// pair_value[i], same index, AC tables of sequential frames only: the
// coefficients that the fast entries give, one or two at a time, and the end
// of block (a pair entry, below). Where the bits left after one fast entry
// hold a second whole one with a value that fits its field, the entry gives
// both; where they hold the end-of-block code, the coefficient and the end
// of block. An end-of-block code alone (of at most 8 bits) has only its
// length and the end-of-block flag. Otherwise the entry gives the fast
// entry's coefficient alone, or 0 where that is 0. Consuming all in one read
// leaves the reader as the separate reads would.
inline constexpr int huffman_fast_bits = 11;

struct huffman_decode_table {
  std::int32_t first_level[256];
  std::int32_t first_level_with_bits[256];
  std::uint8_t code_length[256];
  std::int32_t long_code_tree[512];
  std::int32_t fast_value[1 << huffman_fast_bits];
  std::int32_t pair_value[1 << huffman_fast_bits];
};

// The three entry layouts, each packed and unpacked here only. Every count
// of bits to consume sits in the low bits, so that an entry can go to the
// bit reader as it stands (it takes the count modulo 64); signed fields sit
// at the top or are sign-extended by a shift pair.

// Symbol entry of first_level_with_bits:
//   bits 0-7    the symbol (0..255: 8 bits)
//   bits 8-12   bits to consume: the code (1..8) alone, or code and
//               magnitude together when they fit the 8 looked-up bits
//               (at most 8); 4 bits would do, the field is read with a
//               5-bit mask
//   bit 15      the entry also holds the magnitude bits
//   bits 16-23  their value (at most 7 bits: 8 looked-up bits less a code
//               bit)
inline constexpr std::int32_t huffman_symbol_has_magnitude = 0x8000;
constexpr std::int32_t pack_symbol_entry(int symbol, int bits) { return symbol | (bits << 8); }
constexpr std::int32_t pack_symbol_entry_with_magnitude(int symbol, int bits, int magnitude) {
  return symbol | (bits << 8) | huffman_symbol_has_magnitude | (magnitude << 16);
}
constexpr int symbol_entry_symbol(std::int32_t e) { return e & 255; }
constexpr int symbol_entry_bits(std::int32_t e) { return (e >> 8) & 31; }
constexpr std::uint32_t symbol_entry_magnitude(std::int32_t e) { return static_cast<std::uint32_t>(e) >> 16; }
// Bit 15 set with the sign clear (node references are negative and have bit
// 15 set too).
constexpr bool symbol_entry_has_magnitude(std::int32_t e) {
  return (static_cast<std::uint32_t>(e) & 0x80008000u) == 0x8000u;
}
// Symbol 0 and no node: an AC table's end of block, or bits that begin no
// code, which read as it.
constexpr bool symbol_entry_is_symbol_0(std::int32_t e) { return (static_cast<std::uint32_t>(e) & 0x800000FFu) == 0; }
static_assert(symbol_entry_symbol(pack_symbol_entry_with_magnitude(0xA7, 8, 127)) == 0xA7 &&
              symbol_entry_bits(pack_symbol_entry_with_magnitude(0xA7, 8, 127)) == 8 &&
              symbol_entry_magnitude(pack_symbol_entry_with_magnitude(0xA7, 8, 127)) == 127 &&
              symbol_entry_has_magnitude(pack_symbol_entry_with_magnitude(0xFF, 8, 127)) &&
              !symbol_entry_has_magnitude(pack_symbol_entry(0xFF, 8)) && !symbol_entry_has_magnitude(-1));
static_assert(symbol_entry_is_symbol_0(pack_symbol_entry(0, 8)) && !symbol_entry_is_symbol_0(pack_symbol_entry(1, 2)) &&
              !symbol_entry_is_symbol_0(-256));

// Fast entry of fast_value:
//   bits 0-7    code and magnitude bits together (at most huffman_fast_bits)
//   bits 8-11   the symbol's run (its high four bits)
//   bits 16-31  the signed value: |value| < 2^10, as the magnitude has at
//               most huffman_fast_bits - 1 bits
constexpr std::int32_t pack_fast_entry(int bits, int run, std::int32_t value) {
  return static_cast<std::int32_t>((static_cast<std::uint32_t>(value) << 16) | static_cast<std::uint32_t>(run << 8) |
                                   static_cast<std::uint32_t>(bits));
}
constexpr int fast_entry_bits(std::int32_t e) { return e & 255; }
constexpr int fast_entry_run(std::int32_t e) { return (e >> 8) & 15; }
constexpr std::int32_t fast_entry_value(std::int32_t e) { return e >> 16; }
static_assert(fast_entry_bits(pack_fast_entry(11, 15, -1023)) == 11 &&
              fast_entry_run(pack_fast_entry(11, 15, -1023)) == 15 &&
              fast_entry_value(pack_fast_entry(11, 15, -1023)) == -1023 &&
              fast_entry_value(pack_fast_entry(1, 0, 1023)) == 1023);

// Pair entry of pair_value:
//   bits 0-5    code and magnitude bits of all together (at most
//               huffman_fast_bits: 4 bits; 6 as the reader takes 6)
//   bits 6-9    run before the first coefficient (0..15)
//   bits 10-14  the step to the second place: 0 for one coefficient, 1 +
//               the run before the second (1..16), 1 for a coefficient and
//               the end of block
//   bits 15-19  the second value, -16..15 (0 when there is none)
//   bit 20      the end of block follows
//   bits 21-31  the first value: a fast entry's, |value| < 2^10, in 11 bits
inline constexpr std::int32_t huffman_pair_end_of_block = 1 << 20;
inline constexpr std::int32_t huffman_pair_second_min = -16;
inline constexpr std::int32_t huffman_pair_second_max = 15;
constexpr std::int32_t pack_pair_entry(int bits, int first_run, std::int32_t first_value, int second_step,
                                       std::int32_t second_value, bool end_of_block) {
  return static_cast<std::int32_t>(
      (static_cast<std::uint32_t>(first_value) << 21) | (end_of_block ? huffman_pair_end_of_block : 0) |
      ((static_cast<std::uint32_t>(second_value) & 31u) << 15) | static_cast<std::uint32_t>(second_step << 10) |
      static_cast<std::uint32_t>(first_run << 6) | static_cast<std::uint32_t>(bits));
}
constexpr int pair_entry_bits(std::int32_t e) { return e & 63; }
constexpr int pair_entry_first_run(std::int32_t e) { return (e >> 6) & 15; }
constexpr int pair_entry_second_step(std::int32_t e) { return (e >> 10) & 31; }
constexpr std::int32_t pair_entry_second_value(std::int32_t e) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(e) << 12) >> 27;
}
constexpr bool pair_entry_ends_block(std::int32_t e) { return (e & huffman_pair_end_of_block) != 0; }
constexpr std::int32_t pair_entry_first_value(std::int32_t e) { return e >> 21; }
static_assert(pair_entry_bits(pack_pair_entry(11, 15, -1023, 16, -16, false)) == 11 &&
              pair_entry_first_run(pack_pair_entry(11, 15, -1023, 16, -16, false)) == 15 &&
              pair_entry_first_value(pack_pair_entry(11, 15, -1023, 16, -16, false)) == -1023 &&
              pair_entry_second_step(pack_pair_entry(11, 15, -1023, 16, -16, false)) == 16 &&
              pair_entry_second_value(pack_pair_entry(11, 15, -1023, 16, -16, false)) == -16 &&
              !pair_entry_ends_block(pack_pair_entry(11, 15, -1023, 16, -16, false)));
static_assert(pair_entry_first_value(pack_pair_entry(3, 0, 1023, 1, 15, true)) == 1023 &&
              pair_entry_second_value(pack_pair_entry(3, 0, 1023, 1, 15, true)) == 15 &&
              pair_entry_ends_block(pack_pair_entry(3, 0, 1023, 1, 15, true)));

// False when the 16 code counts (counts[1..16]) are no prefix code (some
// length runs out of code values) or their long codes need more tree nodes
// than huffman_decode_table holds. Such tables are refused when read.
bool huffman_counts_fit(const std::uint8_t counts[17]);

// Builds the decoding table of the code given by counts[1..16] and its
// symbols. A DC table's entries carry each symbol's magnitude bits; an AC
// table of a sequential picture also gets the pair entries that its block
// decoder reads. Counts that do not fit give an empty table.
void build_huffman_decode_table(const std::uint8_t* counts, const std::uint8_t* symbols, bool dc_table, bool sequential,
                                huffman_decode_table& table);

// Magnitude categories of ITU-T T.81 F.2.2.1 (EXTEND): a value below the
// threshold of its size is negative.
inline constexpr std::int32_t extend_threshold[16] = {0,   1,   2,   4,    8,    16,   32,   64,
                                                      128, 256, 512, 1024, 2048, 4096, 8192, 16384};
inline constexpr std::int32_t extend_offset[16] = {0,    -1,   -3,    -7,    -15,   -31,   -63,    -127,
                                                   -255, -511, -1023, -2047, -4095, -8191, -16383, -32767};

// s is 0 to 15; bits is below 2^s, so the sum cannot overflow. Without a
// branch: the sign of a coefficient is as good as random, and a mispredicted
// jump here would cost more than the whole look-up.
inline std::int32_t extend_value(std::uint32_t bits, int s) {
  const auto v = static_cast<std::int32_t>(bits);
  const std::int32_t below = (v - extend_threshold[s]) >> 31;  // -1 when v is below the threshold
  return v + (extend_offset[s] & below);
}

// decode_huffman without magnitude bits over the engine's reader or a copy
// of it: take_some(r, n) consumes n bits, 0 <= n <= 16.
template <class TakeSome>
JPEG_ALWAYS_INLINE int decode_huffman_plain(const huffman_decode_table& table, bit_reader& r, TakeSome&& take_some) {
  const auto window = static_cast<std::uint32_t>(r.window >> 32);
  std::int32_t e = table.first_level[window >> 24];
  if (e >= 0) [[likely]] {
    take_some(r, table.code_length[e]);
    return e;
  }
  // The window holds at least 16 bits, enough for the 8 further bits of the
  // longest code.
  std::uint32_t rest = window << 8;
  int steps = 0;
  do {
    e = table.long_code_tree[-e - static_cast<std::int32_t>(rest >> 31)];
    rest <<= 1;
    ++steps;
  } while (e < 0);
  take_some(r, 8 + steps);
  return e;
}

inline int engine_core::decode_huffman(const huffman_decode_table& table) {
  return decode_huffman_plain(table, bits, [this](bit_reader&, int n) { return read_bits_scan(n); });
}

// decode_huffman with the magnitude bits over the engine's reader or a copy
// of it: take(r, n) consumes n bits for 1 <= n <= 16 + spare, and
// take_some(r, n) also accepts n = 0.
template <class Take, class TakeSome>
JPEG_ALWAYS_INLINE int decode_huffman_with_extra(const huffman_decode_table& table, bit_reader& r, Take&& take,
                                                 TakeSome&& take_some, std::uint32_t& extra) {
  const auto window = static_cast<std::uint32_t>(r.window >> 32);
  const std::int32_t e = table.first_level_with_bits[window >> 24];
  if (symbol_entry_has_magnitude(e)) [[likely]] {
    take(r, symbol_entry_bits(e));
    extra = symbol_entry_magnitude(e);
    return symbol_entry_symbol(e);
  }
  if (e >= 0) {
    const int length = symbol_entry_bits(e);
    const int size = e & 15;
    // Bits that begin no code have length 0 and read as symbol 0.
    if (length + size > 16 + spare_bits(r)) {
      take_some(r, length);
      extra = take_some(r, size);
    } else {
      extra = take_some(r, length + size) & ((1u << size) - 1u);
    }
    return symbol_entry_symbol(e);
  }
  std::uint32_t rest = window << 8;
  int steps = 0;
  std::int32_t s = e;
  do {
    s = table.long_code_tree[-s - static_cast<std::int32_t>(rest >> 31)];
    rest <<= 1;
    ++steps;
  } while (s < 0);
  take(r, 8 + steps);
  extra = take_some(r, s & 15);
  return s;
}

inline int engine_core::decode_huffman(const huffman_decode_table& table, std::uint32_t& extra) {
  auto take = [this](bit_reader&, int n) { return read_bits_scan(n); };
  return decode_huffman_with_extra(table, bits, take, take, extra);
}

}  // namespace jpeg

#endif
