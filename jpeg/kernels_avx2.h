// AVX2 building blocks of the kernels: vector types, the transposing
// coefficient load and the 8x8 transpose shared by the inverse DCT and the
// chroma upsampling.
//
// Internal header, used only by idct.cpp, upsample.cpp and colour.cpp, and
// only when JPEG_X86_KERNELS is set. Everything here is for functions compiled with
// target("avx2"); the vector operations are GCC vector extensions.
#pragma once

#include "kernels.h"

#include <cstring>
#include <immintrin.h>

namespace jpeg::detail {

namespace avx2 {

#define JPEG_AVX2_INLINE inline __attribute__((target("avx2"), always_inline))

typedef int16_t i16x8 __attribute__((vector_size(16)));
typedef int32_t i32x8 __attribute__((vector_size(32)));
typedef uint32_t u32x8 __attribute__((vector_size(32)));

} // namespace avx2

// The 4x4-input inverse DCT of the AVX2 build.
void inverse_dct_quarter_block_avx2(const int16_t* coefficients, uint8_t* samples);

// The 4x4-input inverse DCT of two blocks at once. coefficient_rows[n] holds
// coefficient row n, columns 0..3, of the left block in lanes 0..3 and of
// the right block in lanes 4..7; only their low 16 bits are used.
void inverse_dct_quarter_pair_avx2(const avx2::i32x8 (&coefficient_rows)[4], uint8_t* left,
                                   uint8_t* right);

namespace avx2 {

// Columns 0..W-1 of coefficient rows 0..R-1 as vectors indexed by row,
// widened to 32 bits; rows at or beyond R read as zero and are not loaded,
// and for W <= 4 nothing beyond column 3 is loaded.
template <int W, int R>
JPEG_AVX2_INLINE void load_columns(const int16_t* coefficients, u32x8 (&columns)[8])
{
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
        a[p] = __builtin_shuffle(r[p], r[p + 1], i16x8{0, 8, 1, 9, 2, 10, 3, 11});
        a[p + 1] = __builtin_shuffle(r[p], r[p + 1], i16x8{4, 12, 5, 13, 6, 14, 7, 15});
    }
    for (int p = 0; p < 8; p += 4)
        for (int q = 0; q < 2; ++q) {
            b[p + 2 * q] = __builtin_shuffle(a[p + q], a[p + q + 2], i16x8{0, 1, 8, 9, 2, 3, 10, 11});
            b[p + 2 * q + 1] = __builtin_shuffle(a[p + q], a[p + q + 2], i16x8{4, 5, 12, 13, 6, 7, 14, 15});
        }
    for (int q = 0; q < 4; ++q) {
        c[2 * q] = __builtin_shuffle(b[q], b[q + 4], i16x8{0, 1, 2, 3, 8, 9, 10, 11});
        c[2 * q + 1] = __builtin_shuffle(b[q], b[q + 4], i16x8{4, 5, 6, 7, 12, 13, 14, 15});
    }
    for (int k = 0; k < 8; ++k)
        columns[k] = k < W ? reinterpret_cast<u32x8>(__builtin_convertvector(c[k], i32x8)) : u32x8{};
}

// 8x8 transpose of 32-bit lanes.
JPEG_AVX2_INLINE void transpose(const i32x8 (&in)[8], i32x8 (&out)[8])
{
    i32x8 t[8], u[8];
    for (int p = 0; p < 8; p += 2) {
        t[p] = __builtin_shuffle(in[p], in[p + 1], i32x8{0, 8, 1, 9, 4, 12, 5, 13});
        t[p + 1] = __builtin_shuffle(in[p], in[p + 1], i32x8{2, 10, 3, 11, 6, 14, 7, 15});
    }
    for (int p = 0; p < 8; p += 4)
        for (int q = 0; q < 2; ++q) {
            u[p + 2 * q] = __builtin_shuffle(t[p + q], t[p + q + 2], i32x8{0, 1, 8, 9, 4, 5, 12, 13});
            u[p + 2 * q + 1] = __builtin_shuffle(t[p + q], t[p + q + 2], i32x8{2, 3, 10, 11, 6, 7, 14, 15});
        }
    for (int q = 0; q < 4; ++q) {
        out[q] = __builtin_shuffle(u[q], u[q + 4], i32x8{0, 1, 2, 3, 8, 9, 10, 11});
        out[q + 4] = __builtin_shuffle(u[q], u[q + 4], i32x8{4, 5, 6, 7, 12, 13, 14, 15});
    }
}

} // namespace avx2
} // namespace jpeg::detail
