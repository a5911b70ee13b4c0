// Baseline block decoding: one MCU row of a sequential scan straight from the
// entropy-coded data into dequantised coefficient blocks, each MCU handed to
// the MCU transform, and the restart-marker handling shared with the
// progressive scans.
#include "huffman.h"
#include "kernels.h"
#include "threads.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

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

// The steps of decode_block. The reader `b` is a copy in locals, and
// nothing may keep its address: the compiler would then hold it in memory,
// where every read waits for the last store. So all of them are inlined.
struct engine_core::block_steps {
  JPEG_ALWAYS_INLINE static std::uint32_t take(engine_core& e, bit_reader& s, std::int32_t entry) {
    return take_bits_pre_placed(s, entry, [&e](bit_reader& r) { return e.next_entropy_pair(r); });
  }

  JPEG_ALWAYS_INLINE static std::uint32_t take_some(engine_core& e, bit_reader& s, int n) {
    return n == 0 ? 0 : take(e, s, n);
  }

  JPEG_ALWAYS_INLINE static int symbol(engine_core& e, bit_reader& s, const huffman_decode_table& table,
                                       std::uint32_t& extra) {
    auto take_bits = [&e](bit_reader& r, int n) JPEG_ALWAYS_INLINE_LAMBDA { return take(e, r, n); };
    auto take_any = [&e](bit_reader& r, int n) JPEG_ALWAYS_INLINE_LAMBDA { return take_some(e, r, n); };
    return decode_huffman_with_extra(table, s, take_bits, take_any, extra);
  }

  JPEG_ALWAYS_INLINE static std::int32_t dc_difference(engine_core& e, bit_reader& b, const huffman_decode_table& dc) {
    const std::int32_t fast = dc.fast_value[b.window >> (64 - huffman_fast_bits)];
    if (fast != 0) [[likely]] {
      take(e, b, fast);
      return fast_entry_value(fast);
    }
    std::uint32_t extra;
    const int size = symbol(e, b, dc, extra);
    return extend_value(extra, size);
  }

  // A pair entry whose second place lies past the end of the block: the
  // first coefficient alone, which fails where it would have failed by
  // itself.
  JPEG_ALWAYS_INLINE static void first_of_pair(engine_core& e, bit_reader& b, const huffman_decode_table& ac,
                                               std::uint64_t index, const std::int16_t* q, std::int16_t* block,
                                               std::ptrdiff_t& k) {
    const std::int32_t fast = ac.fast_value[index];
    take(e, b, fast);
    k += fast_entry_run(fast);
    if (k > 63) e.abort_with_reader(b, coefficient_index_overflow);
    block[zigzag_to_natural[k]] = static_cast<std::int16_t>(fast_entry_value(fast) * q[k]);
    ++k;
  }

  // Entries that carry magnitude bits all lie in fast_value too, so only
  // codes whose magnitude reaches further, long codes and the symbols
  // without magnitude that no pair entry holds (sixteen zeros, an end of
  // block of more than 8 bits) come here. False at the end of the block.
  JPEG_ALWAYS_INLINE static bool other_ac(engine_core& e, bit_reader& b, const huffman_decode_table& ac,
                                          const std::int16_t* q, std::int16_t* block, std::ptrdiff_t& k) {
    const std::int32_t entry = ac.first_level_with_bits[b.window >> 56];
    if (symbol_entry_is_symbol_0(entry)) {
      // End of block (or bits that begin no code, which read as it).
      take_some(e, b, symbol_entry_bits(entry));
      return false;
    }
    std::uint32_t extra;
    const int ac_symbol = symbol(e, b, ac, extra);
    const int run = ac_symbol >> 4;
    const int size = ac_symbol & 15;
    if (size != 0) {
      if (k + run > 63) e.abort_with_reader(b, coefficient_index_overflow);
      k += run;
      // |value| < 2^15 and |q| <= 2^15: the product fits 32 bits.
      block[zigzag_to_natural[k]] = static_cast<std::int16_t>(extend_value(extra, size) * q[k]);
      ++k;
      return true;
    }
    if (run != 15) return false;
    if (k + 16 > 64) e.abort_with_reader(b, coefficient_index_overflow);
    k += 16;
    return true;
  }
};

JPEG_ALWAYS_INLINE int engine_core::decode_block(bit_reader& b, const block_plan& p, std::int32_t& predictor,
                                                 std::int16_t* block) {
  const std::int16_t* q = p.quant;

  // Only positions below the block's last extent can still hold values from
  // the MCU before; clearing the whole block is a few vector stores, cheaper
  // than a test of the extent that the processor cannot predict, and leaves
  // the run handling below with nothing but an add.
  clear_block(block);

  // A hostile stream can drive the running DC anywhere; it and its product
  // wrap, and the block keeps the low 16 bits.
  predictor = wrap_add(predictor, block_steps::dc_difference(*this, b, *p.dc));
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
        block_steps::take(*this, b, pair);
        block[zigzag_to_natural[second]] = static_cast<std::int16_t>(pair_entry_second_value(pair) * q[second]);
        block[zigzag_to_natural[first]] = static_cast<std::int16_t>(pair_entry_first_value(pair) * q[first]);
        if (pair_entry_ends_block(pair)) return static_cast<int>(second);
        k = second + 1;
        continue;
      }
      block_steps::first_of_pair(*this, b, ac, index, q, block, k);
      continue;
    }
    if (!block_steps::other_ac(*this, b, ac, q, block, k)) break;
  }
  return static_cast<int>(k);
}

// Everything decided per scan (tables per block, block count, the transform)
// is fixed here, so the loops below run without per-block choices.
template <component_layout Layout, bool EntropyOnly>
void engine_core::decode_baseline_mcu_row_as(std::int16_t* row_coefficients, int* row_extents) {
  constexpr const layout_facts& layout = facts_of(Layout);
  constexpr int blocks = layout.blocks;
  static_assert(blocks <= max_blocks_per_mcu);
  // A scan may list the components in another order than the frame does
  // (T.81 asks for frame order, but nothing breaks if it is not kept); the
  // transform and the converters expect frame order, so each block is put
  // where frame order has it.
  int next_slot[3] = {layout.first_block[0], layout.first_block[1], layout.first_block[2]};
  block_plan plan[blocks];
  for (int i = 0; i < blocks; ++i) {
    const int c = mcu_block_components[i];
    plan[i] = {huffman_lookup[scan.dc_slot[c]], huffman_lookup[scan.ac_slot[c]], tables.quant[frame.quant_slot[c]], c,
               next_slot[c]++};
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
      std::int16_t* mcu = row_coefficients + static_cast<std::size_t>(m) * blocks * 64;
      int* extents = row_extents + static_cast<std::size_t>(m) * blocks;
      for (const block_plan& p : plan) {
        extents[p.slot] = decode_block(b, p, predictor[p.component], mcu + 64 * p.slot);
      }
    } else {
      for (const block_plan& p : plan) {
        block_extent[p.slot] = decode_block(b, p, predictor[p.component], mcu_coefficients + 64 * p.slot);
      }
      transform_mcu_at(kernels, layout, scale_shift, mcu_coefficients, block_extent, mcu_samples, m,
                       frame_mcus_per_row);
    }
    --restart_countdown;
  }
  bits = b;
  for (int c = 0; c < max_components; ++c) dc_predictor[c] = predictor[c];
}

void engine_core::decode_baseline_mcu_row(std::int16_t* row_coefficients, int* row_extents) {
  // The set-up admits only interleaved scans of every component, so the
  // layout fixes the MCU; one row decoder per layout, in the table's order.
  using row_decoder = void (engine_core::*)(std::int16_t*, int*);
  constexpr auto decoders = []<bool EntropyOnly, std::size_t... L>(std::index_sequence<L...>) {
    return std::array<row_decoder, component_layout_count>{
        &engine_core::decode_baseline_mcu_row_as<static_cast<component_layout>(L), EntropyOnly>...};
  };
  constexpr auto layouts = std::make_index_sequence<component_layout_count>{};
  static constexpr auto whole_rows = decoders.template operator()<false>(layouts);
  static constexpr auto entropy_only = decoders.template operator()<true>(layouts);
  const auto& chosen = row_coefficients == nullptr ? whole_rows : entropy_only;
  (this->*chosen[static_cast<int>(scan_type)])(row_coefficients, row_extents);
}

void engine_core::reconstruct_sequential_row(const std::int16_t* coefficients, const int* extents,
                                             std::uint8_t* samples) const {
  const kernel_table& kernels = selected_kernels();
  const layout_facts& layout = facts_of(scan_type);
  for (int m = 0; m < frame_mcus_per_row; ++m) {
    const std::size_t first = static_cast<std::size_t>(m) * layout.blocks;
    transform_mcu_at(kernels, layout, scale_shift, coefficients + 64 * first, extents + first, samples, m,
                     frame_mcus_per_row);
  }
}

void engine_core::resync_at_restart() {
  pass_restart_marker();
  begin_restart_interval();
}

void engine_core::pass_restart_marker() {
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
}

void engine_core::begin_restart_interval() {
  for (std::int32_t& p : dc_predictor) p = 0;
  end_of_band_run = 0;
  restart_countdown = tables.restart_interval;
  expected_restart_index = (expected_restart_index + 1) & 7;
  reload_bit_window(bit_mode::entropy);
}

void engine_core::begin_band(const engine_core& serial, jpeg_decoder_mem_stream* input, int marker_code) {
  // What the row decoder reads of the scan; the tables stay the serial
  // engine's, which outlives this one.
  tables = serial.tables;
  frame = serial.frame;
  scan = serial.scan;
  scan_type = serial.scan_type;
  scan_mcus_per_row = serial.scan_mcus_per_row;
  std::copy_n(serial.mcu_block_components, max_blocks_per_mcu, mcu_block_components);
  std::copy_n(serial.huffman_lookup, huffman_slots, huffman_lookup);
  // The state that the resynchronisation at the marker leaves.
  for (std::int32_t& p : dc_predictor) p = 0;
  restart_countdown = tables.restart_interval;
  expected_restart_index = (marker_code - marker::rst0 + 1) & 7;
  stream = input;
  shared.memory = input;
  shared.first_position = input->position;
  bits = {};
  end_of_stream = false;
  end_byte_toggle = 0;
  fill_input_buffer();
  reload_bit_window(bit_mode::entropy);
}

bool engine_core::take_band(const band_read& band) {
  if (tables.restart_interval == 0 || restart_countdown != 0) return false;
  // Where this fails, reading the row would have failed the same way.
  pass_restart_marker();
  if (input_offset() != band.start) {
    begin_restart_interval();
    return false;
  }
  advance_input_to(band.end);
  restart_countdown = band.restart_countdown;
  expected_restart_index = band.expected_restart_index;
  std::copy_n(band.dc_predictor, max_components, dc_predictor);
  return true;
}

}  // namespace jpeg
