// Plain forms of what the decoder keeps in faster or more specialised shapes,
// for tests that check the decoder's own records against them.
#ifndef TESTS_JPEG_REFERENCE_H
#define TESTS_JPEG_REFERENCE_H

#include "engine_internal.h"
#include "kernels.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace jpeg {

// Bit k set when the coefficient at zig-zag index k of the natural-order
// block is non-zero.
inline std::uint64_t nonzero_zigzag_mask(const std::int16_t* block) {
  std::uint64_t mask = 0;
  for (int k = 0; k < 64; ++k) mask |= std::uint64_t{block[zigzag_to_natural[k]] != 0} << k;
  return mask;
}

// Block (x, y) of a coefficient store, of either shape.
inline std::int16_t* coefficient_block_at(const coefficient_store* store, int x, int y) {
  const std::size_t offset = static_cast<std::size_t>(store->block_bytes) *
                             (static_cast<std::size_t>(x) + static_cast<std::size_t>(store->blocks_across) * y);
  return reinterpret_cast<std::int16_t*>(reinterpret_cast<std::uint8_t*>(store->coefficients) + offset);
}

// The defining formula of a W x H reconstruction from the W x H
// lowest-frequency coefficients of a dequantised natural-order block, in
// double precision, before the level shift: f(x, y) = 1/4 sum C(u) C(v)
// F(v, u) cos((2x + 1) u pi / 2W) cos((2y + 1) v pi / 2H).
template <class Coefficient>
double reduced_idct_reference(const Coefficient* block, int width, int height, int x, int y) {
  const double pi = std::acos(-1.0);
  double sum = 0;
  for (int v = 0; v < height; ++v)
    for (int u = 0; u < width; ++u) {
      const double cu = u ? 1 : std::sqrt(0.5), cv = v ? 1 : std::sqrt(0.5);
      sum += cu * cv * block[8 * v + u] * std::cos((2 * x + 1) * u * pi / (2 * width)) *
             std::cos((2 * y + 1) * v * pi / (2 * height));
    }
  return sum / 4;
}

}  // namespace jpeg

#endif
