// MCU transform, and the frequency-domain 2x2 upsampling of chroma blocks.
//
// A chroma block of an h2v2 frame covers 16x16 pixels. Instead of filtering
// samples, its coefficients are re-expressed as the coefficients of its four
// 8x8 quadrants (only output frequencies 0..3 in each direction are kept),
// which the 4x4-input inverse DCT then turns into full-resolution samples.
// The weights split every input frequency into a part that is the same in
// both halves of the 16-pixel span (class a) and one that changes sign
// between them (class b), so each quadrant is a signed sum of four term
// matrices.
//
// Ranges: |C| <= 32768 and the largest same-parity weight sum of a row of
// the weight table is 1880, so first-stage sums stay below 2^26, first-stage
// results below 2^16 and second-stage sums below 2^27; int32_t never
// overflows here. Only the final quadrant coefficients are cut to 16 bits.
#include "kernels.h"

#include <array>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <utility>

namespace jpeg {
namespace {

using detail::upsampling_weights;

constexpr int32_t round_weights(int32_t sum) { return (sum + 512) >> 10; }

template <int Count, typename F, int... I>
inline void static_for_impl(F&& f, std::integer_sequence<int, I...>) {
  (f(std::integral_constant<int, I>{}), ...);
}

// Calls f(integral_constant<int, i>) for i = 0 .. Count-1, unrolled at
// compile time so that every index is a constant inside f.
template <int Count, typename F>
inline void static_for(F&& f) {
  static_for_impl<Count>(f, std::make_integer_sequence<int, Count>{});
}

// Sum of W[m][k] * input(k) over k < Count with k + m of the given parity;
// terms with weight zero are not formed.
template <int M, int Count, int Parity, typename Input>
inline int32_t weighted_sum(Input&& input) {
  int32_t sum = 0;
  static_for<Count>([&](auto k) {
    constexpr int32_t weight = upsampling_weights[M][k];
    if constexpr ((k + M) % 2 == Parity && weight != 0) sum += weight * input(k);
  });
  return sum;
}

// The two term matrices of one class for coefficients inside a Rows x
// Columns top-left rectangle (everything outside it must be zero). Parity
// selects the class: 0 = class a (terms_aa, terms_ab), 1 = class b
// (terms_ba, terms_bb).
template <int Rows, int Columns, int Parity>
void compute_terms(const int16_t* coefficients, quarter_matrix& same, quarter_matrix& alternating) {
  // First stage, along each coefficient row.
  int32_t stage[Rows > 0 ? Rows : 1][4];
  static_for<Rows>([&](auto v) {
    static_for<4>([&](auto m) {
      stage[v][m] =
          round_weights(weighted_sum<m, Columns, Parity>([&](int u) { return int32_t{coefficients[8 * v + u]}; }));
    });
  });

  // Second stage, down the columns of the first-stage results.
  static_for<4>([&](auto m) {
    static_for<4>([&](auto n) {
      auto column = [&](int v) { return stage[v][m]; };
      same(m, n) = round_weights(weighted_sum<n, Rows, 0>(column));
      alternating(m, n) = round_weights(weighted_sum<n, Rows, 1>(column));
    });
  });
}

using terms_routine = void (*)(const int16_t*, quarter_matrix&, quarter_matrix&);

// Columns that carry no weight for a class are dropped from its rectangle:
// class a never uses columns 2 and 6, class b never columns 0 and 4. This is
// what makes rectangles share members (27 distinct routines for 15
// rectangles).
constexpr int effective_columns(int columns, int parity) {
  const int last = columns - 1;
  if (parity == 0 && (last == 2 || last == 6)) return columns - 1;
  if (parity == 1 && (last == 0 || last == 4)) return columns - 1;
  return columns;
}

template <int Parity, std::size_t... E>
constexpr std::array<terms_routine, 64> make_terms_table(std::index_sequence<E...>) {
  return {&compute_terms<extent_rectangle[E] / 16, effective_columns(extent_rectangle[E] % 16, Parity), Parity>...};
}

constexpr auto a_terms_for_extent = make_terms_table<0>(std::make_index_sequence<64>{});
constexpr auto b_terms_for_extent = make_terms_table<1>(std::make_index_sequence<64>{});

quarter_matrix matrix_sum(const quarter_matrix& x, const quarter_matrix& y) {
  quarter_matrix result;
  for (int i = 0; i < 16; ++i) result.entries[i] = x.entries[i] + y.entries[i];
  return result;
}

void matrix_subtract(quarter_matrix& x, const quarter_matrix& y) {
  for (int i = 0; i < 16; ++i) x.entries[i] -= y.entries[i];
}

// The 48 entries outside the top-left 4x4 are left alone: the quarter-block
// inverse DCT never reads them.
template <int Sign>
void store_quarter(int16_t* block, const quarter_matrix& x, const quarter_matrix& y) {
  for (int m = 0; m < 4; ++m)
    for (int n = 0; n < 4; ++n) block[8 * n + m] = static_cast<int16_t>(x(m, n) + Sign * y(m, n));
}

void store_quarter_sum(int16_t* block, const quarter_matrix& x, const quarter_matrix& y) {
  store_quarter<1>(block, x, y);
}

void store_quarter_difference(int16_t* block, const quarter_matrix& x, const quarter_matrix& y) {
  store_quarter<-1>(block, x, y);
}

}  // namespace

void compute_a_terms(const int16_t* coefficients, int block_extent, quarter_matrix& terms_aa,
                     quarter_matrix& terms_ab) {
  a_terms_for_extent[block_extent - 1](coefficients, terms_aa, terms_ab);
}

void compute_b_terms(const int16_t* coefficients, int block_extent, quarter_matrix& terms_ba,
                     quarter_matrix& terms_bb) {
  b_terms_for_extent[block_extent - 1](coefficients, terms_ba, terms_bb);
}

void detail::portable::upsample_chroma_block(const int16_t* coefficients, int block_extent, uint8_t* quadrants) {
  assert(block_extent >= 1 && block_extent <= 64);
  if (block_extent == 1) {
    // A lone DC term reaches each quadrant unchanged as its own DC term
    // (weight 1024 in both directions), so all four take the inverse
    // DCT's DC-only shortcut value.
    std::memset(quadrants, detail::dc_only_sample(coefficients), 256);
    return;
  }
  quarter_matrix terms_aa, terms_ab, terms_ba, terms_bb;
  compute_a_terms(coefficients, block_extent, terms_aa, terms_ab);
  compute_b_terms(coefficients, block_extent, terms_ba, terms_bb);

  // Sums and differences are shared by the four quadrants.
  const quarter_matrix sum_a = matrix_sum(terms_aa, terms_ab);
  matrix_subtract(terms_aa, terms_ab);
  const quarter_matrix sum_b = matrix_sum(terms_ba, terms_bb);
  matrix_subtract(terms_ba, terms_bb);
  const quarter_matrix& difference_a = terms_aa;
  const quarter_matrix& difference_b = terms_ba;

  int16_t scratch[64];
  store_quarter_sum(scratch, sum_a, sum_b);
  detail::portable::inverse_dct_quarter_block(scratch, quadrants);
  store_quarter_difference(scratch, sum_a, sum_b);
  detail::portable::inverse_dct_quarter_block(scratch, quadrants + 64);
  store_quarter_sum(scratch, difference_a, difference_b);
  detail::portable::inverse_dct_quarter_block(scratch, quadrants + 128);
  store_quarter_difference(scratch, difference_a, difference_b);
  detail::portable::inverse_dct_quarter_block(scratch, quadrants + 192);
}

void mcu_to_samples(const kernel_table& kernels, const int16_t* mcu_coefficients, const int* block_extent,
                    int block_count, uint8_t* mcu_samples, int mcu_index) {
  uint8_t* out = mcu_samples + static_cast<std::size_t>(mcu_index) * block_count * 64;
  for (int b = 0; b < block_count; ++b)
    kernels.inverse_dct_block(mcu_coefficients + 64 * b, out + 64 * b, block_extent[b]);
}

void mcu_to_samples_upsampled(const kernel_table& kernels, const int16_t* mcu_coefficients, const int* block_extent,
                              uint8_t* mcu_samples, int mcu_index) {
  constexpr const layout_facts& layout = upsampled_layout;
  static_assert(layout.luma_h == 2 && layout.luma_v == 2, "a chroma block is upsampled into 2 x 2 quadrants");
  constexpr int luma_blocks = layout.luma_h * layout.luma_v, cb = layout.first_block[1], cr = layout.first_block[2];
  uint8_t* out = mcu_samples + static_cast<std::size_t>(mcu_index) * layout.sample_blocks * 64;
  for (int b = 0; b < luma_blocks; ++b) {
    kernels.inverse_dct_block(mcu_coefficients + 64 * b, out + 64 * b, block_extent[b]);
  }
  kernels.upsample_chroma_block(mcu_coefficients + cb * 64, block_extent[cb], out + layout.cb_samples * 64);
  kernels.upsample_chroma_block(mcu_coefficients + cr * 64, block_extent[cr], out + layout.cr_samples * 64);
}

namespace {

// The columns' layout is that of the grey and h1v1 MCUs: per column 8 x 8
// samples of each component, one component after the other, rows 8 bytes
// apart.
constexpr std::size_t column_component_bytes = 64;
constexpr std::ptrdiff_t column_stride = 8;
static_assert(facts_of(component_layout::h1v1).cb_samples == 1 && facts_of(component_layout::h1v1).cr_samples == 2 &&
              facts_of(component_layout::grey).sample_blocks == 1);

template <component_layout Layout, int Shift>
void scaled_mcu(const kernel_table& kernels, const int16_t* coefficients, const int* extents, uint8_t* samples,
                int mcu_index, int mcus_per_row) {
  constexpr const layout_facts& layout = facts_of(Layout);
  constexpr int n = 8 >> Shift;
  constexpr int width = layout.mcu_width >> Shift;
  constexpr int height = layout.mcu_height >> Shift;
  static_assert(8 % width == 0 && height <= 8, "a scaled MCU lies within one column");
  const int x = mcu_index * width;
  uint8_t* column = samples + static_cast<std::size_t>(x / 8) * layout.components * column_component_bytes;
  uint8_t* out = column + x % 8;
  for (int by = 0; by < layout.luma_v; ++by) {
    for (int bx = 0; bx < layout.luma_h; ++bx) {
      const int b = by * layout.luma_h + bx;
      inverse_dct_scaled<n, n>(coefficients + 64 * b, out + column_stride * n * by + n * bx, column_stride, extents[b],
                               kernels);
    }
  }
  for (int c = 1; c < layout.components; ++c) {
    const int b = layout.first_block[c];
    inverse_dct_scaled<width, height>(coefficients + 64 * b, out + c * column_component_bytes, column_stride,
                                      extents[b], kernels);
  }
  const int end = (x + width) % 8;
  if (mcu_index != mcus_per_row - 1 || end == 0) return;
  for (int c = 0; c < layout.components; ++c) {
    for (int y = 0; y < height; ++y) {
      uint8_t* line = column + c * column_component_bytes + 8 * y;
      std::memset(line + end, line[end - 1], static_cast<std::size_t>(8 - end));
    }
  }
}

using scaled_mcu_routine = void (*)(const kernel_table&, const int16_t*, const int*, uint8_t*, int, int);

template <std::size_t... L>
constexpr auto make_scaled_table(std::index_sequence<L...>) {
  return std::array<std::array<scaled_mcu_routine, 3>, component_layout_count>{
      {{&scaled_mcu<static_cast<component_layout>(L), 1>, &scaled_mcu<static_cast<component_layout>(L), 2>,
        &scaled_mcu<static_cast<component_layout>(L), 3>}...}};
}

constexpr auto scaled_mcu_routines = make_scaled_table(std::make_index_sequence<component_layout_count>{});

}  // namespace

void transform_mcu_scaled(const kernel_table& kernels, const layout_facts& layout, int scale_shift,
                          const int16_t* mcu_coefficients, const int* block_extent, uint8_t* mcu_samples, int mcu_index,
                          int mcus_per_row) {
  assert(scale_shift >= 1 && scale_shift <= 3);
  scaled_mcu_routines[static_cast<int>(layout.layout)][scale_shift - 1](kernels, mcu_coefficients, block_extent,
                                                                        mcu_samples, mcu_index, mcus_per_row);
}

}  // namespace jpeg
