// Signal-processing kernels of the decoder: inverse DCT, the MCU transform
// with frequency-domain chroma upsampling, and colour conversion.
//
// Internal header. Used by the engine's block decoders (baseline and
// progressive, for the zig-zag table and the MCU transform), the frame set-up
// (colour tables) and the row output driver (line converters), and
// by idct.cpp, mcu_transform.cpp and colour.cpp, which implement it, and
// kernel_levels.cpp, which picks the level. Nothing outside
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

#include "engine_internal.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace jpeg {

// Kernel levels. The portable build is the reference and the fallback; on
// x86-64 the inverse DCT, the chroma upsampling and the colour converters are
// also built from one vector source (simd_kernels.cpp) twice, for SSE2 (part
// of every x86-64 processor) and for AVX2. All levels give identical bytes.
// JPEG_PORTABLE_KERNELS, or another target, keeps only the portable build.
#if defined(__x86_64__) && !defined(JPEG_PORTABLE_KERNELS)
#define JPEG_SIMD_KERNELS 1
#else
#define JPEG_SIMD_KERNELS 0
#endif

enum class simd_level { portable, sse2, avx2 };

// The level-dependent kernels, one table per level. The choice is made once
// per process; the hot loops fetch the table once per MCU row or line and
// call through it.
struct kernel_table {
  simd_level level;
  void (*inverse_dct_block)(const int16_t* coefficients, uint8_t* samples, int block_extent);
  void (*inverse_dct_quarter_block)(const int16_t* coefficients, uint8_t* samples);
  void (*upsample_chroma_block)(const int16_t* coefficients, int block_extent, uint8_t* quadrants);
  void (*convert_h1v1_line)(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row, int line,
                            uint8_t* output);
  void (*convert_h2v1_line)(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row, int line,
                            uint8_t* output);
  void (*convert_h1v2_lines)(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row, int line,
                             uint8_t* output, uint8_t* second_output);
  void (*convert_upsampled_line)(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row, int line,
                                 uint8_t* output);
  // The reduced-size transforms of inverse_dct_scaled, W x H samples from
  // the W x H lowest-frequency coefficients, rows `stride` apart.
  void (*inverse_dct_4x4)(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride);
  void (*inverse_dct_8x4)(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride);
  void (*inverse_dct_4x8)(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride);
};

// The highest level that both this build and the processor support, lowered
// to the value of the environment variable JPEG_SIMD_LEVEL ("portable",
// "sse2" or "avx2") when that names a lower one; read once per process. It
// never rises above what the processor runs.
simd_level selected_simd_level();

// The table of the selected level.
const kernel_table& selected_kernels();

// The table of any level up to selected_simd_level() (a higher one gives the
// selected table); for tests that compare the levels.
const kernel_table& kernels_for(simd_level level);

// ---------------------------------------------------------------------------
// Zig-zag order and the extent rectangles derived from it

namespace detail {

// Walks the anti-diagonals of the 8x8 block alternately up-right and
// down-left, which is the zig-zag order of T.81 figure A.6.
constexpr std::array<int32_t, 64> build_zigzag_to_natural() {
  std::array<int32_t, 64> order{};
  int k = 0;
  for (int diagonal = 0; diagonal < 15; ++diagonal) {
    for (int i = 0; i <= diagonal; ++i) {
      // Even diagonals run from bottom-left to top-right.
      const int row = (diagonal % 2 == 0) ? diagonal - i : i;
      const int column = diagonal - row;
      if (row < 8 && column < 8) order[k++] = row * 8 + column;
    }
  }
  return order;
}

}  // namespace detail

// Entry k: natural position of the k-th coefficient of the zig-zag sequence.
inline constexpr std::array<int32_t, 64> zigzag_to_natural = detail::build_zigzag_to_natural();

namespace detail {

constexpr std::array<uint8_t, 64> build_natural_to_zigzag() {
  std::array<uint8_t, 64> inverse{};
  for (int k = 0; k < 64; ++k) inverse[zigzag_to_natural[k]] = static_cast<uint8_t>(k);
  return inverse;
}

// [extent - 1]: rows * 16 + columns of the smallest top-left rectangle that
// holds the first `extent` zig-zag positions.
constexpr std::array<uint8_t, 64> build_extent_rectangle() {
  std::array<uint8_t, 64> rectangles{};
  int rows = 0, columns = 0;
  for (int k = 0; k < 64; ++k) {
    const int row = zigzag_to_natural[k] / 8, column = zigzag_to_natural[k] % 8;
    if (row + 1 > rows) rows = row + 1;
    if (column + 1 > columns) columns = column + 1;
    rectangles[k] = static_cast<uint8_t>(rows * 16 + columns);
  }
  return rectangles;
}

}  // namespace detail

// Entry p: zig-zag index of natural position p (for finding the extent of a
// block that is held in natural order).
inline constexpr std::array<uint8_t, 64> natural_to_zigzag = detail::build_natural_to_zigzag();
// Every coefficient that can be non-zero in a block of extent e lies in the
// top-left extent_rectangle[e - 1] / 16 rows and extent_rectangle[e - 1] % 16
// columns. Fifteen rectangles occur.
inline constexpr std::array<uint8_t, 64> extent_rectangle = detail::build_extent_rectangle();

static_assert(zigzag_to_natural[2] == 8 && zigzag_to_natural[15] == 5 && zigzag_to_natural[61] == 55 &&
              zigzag_to_natural[63] == 63);
static_assert(extent_rectangle[3] == 0x32 && extent_rectangle[34] == 0x78 && extent_rectangle[35] == 0x88);

// The shapes the inverse DCT is stamped for, portable and vector alike: the
// block's coefficients lie in its top-left `rows` rows and `width` columns.
// Rectangles within 4 x 4 have a shape of their own; larger ones run at
// full width with their own row count, since the first pass covers all
// columns of a row in one go anyway. (A lone DC term, extent 1, is each kernel's own shortcut.)
struct idct_shape {
  int width, rows;
};
inline constexpr int idct_shape_count = 10;
inline constexpr idct_shape idct_shapes[idct_shape_count] = {{2, 1}, {2, 2}, {2, 3}, {3, 3}, {4, 3},
                                                             {4, 4}, {8, 5}, {8, 6}, {8, 7}, {8, 8}};

namespace detail {

constexpr idct_shape shape_of_rectangle(int rectangle) {
  const int rows = rectangle / 16, columns = rectangle % 16;
  if (rows > 4 || columns > 4) return {8, rows};
  return {columns < 2 ? 2 : columns, rows};
}

// A plain array: indexing a std::array calls its operator[], which an
// unoptimised build defines as a weak function in every object, the vector
// ones included, where the linker may pick it for portable callers too.
struct extent_shapes {
  uint8_t index[64];
};

// [extent - 1]: the index in idct_shapes of the shape that serves the
// extent's rectangle; idct_shape_count where none does.
constexpr extent_shapes build_extent_shapes() {
  extent_shapes shapes{};
  for (int e = 0; e < 64; ++e) {
    const idct_shape wanted = shape_of_rectangle(extent_rectangle[e]);
    shapes.index[e] = idct_shape_count;
    for (int i = 0; i < idct_shape_count; ++i) {
      if (idct_shapes[i].width == wanted.width && idct_shapes[i].rows == wanted.rows) shapes.index[e] = uint8_t(i);
    }
  }
  return shapes;
}

}  // namespace detail

inline constexpr detail::extent_shapes idct_shape_of_extent = detail::build_extent_shapes();

constexpr bool every_extent_has_a_shape() {
  for (uint8_t i : idct_shape_of_extent.index) {
    if (i >= idct_shape_count) return false;
  }
  return true;
}
static_assert(every_extent_has_a_shape());
static_assert(idct_shape_of_extent.index[2] == 1 && idct_shape_of_extent.index[9] == 5 &&
              idct_shape_of_extent.index[10] == 6 && idct_shape_of_extent.index[63] == 9);

namespace detail {
namespace {

// The shape idct_shapes[I] as a type, for the stamped kernels.
template <int I>
struct shape_at {
  static constexpr int width = idct_shapes[I].width, rows = idct_shapes[I].rows;
};

// Calls f(shape_at<i>{}) for the shape that serves block_extent (2..64):
// the one switch of each inverse DCT and chroma upsampler. Internal
// linkage, as transform_8.
template <typename F>
JPEG_ALWAYS_INLINE void with_idct_shape(int block_extent, F&& f) {
  static_assert(idct_shape_count == 10, "one case per shape");
  switch (idct_shape_of_extent.index[block_extent - 1]) {
    case 0: f(shape_at<0>{}); return;
    case 1: f(shape_at<1>{}); return;
    case 2: f(shape_at<2>{}); return;
    case 3: f(shape_at<3>{}); return;
    case 4: f(shape_at<4>{}); return;
    case 5: f(shape_at<5>{}); return;
    case 6: f(shape_at<6>{}); return;
    case 7: f(shape_at<7>{}); return;
    case 8: f(shape_at<8>{}); return;
    default: f(shape_at<9>{}); return;
  }
}

}  // namespace
}  // namespace detail

// ---------------------------------------------------------------------------
// Inverse DCT

namespace detail {

// The weights of the inverse DCT's factorised 8-point kernel, in 13 fraction
// bits: round(2^13 * sqrt(2) * w), where w is the sum of cosines c_k =
// cos(k * pi / 16) named after each constant (sqrt(2) * c_4 = 1). Checked
// below against that formula.
inline constexpr int32_t idct_unit = 8192;           // c_4
inline constexpr int32_t idct_c6 = 4433;             // c_6
inline constexpr int32_t idct_c2_minus_c6 = 6270;    // c_2 - c_6
inline constexpr int32_t idct_c2_plus_c6 = 15137;    // c_2 + c_6
inline constexpr int32_t idct_c3 = 9633;             // c_3
inline constexpr int32_t idct_c3_minus_c7 = 7373;    // c_3 - c_7
inline constexpr int32_t idct_c1_plus_c3 = 20995;    // c_1 + c_3
inline constexpr int32_t idct_c3_plus_c5 = 16069;    // c_3 + c_5
inline constexpr int32_t idct_c3_minus_c5 = 3196;    // c_3 - c_5
inline constexpr int32_t idct_odd_weight_7 = 2446;   // -c_1 + c_3 + c_5 - c_7
inline constexpr int32_t idct_odd_weight_5 = 16819;  // c_1 + c_3 - c_5 + c_7
inline constexpr int32_t idct_odd_weight_3 = 25172;  // c_1 + c_3 + c_5 - c_7
inline constexpr int32_t idct_odd_weight_1 = 12299;  // c_1 + c_3 - c_5 - c_7

// cos(k * pi / 16) by its Taylor series, for the checks only.
constexpr double cos_sixteenth(int k) {
  const double x = k * 3.14159265358979323846 / 16;
  double term = 1, sum = 1;
  for (int n = 1; n < 20; ++n) {
    term *= -x * x / ((2 * n - 1) * (2 * n));
    sum += term;
  }
  return sum;
}
constexpr bool is_idct_weight(int32_t weight, double cosine_sum) {
  const double exact = 8192 * 2 * cos_sixteenth(4) * cosine_sum;
  return weight - 0.5 <= exact && exact < weight + 0.5;
}
static_assert(is_idct_weight(idct_unit, cos_sixteenth(4)) && is_idct_weight(idct_c6, cos_sixteenth(6)) &&
              is_idct_weight(idct_c2_minus_c6, cos_sixteenth(2) - cos_sixteenth(6)) &&
              is_idct_weight(idct_c2_plus_c6, cos_sixteenth(2) + cos_sixteenth(6)) &&
              is_idct_weight(idct_c3, cos_sixteenth(3)) &&
              is_idct_weight(idct_c3_minus_c7, cos_sixteenth(3) - cos_sixteenth(7)) &&
              is_idct_weight(idct_c1_plus_c3, cos_sixteenth(1) + cos_sixteenth(3)) &&
              is_idct_weight(idct_c3_plus_c5, cos_sixteenth(3) + cos_sixteenth(5)) &&
              is_idct_weight(idct_c3_minus_c5, cos_sixteenth(3) - cos_sixteenth(5)));
static_assert(
    is_idct_weight(idct_odd_weight_7, -cos_sixteenth(1) + cos_sixteenth(3) + cos_sixteenth(5) - cos_sixteenth(7)) &&
    is_idct_weight(idct_odd_weight_5, cos_sixteenth(1) + cos_sixteenth(3) - cos_sixteenth(5) + cos_sixteenth(7)) &&
    is_idct_weight(idct_odd_weight_3, cos_sixteenth(1) + cos_sixteenth(3) + cos_sixteenth(5) - cos_sixteenth(7)) &&
    is_idct_weight(idct_odd_weight_1, cos_sixteenth(1) + cos_sixteenth(3) - cos_sixteenth(5) - cos_sixteenth(7)));

// Descaling. The first pass drops 11 of the 13 fraction bits and keeps 2;
// the second drops those 2, the 13 of its own weights and 3 for the 2-D
// normalisation by 8, and adds the level shift of 128 in the same step.
inline constexpr int idct_row_shift = 11;
inline constexpr uint32_t idct_row_rounding = 1u << (idct_row_shift - 1);
inline constexpr int idct_column_shift = 2 + 13 + 3;
inline constexpr uint32_t idct_column_bias = (1u << (idct_column_shift - 1)) + (128u << idct_column_shift);
// A column whose only workspace value is t0 gives t0 * idct_unit in every
// output before descaling; without the multiply, the shift is 13 less.
inline constexpr int idct_one_row_shift = idct_column_shift - 13;
inline constexpr uint32_t idct_one_row_bias = (1u << (idct_one_row_shift - 1)) + (128u << idct_one_row_shift);
static_assert(idct_column_bias == 33685504u && idct_one_row_bias == 4112u);

namespace {

// 0..255, without branches: loops over it vectorise, and colour channels
// leave the range often enough (saturated colours, ringing at edges) that
// mispredictions would cost more than the conditional moves. (Not
// std::min and std::max: unoptimised vector objects would define those
// templates where the linker could pick them for portable callers.)
JPEG_ALWAYS_INLINE uint8_t clamp_sample(int32_t value) {
  const int32_t low = value < 0 ? 0 : value;
  return static_cast<uint8_t>(low > 255 ? 255 : low);
}

// The DC-only shortcut: what the two passes give for a lone DC term c. The
// first pass gives exactly 4c (c * idct_unit + idct_row_rounding, shifted
// by 11), the one-row column pass (4c + idct_one_row_bias) >> 5.
JPEG_ALWAYS_INLINE uint8_t dc_only_sample(const int16_t* coefficients) {
  return clamp_sample(((coefficients[0] + 4) >> 3) + 128);
}

// The 4-point 1-D kernel of the inverse DCT: the even part of transform_8,
// which is the 4-point transform of the even inputs at the same scale
// (cos(2k * pi / 16) = cos(k * pi / 8)); x receives the outputs before
// descaling. T as for transform_8.
template <typename T>
JPEG_ALWAYS_INLINE void transform_4(T d0, T d1, T d2, T d3, T (&x)[4]) {
  constexpr auto fix = [](int32_t constant) { return static_cast<uint32_t>(constant); };
  const T z1 = (d1 + d3) * fix(idct_c6);
  const T e2 = z1 - d3 * fix(idct_c2_plus_c6);
  const T e3 = z1 + d1 * fix(idct_c2_minus_c6);
  const T e0 = (d0 + d2) * fix(idct_unit);
  const T e1 = (d0 - d2) * fix(idct_unit);
  x[0] = e0 + e3;
  x[3] = e0 - e3;
  x[1] = e1 + e2;
  x[2] = e1 - e2;
}

// The 8-point 1-D kernel of the inverse DCT; x receives the outputs before
// descaling. T is uint32_t (the sums wrap by definition), or a vector of
// them that carries several rows or columns. Internal linkage: each kernel
// level's source gets its own copy, built for its own instruction set.
template <typename T>
JPEG_ALWAYS_INLINE void transform_8(T d0, T d1, T d2, T d3, T d4, T d5, T d6, T d7, T (&x)[8]) {
  constexpr auto fix = [](int32_t constant) { return static_cast<uint32_t>(constant); };
  // Even part.
  T even[4];
  transform_4(d0, d2, d4, d6, even);
  const T t10 = even[0], t11 = even[1], t12 = even[2], t13 = even[3];

  // Odd part.
  const T z5 = (d7 + d3 + d5 + d1) * fix(idct_c3);
  const T o_z1 = (d7 + d1) * fix(-idct_c3_minus_c7);
  const T o_z2 = (d5 + d3) * fix(-idct_c1_plus_c3);
  const T o_z3 = (d7 + d3) * fix(-idct_c3_plus_c5) + z5;
  const T o_z4 = (d5 + d1) * fix(-idct_c3_minus_c5) + z5;
  const T o0 = d7 * fix(idct_odd_weight_7) + o_z1 + o_z3;
  const T o1 = d5 * fix(idct_odd_weight_5) + o_z2 + o_z4;
  const T o2 = d3 * fix(idct_odd_weight_3) + o_z2 + o_z3;
  const T o3 = d1 * fix(idct_odd_weight_1) + o_z1 + o_z4;

  x[0] = t10 + o3;
  x[7] = t10 - o3;
  x[1] = t11 + o2;
  x[6] = t11 - o2;
  x[2] = t12 + o1;
  x[5] = t12 - o1;
  x[3] = t13 + o0;
  x[4] = t13 - o0;
}

}  // namespace

// Chroma upsampling weights in units of 1/1024; row m = output frequency,
// column k = input frequency. The same table serves the horizontal and the
// vertical direction.
inline constexpr int32_t upsampling_weights[4][8] = {
    {1024, 928, 0, -325, 0, 218, 0, -184},
    {0, 426, 1024, 810, 0, -360, 0, 284},
    {0, -75, 0, 526, 1024, 787, 0, -383},
    {0, 23, 0, -99, 0, 502, 1024, 887},
};

}  // namespace detail

// ---------------------------------------------------------------------------
// Reduced-size inverse DCT

// For decoding at 1/2, 1/4 or 1/8 of the size: the block into W x H samples
// (W and H each 1, 2, 4 or 8) from its W x H lowest-frequency coefficients
// alone, by W-point transforms along the rows and H-point ones down the
// columns. Each transform has the 8-point one's scale, so a block keeps its
// mean, and the fixed point, descaling, level shift and clamp are those of
// inverse_dct_block; W = H = 8 gives inverse_dct_block's bytes. Sample row
// y is written at samples + y * stride, and nothing else is; no coefficient
// outside the W x H corner is read. Every sample is within 1 of the
// real-valued transform while the coefficients stay within +-2048 (all an
// 8-bit picture gives); beyond, the weights' rounding shows, and hostile
// values wrap the sums as they do at full size. Defined for those sixteen
// sizes only.
//
// The sizes whose both sides are 4 or 8 use the level's kernels of the
// table (inverse_dct_block, and inverse_dct_4x4, _8x4, _4x8 for a block
// that is not DC-only), which give the same bytes at every level; the
// others are portable code, cheap at sizes of 1 and 2.
template <int W, int H>
void inverse_dct_scaled(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride, int block_extent,
                        const kernel_table& kernels);

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
void compute_a_terms(const int16_t* coefficients, int block_extent, quarter_matrix& terms_aa, quarter_matrix& terms_ab);
void compute_b_terms(const int16_t* coefficients, int block_extent, quarter_matrix& terms_ba, quarter_matrix& terms_bb);

// Transforms the `block_count` coefficient blocks of MCU `mcu_index` into its
// sample blocks, which start at block mcu_index * block_count of mcu_samples.
// block_extent holds one entry per block.
void mcu_to_samples(const kernel_table& kernels, const int16_t* mcu_coefficients, const int* block_extent,
                    int block_count, uint8_t* mcu_samples, int mcu_index);

// The MCU of the layout whose chroma is upsampled in the frequency domain
// (h2v2: four luma blocks, Cb, Cr) into its sample blocks (twelve: four
// luma, then the four quadrants of Cb and of Cr), starting at block
// mcu_index * upsampled_layout.sample_blocks.
inline constexpr const layout_facts& upsampled_layout = facts_of(component_layout::h2v2);
void mcu_to_samples_upsampled(const kernel_table& kernels, const int16_t* mcu_coefficients, const int* block_extent,
                              uint8_t* mcu_samples, int mcu_index);

// MCU `mcu_index` of a frame of the given layout into its sample blocks,
// which start at block mcu_index * layout.sample_blocks: the one place that
// chooses between the upsampled and the plain transform. Inlined, so that a
// layout known to the caller leaves only its own path, with its block count
// known.
JPEG_ALWAYS_INLINE void transform_mcu(const kernel_table& kernels, const layout_facts& layout,
                                      const int16_t* mcu_coefficients, const int* block_extent, uint8_t* mcu_samples,
                                      int mcu_index) {
  if (layout.upsampled) {
    mcu_to_samples_upsampled(kernels, mcu_coefficients, block_extent, mcu_samples, mcu_index);
    return;
  }
  uint8_t* out = mcu_samples + static_cast<std::size_t>(mcu_index) * layout.sample_blocks * 64;
  for (int i = 0; i < layout.blocks; ++i) {
    kernels.inverse_dct_block(mcu_coefficients + 64 * i, out + 64 * i, block_extent[i]);
  }
}

// Scaled decoding: MCU `mcu_index` of a row of mcus_per_row MCUs of the
// layout, at 1 / 2^scale_shift of its size (scale_shift 1, 2 or 3), with
// every block reconstructed straight at that size by inverse_dct_scaled:
// luma blocks N x N (N = 8 >> scale_shift), chroma blocks as large as the
// whole MCU, so that no upsampling is needed. The row is written as the
// samples of a grey (one component) or h1v1 (three) MCU row whose MCUs are
// 8-pixel columns of the scaled row, so that their converters make its
// lines: the MCU's pixels lie in one such column, as its width divides 8.
// The last MCU of the row also fills the rest of its column, repeating its
// last pixels, so that every converted sample was written.
void transform_mcu_scaled(const kernel_table& kernels, const layout_facts& layout, int scale_shift,
                          const int16_t* mcu_coefficients, const int* block_extent, uint8_t* mcu_samples, int mcu_index,
                          int mcus_per_row);

// The width of an MCU of the layout at 1 / 2^scale_shift, in pixels.
constexpr int scaled_mcu_width(const layout_facts& layout, int scale_shift) { return layout.mcu_width >> scale_shift; }

// transform_mcu at the decode's scale.
JPEG_ALWAYS_INLINE void transform_mcu_at(const kernel_table& kernels, const layout_facts& layout, int scale_shift,
                                         const int16_t* mcu_coefficients, const int* block_extent, uint8_t* mcu_samples,
                                         int mcu_index, int mcus_per_row) {
  if (scale_shift != 0) [[unlikely]] {
    transform_mcu_scaled(kernels, layout, scale_shift, mcu_coefficients, block_extent, mcu_samples, mcu_index,
                         mcus_per_row);
    return;
  }
  transform_mcu(kernels, layout, mcu_coefficients, block_extent, mcu_samples, mcu_index);
}

// ---------------------------------------------------------------------------
// Colour conversion

// colour_tables (the four JFIF YCbCr -> RGB tables) is a member of the engine
// and so lives in jpeg_decoder.h.
void build_colour_tables(colour_tables& tables);

// Each converter (convert_grey_line and those of kernel_table) writes
// mcus_per_row whole MCUs of line `line` (counted from the top of the MCU
// row, 0..MCU height - 1) of the MCU row in mcu_samples, whose sample
// blocks are laid out as the layout's facts say (layout_table): pixel_bytes
// per pixel (grey as it is; R, G, B, 255 for colour). convert_h1v2_lines
// writes lines `line` (even) and line + 1 in one pass (paired_lines);
// convert_upsampled_line serves upsampled_layout.
void convert_grey_line(const uint8_t* mcu_samples, int mcus_per_row, int line, uint8_t* output);

// ---------------------------------------------------------------------------
// The implementations behind the tables: the same ten kernels per level.

#define JPEG_DECLARE_LEVEL_KERNELS                                                                                 \
  void inverse_dct_block(const int16_t* coefficients, uint8_t* samples, int block_extent);                         \
  void inverse_dct_quarter_block(const int16_t* coefficients, uint8_t* samples);                                   \
  void upsample_chroma_block(const int16_t* coefficients, int block_extent, uint8_t* quadrants);                   \
  void convert_h1v1_line(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row, int line,      \
                         uint8_t* output);                                                                         \
  void convert_h2v1_line(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row, int line,      \
                         uint8_t* output);                                                                         \
  void convert_h1v2_lines(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row, int line,     \
                          uint8_t* output, uint8_t* second_output);                                                \
  void convert_upsampled_line(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row, int line, \
                              uint8_t* output);                                                                    \
  void inverse_dct_4x4(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride);                      \
  void inverse_dct_8x4(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride);                      \
  void inverse_dct_4x8(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride)

namespace detail {
namespace portable {
JPEG_DECLARE_LEVEL_KERNELS;
}  // namespace portable
#if JPEG_SIMD_KERNELS
namespace sse2 {
JPEG_DECLARE_LEVEL_KERNELS;
}  // namespace sse2
namespace avx2 {
JPEG_DECLARE_LEVEL_KERNELS;
}  // namespace avx2
#endif
}  // namespace detail
#undef JPEG_DECLARE_LEVEL_KERNELS

}  // namespace jpeg
