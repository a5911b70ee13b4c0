// Kernel-versus-general equivalence tests for the decoder's signal path:
// every inverse DCT, upsampling and colour conversion specialisation is
// checked against slow reference code written from the defining formulas,
// on seeded random inputs, with guard bytes around every destination.
#include "jpeg_reference.h"
#include "kernels.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace jpeg;

constexpr uint8_t guard_value = 0xA5;

// The level-dependent kernels run at every level this processor has (up to
// the JPEG_SIMD_LEVEL cap), each against the same references.
std::vector<simd_level> available_levels() {
  std::vector<simd_level> levels;
  for (simd_level level : {simd_level::portable, simd_level::sse2, simd_level::avx2})
    if (level <= selected_simd_level()) levels.push_back(level);
  return levels;
}

std::string level_name(const ::testing::TestParamInfo<simd_level>& info) {
  return info.param == simd_level::portable ? "portable" : info.param == simd_level::sse2 ? "sse2" : "avx2";
}

class KernelLevel : public ::testing::TestWithParam<simd_level> {
 protected:
  void SetUp() override { ASSERT_EQ(k().level, GetParam()); }
  const kernel_table& k() const { return kernels_for(GetParam()); }
};

#define JPEG_LEVEL_SUITE(name)                 \
  class name##AtLevel : public KernelLevel {}; \
  INSTANTIATE_TEST_SUITE_P(Levels, name##AtLevel, ::testing::ValuesIn(available_levels()), level_name)
JPEG_LEVEL_SUITE(InverseDct);
JPEG_LEVEL_SUITE(Upsampling);
JPEG_LEVEL_SUITE(McuTransform);
JPEG_LEVEL_SUITE(ColourTables);
JPEG_LEVEL_SUITE(ColourConverters);

// 32-bit wrapping of a value computed exactly in 64 bits: the reference
// forms every sum exactly and reduces it only where the decoder's 32-bit
// arithmetic would be observed (before each shift).
int32_t wrap32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

int32_t reference_clamp(int64_t value) { return value < 0 ? 0 : value > 255 ? 255 : int32_t(value); }

// The 8-point kernel, full form, exact arithmetic.
void reference_kernel(const int64_t d[8], int64_t x[8]) {
  int64_t z1 = (d[2] + d[6]) * 4433;
  const int64_t e2 = z1 - d[6] * 15137, e3 = z1 + d[2] * 6270;
  const int64_t e0 = (d[0] + d[4]) * 8192, e1 = (d[0] - d[4]) * 8192;
  const int64_t t10 = e0 + e3, t13 = e0 - e3, t11 = e1 + e2, t12 = e1 - e2;
  z1 = d[7] + d[1];
  int64_t z2 = d[5] + d[3], z3 = d[7] + d[3], z4 = d[5] + d[1];
  const int64_t z5 = (z3 + z4) * 9633;
  z1 *= -7373;
  z2 *= -20995;
  z3 = z3 * -16069 + z5;
  z4 = z4 * -3196 + z5;
  const int64_t o0 = d[7] * 2446 + z1 + z3, o1 = d[5] * 16819 + z2 + z4;
  const int64_t o2 = d[3] * 25172 + z2 + z3, o3 = d[1] * 12299 + z1 + z4;
  x[0] = t10 + o3, x[7] = t10 - o3, x[1] = t11 + o2, x[6] = t11 - o2;
  x[2] = t12 + o1, x[5] = t12 - o1, x[3] = t13 + o0, x[4] = t13 - o0;
}

// The first pass of the full transform over all eight rows; true when a
// 32-bit sum wraps.
bool reference_rows(const int16_t* coefficients, int32_t* workspace) {
  bool wrapped = false;
  int64_t d[8], x[8];
  for (int v = 0; v < 8; ++v) {
    for (int k = 0; k < 8; ++k) d[k] = coefficients[8 * v + k];
    reference_kernel(d, x);
    for (int k = 0; k < 8; ++k) {
      wrapped |= wrap32(x[k] + 1024) != x[k] + 1024;
      workspace[8 * v + k] = wrap32(x[k] + 1024) >> 11;
    }
  }
  return wrapped;
}

// Both passes over all 64 coefficients, no shortcut of any kind, in the
// decoder's 32-bit arithmetic. Returns true when a sum wrapped on the way.
bool reference_idct(const int16_t* coefficients, uint8_t* samples) {
  int32_t workspace[64];
  bool wrapped = reference_rows(coefficients, workspace);
  int64_t d[8], x[8];
  for (int column = 0; column < 8; ++column) {
    for (int k = 0; k < 8; ++k) d[k] = workspace[8 * k + column];
    reference_kernel(d, x);
    for (int k = 0; k < 8; ++k) {
      wrapped |= wrap32(x[k] + 33685504) != x[k] + 33685504;
      samples[8 * k + column] = uint8_t(reference_clamp(wrap32(x[k] + 33685504) >> 18));
    }
  }
  return wrapped;
}

// What inverse_dct_block must give: the full transform, except that a block
// whose coefficients lie in row 0 alone (extent 2) takes the column
// shortcut's own formula, clamp((t0 + 4112) >> 5), which does not wrap.
// Returns true when the full transform wrapped.
bool reference_block(const int16_t* coefficients, int extent, uint8_t* samples) {
  const bool wrapped = reference_idct(coefficients, samples);
  if (extent_rectangle[extent - 1] / 16 == 1) {
    int32_t workspace[64];
    reference_rows(coefficients, workspace);
    for (int i = 0; i < 64; ++i) samples[i] = uint8_t(reference_clamp((int64_t{workspace[i % 8]} + 4112) >> 5));
  }
  return wrapped;
}

// Derived from the zig-zag walk itself, not copied from the decoder's table.
constexpr const auto& expected_zigzag = natural_of_zigzag;

// Coefficient values in four flavours: typical small values, values of any
// 16-bit size (hostile: they overflow the 32-bit sums), mostly zeros, and
// the 16-bit extremes.
constexpr int flavours = 4;

int16_t random_coefficient(std::mt19937& rng, int flavour) {
  switch (flavour) {
    case 0: return int16_t(std::uniform_int_distribution<int>(-300, 300)(rng));
    case 1: return int16_t(std::uniform_int_distribution<int>(-32768, 32767)(rng));
    case 2: return (rng() % 4 == 0) ? int16_t(std::uniform_int_distribution<int>(-2048, 2047)(rng)) : 0;
    default: {
      constexpr int16_t extremes[] = {-32768, 32767, -32767, 0};
      return extremes[rng() % 4];
    }
  }
}

// A block that is zero at every zig-zag position >= extent.
void random_block(std::mt19937& rng, int extent, int16_t* block) {
  const int flavour = int(rng() % flavours);
  std::memset(block, 0, 64 * sizeof(int16_t));
  for (int k = 0; k < extent; ++k) block[expected_zigzag[k]] = random_coefficient(rng, flavour);
}

TEST(ZigzagTables, OrderAndExtentRectangles) {
  for (int k = 0; k < 64; ++k) {
    EXPECT_EQ(zigzag_to_natural[k], expected_zigzag[k]) << k;
    EXPECT_EQ(natural_to_zigzag[expected_zigzag[k]], k);
  }
  const int rectangle_starts[][2] = {{1, 0x11},  {2, 0x12},  {3, 0x22},  {4, 0x32},  {6, 0x33},
                                     {7, 0x34},  {10, 0x44}, {11, 0x54}, {15, 0x55}, {16, 0x56},
                                     {21, 0x66}, {22, 0x76}, {28, 0x77}, {29, 0x78}, {36, 0x88}};
  for (int i = 0; i < 15; ++i) {
    const int last = i + 1 < 15 ? rectangle_starts[i + 1][0] - 1 : 64;
    for (int extent = rectangle_starts[i][0]; extent <= last; ++extent)
      EXPECT_EQ(extent_rectangle[extent - 1], rectangle_starts[i][1]) << extent;
  }
}

TEST_P(InverseDctAtLevel, DcOnlyValues) {
  const std::pair<int, int> cases[] = {{0, 128},   {3, 128},   {4, 129},    {-4, 128},   {-5, 127},    {-1024, 0},
                                       {-1020, 1}, {-1032, 0}, {1016, 255}, {1020, 255}, {32767, 255}, {-32768, 0}};
  for (auto [dc, expected] : cases) {
    int16_t block[64] = {};
    block[0] = int16_t(dc);
    // The DC shortcut and the full path must agree.
    for (int extent : {1, 2, 17, 64}) {
      uint8_t samples[64];
      k().inverse_dct_block(block, samples, extent);
      for (int i = 0; i < 64; ++i) ASSERT_EQ(samples[i], expected) << "dc " << dc << " extent " << extent;
    }
  }
}

// Every extent class against the full transform wherever it does not wrap,
// and against the 32-bit wrapping full transform (or the one-row shortcut's
// own formula) where it does; nothing around the destination may be
// touched.
TEST_P(InverseDctAtLevel, EveryExtentMatchesFullTransform) {
  std::mt19937 rng(1234);
  for (int extent = 1; extent <= 64; ++extent) {
    for (int trial = 0; trial < 3000; ++trial) {
      int16_t block[64];
      random_block(rng, extent, block);
      uint8_t expected[64], full[64];
      const bool wrapped = reference_block(block, extent, expected);
      reference_idct(block, full);

      uint8_t buffer[64 + 32];
      std::memset(buffer, guard_value, sizeof buffer);
      k().inverse_dct_block(block, buffer + 16, extent);
      ASSERT_EQ(std::memcmp(buffer + 16, expected, 64), 0) << "extent " << extent << " trial " << trial;
      if (!wrapped) {
        ASSERT_EQ(std::memcmp(buffer + 16, full, 64), 0) << "extent " << extent << " trial " << trial;
      }
      for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(buffer[i], guard_value);
        ASSERT_EQ(buffer[80 + i], guard_value);
      }
    }
  }
}

// The one-row column shortcut at the 16-bit extremes of the first row,
// where the full transform's t0 * 8192 wraps: (32767, 32767) gives 255
// everywhere (the wrapping transform would give 0).
TEST_P(InverseDctAtLevel, OneRowShortcutAtExtremes) {
  const int16_t values[] = {-32768, -32767, -16384, -1, 0, 1, 16384, 32767};
  for (int16_t d0 : values)
    for (int16_t d1 : values) {
      int16_t block[64] = {};
      block[0] = d0;
      block[1] = d1;
      // Row 0 of the first pass, in exact arithmetic (no wrap is
      // possible there for 16-bit inputs).
      int32_t workspace[64];
      ASSERT_FALSE(reference_rows(block, workspace));
      uint8_t samples[64];
      k().inverse_dct_block(block, samples, 2);
      for (int i = 0; i < 64; ++i)
        ASSERT_EQ(samples[i], reference_clamp((int64_t{workspace[i % 8]} + 4112) >> 5))
            << d0 << ", " << d1 << " sample " << i;
      if (d0 == 32767 && d1 == 32767) {
        ASSERT_EQ(samples[0], 255);
      }
    }
}

// The reference kernel itself against the real-valued 2-D inverse DCT on
// blocks that stay in range, so that a mistyped constant shared by the
// reference and the kernels cannot go unnoticed.
TEST(InverseDct, CloseToRealValuedTransform) {
  std::mt19937 rng(99);
  const double pi = std::acos(-1.0);
  for (int trial = 0; trial < 300; ++trial) {
    int16_t block[64];
    for (int i = 0; i < 64; ++i) block[i] = int16_t(std::uniform_int_distribution<int>(-40, 40)(rng));
    block[0] = int16_t(std::uniform_int_distribution<int>(-200, 200)(rng));
    uint8_t samples[64];
    kernels_for(simd_level::portable).inverse_dct_block(block, samples, 64);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) {
        double sum = 0;
        for (int v = 0; v < 8; ++v)
          for (int u = 0; u < 8; ++u) {
            const double cu = u ? 1 : std::sqrt(0.5), cv = v ? 1 : std::sqrt(0.5);
            sum +=
                cu * cv * block[8 * v + u] * std::cos((2 * x + 1) * u * pi / 16) * std::cos((2 * y + 1) * v * pi / 16);
          }
        const double value = std::clamp(sum / 4 + 128, 0.0, 255.0);
        ASSERT_NEAR(samples[8 * y + x], value, 1.0) << trial;
      }
  }
}

TEST_P(InverseDctAtLevel, QuarterBlockReadsOnlyTopLeftCorner) {
  std::mt19937 rng(77);
  for (int trial = 0; trial < 5000; ++trial) {
    int16_t corner[64] = {}, noisy[64];
    const int flavour = int(rng() % flavours);
    for (int i = 0; i < 64; ++i) {
      noisy[i] = random_coefficient(rng, 1);
      if (i / 8 < 4 && i % 8 < 4) corner[i] = noisy[i] = random_coefficient(rng, flavour);
    }
    uint8_t expected[64];
    reference_idct(corner, expected);
    uint8_t buffer[64 + 32];
    std::memset(buffer, guard_value, sizeof buffer);
    k().inverse_dct_quarter_block(noisy, buffer + 16);
    ASSERT_EQ(std::memcmp(buffer + 16, expected, 64), 0) << trial;
    for (int i = 0; i < 16; ++i) ASSERT_TRUE(buffer[i] == guard_value && buffer[80 + i] == guard_value);
  }
}

// ---------------------------------------------------------------------------
// Reduced-size inverse DCT

struct scaled_kernel {
  int width, height;
  void (*run)(const int16_t* coefficients, uint8_t* samples, std::ptrdiff_t stride, int block_extent,
              const kernel_table& kernels);
};
constexpr scaled_kernel scaled_kernels[] = {
    {1, 1, inverse_dct_scaled<1, 1>}, {1, 2, inverse_dct_scaled<1, 2>}, {1, 4, inverse_dct_scaled<1, 4>},
    {1, 8, inverse_dct_scaled<1, 8>}, {2, 1, inverse_dct_scaled<2, 1>}, {2, 2, inverse_dct_scaled<2, 2>},
    {2, 4, inverse_dct_scaled<2, 4>}, {2, 8, inverse_dct_scaled<2, 8>}, {4, 1, inverse_dct_scaled<4, 1>},
    {4, 2, inverse_dct_scaled<4, 2>}, {4, 4, inverse_dct_scaled<4, 4>}, {4, 8, inverse_dct_scaled<4, 8>},
    {8, 1, inverse_dct_scaled<8, 1>}, {8, 2, inverse_dct_scaled<8, 2>}, {8, 4, inverse_dct_scaled<8, 4>},
    {8, 8, inverse_dct_scaled<8, 8>}};

// Coefficients of at most this size (those an 8-bit picture gives, with
// room for quantisation rounding) must give every sample within 1 of the
// formula. Beyond, the 13-bit weights' own error grows with the
// coefficients (to 5 at the 16-bit extremes, for the full size as well);
// there the largest difference is only recorded. And a sample whose exact
// value lies this far from zero or more may come out of a wrapped 32-bit
// sum (2^18 times the level-shifted value reaches 2^31 near 8064), as the
// full-size kernel's do on hostile input.
constexpr int scaled_exact_range = 2048;
constexpr double scaled_wrap_free = 8000;

struct scaled_differences {
  int sample = 0;    // from clamp(round(f + 128)): within 1 in range
  double value = 0;  // from clamp(f + 128), unrounded
  int hostile_sample = 0;
};

// Checks the W x H area written at `area` (row stride `stride`) against the
// formula for `block`, and records the largest differences.
void check_scaled_area(const scaled_kernel& kernel, const int16_t* block, const uint8_t* area, std::ptrdiff_t stride,
                       scaled_differences& largest) {
  bool in_range = true;
  for (int v = 0; v < kernel.height; ++v)
    for (int u = 0; u < kernel.width; ++u) in_range &= std::abs(block[8 * v + u]) <= scaled_exact_range;
  for (int y = 0; y < kernel.height; ++y)
    for (int x = 0; x < kernel.width; ++x) {
      const double f = reduced_idct_reference(block, kernel.width, kernel.height, x, y);
      if (std::abs(f) >= scaled_wrap_free) continue;
      const int sample = area[y * stride + x];
      const int difference = std::abs(sample - int(std::clamp(std::round(f + 128), 0.0, 255.0)));
      if (!in_range) {
        largest.hostile_sample = std::max(largest.hostile_sample, difference);
        continue;
      }
      largest.sample = std::max(largest.sample, difference);
      largest.value = std::max(largest.value, std::abs(sample - std::clamp(f + 128, 0.0, 255.0)));
      ASSERT_LE(difference, 1) << kernel.width << "x" << kernel.height << " at (" << x << ", " << y << ")";
    }
}

// Every size against the defining formula on blocks of every flavour and
// many extents (DC-only among them), sample by sample, within 1 for
// coefficients in range; the full size byte for byte against
// inverse_dct_block, hostile blocks included. Coefficients planted outside
// the W x H corner must change nothing, and nothing but the W x H area of
// the destination, at a random stride, may be written.
TEST(InverseDct, ScaledSizesMatchDefinition) {
  std::mt19937 rng(2468);
  for (const scaled_kernel& kernel : scaled_kernels) {
    const int width = kernel.width, height = kernel.height;
    scaled_differences largest;
    for (int trial = 0; trial < 4000; ++trial) {
      const int extent = trial % 4 == 0 ? 1 + trial / 4 % 64 : trial % 4 == 1 ? 1 : 1 + int(rng() % 64);
      int16_t block[64], planted[64];
      random_block(rng, extent, block);
      std::memcpy(planted, block, sizeof block);
      int planted_extent = extent;
      for (int i = 0; i < 64; ++i)
        if ((i / 8 >= height || i % 8 >= width) && rng() % 2) {
          planted[i] = random_coefficient(rng, 1);
          planted_extent = std::max(planted_extent, natural_to_zigzag[i] + 1);
        }

      const std::ptrdiff_t stride = width + int(rng() % 9);
      std::vector<uint8_t> buffer(size_t(height * stride) + 32, guard_value), planted_buffer = buffer;
      kernel.run(block, buffer.data() + 16, stride, extent, kernels_for(simd_level::portable));
      kernel.run(planted, planted_buffer.data() + 16, stride, planted_extent, kernels_for(simd_level::portable));
      ASSERT_EQ(buffer, planted_buffer) << width << "x" << height << " trial " << trial;
      // Every level gives the portable level's bytes, hostile blocks included.
      for (simd_level level : {simd_level::sse2, simd_level::avx2}) {
        std::vector<uint8_t> at_level(buffer.size(), guard_value);
        kernel.run(block, at_level.data() + 16, stride, extent, kernels_for(level));
        ASSERT_EQ(at_level, buffer) << width << "x" << height << " trial " << trial;
      }
      for (size_t i = 0; i < buffer.size(); ++i) {
        const std::ptrdiff_t at = std::ptrdiff_t(i) - 16;
        if (at < 0 || at / stride >= height || at % stride >= width) {
          ASSERT_EQ(buffer[i], guard_value) << width << "x" << height << " byte " << i;
        }
      }
      check_scaled_area(kernel, block, buffer.data() + 16, stride, largest);
      if (HasFatalFailure()) return;
      if (width == 8 && height == 8) {
        uint8_t full[64];
        kernels_for(simd_level::portable).inverse_dct_block(block, full, extent);
        for (int y = 0; y < 8; ++y) ASSERT_EQ(std::memcmp(buffer.data() + 16 + y * stride, full + 8 * y, 8), 0);
      }
    }
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    RecordProperty("largest_sample_difference_" + size, largest.sample);
    RecordProperty("largest_value_difference_" + size, std::to_string(largest.value));
    RecordProperty("largest_hostile_sample_difference_" + size, largest.hostile_sample);
  }
}

// ---------------------------------------------------------------------------
// Upsampling

constexpr int64_t weights[4][8] = {
    {1024, 928, 0, -325, 0, 218, 0, -184},
    {0, 426, 1024, 810, 0, -360, 0, 284},
    {0, -75, 0, 526, 1024, 787, 0, -383},
    {0, 23, 0, -99, 0, 502, 1024, 887},
};

int64_t rnd(int64_t x) { return (x + 512) >> 10; }

struct reference_terms {
  int64_t aa[4][4], ab[4][4], ba[4][4], bb[4][4];  // [m][n]
};

// The general two-stage rule over the whole 8x8 block.
reference_terms general_terms(const int16_t* c) {
  int64_t a[8][4], b[8][4];
  for (int v = 0; v < 8; ++v)
    for (int m = 0; m < 4; ++m) {
      int64_t even = 0, odd = 0;
      for (int u = 0; u < 8; ++u) ((u + m) % 2 ? odd : even) += weights[m][u] * c[8 * v + u];
      a[v][m] = rnd(even);
      b[v][m] = rnd(odd);
    }
  reference_terms t{};
  for (int m = 0; m < 4; ++m)
    for (int n = 0; n < 4; ++n) {
      int64_t s[4] = {};
      for (int v = 0; v < 8; ++v) {
        const int parity = (v + n) % 2;
        s[parity] += weights[n][v] * a[v][m];
        s[2 + parity] += weights[n][v] * b[v][m];
      }
      t.aa[m][n] = rnd(s[0]);
      t.ab[m][n] = rnd(s[1]);
      t.ba[m][n] = rnd(s[2]);
      t.bb[m][n] = rnd(s[3]);
    }
  return t;
}

// The four quadrant sample blocks through the reference transform.
void general_upsample(const int16_t* c, uint8_t* quadrants) {
  const reference_terms t = general_terms(c);
  const int signs[4][3] = {{1, 1, 1}, {1, -1, -1}, {-1, 1, -1}, {-1, -1, 1}};  // ab, ba, bb
  for (int q = 0; q < 4; ++q) {
    int16_t block[64] = {};
    for (int m = 0; m < 4; ++m)
      for (int n = 0; n < 4; ++n)
        block[8 * n + m] = int16_t(
            wrap32(t.aa[m][n] + signs[q][0] * t.ab[m][n] + signs[q][1] * t.ba[m][n] + signs[q][2] * t.bb[m][n]));
    reference_idct(block, quadrants + 64 * q);
  }
}

void expect_terms(const quarter_matrix& actual, const int64_t (&expected)[4][4], const char* name, int extent) {
  for (int m = 0; m < 4; ++m)
    for (int n = 0; n < 4; ++n)
      ASSERT_EQ(actual(m, n), expected[m][n]) << name << " [" << m << "][" << n << "] extent " << extent;
}

// Each member of both families, for blocks zero beyond the extent and for
// blocks filled across the whole rectangle the extent selects.
TEST_P(UpsamplingAtLevel, EveryRectangleMatchesGeneralRule) {
  std::mt19937 rng(4321);
  for (int extent = 1; extent <= 64; ++extent) {
    const int rows = extent_rectangle[extent - 1] / 16, columns = extent_rectangle[extent - 1] % 16;
    for (int trial = 0; trial < 2000; ++trial) {
      int16_t block[64];
      if (trial % 2) {
        random_block(rng, extent, block);
      } else {
        const int flavour = int(rng() % flavours);
        std::memset(block, 0, sizeof block);
        for (int v = 0; v < rows; ++v)
          for (int u = 0; u < columns; ++u) block[8 * v + u] = random_coefficient(rng, flavour);
      }
      const reference_terms expected = general_terms(block);
      quarter_matrix aa, ab, ba, bb;
      compute_a_terms(block, extent, aa, ab);
      compute_b_terms(block, extent, ba, bb);
      expect_terms(aa, expected.aa, "aa", extent);
      expect_terms(ab, expected.ab, "ab", extent);
      expect_terms(ba, expected.ba, "ba", extent);
      expect_terms(bb, expected.bb, "bb", extent);
      if (::testing::Test::HasFatalFailure()) return;

      if (trial % 8 == 1) {
        uint8_t want[256], buffer[256 + 32];
        general_upsample(block, want);
        std::memset(buffer, guard_value, sizeof buffer);
        k().upsample_chroma_block(block, extent, buffer + 16);
        ASSERT_EQ(std::memcmp(buffer + 16, want, 256), 0) << "extent " << extent;
        for (int i = 0; i < 16; ++i) ASSERT_TRUE(buffer[i] == guard_value && buffer[272 + i] == guard_value);
      }
    }
  }
}

TEST(Upsampling, SingleFirstHorizontalFrequency) {
  int16_t block[64] = {};
  block[1] = 1024;
  quarter_matrix aa, ab, ba, bb;
  compute_a_terms(block, 2, aa, ab);
  compute_b_terms(block, 2, ba, bb);
  for (int m = 0; m < 4; ++m)
    for (int n = 0; n < 4; ++n) {
      EXPECT_EQ(aa(m, n), (n == 0 && m == 1) ? 426 : (n == 0 && m == 3) ? 23 : 0);
      EXPECT_EQ(ba(m, n), (n == 0 && m == 0) ? 928 : (n == 0 && m == 2) ? -75 : 0);
      EXPECT_EQ(ab(m, n), 0);
      EXPECT_EQ(bb(m, n), 0);
    }
}

TEST_P(UpsamplingAtLevel, DcOnlyBlockGivesFlatQuadrants) {
  for (int dc : {-1024, -5, 0, 4, 700, 1020, 32767}) {
    int16_t block[64] = {};
    block[0] = int16_t(dc);
    uint8_t quadrants[256];
    k().upsample_chroma_block(block, 1, quadrants);
    // What the full transform gives for the lone DC term.
    uint8_t samples[64];
    k().inverse_dct_block(block, samples, 64);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(quadrants[i], samples[i % 64]) << dc;
  }
}

TEST_P(McuTransformAtLevel, BlocksLandAtTheirMcuPlace) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 200; ++trial) {
    const bool upsampled = trial % 2;
    const int block_count = upsampled ? 6 : 1 + int(rng() % 4);
    const int stride = upsampled ? 12 : block_count;
    const int mcus = 1 + int(rng() % 5), mcu_index = int(rng() % mcus);
    int16_t coefficients[6 * 64];
    int extents[6];
    for (int b = 0; b < block_count; ++b) {
      extents[b] = 1 + int(rng() % 64);
      random_block(rng, extents[b], coefficients + 64 * b);
    }
    std::vector<uint8_t> samples(size_t(mcus) * stride * 64, guard_value);
    if (upsampled)
      mcu_to_samples_upsampled(k(), coefficients, extents, samples.data(), mcu_index);
    else
      mcu_to_samples(k(), coefficients, extents, block_count, samples.data(), mcu_index);

    std::vector<uint8_t> expected(samples.size(), guard_value);
    uint8_t* place = expected.data() + size_t(mcu_index) * stride * 64;
    for (int b = 0; b < (upsampled ? 4 : block_count); ++b)
      reference_block(coefficients + 64 * b, extents[b], place + 64 * b);
    if (upsampled) {
      general_upsample(coefficients + 4 * 64, place + 4 * 64);
      general_upsample(coefficients + 5 * 64, place + 8 * 64);
    }
    ASSERT_EQ(samples, expected) << trial;
  }
}

// ---------------------------------------------------------------------------
// Colour conversion

// The JFIF equations in exact arithmetic (floor division by 2^16).
void reference_pixel(int y, int cb, int cr, uint8_t* out) {
  const int64_t kb = cb - 128, kr = cr - 128;
  auto floor_div = [](int64_t n) { return int64_t(std::floor(double(n) / 65536.0)); };
  out[0] = uint8_t(reference_clamp(y + floor_div(91881 * kr + 32768)));
  out[1] = uint8_t(reference_clamp(y + floor_div(-46802 * kr - 22554 * kb + 32768)));
  out[2] = uint8_t(reference_clamp(y + floor_div(116130 * kb + 32768)));
  out[3] = 255;
}

TEST_P(ColourTablesAtLevel, MatchEquations) {
  colour_tables tables;
  build_colour_tables(tables);
  EXPECT_EQ(tables.cr_to_red[0], -179);
  EXPECT_EQ(tables.cr_to_red[255], 178);
  EXPECT_EQ(tables.cb_to_blue[0], -227);
  EXPECT_EQ(tables.cb_to_blue[255], 225);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(tables.cr_to_green[i], -46802 * (i - 128));
    EXPECT_EQ(tables.cb_to_green[i], -22554 * (i - 128) + 32768);
  }

  // Every Cb/Cr pair, with three luma patterns, through the h1v1 converter:
  // one line of 32 MCUs holds Cb = 0..255 for one Cr.
  std::vector<uint8_t> samples(32 * 3 * 64);
  std::vector<uint8_t> line(256 * 4);
  for (int cr = 0; cr < 256; ++cr)
    for (int pattern = 0; pattern < 3; ++pattern) {
      for (int cb = 0; cb < 256; ++cb) {
        uint8_t* mcu = samples.data() + (cb / 8) * 192;
        const int y = pattern == 0 ? 0 : pattern == 1 ? 255 : (cb * 37 + cr * 11) & 255;
        mcu[cb % 8] = uint8_t(y);
        mcu[64 + cb % 8] = uint8_t(cb);
        mcu[128 + cb % 8] = uint8_t(cr);
      }
      k().convert_h1v1_line(tables, samples.data(), 32, 0, line.data());
      for (int cb = 0; cb < 256; ++cb) {
        uint8_t expected[4];
        reference_pixel(samples[(cb / 8) * 192 + cb % 8], cb, cr, expected);
        ASSERT_EQ(std::memcmp(line.data() + 4 * cb, expected, 4), 0)
            << "cb " << cb << " cr " << cr << " pattern " << pattern;
      }
    }
}

TEST_P(ColourTablesAtLevel, KnownPixels) {
  const int cases[][7] = {{128, 128, 128, 128, 128, 128}, {255, 128, 128, 255, 255, 255}, {0, 128, 128, 0, 0, 0},
                          {0, 0, 0, 0, 135, 0},           {255, 255, 255, 255, 121, 255}, {76, 85, 255, 254, 0, 0},
                          {100, 200, 50, 0, 131, 228}};
  colour_tables tables;
  build_colour_tables(tables);
  for (const auto& c : cases) {
    uint8_t samples[192] = {}, out[32];
    samples[0] = uint8_t(c[0]);
    samples[64] = uint8_t(c[1]);
    samples[128] = uint8_t(c[2]);
    k().convert_h1v1_line(tables, samples, 1, 0, out);
    EXPECT_EQ(out[0], c[3]);
    EXPECT_EQ(out[1], c[4]);
    EXPECT_EQ(out[2], c[5]);
    EXPECT_EQ(out[3], 255);
  }
}

// s(b, row, col) of MCU i, as the converters address the sample blocks.
struct mcu_row_view {
  const uint8_t* samples;
  int blocks_per_mcu;
  int operator()(int i, int b, int row, int col) const {
    return samples[(size_t(i) * blocks_per_mcu + b) * 64 + 8 * row + col];
  }
};

enum class layout { grey, h1v1, h2v1, h1v2, h2v2 };

// Random widths (so partial last MCUs), random lines; each converter must
// fill exactly its whole MCUs and never write past the padded line size.
TEST_P(ColourConvertersAtLevel, MatchPerPixelRule) {
  colour_tables tables;
  build_colour_tables(tables);
  std::mt19937 rng(2024);
  const layout layouts[] = {layout::grey, layout::h1v1, layout::h2v1, layout::h1v2, layout::h2v2};
  for (layout kind : layouts) {
    const int mcu_width = (kind == layout::h2v1 || kind == layout::h2v2) ? 16 : 8;
    const int mcu_height = (kind == layout::h1v2 || kind == layout::h2v2) ? 16 : 8;
    const int blocks = kind == layout::grey ? 1 : kind == layout::h1v1 ? 3 : kind == layout::h2v2 ? 12 : 4;
    const int pixel_bytes = kind == layout::grey ? 1 : 4;
    for (int trial = 0; trial < 1500; ++trial) {
      const int width = 1 + int(rng() % (trial < 100 ? 40 : 700));
      const int mcus = (width + mcu_width - 1) / mcu_width;
      const size_t padded = size_t((width + 15) & ~15) * pixel_bytes;
      std::vector<uint8_t> samples(size_t(mcus) * blocks * 64);
      for (auto& s : samples) s = uint8_t(rng());
      const mcu_row_view s{samples.data(), blocks};
      int line = int(rng() % mcu_height);
      if (kind == layout::h1v2) line &= ~1;

      std::vector<uint8_t> first(padded + 16, guard_value), second(padded + 16, guard_value);
      std::vector<uint8_t> want_first = first, want_second = second;
      for (int i = 0; i < mcus; ++i)
        for (int x = 0; x < mcu_width; ++x) {
          const size_t at = size_t(i * mcu_width + x) * pixel_bytes;
          switch (kind) {
            case layout::grey: want_first[at] = uint8_t(s(i, 0, line, x)); break;
            case layout::h1v1:
              reference_pixel(s(i, 0, line, x), s(i, 1, line, x), s(i, 2, line, x), &want_first[at]);
              break;
            case layout::h2v1:
              reference_pixel(s(i, x / 8, line, x % 8), s(i, 2, line, x / 2), s(i, 3, line, x / 2), &want_first[at]);
              break;
            case layout::h1v2: {
              const int cb = s(i, 2, line / 2, x), cr = s(i, 3, line / 2, x);
              reference_pixel(s(i, line / 8, line % 8, x), cb, cr, &want_first[at]);
              reference_pixel(s(i, line / 8, line % 8 + 1, x), cb, cr, &want_second[at]);
              break;
            }
            case layout::h2v2: {
              const int b = (line / 8) * 2 + x / 8;
              reference_pixel(s(i, b, line % 8, x % 8), s(i, b + 4, line % 8, x % 8), s(i, b + 8, line % 8, x % 8),
                              &want_first[at]);
              break;
            }
          }
        }

      switch (kind) {
        case layout::grey: convert_grey_line(samples.data(), mcus, line, first.data()); break;
        case layout::h1v1: k().convert_h1v1_line(tables, samples.data(), mcus, line, first.data()); break;
        case layout::h2v1: k().convert_h2v1_line(tables, samples.data(), mcus, line, first.data()); break;
        case layout::h1v2:
          k().convert_h1v2_lines(tables, samples.data(), mcus, line, first.data(), second.data());
          break;
        case layout::h2v2: k().convert_upsampled_line(tables, samples.data(), mcus, line, first.data()); break;
      }
      ASSERT_EQ(first, want_first) << "layout " << int(kind) << " width " << width << " line " << line;
      ASSERT_EQ(second, want_second) << "layout " << int(kind) << " width " << width;
    }
  }
}

}  // namespace
