// Inverse DCT: separable two-pass integer transform in 13-bit fixed point
// (Loeffler-Ligtenberg-Moschytz factorisation), with the +128 level shift
// and the clamp folded into the second pass.
//
// Sparse blocks are cheap: a block's extent fixes the top-left rectangle of
// coefficients that can be non-zero, and both passes are stamped from one
// template each on that rectangle's width and height, so the terms of inputs
// known to be zero fold away at compile time. The choice is made once per
// block, by one switch on the rectangle. All sums are formed in uint32_t so that hostile coefficients (int16
// extremes, already multiplied by 16-bit quantisers and wrapped) wrap by
// definition instead of overflowing; the arithmetic right shifts are done on
// the int32_t reinterpretation. Because dropping a zero term is an identity
// in wrapping arithmetic, every specialisation matches the full transform
// bit for bit, overflow included, except the two shortcuts that have
// formulas of their own: the DC-only block and the column pass over a single
// workspace row, which never wrap (they agree with the full transform
// wherever it does not wrap).
#include "kernels.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#if JPEG_X86_KERNELS
#include "kernels_avx2.h"
#endif

namespace jpeg {
namespace {

#if JPEG_X86_KERNELS
using namespace detail::avx2;
#endif

using u32 = uint32_t;

#if defined(__GNUC__)
#define JPEG_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define JPEG_ALWAYS_INLINE inline
#endif

constexpr u32 fix(int32_t constant) { return static_cast<u32>(constant); }

constexpr int32_t arithmetic_shift(u32 value, int shift)
{
    return static_cast<int32_t>(value) >> shift;
}

// The 8-point 1-D kernel; x receives the outputs before descaling. T is
// uint32_t, or a vector of them that carries several rows or columns.
template <typename T>
JPEG_ALWAYS_INLINE void transform_8(T d0, T d1, T d2, T d3, T d4, T d5, T d6, T d7, T (&x)[8])
{
    // Even part.
    const T z1 = (d2 + d6) * fix(4433);
    const T e2 = z1 - d6 * fix(15137);
    const T e3 = z1 + d2 * fix(6270);
    const T e0 = (d0 + d4) * fix(8192);
    const T e1 = (d0 - d4) * fix(8192);
    const T t10 = e0 + e3, t13 = e0 - e3, t11 = e1 + e2, t12 = e1 - e2;

    // Odd part.
    const T z5 = (d7 + d3 + d5 + d1) * fix(9633);
    const T o_z1 = (d7 + d1) * fix(-7373);
    const T o_z2 = (d5 + d3) * fix(-20995);
    const T o_z3 = (d7 + d3) * fix(-16069) + z5;
    const T o_z4 = (d5 + d1) * fix(-3196) + z5;
    const T o0 = d7 * fix(2446) + o_z1 + o_z3;
    const T o1 = d5 * fix(16819) + o_z2 + o_z4;
    const T o2 = d3 * fix(25172) + o_z2 + o_z3;
    const T o3 = d1 * fix(12299) + o_z1 + o_z4;

    x[0] = t10 + o3;
    x[7] = t10 - o3;
    x[1] = t11 + o2;
    x[6] = t11 - o2;
    x[2] = t12 + o1;
    x[5] = t12 - o1;
    x[3] = t13 + o0;
    x[4] = t13 - o0;
}

// First pass over coefficient rows 0..R-1, reading coefficients 0..W-1 of
// each. The results keep 2 fraction bits. Rows are independent, so the loop
// runs several rows side by side in vector registers; a row narrower than W
// just feeds zeros through the extra terms, which leaves its result
// unchanged.
template <int W, int R>
JPEG_ALWAYS_INLINE void row_pass(const int16_t* __restrict in, int32_t* __restrict out)
{
    static_assert(W >= 2 && W <= 8 && R >= 1 && R <= 8);
    for (int v = 0; v < R; ++v) {
        auto d = [in, v](int k) -> u32 {
            return k < W ? static_cast<u32>(int32_t{in[8 * v + k]}) : 0u;
        };
        u32 x[8];
        transform_8(d(0), d(1), d(2), d(3), d(4), d(5), d(6), d(7), x);
        for (int k = 0; k < 8; ++k)
            out[8 * v + k] = arithmetic_shift(x[k] + 1024u, 11);
    }
}

// Branch-free form of clamp_sample, so that the column loop vectorises.
JPEG_ALWAYS_INLINE uint8_t clamp_lane(int32_t value)
{
    return static_cast<uint8_t>(std::min(std::max(value, 0), 255));
}

// Second pass over all eight columns; reads workspace rows 0..N-1 only.
// Iterations over x are independent and touch consecutive addresses, which
// lets the compiler run the columns side by side in vector registers.
// 33685504 = 2^17 (rounding) + 128 * 2^18 (level shift); the shift of 18
// removes 13 fixed-point bits, the 2 kept by the first pass and the 2-D
// normalisation factor 8.
template <int N>
JPEG_ALWAYS_INLINE void column_pass(const int32_t* __restrict workspace, uint8_t* __restrict samples)
{
    static_assert(N >= 1 && N <= 8);
    if constexpr (N == 1) {
        // The one-row shortcut: every sample of a column is its single
        // workspace value descaled, (t0 + 4112) >> 5 (4112 = 2^4 rounding +
        // 128 * 2^5 level shift). The full kernel would form t0 * 8192
        // first, which wraps for |t0| >= 2^18 (first-row coefficients near
        // the 16-bit extremes); the shortcut does not, and gives its own
        // value there. Below that bound both agree.
        for (int column = 0; column < 8; ++column) {
            const uint8_t value =
                clamp_lane(arithmetic_shift(static_cast<u32>(workspace[column]) + 4112u, 5));
            for (int k = 0; k < 8; ++k)
                samples[8 * k + column] = value;
        }
        return;
    }
    int32_t descaled[64];
    for (int column = 0; column < 8; ++column) {
        auto d = [workspace, column](int k) -> u32 {
            return k < N ? static_cast<u32>(workspace[8 * k + column]) : 0u;
        };
        u32 x[8];
        transform_8(d(0), d(1), d(2), d(3), d(4), d(5), d(6), d(7), x);
        for (int k = 0; k < 8; ++k)
            descaled[8 * k + column] = arithmetic_shift(x[k] + 33685504u, 18);
    }
    for (int i = 0; i < 64; ++i)
        samples[i] = clamp_lane(descaled[i]);
}

JPEG_ALWAYS_INLINE void inverse_dct_block_body(const int16_t* coefficients, uint8_t* samples,
                                               int block_extent)
{
    if (block_extent == 1) {
        // The DC-only shortcut: what the two passes give for a lone DC term.
        const uint8_t value = clamp_sample(((coefficients[0] + 4) >> 3) + 128);
        std::memset(samples, value, 64);
        return;
    }

    // Sparse blocks (all coefficients in the top-left 4x4) run the first pass
    // on exactly their coefficient rectangle. Denser ones run it on all eight
    // rows at full width, which fills whole vectors; the extra terms multiply
    // zeros and leave every result unchanged. The second pass reads only the
    // workspace rows of the rectangle.
    int32_t workspace[64];
    const int rectangle = extent_rectangle[block_extent - 1];
    switch (rectangle) {
    case 0x12: row_pass<2, 1>(coefficients, workspace); break;
    case 0x22: row_pass<2, 2>(coefficients, workspace); break;
    case 0x32: row_pass<2, 3>(coefficients, workspace); break;
    case 0x33: row_pass<3, 3>(coefficients, workspace); break;
    case 0x34: row_pass<4, 3>(coefficients, workspace); break;
    case 0x44: row_pass<4, 4>(coefficients, workspace); break;
    default: row_pass<8, 8>(coefficients, workspace); break;
    }
    switch (rectangle / 16) {
    case 1: column_pass<1>(workspace, samples); break;
    case 2: column_pass<2>(workspace, samples); break;
    case 3: column_pass<3>(workspace, samples); break;
    case 4: column_pass<4>(workspace, samples); break;
    case 5: column_pass<5>(workspace, samples); break;
    case 6: column_pass<6>(workspace, samples); break;
    case 7: column_pass<7>(workspace, samples); break;
    default: column_pass<8>(workspace, samples); break;
    }
}

JPEG_ALWAYS_INLINE void inverse_dct_quarter_block_body(const int16_t* coefficients, uint8_t* samples)
{
    int32_t workspace[64];
    row_pass<4, 4>(coefficients, workspace);
    column_pass<4>(workspace, samples);
}

#if JPEG_X86_KERNELS

// The AVX2 build keeps a whole block in registers: eight rows side by side
// for the first pass, eight columns side by side for the second, with an
// in-register transpose between them and one at the input. Same arithmetic,
// same order, so the same bytes as the portable build.

// Clamps eight rows of eight samples to 0..255 and stores them. Saturating
// to 16 bits and then to unsigned 8 bits is clamp_sample for every int32.
JPEG_AVX2_INLINE void store_clamped(const i32x8 (&rows)[8], uint8_t* samples)
{
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (int half = 0; half < 8; half += 4) {
        const __m256i low = _mm256_packs_epi32(__m256i(rows[half]), __m256i(rows[half + 1]));
        const __m256i high = _mm256_packs_epi32(__m256i(rows[half + 2]), __m256i(rows[half + 3]));
        // Per 128-bit lane, four bytes of each of the four rows; put each
        // row's two four-byte pieces next to each other.
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low, high), order);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + 8 * half), bytes);
    }
}

// The second pass over eight columns side by side, from workspace rows
// 0..R-1 (later rows are zero), and the clamped store.
template <int R>
JPEG_AVX2_INLINE void column_pass_avx2(const i32x8* workspace_rows, uint8_t* samples)
{
    if constexpr (R == 1) {
        // The one-row shortcut, as in column_pass<1>.
        const i32x8 value =
            reinterpret_cast<i32x8>(reinterpret_cast<u32x8>(workspace_rows[0]) + 4112u) >> 5;
        const i32x8 sample_rows[8] = {value, value, value, value, value, value, value, value};
        store_clamped(sample_rows, samples);
        return;
    }
    u32x8 d[8], x[8];
    for (int k = 0; k < 8; ++k)
        d[k] = k < R ? reinterpret_cast<u32x8>(workspace_rows[k]) : u32x8{};
    transform_8(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], x);
    i32x8 sample_rows[8];
    for (int k = 0; k < 8; ++k)
        sample_rows[k] = reinterpret_cast<i32x8>(x[k] + 33685504u) >> 18;
    store_clamped(sample_rows, samples);
}

// The first pass on vectors of eight rows (lane = row), then the transpose
// into workspace rows (lane = column).
JPEG_AVX2_INLINE void row_pass_avx2(const u32x8 (&columns)[8], i32x8 (&workspace_rows)[8])
{
    u32x8 x[8];
    transform_8(columns[0], columns[1], columns[2], columns[3], columns[4], columns[5],
                columns[6], columns[7], x);
    i32x8 by_column[8];
    for (int k = 0; k < 8; ++k)
        by_column[k] = reinterpret_cast<i32x8>(x[k] + 1024u) >> 11;
    transpose(by_column, workspace_rows);
}

// Both passes for a block whose coefficients lie in the top-left R rows and
// W columns.
template <int W, int R>
JPEG_AVX2_INLINE void transform_block(const int16_t* coefficients, uint8_t* samples)
{
    u32x8 columns[8];
    load_columns<W, R>(coefficients, columns);
    i32x8 workspace_rows[8];
    row_pass_avx2(columns, workspace_rows);
    column_pass_avx2<R>(workspace_rows, samples);
}

__attribute__((target("avx2"))) void inverse_dct_block_avx2(const int16_t* coefficients,
                                                            uint8_t* samples, int block_extent)
{
    switch (extent_rectangle[block_extent - 1]) {
    case 0x11: {
        const uint8_t value = clamp_sample(((coefficients[0] + 4) >> 3) + 128);
        std::memset(samples, value, 64);
        break;
    }
    case 0x12: transform_block<2, 1>(coefficients, samples); break;
    case 0x22: transform_block<2, 2>(coefficients, samples); break;
    case 0x32: transform_block<2, 3>(coefficients, samples); break;
    case 0x33: transform_block<3, 3>(coefficients, samples); break;
    case 0x34: transform_block<4, 3>(coefficients, samples); break;
    case 0x44: transform_block<4, 4>(coefficients, samples); break;
    case 0x54:
    case 0x55:
    case 0x56: transform_block<8, 5>(coefficients, samples); break;
    case 0x66: transform_block<8, 6>(coefficients, samples); break;
    case 0x76:
    case 0x77:
    case 0x78: transform_block<8, 7>(coefficients, samples); break;
    default: transform_block<8, 8>(coefficients, samples); break;
    }
}

#endif // JPEG_X86_KERNELS

} // namespace

#if JPEG_X86_KERNELS
__attribute__((target("avx2"))) void detail::inverse_dct_quarter_block_avx2(
    const int16_t* coefficients, uint8_t* samples)
{
    transform_block<4, 4>(coefficients, samples);
}

// Two 4x4-input blocks share the first pass: its lanes 0..3 carry the rows
// of the left block and lanes 4..7 those of the right one, and the
// transpose that follows yields the left block's workspace rows in rows
// 0..3 and the right block's in rows 4..7.
__attribute__((target("avx2"))) void detail::inverse_dct_quarter_pair_avx2(
    const i32x8 (&coefficient_rows)[4], uint8_t* left, uint8_t* right)
{
    // The blocks hold 16-bit coefficients: keep the low 16 bits, sign
    // extended.
    i32x8 r[4];
    for (int n = 0; n < 4; ++n)
        r[n] = (coefficient_rows[n] << 16) >> 16;
    // 4x4 transposes inside each half: column m, lanes (block, row).
    const i32x8 t0 = __builtin_shuffle(r[0], r[1], i32x8{0, 8, 1, 9, 4, 12, 5, 13});
    const i32x8 t1 = __builtin_shuffle(r[0], r[1], i32x8{2, 10, 3, 11, 6, 14, 7, 15});
    const i32x8 t2 = __builtin_shuffle(r[2], r[3], i32x8{0, 8, 1, 9, 4, 12, 5, 13});
    const i32x8 t3 = __builtin_shuffle(r[2], r[3], i32x8{2, 10, 3, 11, 6, 14, 7, 15});
    const i32x8 low{0, 1, 8, 9, 4, 5, 12, 13}, high{2, 3, 10, 11, 6, 7, 14, 15};
    const u32x8 columns[8] = {
        reinterpret_cast<u32x8>(__builtin_shuffle(t0, t2, low)),
        reinterpret_cast<u32x8>(__builtin_shuffle(t0, t2, high)),
        reinterpret_cast<u32x8>(__builtin_shuffle(t1, t3, low)),
        reinterpret_cast<u32x8>(__builtin_shuffle(t1, t3, high)),
        u32x8{}, u32x8{}, u32x8{}, u32x8{}};
    i32x8 workspace_rows[8];
    row_pass_avx2(columns, workspace_rows);
    column_pass_avx2<4>(workspace_rows, left);
    column_pass_avx2<4>(workspace_rows + 4, right);
}
#endif

#if JPEG_X86_KERNELS
bool detail::processor_has_avx2()
{
    // Also false when the operating system does not save the AVX registers.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}
#endif

void inverse_dct_block(const int16_t* coefficients, uint8_t* samples, int block_extent)
{
    assert(block_extent >= 1 && block_extent <= 64);
#if JPEG_X86_KERNELS
    if (detail::use_avx2_kernels())
        return inverse_dct_block_avx2(coefficients, samples, block_extent);
#endif
    inverse_dct_block_body(coefficients, samples, block_extent);
}

void inverse_dct_quarter_block(const int16_t* coefficients, uint8_t* samples)
{
#if JPEG_X86_KERNELS
    if (detail::use_avx2_kernels())
        return detail::inverse_dct_quarter_block_avx2(coefficients, samples);
#endif
    inverse_dct_quarter_block_body(coefficients, samples);
}

} // namespace jpeg
