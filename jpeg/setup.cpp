// Frame and scan set-up: initial state, the frame layout and its buffers, the
// MCU layout of each scan, the table checks and the coefficient stores.
#include "engine_internal.h"
#include "huffman.h"
#include "kernels.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace jpeg {

void engine_core::reset_state(jpeg_decoder_stream* new_stream) {
  release_pool();
  status_ = 0;
  decoding_started = false;
  frame.width = frame.height = frame.component_count = 0;
  stream = new_stream;
  frame.progressive = false;

  for (int i = 0; i < huffman_slots; ++i) {
    tables.huffman_counts[i] = nullptr;
    tables.huffman_symbols[i] = nullptr;
    huffman_lookup[i] = nullptr;
    huffman_built_from[i] = nullptr;
  }
  for (auto& table : tables.quant) table = nullptr;
  mcu_coefficients = nullptr;
  mcu_samples = nullptr;
  output_line = nullptr;
  second_output_line = nullptr;

  for (int i = 0; i < max_components; ++i) {
    frame.component_id[i] = frame.h_factor[i] = frame.v_factor[i] = frame.quant_slot[i] = 0;
    scan.components[i] = scan.dc_slot[i] = scan.ac_slot[i] = 0;
    component_width_blocks[i] = component_height_blocks[i] = 0;
    dc_predictor[i] = 0;
    dc_coefficient_store[i] = nullptr;
    coefficients_final[i] = 0;
    ac_coefficient_store[i] = nullptr;
  }
  scan.component_count = scan.spectral_first = scan.spectral_last = scan.approx_high = scan.approx_low = 0;
  scan_type = component_layout::grey;
  mcu_width = mcu_height = output_mcus_per_row = frame_mcus_per_row = frame_mcus_per_column = frame_blocks_per_mcu = 0;
  blocks_per_row = sample_blocks_per_row = 0;
  upsample_in_frequency_domain = false;
  output_pixel_bytes = row_bytes = padded_row_bytes = 0;
  scan_mcus_per_row = scan_mcus_per_column = scan_blocks_per_mcu = 0;
  for (int& c : mcu_block_components) c = 0;
  lines_remaining = mcu_lines_remaining = 0;
  tables.restart_interval = 0;
  restart_countdown = 0;
  expected_restart_index = 0;
  end_of_band_run = 0;
  blocks_decoded = blocks_without_data = frame_blocks = scans_started = 0;

  std::memset(input_storage, 0, sizeof input_storage);
  bits = {};
  end_of_stream = false;
  end_byte_toggle = 0;
  met_marker = false;
  for (int& e : block_extent) e = 64;

  fill_input_buffer();
  reload_bit_window(bit_mode::raw);
}

void engine_core::prepare_decoding() {
  setup_frame();
  if (frame.progressive) {
    decode_progressive_scans();
  } else {
    setup_sequential();
  }
}

component_layout engine_core::frame_layout() {
  if (frame.component_count != 1 && frame.component_count != 3) abort_decode(unsupported_component_count);
  // Chroma is sampled 1 x 1 in every layout.
  for (int i = 1; i < frame.component_count; ++i) {
    if (frame.h_factor[i] != 1 || frame.v_factor[i] != 1) abort_decode(unsupported_sampling);
  }
  for (const layout_facts& row : layout_table) {
    if (row.components == frame.component_count && row.luma_h == frame.h_factor[0] && row.luma_v == frame.v_factor[0]) {
      return row.layout;
    }
  }
  abort_decode(unsupported_sampling);
}

void engine_core::setup_frame() {
  scan_type = frame_layout();
  const layout_facts& layout = facts_of(scan_type);
  frame_blocks_per_mcu = layout.blocks;
  frame_mcus_per_row = (frame.width + layout.mcu_width - 1) / layout.mcu_width;
  frame_mcus_per_column = (frame.height + layout.mcu_height - 1) / layout.mcu_height;
  mcu_width = layout.mcu_width;
  mcu_height = layout.mcu_height >> scale_shift;
  output_mcus_per_row = frame_mcus_per_row;
  if (scale_shift != 0) {
    mcu_width = 8;
    output_mcus_per_row = (frame_mcus_per_row * scaled_mcu_width(layout, scale_shift) + 7) / 8;
  }

  output_pixel_bytes = layout.pixel_bytes;
  padded_row_bytes = std::max((width() + 15) & ~15, output_mcus_per_row * mcu_width) * output_pixel_bytes;
  row_bytes = width() * output_pixel_bytes;

  output_line = static_cast<std::uint8_t*>(pool_alloc(static_cast<std::uint32_t>(padded_row_bytes), true));
  if (layout.paired_lines) {
    second_output_line = static_cast<std::uint8_t*>(pool_alloc(static_cast<std::uint32_t>(padded_row_bytes), true));
  }

  blocks_per_row = frame_mcus_per_row * frame_blocks_per_mcu;

  mcu_coefficients = static_cast<std::int16_t*>(
      pool_alloc_array(static_cast<std::uint32_t>(frame_blocks_per_mcu), 64 * sizeof(std::int16_t), false));
  for (int i = 0; i < frame_blocks_per_mcu; ++i) block_extent[i] = 64;

  upsample_in_frequency_domain = layout.upsampled;
  sample_blocks_per_row = frame_mcus_per_row * layout.sample_blocks;
  mcu_samples =
      static_cast<std::uint8_t*>(pool_alloc_array(static_cast<std::uint32_t>(sample_blocks_per_row), 64, false));

  lines_remaining = height();
  mcu_lines_remaining = 0;
  build_colour_tables(colour);
}

void engine_core::setup_sequential() {
  if (!setup_scan()) abort_decode(marker_out_of_place);
  // Only the first scan of a sequential image is decoded, so it must be the
  // interleaved scan of every component the output needs.
  if (scan.component_count != frame.component_count) abort_decode(scan_header_invalid);
}

bool engine_core::setup_scan() {
  if (!find_scan_header()) return false;
  compute_mcu_layout();
  check_scan_huffman_tables();
  build_changed_huffman_tables();
  check_scan_quant_tables();
  for (std::int32_t& p : dc_predictor) p = 0;
  end_of_band_run = 0;
  if (tables.restart_interval != 0) {
    restart_countdown = tables.restart_interval;
    expected_restart_index = 0;
  }
  prime_scan_bits();
  return true;
}

void engine_core::compute_mcu_layout() {
  int max_h = 1;
  int max_v = 1;
  for (int i = 0; i < frame.component_count; ++i) {
    if (frame.h_factor[i] > max_h) max_h = frame.h_factor[i];
    if (frame.v_factor[i] > max_v) max_v = frame.v_factor[i];
  }
  for (int i = 0; i < frame.component_count; ++i) {
    component_width_blocks[i] = ((frame.width * frame.h_factor[i] + max_h - 1) / max_h + 7) / 8;
    component_height_blocks[i] = ((frame.height * frame.v_factor[i] + max_v - 1) / max_v + 7) / 8;
  }

  if (scan.component_count == 1) {
    const int j = scan.components[0];
    scan_mcus_per_row = component_width_blocks[j];
    scan_mcus_per_column = component_height_blocks[j];
    scan_blocks_per_mcu = 1;
    mcu_block_components[0] = j;
    return;
  }

  scan_mcus_per_row = ((frame.width + 7) / 8 + max_h - 1) / max_h;
  scan_mcus_per_column = ((frame.height + 7) / 8 + max_v - 1) / max_v;
  int blocks = 0;
  for (int k = 0; k < scan.component_count; ++k) {
    const int j = scan.components[k];
    const int count = frame.h_factor[j] * frame.v_factor[j];
    // The frame set-up admits only the layouts of layout_table, whose MCUs
    // fit; this only guards the array against layouts it never lets through.
    if (blocks + count > max_blocks_per_mcu) abort_decode(unsupported_sampling);
    for (int n = 0; n < count; ++n) mcu_block_components[blocks++] = j;
  }
  scan_blocks_per_mcu = blocks;
}

void engine_core::check_scan_huffman_tables() {
  for (int k = 0; k < scan.component_count; ++k) {
    const int j = scan.components[k];
    if (scan.spectral_first == 0) {
      const int slot = scan.dc_slot[j];
      if (tables.huffman_counts[slot] == nullptr) abort_decode(huffman_table_missing);
      // A DC symbol is a magnitude size; above 15 there is no such size and
      // its bits could not be read in one go. Such a table is no DC table.
      int total = 0;
      for (int length = 1; length <= 16; ++length) total += tables.huffman_counts[slot][length];
      for (int i = 0; i < total; ++i) {
        if (tables.huffman_symbols[slot][i] > 15) abort_decode(huffman_table_missing);
      }
    }
    if (scan.spectral_last > 0 && tables.huffman_counts[scan.ac_slot[j]] == nullptr)
      abort_decode(huffman_table_missing);
  }
}

void engine_core::build_changed_huffman_tables() {
  // A table is built again only when a DHT segment since changed it: a
  // build costs far more than a scan header of a few bytes.
  for (int slot = 0; slot < huffman_slots; ++slot) {
    const std::uint8_t* counts = tables.huffman_counts[slot];
    if (counts == nullptr) continue;
    int total = 0;
    for (int length = 1; length <= 16; ++length) total += counts[length];
    total = std::min(total, 256);  // the size of the symbol store
    std::uint8_t*& built_from = huffman_built_from[slot];
    if (huffman_lookup[slot] == nullptr) {
      huffman_lookup[slot] = static_cast<huffman_decode_table*>(pool_alloc(sizeof(huffman_decode_table), false));
      built_from = static_cast<std::uint8_t*>(pool_alloc(17 + 256, false));
    } else if (std::memcmp(built_from, counts, 17) == 0 &&
               std::memcmp(built_from + 17, tables.huffman_symbols[slot], static_cast<std::size_t>(total)) == 0) {
      continue;
    }
    build_huffman_decode_table(counts, tables.huffman_symbols[slot], is_dc_table_slot(slot), !frame.progressive,
                               *huffman_lookup[slot]);
    std::memcpy(built_from, counts, 17);
    std::memcpy(built_from + 17, tables.huffman_symbols[slot], static_cast<std::size_t>(total));
  }
}

void engine_core::check_scan_quant_tables() {
  for (int k = 0; k < scan.component_count; ++k) {
    if (tables.quant[frame.quant_slot[scan.components[k]]] == nullptr) abort_decode(quant_table_missing);
  }
}

coefficient_store* engine_core::create_coefficient_store(int across, int down, int block_width, int block_height) {
  // The pool steps in 4 bytes, but the record holds pointers and the
  // non-zero sets are 8-byte words: each is placed at the next multiple of
  // its own alignment inside a slightly larger piece.
  auto aligned = [](void* piece, std::size_t alignment) {
    const auto at = reinterpret_cast<std::uintptr_t>(piece);
    return (at + alignment - 1) & ~static_cast<std::uintptr_t>(alignment - 1);
  };
  constexpr std::uint32_t slack = alignof(coefficient_store) > 4 ? alignof(coefficient_store) - 4 : 0;
  auto* store = reinterpret_cast<coefficient_store*>(
      aligned(pool_alloc(sizeof(coefficient_store) + slack, false), alignof(coefficient_store)));
  store->blocks_across = across;
  store->blocks_down = down;
  store->block_width = block_width;
  store->block_height = block_height;
  store->block_bytes = block_width * block_height * 2;
  const std::uint64_t blocks = static_cast<std::uint64_t>(across) * static_cast<std::uint64_t>(down);
  if (across < 0 || down < 0 || blocks > UINT32_MAX) abort_decode(out_of_memory);
  store->coefficients = static_cast<std::int16_t*>(
      pool_alloc_array(static_cast<std::uint32_t>(blocks), static_cast<std::uint32_t>(store->block_bytes), true));
  store->nonzero = store->row_nonzero = nullptr;
  if (block_width == 8) {
    // One element more, for the alignment.
    auto sets = [&](std::uint64_t count) {
      if (count >= UINT32_MAX) abort_decode(out_of_memory);
      return reinterpret_cast<std::uint64_t*>(
          aligned(pool_alloc_array(static_cast<std::uint32_t>(count) + 1, sizeof(std::uint64_t), true),
                  alignof(std::uint64_t)));
    };
    store->nonzero = sets(blocks);
    store->row_nonzero = sets(static_cast<std::uint64_t>(down));
  }
  return store;
}

}  // namespace jpeg
