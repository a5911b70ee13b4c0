// Inverse DCT: separable two-pass integer transform in 13-bit fixed point
// (Loeffler-Ligtenberg-Moschytz factorisation), with the +128 level shift
// and the clamp folded into the second pass.
//
// Sparse blocks are cheap: a block's extent fixes the top-left rectangle of
// coefficients that can be non-zero, and both passes are stamped from one
// template each on that rectangle's width and height, so the terms of inputs
// known to be zero fold away at compile time. The choice is made once per
// block, by the switch on the shapes that the vector kernels share
// (with_idct_shape). All sums are formed in uint32_t so that hostile
// coefficients (int16 extremes, already multiplied by 16-bit quantisers and
// wrapped) wrap by definition instead of overflowing; the arithmetic right
// shifts are done on the int32_t reinterpretation. Because dropping a zero
// term is an identity in wrapping arithmetic, every specialisation matches
// the full transform bit for bit, overflow included, except the two
// shortcuts that have formulas of their own: the DC-only block and the
// column pass over a single workspace row, which never wrap (they agree
// with the full transform wherever it does not wrap).
//
// The reduced-size transforms (inverse_dct_scaled) reuse the 8-point
// kernel, its even part as the 4-point one and plain sums and differences
// as the 2- and 1-point ones, with the same descaling.
#include "kernels.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace jpeg {
namespace {

using u32 = uint32_t;
using detail::clamp_sample;
using detail::dc_only_sample;
using detail::transform_8;

constexpr int32_t arithmetic_shift(u32 value, int shift) { return static_cast<int32_t>(value) >> shift; }

// First pass over coefficient rows 0..R-1, reading coefficients 0..W-1 of
// each. The results keep 2 fraction bits. Rows are independent, so the loop
// runs several rows side by side in vector registers; a row narrower than W
// just feeds zeros through the extra terms, which leaves its result
// unchanged.
template <int W, int R>
JPEG_ALWAYS_INLINE void row_pass(const int16_t* __restrict in, int32_t* __restrict out) {
  static_assert(W >= 2 && W <= 8 && R >= 1 && R <= 8);
  for (int v = 0; v < R; ++v) {
    auto d = [in, v](int k) -> u32 { return k < W ? static_cast<u32>(int32_t{in[8 * v + k]}) : 0u; };
    u32 x[8];
    transform_8(d(0), d(1), d(2), d(3), d(4), d(5), d(6), d(7), x);
    for (int k = 0; k < 8; ++k)
      out[8 * v + k] = arithmetic_shift(x[k] + detail::idct_row_rounding, detail::idct_row_shift);
  }
}

// Second pass over all eight columns; reads workspace rows 0..N-1 only.
// Iterations over x are independent and touch consecutive addresses, which
// lets the compiler run the columns side by side in vector registers.
template <int N>
JPEG_ALWAYS_INLINE void column_pass(const int32_t* __restrict workspace, uint8_t* __restrict samples) {
  static_assert(N >= 1 && N <= 8);
  if constexpr (N == 1) {
    // The one-row shortcut: every sample of a column is its single
    // workspace value descaled. The full kernel would form t0 * idct_unit
    // first, which wraps for |t0| >= 2^18 (first-row coefficients near
    // the 16-bit extremes); the shortcut does not, and gives its own
    // value there. Below that bound both agree.
    for (int column = 0; column < 8; ++column) {
      const uint8_t value = clamp_sample(arithmetic_shift(
          static_cast<u32>(workspace[column]) + detail::idct_one_row_bias, detail::idct_one_row_shift));
      for (int k = 0; k < 8; ++k) samples[8 * k + column] = value;
    }
    return;
  }
  int32_t descaled[64];
  for (int column = 0; column < 8; ++column) {
    auto d = [workspace, column](int k) -> u32 { return k < N ? static_cast<u32>(workspace[8 * k + column]) : 0u; };
    u32 x[8];
    transform_8(d(0), d(1), d(2), d(3), d(4), d(5), d(6), d(7), x);
    for (int k = 0; k < 8; ++k) {
      descaled[8 * k + column] = arithmetic_shift(x[k] + detail::idct_column_bias, detail::idct_column_shift);
    }
  }
  for (int i = 0; i < 64; ++i) samples[i] = clamp_sample(descaled[i]);
}

JPEG_ALWAYS_INLINE void inverse_dct_block_body(const int16_t* coefficients, uint8_t* samples, int block_extent) {
  if (block_extent == 1) {
    std::memset(samples, dc_only_sample(coefficients), 64);
    return;
  }

  // Sparse blocks (all coefficients in the top-left 4x4) run the first pass
  // on exactly their coefficient rectangle. Denser ones run it on all eight
  // rows at full width, which fills whole vectors; the extra terms multiply
  // zeros and leave every result unchanged. The second pass reads only the
  // workspace rows of the rectangle.
  detail::with_idct_shape(block_extent, [&](auto shape) JPEG_ALWAYS_INLINE_LAMBDA {
    constexpr int width = decltype(shape)::width, rows = decltype(shape)::rows;
    int32_t workspace[64];
    row_pass<width, width <= 4 ? rows : 8>(coefficients, workspace);
    column_pass<rows>(workspace, samples);
  });
}

JPEG_ALWAYS_INLINE void inverse_dct_quarter_block_body(const int16_t* coefficients, uint8_t* samples) {
  int32_t workspace[64];
  row_pass<4, 4>(coefficients, workspace);
  column_pass<4>(workspace, samples);
}

// Every sample of a width x height area, row y at samples + y * stride.
JPEG_ALWAYS_INLINE void fill_samples(uint8_t* samples, std::ptrdiff_t stride, int width, int height, uint8_t value) {
  for (int y = 0; y < height; ++y) std::memset(samples + y * stride, value, static_cast<std::size_t>(width));
}

// The N-point 1-D kernels of the reduced-size transform, N = 1, 2, 4 or 8,
// all at transform_8's scale. For N <= 2 every weight is sqrt(2) * c_4 = 1
// exactly, so their outputs are formed without weights, in units of
// idct_unit: weight_bits fraction bits instead of 13.
template <int N>
constexpr int weight_bits = N >= 4 ? 13 : 0;

constexpr bool is_scaled_size(int n) { return n == 1 || n == 2 || n == 4 || n == 8; }

template <int N>
JPEG_ALWAYS_INLINE void transform_n(const u32 (&d)[N], u32 (&x)[N]) {
  if constexpr (N == 8) {
    transform_8(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], x);
  } else if constexpr (N == 4) {
    detail::transform_4(d[0], d[1], d[2], d[3], x);
  } else if constexpr (N == 2) {
    x[0] = d[0] + d[1];
    x[1] = d[0] - d[1];
  } else {
    x[0] = d[0];
  }
}

// First pass of the reduced-size transform over coefficient rows 0..rows-1
// (rows <= H; the workspace rows below are zero, which is what the pass
// gives for zero coefficient rows), reading coefficients 0..W-1 of each.
// Results keep 2 fraction bits, as row_pass's. Without weights, the
// descaling (x * idct_unit + idct_row_rounding) >> idct_row_shift is
// exactly x * 4, and |x| <= 2^16 cannot wrap there.
template <int W, int H>
JPEG_ALWAYS_INLINE void scaled_row_pass(const int16_t* __restrict in, int rows, int32_t* __restrict out) {
  static_assert(detail::idct_unit >> detail::idct_row_shift == 4 && detail::idct_row_rounding < detail::idct_unit);
  for (int v = 0; v < rows; ++v) {
    u32 d[W], x[W];
    for (int u = 0; u < W; ++u) d[u] = static_cast<u32>(int32_t{in[8 * v + u]});
    transform_n<W>(d, x);
    for (int u = 0; u < W; ++u) {
      if constexpr (weight_bits<W> == 0) {
        out[W * v + u] = static_cast<int32_t>(x[u] << 2);
      } else {
        out[W * v + u] = arithmetic_shift(x[u] + detail::idct_row_rounding, detail::idct_row_shift);
      }
    }
  }
  std::fill(out + W * rows, out + W * H, 0);
}

// Second pass of the reduced-size transform over columns 0..W-1, H-point,
// with column_pass's descaling (2 workspace fraction bits, the weights'
// own and 3 for the 2-D normalisation by 8) and level shift. Without
// weights (H <= 2) that is the one-row shortcut's descaling, and the sums,
// below 2^22 in magnitude, never wrap.
template <int W, int H>
JPEG_ALWAYS_INLINE void scaled_column_pass(const int32_t* __restrict workspace, uint8_t* __restrict samples,
                                           std::ptrdiff_t stride) {
  constexpr int shift = weight_bits<H> + 2 + 3;
  constexpr u32 bias = (1u << (shift - 1)) + (128u << shift);
  static_assert(weight_bits<H> == 0 ? shift == detail::idct_one_row_shift && bias == detail::idct_one_row_bias
                                    : shift == detail::idct_column_shift && bias == detail::idct_column_bias);
  for (int column = 0; column < W; ++column) {
    u32 d[H], x[H];
    for (int k = 0; k < H; ++k) d[k] = static_cast<u32>(workspace[W * k + column]);
    transform_n<H>(d, x);
    for (int k = 0; k < H; ++k) samples[k * stride + column] = clamp_sample(arithmetic_shift(x[k] + bias, shift));
  }
}

}  // namespace

void detail::portable::inverse_dct_block(const int16_t* coefficients, uint8_t* samples, int block_extent) {
  assert(block_extent >= 1 && block_extent <= 64);
  inverse_dct_block_body(coefficients, samples, block_extent);
}

void detail::portable::inverse_dct_quarter_block(const int16_t* coefficients, uint8_t* samples) {
  inverse_dct_quarter_block_body(coefficients, samples);
}

// The portable level's kernels of the sizes the vector levels have their
// own of (simd_kernels.cpp): both passes over every row of the corner.
template <int W, int H>
void scaled_passes(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride) {
  int32_t workspace[W * H];
  scaled_row_pass<W, H>(coefficients, H, workspace);
  scaled_column_pass<W, H>(workspace, samples, stride);
}

void detail::portable::inverse_dct_4x4(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride) {
  scaled_passes<4, 4>(coefficients, samples, stride);
}
void detail::portable::inverse_dct_8x4(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride) {
  scaled_passes<8, 4>(coefficients, samples, stride);
}
void detail::portable::inverse_dct_4x8(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride) {
  scaled_passes<4, 8>(coefficients, samples, stride);
}

// The level's kernel of the 4 x 4, 8 x 4 or 4 x 8 size.
template <int W, int H>
auto level_kernel(const kernel_table& kernels) {
  if constexpr (W == 8) return kernels.inverse_dct_8x4;
  if constexpr (H == 8) return kernels.inverse_dct_4x8;
  return kernels.inverse_dct_4x4;
}

// The full size is inverse_dct_block itself, shortcuts included, which
// writes a contiguous block: at another stride it goes through a local one.
// Below full size the extent still pays: a DC-only block is a fill, and the
// portable passes skip the coefficient rows the extent rules out.
template <int W, int H>
void inverse_dct_scaled(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride, int block_extent,
                        const kernel_table& kernels) {
  static_assert(is_scaled_size(W) && is_scaled_size(H));
  assert(block_extent >= 1 && block_extent <= 64);
  if constexpr (W == 8 && H == 8) {
    uint8_t block[64];
    kernels.inverse_dct_block(coefficients, stride == 8 ? samples : block, block_extent);
    if (stride != 8) {
      for (int y = 0; y < 8; ++y) std::memcpy(samples + y * stride, block + 8 * y, 8);
    }
  } else if (W * H == 1 || block_extent == 1) {
    fill_samples(samples, stride, W, H, dc_only_sample(coefficients));
  } else if constexpr (W >= 4 && H >= 4) {
    level_kernel<W, H>(kernels)(coefficients, samples, stride);
  } else {
    int32_t workspace[W * H];
    scaled_row_pass<W, H>(coefficients, std::min(extent_rectangle[block_extent - 1] / 16, H), workspace);
    scaled_column_pass<W, H>(workspace, samples, stride);
  }
}

#define JPEG_INSTANTIATE_SCALED(W)                                                                            \
  template void inverse_dct_scaled<W, 1>(const int16_t*, uint8_t*, std::ptrdiff_t, int, const kernel_table&); \
  template void inverse_dct_scaled<W, 2>(const int16_t*, uint8_t*, std::ptrdiff_t, int, const kernel_table&); \
  template void inverse_dct_scaled<W, 4>(const int16_t*, uint8_t*, std::ptrdiff_t, int, const kernel_table&); \
  template void inverse_dct_scaled<W, 8>(const int16_t*, uint8_t*, std::ptrdiff_t, int, const kernel_table&)
JPEG_INSTANTIATE_SCALED(1);
JPEG_INSTANTIATE_SCALED(2);
JPEG_INSTANTIATE_SCALED(4);
JPEG_INSTANTIATE_SCALED(8);
#undef JPEG_INSTANTIATE_SCALED

}  // namespace jpeg
