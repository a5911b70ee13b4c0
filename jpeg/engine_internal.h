// Internal to the decoder: types and helpers shared by the stage sources
// (engine.cpp, input.cpp, markers.cpp, setup.cpp, huffman.cpp, sequential.cpp,
// progressive.cpp, row_output.cpp and entry_points.cpp). Callers of the
// decoder never need this header.
#ifndef JPEG_ENGINE_INTERNAL_H
#define JPEG_ENGINE_INTERNAL_H

#include "jpeg_decoder.h"

#include <cstdint>

#if defined(__GNUC__)
#define JPEG_ALWAYS_INLINE inline __attribute__((always_inline))
#define JPEG_ALWAYS_INLINE_LAMBDA __attribute__((always_inline))
#else
#define JPEG_ALWAYS_INLINE inline
#define JPEG_ALWAYS_INLINE_LAMBDA
#endif

namespace jpeg {

// Thrown only by abort_decode and caught by the public operation that was
// entered; it never leaves the decoder.
struct decode_abort {
  int code;
};

// One heap allocation: this header, then `capacity` bytes handed out from the
// front in 4-byte steps.
struct pool_block {
  pool_block* next;
  std::uint32_t used;
  std::uint32_t capacity;
};

inline constexpr std::uint32_t pool_min_capacity = 32512;
inline constexpr std::uint32_t pool_capacity_step = 2048;

// A grid of coefficient blocks in pool memory, zeroed at creation. Stores
// of 8 x 8 blocks also keep, per block, which coefficients are non-zero
// (bit k: zig-zag index k), kept up to date by every write, and per block
// row the union of its blocks' sets (which may keep a bit that a block
// lost); null for the others.
struct coefficient_store {
  std::int16_t* coefficients;
  std::uint64_t* nonzero;
  std::uint64_t* row_nonzero;
  int blocks_across;
  int blocks_down;
  int block_width;
  int block_height;
  int block_bytes;
};

// Huffman table slots: the DC tables' destinations 0..3, then the AC
// tables' at 4..7.
inline constexpr int huffman_first_ac_slot = 4;
constexpr bool is_dc_table_slot(int slot) { return slot < huffman_first_ac_slot; }

// Marker codes the parser acts on.
namespace marker {
inline constexpr int tem = 0x01;
inline constexpr int sof0 = 0xC0;
inline constexpr int sof1 = 0xC1;
inline constexpr int sof2 = 0xC2;
inline constexpr int sof3 = 0xC3;
inline constexpr int dht = 0xC4;
inline constexpr int sof5 = 0xC5;
inline constexpr int sof7 = 0xC7;
inline constexpr int jpg = 0xC8;
inline constexpr int sof9 = 0xC9;
inline constexpr int sof11 = 0xCB;
inline constexpr int dac = 0xCC;
inline constexpr int sof13 = 0xCD;
inline constexpr int sof15 = 0xCF;
inline constexpr int rst0 = 0xD0;
inline constexpr int rst7 = 0xD7;
inline constexpr int soi = 0xD8;
inline constexpr int eoi = 0xD9;
inline constexpr int sos = 0xDA;
inline constexpr int dqt = 0xDB;
inline constexpr int dri = 0xDD;
}  // namespace marker

// Two's-complement arithmetic for the signed 32-bit signal path: hostile
// input can push sums and products past 32 bits, and they must wrap the way
// the hardware does rather than be undefined.
inline std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline std::int32_t wrap_sub(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
inline std::int32_t wrap_mul(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}
// Left shift of a possibly negative value, as the hardware does it.
inline std::int32_t wrap_shl(std::int32_t a, int n) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) << n);
}

}  // namespace jpeg

#endif
