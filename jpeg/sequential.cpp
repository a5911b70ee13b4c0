// Baseline block decoding: one MCU row of a sequential scan straight from the
// entropy-coded data into dequantised coefficient blocks, each MCU handed to
// the MCU transform, and the restart-marker handling shared with the
// progressive scans.
#include "huffman.h"
#include "kernels.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace jpeg {

namespace {

// Eight 16-byte stores. A memset of the 128 bytes becomes `rep stos` here,
// whose start-up alone costs more than the stores.
inline void clear_block(std::int16_t* block) {
  typedef std::int16_t row __attribute__((vector_size(16), aligned(2)));
  for (int i = 0; i < 8; ++i) reinterpret_cast<row*>(block)[i] = row{};
}

}  // namespace

// What one block of the MCU needs, fixed per scan.
struct engine_core::block_plan {
  const huffman_decode_table* dc;
  const huffman_decode_table* ac;
  const std::int16_t* quant;
  int component;
  int slot;  // the block's place in the MCU: frame component order
};

// The reader `b` is a copy in locals, and nothing may keep its address: the
// compiler would then hold it in memory, where every read waits for the last
// store. So everything that gets it is inlined.
JPEG_ALWAYS_INLINE int engine_core::decode_block(bit_reader& b, const block_plan& p, std::int32_t& predictor,
                                                 std::int16_t* block) {
  auto take = [this](bit_reader& s, std::int32_t entry) {
    return take_bits_pre_placed(s, entry, [this](bit_reader& r) { return next_entropy_pair(r); });
  };
  auto take_some = [&take](bit_reader& s, int n) -> std::uint32_t { return n == 0 ? 0 : take(s, n); };
  auto decode_symbol = [&](bit_reader& s, const huffman_decode_table& table, std::uint32_t& extra) {
    return decode_huffman_with_extra(table, s, take, take_some, extra);
  };
  const std::int16_t* q = p.quant;

  // Only positions below the block's last extent can still hold values from
  // the MCU before; clearing the whole block is a few vector stores, cheaper
  // than a test of the extent that the processor cannot predict, and leaves
  // the run handling below with nothing but an add.
  clear_block(block);

  std::uint32_t extra;
  std::int32_t difference;
  const std::int32_t dc_fast = p.dc->fast_value[b.window >> (64 - huffman_fast_bits)];
  if (dc_fast != 0) [[likely]] {
    take(b, dc_fast);
    difference = fast_entry_value(dc_fast);
  } else {
    const int dc_size = decode_symbol(b, *p.dc, extra);
    difference = extend_value(extra, dc_size);
  }
  // A hostile stream can drive the running DC anywhere; it and its product
  // wrap, and the block keeps the low 16 bits.
  predictor = wrap_add(predictor, difference);
  block[0] = static_cast<std::int16_t>(wrap_mul(predictor, q[0]));

  const huffman_decode_table& ac = *p.ac;
  // ptrdiff_t, so that no sign extension sits between the index and the
  // addresses it forms.
  std::ptrdiff_t k = 1;
  while (k < 64) {
    const std::uint64_t index = b.window >> (64 - huffman_fast_bits);
    const std::int32_t pair = ac.pair_value[index];
    if (pair != 0) [[likely]] {
      // One or two common coefficients in one entry, or one and the end of
      // block, or the end of block alone. Both places are always stored,
      // the second first: where there is no second coefficient it gets a
      // zero (a place not yet written, or the first one's, written right
      // after). With the end of block, `second` is the extent; the check
      // that it is below 64 is then the check that the end-of-block code is
      // due at all.
      const std::ptrdiff_t first = k + pair_entry_first_run(pair);
      const std::ptrdiff_t second = first + pair_entry_second_step(pair);
      if (second < 64) [[likely]] {
        take(b, pair);
        block[zigzag_to_natural[second]] = static_cast<std::int16_t>(pair_entry_second_value(pair) * q[second]);
        block[zigzag_to_natural[first]] = static_cast<std::int16_t>(pair_entry_first_value(pair) * q[first]);
        if (pair_entry_ends_block(pair)) return static_cast<int>(second);
        k = second + 1;
        continue;
      }
      // Past the end of the block: the first one alone, which fails where
      // it would have failed by itself.
      const std::int32_t fast = ac.fast_value[index];
      take(b, fast);
      k += fast_entry_run(fast);
      if (k > 63) abort_with_reader(b, coefficient_index_overflow);
      block[zigzag_to_natural[k]] = static_cast<std::int16_t>(fast_entry_value(fast) * q[k]);
      ++k;
      continue;
    }
    // Entries that carry magnitude bits all lie in fast_value too, so only
    // codes whose magnitude reaches further, long codes and the symbols
    // without magnitude that no pair entry holds (sixteen zeros, an end of
    // block of more than 8 bits) come here.
    const std::int32_t e = ac.first_level_with_bits[b.window >> 56];
    if (symbol_entry_is_symbol_0(e)) {
      // End of block (or bits that begin no code, which read as it).
      take_some(b, symbol_entry_bits(e));
      break;
    }
    const int symbol = decode_symbol(b, ac, extra);
    const int run = symbol >> 4;
    const int size = symbol & 15;
    if (size != 0) {
      if (k + run > 63) abort_with_reader(b, coefficient_index_overflow);
      k += run;
      // |value| < 2^15 and |q| <= 2^15: the product fits 32 bits.
      block[zigzag_to_natural[k]] = static_cast<std::int16_t>(extend_value(extra, size) * q[k]);
      ++k;
    } else if (run == 15) {
      if (k + 16 > 64) abort_with_reader(b, coefficient_index_overflow);
      k += 16;
    } else {
      break;
    }
  }
  return static_cast<int>(k);
}

// Everything decided per scan (tables per block, block count, the transform)
// is fixed here, so the loops below run without per-block choices.
template <int Blocks, bool Upsampled, bool EntropyOnly>
void engine_core::decode_baseline_mcu_row_as(std::int16_t* row_coefficients, int* row_extents) {
  // A scan may list the components in another order than the frame does
  // (T.81 asks for frame order, but nothing breaks if it is not kept); the
  // transform and the converters expect frame order, so each block is put
  // where frame order has it.
  int first_slot[max_components] = {};
  for (int c = 1; c < frame.component_count; ++c) {
    first_slot[c] = first_slot[c - 1] + frame.h_factor[c - 1] * frame.v_factor[c - 1];
  }
  block_plan plan[Blocks];
  for (int i = 0; i < Blocks; ++i) {
    const int c = mcu_block_components[i];
    plan[i] = {huffman_lookup[scan.dc_slot[c]], huffman_lookup[scan.ac_slot[c]], tables.quant[frame.quant_slot[c]], c,
               first_slot[c]++};
  }

  bit_reader b = bits;
  std::int32_t predictor[max_components];
  for (int c = 0; c < max_components; ++c) predictor[c] = dc_predictor[c];
  const kernel_table& kernels = selected_kernels();
  for (int m = 0; m < scan_mcus_per_row; ++m) {
    if (tables.restart_interval != 0 && restart_countdown == 0) {
      bits = b;
      resync_at_restart();
      b = bits;
      for (std::int32_t& p : predictor) p = 0;
    }
    if constexpr (EntropyOnly) {
      // Another thread transforms the row (reconstruct_sequential_row).
      std::int16_t* mcu = row_coefficients + static_cast<std::size_t>(m) * Blocks * 64;
      int* extents = row_extents + static_cast<std::size_t>(m) * Blocks;
      for (const block_plan& p : plan) {
        extents[p.slot] = decode_block(b, p, predictor[p.component], mcu + 64 * p.slot);
      }
      --restart_countdown;
      continue;
    }
    for (const block_plan& p : plan) {
      block_extent[p.slot] = decode_block(b, p, predictor[p.component], mcu_coefficients + 64 * p.slot);
    }
    if constexpr (Upsampled) {
      mcu_to_samples_upsampled(kernels, mcu_coefficients, block_extent, mcu_samples, m);
    } else {
      // mcu_to_samples, with the block count known here.
      std::uint8_t* samples = mcu_samples + static_cast<std::size_t>(m) * Blocks * 64;
      for (int i = 0; i < Blocks; ++i) {
        kernels.inverse_dct_block(mcu_coefficients + 64 * i, samples + 64 * i, block_extent[i]);
      }
    }
    --restart_countdown;
  }
  bits = b;
  for (int c = 0; c < max_components; ++c) dc_predictor[c] = predictor[c];
}

void engine_core::decode_baseline_mcu_row(std::int16_t* row_coefficients, int* row_extents) {
  // The set-up admits only interleaved scans of every component, so the
  // layout (grey, h1v1, h2v1, h1v2, h2v2) names the block count.
  using row_decoder = void (engine_core::*)(std::int16_t*, int*);
  constexpr auto decoders = []<bool EntropyOnly>() {
    return std::array<row_decoder, 5>{&engine_core::decode_baseline_mcu_row_as<1, false, EntropyOnly>,
                                      &engine_core::decode_baseline_mcu_row_as<3, false, EntropyOnly>,
                                      &engine_core::decode_baseline_mcu_row_as<4, false, EntropyOnly>,
                                      &engine_core::decode_baseline_mcu_row_as<4, false, EntropyOnly>,
                                      &engine_core::decode_baseline_mcu_row_as<6, true, EntropyOnly>};
  };
  static constexpr auto whole_rows = decoders.template operator()<false>();
  static constexpr auto entropy_only = decoders.template operator()<true>();
  const auto& chosen = row_coefficients == nullptr ? whole_rows : entropy_only;
  (this->*chosen[static_cast<int>(scan_type)])(row_coefficients, row_extents);
}

void engine_core::reconstruct_sequential_row(const std::int16_t* coefficients, const int* extents,
                                             std::uint8_t* samples) const {
  const kernel_table& kernels = selected_kernels();
  for (int m = 0; m < frame_mcus_per_row; ++m) {
    const std::size_t first = static_cast<std::size_t>(m) * frame_blocks_per_mcu;
    if (upsample_in_frequency_domain) {
      mcu_to_samples_upsampled(kernels, coefficients + 64 * first, extents + first, samples, m);
    } else {
      mcu_to_samples(kernels, coefficients + 64 * first, extents + first, frame_blocks_per_mcu, samples, m);
    }
  }
}

void engine_core::resync_at_restart() {
  // Bounded, so that a stream without the marker cannot keep the decoder
  // reading for ever: bytes skipped before the marker and fill bytes
  // together.
  constexpr int restart_search_budget = 1536;
  int budget = restart_search_budget;
  int c = read_byte();
  while (c != 0xFF) {
    if (--budget == 0) abort_decode(restart_marker_mismatch);
    c = read_byte();
  }
  do {
    c = read_byte();
    if (c == 0xFF && --budget == 0) abort_decode(restart_marker_mismatch);
  } while (c == 0xFF);
  if (c != marker::rst0 + expected_restart_index) abort_decode(restart_marker_mismatch);

  for (std::int32_t& p : dc_predictor) p = 0;
  end_of_band_run = 0;
  restart_countdown = tables.restart_interval;
  expected_restart_index = (expected_restart_index + 1) & 7;
  reload_bit_window(bit_mode::entropy);
}

}  // namespace jpeg
