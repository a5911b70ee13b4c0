// The vector build of the level-dependent kernels: inverse DCT, chroma
// upsampling and colour conversion. This one source is compiled twice, with
// JPEG_SIMD_NAMESPACE = sse2 (plain x86-64 flags) and = avx2 (-mavx2), and
// each object provides the kernels of its level (kernels.h). The arithmetic
// is written once on generic 8-lane vectors (GCC and Clang vector
// extensions), which the compiler maps to one AVX2 register or two SSE2
// registers; only multiply-adds of 16-bit pairs, packing and interleaving
// use intrinsics of each set. Where the terms are grouped differently from
// the portable build, the integers are still the same (the comments say
// why), so the same bytes.
//
// Everything but the ten kernels has internal linkage, so that no helper
// built for AVX2 can stand in for a portable or SSE2 one at link time; every
// build checks the objects for it (check_simd_symbols.cmake).
#include "kernels.h"

#include <immintrin.h>
#include <cassert>
#include <cstring>

#ifndef JPEG_SIMD_NAMESPACE
#error "simd_kernels.cpp is built once per level with JPEG_SIMD_NAMESPACE set"
#endif

// Nested one by one: pmccabe reads no function inside a nested namespace
// definition.
namespace jpeg {
namespace detail {
namespace JPEG_SIMD_NAMESPACE {
namespace {

typedef int16_t i16x8 __attribute__((vector_size(16)));
typedef int32_t i32x4 __attribute__((vector_size(16)));
typedef int32_t i32x8 __attribute__((vector_size(32)));
typedef uint32_t u32x8 __attribute__((vector_size(32)));
typedef int16_t i16x16 __attribute__((vector_size(32)));

#define JPEG_VECTOR_INLINE inline __attribute__((always_inline))

#ifndef __AVX2__
// The two SSE2 registers of an 8-lane vector.
JPEG_VECTOR_INLINE __m128i low_half(i32x8 v) { return __m128i(__builtin_shufflevector(v, v, 0, 1, 2, 3)); }
JPEG_VECTOR_INLINE __m128i high_half(i32x8 v) { return __m128i(__builtin_shufflevector(v, v, 4, 5, 6, 7)); }
#endif

// Eight sums of two products of 16-bit values (pmaddwd): lane i is
// pairs[2i] * first + pairs[2i + 1] * second, exact (no lane reaches 2^31
// unless both pair members and both weights are -32768).
JPEG_VECTOR_INLINE i32x8 multiply_add(i16x16 pairs, int16_t first, int16_t second) {
  const int32_t weights = int32_t(uint16_t(first)) | int32_t(uint32_t(uint16_t(second)) << 16);
#ifdef __AVX2__
  return i32x8(_mm256_madd_epi16(__m256i(pairs), _mm256_set1_epi32(weights)));
#else
  const __m128i weight_pairs = _mm_set1_epi32(weights);
  const i32x4 low =
      i32x4(_mm_madd_epi16(__m128i(__builtin_shufflevector(pairs, pairs, 0, 1, 2, 3, 4, 5, 6, 7)), weight_pairs));
  const i32x4 high =
      i32x4(_mm_madd_epi16(__m128i(__builtin_shufflevector(pairs, pairs, 8, 9, 10, 11, 12, 13, 14, 15)), weight_pairs));
  return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
#endif
}

// Columns 0..W-1 of coefficient rows 0..R-1 as vectors indexed by row;
// rows at or beyond R read as zero and are not loaded, and for W <= 4
// nothing beyond column 3 is loaded.
template <int W, int R>
JPEG_VECTOR_INLINE void load_columns(const int16_t* coefficients, i16x8 (&columns)[8]) {
  typedef uint64_t u64x2 __attribute__((vector_size(16)));
  i16x8 r[8];
  for (int v = 0; v < 8; ++v) {
    r[v] = i16x8{};
    if (v < R && W <= 4) {
      // Only the first four coefficients of the row are read.
      uint64_t bits;
      std::memcpy(&bits, coefficients + 8 * v, sizeof bits);
      r[v] = reinterpret_cast<i16x8>(u64x2{bits, 0});
    } else if (v < R) {
      std::memcpy(&r[v], coefficients + 8 * v, sizeof r[v]);
    }
  }
  i16x8 a[8], b[8], c[8];
  for (int p = 0; p < 8; p += 2) {
    a[p] = __builtin_shufflevector(r[p], r[p + 1], 0, 8, 1, 9, 2, 10, 3, 11);
    a[p + 1] = __builtin_shufflevector(r[p], r[p + 1], 4, 12, 5, 13, 6, 14, 7, 15);
  }
  for (int p = 0; p < 8; p += 4)
    for (int q = 0; q < 2; ++q) {
      b[p + 2 * q] = __builtin_shufflevector(a[p + q], a[p + q + 2], 0, 1, 8, 9, 2, 3, 10, 11);
      b[p + 2 * q + 1] = __builtin_shufflevector(a[p + q], a[p + q + 2], 4, 5, 12, 13, 6, 7, 14, 15);
    }
  for (int q = 0; q < 4; ++q) {
    c[2 * q] = __builtin_shufflevector(b[q], b[q + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    c[2 * q + 1] = __builtin_shufflevector(b[q], b[q + 4], 4, 5, 6, 7, 12, 13, 14, 15);
  }
  for (int k = 0; k < 8; ++k) columns[k] = k < W ? c[k] : i16x8{};
}

// 8x8 transpose of 32-bit lanes.
JPEG_VECTOR_INLINE void transpose(const i32x8 (&in)[8], i32x8 (&out)[8]) {
  i32x8 t[8], u[8];
  for (int p = 0; p < 8; p += 2) {
    t[p] = __builtin_shufflevector(in[p], in[p + 1], 0, 8, 1, 9, 4, 12, 5, 13);
    t[p + 1] = __builtin_shufflevector(in[p], in[p + 1], 2, 10, 3, 11, 6, 14, 7, 15);
  }
  for (int p = 0; p < 8; p += 4)
    for (int q = 0; q < 2; ++q) {
      u[p + 2 * q] = __builtin_shufflevector(t[p + q], t[p + q + 2], 0, 1, 8, 9, 4, 5, 12, 13);
      u[p + 2 * q + 1] = __builtin_shufflevector(t[p + q], t[p + q + 2], 2, 3, 10, 11, 6, 7, 14, 15);
    }
  for (int q = 0; q < 4; ++q) {
    out[q] = __builtin_shufflevector(u[q], u[q + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    out[q + 4] = __builtin_shufflevector(u[q], u[q + 4], 4, 5, 6, 7, 12, 13, 14, 15);
  }
}

// ---------------------------------------------------------------------------
// Inverse DCT: a whole block in registers, eight rows side by side for the
// first pass, eight columns side by side for the second, with an in-register
// transpose between them and one at the input.

// Clamps eight rows of eight samples to 0..255 and stores them. Saturating
// to 16 bits and then to unsigned 8 bits is clamp_sample for every int32.
JPEG_VECTOR_INLINE void store_clamped(const i32x8 (&rows)[8], uint8_t* samples) {
#ifdef __AVX2__
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (int half = 0; half < 8; half += 4) {
    const __m256i low = _mm256_packs_epi32(__m256i(rows[half]), __m256i(rows[half + 1]));
    const __m256i high = _mm256_packs_epi32(__m256i(rows[half + 2]), __m256i(rows[half + 3]));
    // Per 128-bit lane, four bytes of each of the four rows; put each
    // row's two four-byte pieces next to each other.
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low, high), order);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + 8 * half), bytes);
  }
#else
  for (int pair = 0; pair < 8; pair += 2) {
    const __m128i first = _mm_packs_epi32(low_half(rows[pair]), high_half(rows[pair]));
    const __m128i second = _mm_packs_epi32(low_half(rows[pair + 1]), high_half(rows[pair + 1]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + 8 * pair), _mm_packus_epi16(first, second));
  }
#endif
}

// The second pass over eight columns side by side, from workspace rows
// 0..R-1 (later rows are zero), and the clamped store.
template <int R>
JPEG_VECTOR_INLINE void column_pass(const i32x8* workspace_rows, uint8_t* samples) {
  if constexpr (R == 1) {
    // The one-row shortcut down every column, which never wraps (see
    // idct.cpp).
    const i32x8 value =
        reinterpret_cast<i32x8>(reinterpret_cast<u32x8>(workspace_rows[0]) + idct_one_row_bias) >> idct_one_row_shift;
    const i32x8 sample_rows[8] = {value, value, value, value, value, value, value, value};
    store_clamped(sample_rows, samples);
    return;
  }
  u32x8 d[8], x[8];
  for (int k = 0; k < 8; ++k) d[k] = k < R ? reinterpret_cast<u32x8>(workspace_rows[k]) : u32x8{};
  transform_8(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], x);
  i32x8 sample_rows[8];
  for (int k = 0; k < 8; ++k) sample_rows[k] = reinterpret_cast<i32x8>(x[k] + idct_column_bias) >> idct_column_shift;
  store_clamped(sample_rows, samples);
}

// The first pass of the inverse DCT runs on rows side by side (lane = row)
// straight from the 16-bit coefficients. Every output of transform_8 is a
// sum of the inputs times constant weights, and products and sums modulo
// 2^32 do not depend on how the terms are grouped, so multiplying out its
// factorisation gives the same 32-bit results, wrapping included, from
// pairs of columns with one multiply-add per pair and output: all the
// combined weights fit 16 bits.

// transform_8 multiplied out: the weight of input d_k in even sum e_j or
// odd sum o_j, each a sum of the kernel's constants (idct_*), as the
// factorisation adds them. They fit 16 bits.
constexpr int16_t weight16(int32_t sum) { return static_cast<int16_t>(sum); }
constexpr int16_t even_2_in_e3 = weight16(idct_c6 + idct_c2_minus_c6);
constexpr int16_t even_6_in_e2 = weight16(idct_c6 - idct_c2_plus_c6);
constexpr int16_t odd_1_in_o0 = weight16(idct_c3 - idct_c3_minus_c7);
constexpr int16_t odd_3_in_o0 = weight16(idct_c3 - idct_c3_plus_c5);
constexpr int16_t odd_5_in_o0 = weight16(idct_c3);
constexpr int16_t odd_7_in_o0 = weight16(idct_odd_weight_7 - idct_c3_minus_c7 - idct_c3_plus_c5 + idct_c3);
constexpr int16_t odd_1_in_o1 = weight16(idct_c3 - idct_c3_minus_c5);
constexpr int16_t odd_3_in_o1 = weight16(idct_c3 - idct_c1_plus_c3);
constexpr int16_t odd_5_in_o1 = weight16(idct_odd_weight_5 - idct_c1_plus_c3 - idct_c3_minus_c5 + idct_c3);
constexpr int16_t odd_7_in_o1 = weight16(idct_c3);
constexpr int16_t odd_1_in_o2 = weight16(idct_c3);
constexpr int16_t odd_3_in_o2 = weight16(idct_odd_weight_3 - idct_c1_plus_c3 - idct_c3_plus_c5 + idct_c3);
constexpr int16_t odd_5_in_o2 = weight16(idct_c3 - idct_c1_plus_c3);
constexpr int16_t odd_7_in_o2 = weight16(idct_c3 - idct_c3_plus_c5);
constexpr int16_t odd_1_in_o3 = weight16(idct_odd_weight_1 - idct_c3_minus_c7 - idct_c3_minus_c5 + idct_c3);
constexpr int16_t odd_3_in_o3 = weight16(idct_c3);
constexpr int16_t odd_5_in_o3 = weight16(idct_c3 - idct_c3_minus_c5);
constexpr int16_t odd_7_in_o3 = weight16(idct_c3 - idct_c3_minus_c7);
constexpr int16_t unit_weight = weight16(idct_unit);
static_assert(even_2_in_e3 == 10703 && even_6_in_e2 == -10704 && odd_3_in_o0 == -6436 && odd_1_in_o1 == 6437 &&
              odd_7_in_o0 == -11363 && odd_1_in_o3 == 11363 && odd_3_in_o2 == -2259 && odd_5_in_o1 == 2261);

// multiply_add as the transform's unsigned lanes, whose sums wrap by
// definition.
JPEG_VECTOR_INLINE u32x8 weigh(i16x16 pair, int16_t first, int16_t second) {
  return reinterpret_cast<u32x8>(multiply_add(pair, first, second));
}

// The outputs from the even-part sums t10..t13 (rounding included) and the
// odd-part sums o0..o3, descaled and transposed into workspace rows (lane =
// column).
JPEG_VECTOR_INLINE void finish_row_pass(u32x8 t10, u32x8 t11, u32x8 t12, u32x8 t13, u32x8 o0, u32x8 o1, u32x8 o2,
                                        u32x8 o3, i32x8 (&workspace_rows)[8]) {
  const u32x8 x[8] = {t10 + o3, t11 + o2, t12 + o1, t13 + o0, t13 - o0, t12 - o1, t11 - o2, t10 - o3};
  i32x8 by_column[8];
  for (int k = 0; k < 8; ++k) by_column[k] = reinterpret_cast<i32x8>(x[k]) >> idct_row_shift;
  transpose(by_column, workspace_rows);
}

// Columns 0..3 only: column pairs (0, 2) and (1, 3), so that each even and
// each odd sum is one multiply-add.
JPEG_VECTOR_INLINE void narrow_row_pass(i16x16 p02, i16x16 p13, i32x8 (&workspace_rows)[8]) {
  constexpr uint32_t rounding = idct_row_rounding;
  constexpr int16_t c6 = weight16(idct_c6);
  finish_row_pass(weigh(p02, unit_weight, even_2_in_e3) + rounding, weigh(p02, unit_weight, c6) + rounding,
                  weigh(p02, unit_weight, -c6) + rounding, weigh(p02, unit_weight, -even_2_in_e3) + rounding,
                  weigh(p13, odd_1_in_o0, odd_3_in_o0), weigh(p13, odd_1_in_o1, odd_3_in_o1),
                  weigh(p13, odd_1_in_o2, odd_3_in_o2), weigh(p13, odd_1_in_o3, odd_3_in_o3), workspace_rows);
}

// Lanes 0..7 of a and b interleaved: (a0, b0, a1, b1, ...).
JPEG_VECTOR_INLINE i16x16 interleave(i16x8 a, i16x8 b) {
  return __builtin_shufflevector(a, b, 0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
}

// A block whose coefficients lie in the top-left R rows and W columns.
template <int W, int R>
JPEG_VECTOR_INLINE void row_pass(const int16_t* coefficients, i32x8 (&workspace_rows)[8]) {
  i16x8 c[8];
  load_columns<W, R>(coefficients, c);
  if constexpr (W <= 4) {
    narrow_row_pass(interleave(c[0], c[2]), interleave(c[1], c[3]), workspace_rows);
    return;
  }
  // Wider: pairs (k, k + 4), the even part through its butterflies, which
  // wrap by definition; the rounding of the descale goes in with e0, e1.
  const i16x16 p04 = interleave(c[0], c[4]), p15 = interleave(c[1], c[5]);
  const i16x16 p26 = interleave(c[2], c[6]), p37 = interleave(c[3], c[7]);
  const u32x8 e0 = weigh(p04, unit_weight, unit_weight) + idct_row_rounding,
              e1 = weigh(p04, unit_weight, -unit_weight) + idct_row_rounding;
  const u32x8 e2 = weigh(p26, weight16(idct_c6), even_6_in_e2), e3 = weigh(p26, even_2_in_e3, weight16(idct_c6));
  finish_row_pass(e0 + e3, e1 + e2, e1 - e2, e0 - e3,
                  weigh(p15, odd_1_in_o0, odd_5_in_o0) + weigh(p37, odd_3_in_o0, odd_7_in_o0),
                  weigh(p15, odd_1_in_o1, odd_5_in_o1) + weigh(p37, odd_3_in_o1, odd_7_in_o1),
                  weigh(p15, odd_1_in_o2, odd_5_in_o2) + weigh(p37, odd_3_in_o2, odd_7_in_o2),
                  weigh(p15, odd_1_in_o3, odd_5_in_o3) + weigh(p37, odd_3_in_o3, odd_7_in_o3), workspace_rows);
}

// Both passes for a block whose coefficients lie in the top-left R rows and
// W columns.
template <int W, int R>
JPEG_VECTOR_INLINE void transform_block(const int16_t* coefficients, uint8_t* samples) {
  i32x8 workspace_rows[8];
  row_pass<W, R>(coefficients, workspace_rows);
  column_pass<R>(workspace_rows, samples);
}

// The 4x4-input inverse DCT of two blocks at once. coefficient_rows[n] holds
// coefficient row n, columns 0..3, of the left block in lanes 0..3 and of the
// right block in lanes 4..7; only their low 16 bits are used. The first pass
// is shared: the transpose that follows it yields the left block's workspace
// rows in rows 0..3 and the right block's in rows 4..7.
void inverse_dct_quarter_pair(const i32x8 (&coefficient_rows)[4], uint8_t* left, uint8_t* right) {
  const i32x8(&r)[4] = coefficient_rows;
  // 4x4 transposes inside each half: column m, lanes (block, row).
  const i32x8 t0 = __builtin_shufflevector(r[0], r[1], 0, 8, 1, 9, 4, 12, 5, 13);
  const i32x8 t1 = __builtin_shufflevector(r[0], r[1], 2, 10, 3, 11, 6, 14, 7, 15);
  const i32x8 t2 = __builtin_shufflevector(r[2], r[3], 0, 8, 1, 9, 4, 12, 5, 13);
  const i32x8 t3 = __builtin_shufflevector(r[2], r[3], 2, 10, 3, 11, 6, 14, 7, 15);
  const i32x8 c0 = __builtin_shufflevector(t0, t2, 0, 1, 8, 9, 4, 5, 12, 13);
  const i32x8 c1 = __builtin_shufflevector(t0, t2, 2, 3, 10, 11, 6, 7, 14, 15);
  const i32x8 c2 = __builtin_shufflevector(t1, t3, 0, 1, 8, 9, 4, 5, 12, 13);
  const i32x8 c3 = __builtin_shufflevector(t1, t3, 2, 3, 10, 11, 6, 7, 14, 15);
  // The blocks hold 16-bit coefficients: the low halves of two columns'
  // lanes make the pairs.
  auto low_halves = [](i32x8 a, i32x8 b) {
    return __builtin_shufflevector(reinterpret_cast<i16x16>(a), reinterpret_cast<i16x16>(b), 0, 16, 2, 18, 4, 20, 6, 22,
                                   8, 24, 10, 26, 12, 28, 14, 30);
  };
  i32x8 workspace_rows[8];
  narrow_row_pass(low_halves(c0, c2), low_halves(c1, c3), workspace_rows);
  column_pass<4>(workspace_rows, left);
  column_pass<4>(workspace_rows + 4, right);
}

// ---------------------------------------------------------------------------
// Chroma upsampling

JPEG_VECTOR_INLINE i32x8 round_weights(i32x8 sum) { return (sum + 512) >> 10; }

// The whole chroma step for a block whose coefficients lie in the top-left
// R rows and W columns. The first stage runs on all eight coefficient rows
// at once (lanes = rows). A transpose turns its eight results, A[.][m] and
// B[.][m] for m = 0..3, into vectors whose lanes are (class, m), so the
// second stage yields, per vertical frequency n, the class-a terms in lanes
// 0..3 and the class-b terms in lanes 4..7. Plain loops with constant
// bounds: the compiler unrolls them, so the weights become constants and
// zero-weight terms disappear.
template <int W, int R>
void upsample_block(const int16_t* coefficients, uint8_t* quadrants) {
  i16x8 c[8];
  load_columns<W, R>(coefficients, c);
  // Columns paired by equal parity, (0, 2) and (1, 3) when there are at
  // most four, else (k, k + 4): each pair falls in one class and takes one
  // multiply-add (the weights fit 16 bits; the sums are exact).
  constexpr bool narrow = W <= 4;
  constexpr int pair_count = narrow ? 2 : 4, partner = narrow ? 2 : 4;
  i16x16 pairs[4];
  for (int j = 0; j < pair_count; ++j) pairs[j] = interleave(c[j], c[j + partner]);
  i32x8 stage[8];
#pragma GCC unroll 8
  for (int m = 0; m < 4; ++m) {
    i32x8 even{}, odd{};
#pragma GCC unroll 8
    for (int j = 0; j < pair_count; ++j) {
      const int32_t first = upsampling_weights[m][j], second = upsampling_weights[m][j + partner];
      if (first == 0 && second == 0) continue;
      const i32x8 sum = multiply_add(pairs[j], int16_t(first), int16_t(second));
      if ((j + m) % 2 == 0)
        even += sum;
      else
        odd += sum;
    }
    stage[m] = round_weights(even);
    stage[4 + m] = round_weights(odd);
  }
  i32x8 rows[8];
  transpose(stage, rows);

  // Per vertical frequency n: lanes 0..3 of `top` are row n of the
  // top-left quadrant's coefficients, lanes 4..7 row n of the top-right
  // one; likewise `bottom` for the lower two.
  const i32x8 sign{1, 1, 1, 1, -1, -1, -1, -1};
  i32x8 top[4], bottom[4];
#pragma GCC unroll 4
  for (int n = 0; n < 4; ++n) {
    i32x8 same{}, alternating{};
#pragma GCC unroll 8
    for (int v = 0; v < R; ++v) {
      const int32_t weight = upsampling_weights[n][v];
      if (weight == 0) continue;
      if ((v + n) % 2 == 0)
        same += weight * rows[v];
      else
        alternating += weight * rows[v];
    }
    same = round_weights(same);
    alternating = round_weights(alternating);
    // Lanes 0..3 of (sum, difference) hold class a, lanes 4..7 class b.
    const i32x8 sums = same + alternating, differences = same - alternating;
    top[n] = __builtin_shufflevector(sums, sums, 0, 1, 2, 3, 0, 1, 2, 3) +
             sign * __builtin_shufflevector(sums, sums, 4, 5, 6, 7, 4, 5, 6, 7);
    bottom[n] = __builtin_shufflevector(differences, differences, 0, 1, 2, 3, 0, 1, 2, 3) +
                sign * __builtin_shufflevector(differences, differences, 4, 5, 6, 7, 4, 5, 6, 7);
  }
  inverse_dct_quarter_pair(top, quadrants, quadrants + 64);
  inverse_dct_quarter_pair(bottom, quadrants + 128, quadrants + 192);
}

// ---------------------------------------------------------------------------
// Colour conversion: the table entries computed in the lanes, eight pixels
// per vector, in place of per-pixel table loads and clamps.

constexpr std::size_t block_bytes = 64;

// Where each layout keeps an MCU's samples.
constexpr const layout_facts& h1v1 = facts_of(component_layout::h1v1);
constexpr const layout_facts& h2v1 = facts_of(component_layout::h2v1);
constexpr const layout_facts& h1v2 = facts_of(component_layout::h1v2);
constexpr const layout_facts& upsampled = upsampled_layout;

// Eight bytes zero-extended to eight 32-bit lanes (a generic conversion
// would be done byte by byte).
JPEG_VECTOR_INLINE i32x8 widen8(const uint8_t* p) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
#ifdef __AVX2__
  return i32x8(_mm256_cvtepu8_epi32(bytes));
#else
  const __m128i zero = _mm_setzero_si128();
  const __m128i words = _mm_unpacklo_epi8(bytes, zero);
  const i32x4 low = i32x4(_mm_unpacklo_epi16(words, zero)), high = i32x4(_mm_unpackhi_epi16(words, zero));
  return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
#endif
}

struct chroma_vectors {
  i32x8 red, green, blue;
};

// Eight (Cr, Cb) sample pairs, each pair one 32-bit lane, so that one
// multiply_add weighs both.
JPEG_VECTOR_INLINE i16x16 load_pairs(const uint8_t* cb, const uint8_t* cr) {
  const __m128i bytes = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr)),
                                          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb)));
#ifdef __AVX2__
  return i16x16(_mm256_cvtepu8_epi16(bytes));
#else
  const __m128i zero = _mm_setzero_si128();
  const i16x8 low = i16x8(_mm_unpacklo_epi8(bytes, zero)), high = i16x8(_mm_unpackhi_epi8(bytes, zero));
  return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
#endif
}

// The same values as the table entries: cr_to_red, cb_to_blue and the
// shifted sum of cr_to_green and cb_to_green. Their defining weights do not
// fit 16 bits; these weights, offsets and shifts, on the unbiased samples
// 0..255, give the same integers for every Cr, every Cb and every (Cr, Cb)
// pair (the tests check all 65536 pairs), with one multiply-add each.
JPEG_VECTOR_INLINE chroma_vectors chroma8(const uint8_t* cb, const uint8_t* cr) {
  const i16x16 pairs = load_pairs(cb, cr);
  return {(multiply_add(pairs, 22971, 0) - 2932096) >> 14, (multiply_add(pairs, -23401, -11277) + 4455168) >> 15,
          (multiply_add(pairs, 0, 29033) - 3708032) >> 14};
}

// Eight pixels. The saturating packs are clamp_sample for these values (all
// within -300..600); the bytes are then interleaved to R, G, B, A.
JPEG_VECTOR_INLINE void put8(uint8_t* out, i32x8 luma, i32x8 red, i32x8 green, i32x8 blue) {
  const i32x8 r = luma + red, g = luma + green, b = luma + blue;
#ifdef __AVX2__
  // Each 128-bit half holds four consecutive pixels.
  const __m256i red_green = _mm256_packs_epi32(__m256i(r), __m256i(g));
  const __m256i blue_alpha = _mm256_packs_epi32(__m256i(b), _mm256_set1_epi32(255));
  const __m256i planar = _mm256_packus_epi16(red_green, blue_alpha);
  const __m256i interleave = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5,
                                              9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_shuffle_epi8(planar, interleave));
#else
  // Bytes 0..7 red (or blue), 8..15 green (or alpha), one per pixel.
  const __m128i red_green =
      _mm_packus_epi16(_mm_packs_epi32(low_half(r), high_half(r)), _mm_packs_epi32(low_half(g), high_half(g)));
  const __m128i blue_alpha = _mm_packus_epi16(_mm_packs_epi32(low_half(b), high_half(b)), _mm_set1_epi16(255));
  const __m128i rb = _mm_unpacklo_epi8(red_green, blue_alpha);  // r0 b0 r1 b1 ...
  const __m128i ga = _mm_unpackhi_epi8(red_green, blue_alpha);  // g0 a0 g1 a1 ...
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(rb, ga));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(rb, ga));
#endif
}

JPEG_VECTOR_INLINE void put8(uint8_t* out, const uint8_t* luma, const chroma_vectors& c) {
  put8(out, widen8(luma), c.red, c.green, c.blue);
}

// ---------------------------------------------------------------------------
// Reduced-size inverse DCT (4 x 4, 8 x 4, 4 x 8)

typedef uint32_t u32x4 __attribute__((vector_size(16)));

// 4x4 transpose of 32-bit lanes.
JPEG_VECTOR_INLINE void transpose(u32x4 (&v)[4]) {
  const u32x4 a = __builtin_shufflevector(v[0], v[1], 0, 4, 1, 5), b = __builtin_shufflevector(v[0], v[1], 2, 6, 3, 7);
  const u32x4 c = __builtin_shufflevector(v[2], v[3], 0, 4, 1, 5), d = __builtin_shufflevector(v[2], v[3], 2, 6, 3, 7);
  v[0] = __builtin_shufflevector(a, c, 0, 1, 4, 5);
  v[1] = __builtin_shufflevector(a, c, 2, 3, 6, 7);
  v[2] = __builtin_shufflevector(b, d, 0, 1, 4, 5);
  v[3] = __builtin_shufflevector(b, d, 2, 3, 6, 7);
}

// Columns c..c+3 of coefficient rows r..r+3 (from `corner` = row r, column
// c), as four vectors over the rows: the first pass's inputs, transposed.
JPEG_VECTOR_INLINE void load_transposed(const int16_t* corner, u32x4 (&v)[4]) {
  for (int r = 0; r < 4; ++r) {
    for (int u = 0; u < 4; ++u) v[r][u] = static_cast<uint32_t>(int32_t{corner[8 * r + u]});
  }
  transpose(v);
}

JPEG_VECTOR_INLINE u32x4 descale_row(u32x4 x) { return u32x4(i32x4(x + idct_row_rounding) >> idct_row_shift); }
JPEG_VECTOR_INLINE __m128i descale_column(u32x4 x) { return __m128i(i32x4(x + idct_column_bias) >> idct_column_shift); }

// Four rows of four samples from four vectors of second-pass outputs,
// descaled, clamped (saturating to 16 bits and then to unsigned 8 bits is
// clamp_sample) and stored `stride` apart.
JPEG_VECTOR_INLINE void store_rows(const u32x4* x, uint8_t* samples, std::ptrdiff_t stride) {
  alignas(16) uint8_t all[16];
  const __m128i rows[4] = {descale_column(x[0]), descale_column(x[1]), descale_column(x[2]), descale_column(x[3])};
  _mm_store_si128(reinterpret_cast<__m128i*>(all),
                  _mm_packus_epi16(_mm_packs_epi32(rows[0], rows[1]), _mm_packs_epi32(rows[2], rows[3])));
  for (int k = 0; k < 4; ++k) std::memcpy(samples + k * stride, all + 4 * k, 4);
}

}  // namespace

// The 4 x 4, 8 x 4 and 4 x 8 sizes as the portable passes run them:
// transform_4 or transform_8 on four rows (then four or eight columns) side
// by side, with 4 x 4 transposes before each pass.
void inverse_dct_4x4(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride) {
  u32x4 v[4], x[4];
  load_transposed(coefficients, v);
  transform_4(v[0], v[1], v[2], v[3], x);
  for (int k = 0; k < 4; ++k) v[k] = descale_row(x[k]);
  transpose(v);
  transform_4(v[0], v[1], v[2], v[3], x);
  store_rows(x, samples, stride);
}

void inverse_dct_8x4(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride) {
  u32x4 left[4], right[4], x[8];
  load_transposed(coefficients, left);
  load_transposed(coefficients + 4, right);
  transform_8(left[0], left[1], left[2], left[3], right[0], right[1], right[2], right[3], x);
  for (int k = 0; k < 4; ++k) {
    left[k] = descale_row(x[k]);
    right[k] = descale_row(x[k + 4]);
  }
  transpose(left);
  transpose(right);
  u32x4 y_left[4], y_right[4];
  transform_4(left[0], left[1], left[2], left[3], y_left);
  transform_4(right[0], right[1], right[2], right[3], y_right);
  store_rows(y_left, samples, stride);
  store_rows(y_right, samples + 4, stride);
}

void inverse_dct_4x8(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride) {
  u32x4 top[4], bottom[4], x_top[4], x_bottom[4];
  load_transposed(coefficients, top);
  load_transposed(coefficients + 32, bottom);
  transform_4(top[0], top[1], top[2], top[3], x_top);
  transform_4(bottom[0], bottom[1], bottom[2], bottom[3], x_bottom);
  for (int k = 0; k < 4; ++k) {
    top[k] = descale_row(x_top[k]);
    bottom[k] = descale_row(x_bottom[k]);
  }
  transpose(top);
  transpose(bottom);
  u32x4 y[8];
  transform_8(top[0], top[1], top[2], top[3], bottom[0], bottom[1], bottom[2], bottom[3], y);
  store_rows(y, samples, stride);
  store_rows(y + 4, samples + 4 * stride, stride);
}

void inverse_dct_block(const int16_t* coefficients, uint8_t* samples, int block_extent) {
  assert(block_extent >= 1 && block_extent <= 64);
  if (block_extent == 1) {
    std::memset(samples, dc_only_sample(coefficients), 64);
    return;
  }
  with_idct_shape(
      block_extent, [&](auto s) __attribute__((always_inline)) {
        transform_block<decltype(s)::width, decltype(s)::rows>(coefficients, samples);
      });
}

void inverse_dct_quarter_block(const int16_t* coefficients, uint8_t* samples) {
  transform_block<4, 4>(coefficients, samples);
}

void upsample_chroma_block(const int16_t* coefficients, int block_extent, uint8_t* quadrants) {
  assert(block_extent >= 1 && block_extent <= 64);
  if (block_extent == 1) {
    // A lone DC term reaches each quadrant unchanged as its own DC term, so
    // all four take the DC-only shortcut value.
    std::memset(quadrants, dc_only_sample(coefficients), 256);
    return;
  }
  with_idct_shape(
      block_extent, [&](auto s) __attribute__((always_inline)) {
        upsample_block<decltype(s)::width, decltype(s)::rows>(coefficients, quadrants);
      });
}

void convert_h1v1_line(const colour_tables&, const uint8_t* mcu_samples, int mcus_per_row, int line, uint8_t* output) {
  for (int i = 0; i < mcus_per_row; ++i) {
    const uint8_t* y = mcu_samples + i * h1v1.sample_blocks * block_bytes + line * 8;
    put8(output + i * 32, y, chroma8(y + h1v1.cb_samples * block_bytes, y + h1v1.cr_samples * block_bytes));
  }
}

void convert_h2v1_line(const colour_tables&, const uint8_t* mcu_samples, int mcus_per_row, int line, uint8_t* output) {
  // Each chroma sample serves two neighbouring pixels: chroma lanes 0..3
  // the left luma block, lanes 4..7 the right one.
  for (int i = 0; i < mcus_per_row; ++i) {
    const uint8_t* y = mcu_samples + i * h2v1.sample_blocks * block_bytes + line * 8;
    uint8_t* out = output + i * 64;
    const chroma_vectors c = chroma8(y + h2v1.cb_samples * block_bytes, y + h2v1.cr_samples * block_bytes);
    put8(out, widen8(y), __builtin_shufflevector(c.red, c.red, 0, 0, 1, 1, 2, 2, 3, 3),
         __builtin_shufflevector(c.green, c.green, 0, 0, 1, 1, 2, 2, 3, 3),
         __builtin_shufflevector(c.blue, c.blue, 0, 0, 1, 1, 2, 2, 3, 3));
    put8(out + 32, widen8(y + block_bytes), __builtin_shufflevector(c.red, c.red, 4, 4, 5, 5, 6, 6, 7, 7),
         __builtin_shufflevector(c.green, c.green, 4, 4, 5, 5, 6, 6, 7, 7),
         __builtin_shufflevector(c.blue, c.blue, 4, 4, 5, 5, 6, 6, 7, 7));
  }
}

void convert_h1v2_lines(const colour_tables&, const uint8_t* mcu_samples, int mcus_per_row, int line, uint8_t* output,
                        uint8_t* second_output) {
  for (int i = 0; i < mcus_per_row; ++i) {
    const uint8_t* mcu = mcu_samples + i * h1v2.sample_blocks * block_bytes;
    const uint8_t* y = mcu + (line / 8) * block_bytes + (line % 8) * 8;
    const uint8_t* chroma = mcu + (line / 2) * 8;
    const chroma_vectors c = chroma8(chroma + h1v2.cb_samples * block_bytes, chroma + h1v2.cr_samples * block_bytes);
    put8(output + i * 32, y, c);
    put8(second_output + i * 32, y + 8, c);
  }
}

void convert_upsampled_line(const colour_tables&, const uint8_t* mcu_samples, int mcus_per_row, int line,
                            uint8_t* output) {
  // A pixel's chroma samples lie as far after its luma sample as the first
  // Cb and Cr sample blocks after the first luma block.
  constexpr std::size_t cb_bytes = upsampled.cb_samples * block_bytes, cr_bytes = upsampled.cr_samples * block_bytes;
  for (int i = 0; i < mcus_per_row; ++i) {
    const uint8_t* mcu = mcu_samples + i * upsampled.sample_blocks * block_bytes;
    const uint8_t* y = mcu + (line / 8) * upsampled.luma_h * block_bytes + (line % 8) * 8;
    uint8_t* out = output + i * 64;
    for (int half = 0; half < upsampled.luma_h; ++half) {
      const uint8_t* sample = y + half * block_bytes;
      put8(out + 32 * half, sample, chroma8(sample + cb_bytes, sample + cr_bytes));
    }
  }
}

}  // namespace JPEG_SIMD_NAMESPACE
}  // namespace detail
}  // namespace jpeg
