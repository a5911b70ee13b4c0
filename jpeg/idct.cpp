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

}  // namespace

void detail::portable::inverse_dct_block(const int16_t* coefficients, uint8_t* samples, int block_extent) {
  assert(block_extent >= 1 && block_extent <= 64);
  inverse_dct_block_body(coefficients, samples, block_extent);
}

void detail::portable::inverse_dct_quarter_block(const int16_t* coefficients, uint8_t* samples) {
  inverse_dct_quarter_block_body(coefficients, samples);
}

}  // namespace jpeg
