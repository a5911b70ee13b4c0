// Plain forms of what the decoder keeps in faster or more specialised shapes,
// for tests that check the decoder's own records against them.
#ifndef TESTS_JPEG_REFERENCE_H
#define TESTS_JPEG_REFERENCE_H

#include "engine_internal.h"
#include "kernels.h"

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

}  // namespace jpeg

#endif
