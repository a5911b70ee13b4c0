// Signal-processing kernels of the decoder: inverse DCT, the MCU transform
// with frequency-domain chroma upsampling, and colour conversion.
//
// Internal header. Used by the engine's block decoders (baseline and
// progressive, for the zig-zag table and the MCU transform), the frame set-up
// (colour tables) and the row output driver (line converters), and
// by idct.cpp, upsample.cpp and colour.cpp, which implement it. Nothing outside
// jpeg/ needs to see it.
//
// Every kernel is a pure function over plain arrays and touches no engine
// state:
//   coefficient block  64 x int16_t, natural (row-major) order, index 8v + u,
//                      already dequantised (the block decoders multiply by the
//                      quantisation table while placing each coefficient, so
//                      no kernel here sees a quantisation table);
//   sample block       64 x uint8_t, row-major, index 8y + x;
//   block_extent       1..64: 1 + the highest zig-zag index that may be
//                      non-zero; every coefficient at or beyond it is zero.
#pragma once

#include "jpeg_decoder.h"

#include <array>
#include <cstdint>

namespace jpeg {

// On x86-64 with GCC the inverse DCT, the chroma upsampling and the colour
// converters are also built for AVX2 (GCC vector extensions and AVX2
// intrinsics in functions compiled with target("avx2")), and that build is
// used when the processor has AVX2. Both builds give identical bytes; other
// compilers and targets, or JPEG_PORTABLE_KERNELS, keep only the portable
// build (the tests run against both).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(JPEG_PORTABLE_KERNELS)
#define JPEG_X86_KERNELS 1
#else
#define JPEG_X86_KERNELS 0
#endif

#if JPEG_X86_KERNELS
namespace detail {
bool processor_has_avx2();

// Decided once per process; inline so that the test costs the callers one
// load and one branch.
inline bool use_avx2_kernels()
{
    static const bool available = processor_has_avx2();
    return available;
}
} // namespace detail
#endif

// ---------------------------------------------------------------------------
// Zig-zag order and the extent rectangles derived from it

namespace detail {

// Walks the anti-diagonals of the 8x8 block alternately up-right and
// down-left, which is the zig-zag order of T.81 figure A.6.
constexpr std::array<int32_t, 64> build_zigzag_to_natural()
{
    std::array<int32_t, 64> order{};
    int k = 0;
    for (int diagonal = 0; diagonal < 15; ++diagonal) {
        for (int i = 0; i <= diagonal; ++i) {
            // Even diagonals run from bottom-left to top-right.
            const int row = (diagonal % 2 == 0) ? diagonal - i : i;
            const int column = diagonal - row;
            if (row < 8 && column < 8)
                order[k++] = row * 8 + column;
        }
    }
    return order;
}

} // namespace detail

// Entry k: natural position of the k-th coefficient of the zig-zag sequence.
inline constexpr std::array<int32_t, 64> zigzag_to_natural = detail::build_zigzag_to_natural();

namespace detail {

constexpr std::array<uint8_t, 64> build_natural_to_zigzag()
{
    std::array<uint8_t, 64> inverse{};
    for (int k = 0; k < 64; ++k)
        inverse[zigzag_to_natural[k]] = static_cast<uint8_t>(k);
    return inverse;
}

// [extent - 1]: rows * 16 + columns of the smallest top-left rectangle that
// holds the first `extent` zig-zag positions.
constexpr std::array<uint8_t, 64> build_extent_rectangle()
{
    std::array<uint8_t, 64> rectangles{};
    int rows = 0, columns = 0;
    for (int k = 0; k < 64; ++k) {
        const int row = zigzag_to_natural[k] / 8, column = zigzag_to_natural[k] % 8;
        if (row + 1 > rows)
            rows = row + 1;
        if (column + 1 > columns)
            columns = column + 1;
        rectangles[k] = static_cast<uint8_t>(rows * 16 + columns);
    }
    return rectangles;
}

} // namespace detail

// Entry p: zig-zag index of natural position p (for finding the extent of a
// block that is held in natural order).
inline constexpr std::array<uint8_t, 64> natural_to_zigzag = detail::build_natural_to_zigzag();
// Every coefficient that can be non-zero in a block of extent e lies in the
// top-left extent_rectangle[e - 1] / 16 rows and extent_rectangle[e - 1] % 16
// columns. Fifteen rectangles occur.
inline constexpr std::array<uint8_t, 64> extent_rectangle = detail::build_extent_rectangle();

static_assert(zigzag_to_natural[2] == 8 && zigzag_to_natural[15] == 5 &&
              zigzag_to_natural[61] == 55 && zigzag_to_natural[63] == 63);
static_assert(extent_rectangle[3] == 0x32 && extent_rectangle[34] == 0x78 &&
              extent_rectangle[35] == 0x88);

// ---------------------------------------------------------------------------
// Inverse DCT

// 0..255 by one unsigned comparison in the common case.
constexpr uint8_t clamp_sample(int32_t value)
{
    if (static_cast<uint32_t>(value) <= 255u)
        return static_cast<uint8_t>(value);
    return value < 0 ? 0 : 255;
}

// Writes all 64 samples. block_extent must be 1..64.
void inverse_dct_block(const int16_t* coefficients, uint8_t* samples, int block_extent);

// Reads only rows 0..3, columns 0..3 of the coefficients; writes all 64
// samples.
void inverse_dct_quarter_block(const int16_t* coefficients, uint8_t* samples);

// ---------------------------------------------------------------------------
// MCU transform and frequency-domain upsampling

// 4x4 term matrix of the chroma upsampling; [m][n] is horizontal output
// frequency m, vertical output frequency n.
struct quarter_matrix {
    int32_t entries[16];

    int32_t& operator()(int m, int n) { return entries[m * 4 + n]; }
    int32_t operator()(int m, int n) const { return entries[m * 4 + n]; }
};

// The term matrices of one chroma block; the member for the block's extent
// rectangle is picked inside. Exposed for the equivalence tests.
void compute_a_terms(const int16_t* coefficients, int block_extent, quarter_matrix& terms_aa,
                     quarter_matrix& terms_ab);
void compute_b_terms(const int16_t* coefficients, int block_extent, quarter_matrix& terms_ba,
                     quarter_matrix& terms_bb);

// One 16x16-pixel chroma block to its four full-resolution quadrant sample
// blocks (top-left, top-right, bottom-left, bottom-right; 256 bytes).
void upsample_chroma_block(const int16_t* coefficients, int block_extent, uint8_t* quadrants);

// Transforms the `block_count` coefficient blocks of MCU `mcu_index` into its
// sample blocks, which start at block mcu_index * block_count of mcu_samples.
// block_extent holds one entry per block.
void mcu_to_samples(const int16_t* mcu_coefficients, const int* block_extent, int block_count,
                    uint8_t* mcu_samples, int mcu_index);

// The h2v2 colour MCU (four luma blocks, Cb, Cr) into twelve sample blocks
// starting at block 12 * mcu_index: four luma, then the four quadrants of Cb
// and of Cr.
inline constexpr int upsampled_blocks_per_mcu = 12;
void mcu_to_samples_upsampled(const int16_t* mcu_coefficients, const int* block_extent,
                              uint8_t* mcu_samples, int mcu_index);

// ---------------------------------------------------------------------------
// Colour conversion

// colour_tables (the four JFIF YCbCr -> RGB tables) is a member of the engine
// and so lives in jpeg_decoder.h.
void build_colour_tables(colour_tables& tables);

// Each converter writes mcus_per_row whole MCUs of line `line` (counted from
// the top of the MCU row, 0..MCU height - 1) of the MCU row in mcu_samples:
// 8 bytes per MCU for grey, 4 bytes per pixel (R, G, B, 255) otherwise.
void convert_grey_line(const uint8_t* mcu_samples, int mcus_per_row, int line, uint8_t* output);
void convert_h1v1_line(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                       int line, uint8_t* output);
void convert_h2v1_line(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                       int line, uint8_t* output);
// Lines `line` (even) and line + 1 in one pass.
void convert_h1v2_lines(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                        int line, uint8_t* output, uint8_t* second_output);
// h2v2 frames whose chroma was upsampled in the frequency domain (12 blocks
// per MCU, 16 x 16 pixels).
void convert_upsampled_line(const colour_tables& tables, const uint8_t* mcu_samples,
                            int mcus_per_row, int line, uint8_t* output);

} // namespace jpeg
