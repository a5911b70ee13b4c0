// Marker parsing (T.81 Annex B): the SOI search, table segments wherever they
// occur, the frame header, scan headers and the walk to the end of the image.
// Every field goes through the raw bit reader.
#include "engine_internal.h"
#include "huffman.h"

#include <cstdint>
#include <cstring>

namespace jpeg {

namespace {
constexpr int soi_search_limit = 4096;
constexpr int max_dimension = 16384;
}  // namespace

int engine_core::next_marker_code() {
  for (;;) {
    int c;
    do c = static_cast<int>(read_bits(8));
    while (c != 0xFF);
    do c = static_cast<int>(read_bits(8));
    while (c == 0xFF);
    // 0xFF 0x00 is a stuffed data byte, not a marker. Past the end of the
    // data the synthesised bytes end every search at an EOI.
    if (c != 0) return c;
  }
}

int engine_core::walk_markers() {
  for (;;) {
    const int m = next_marker_code();
    switch (m) {
      case marker::dht: read_huffman_segment(); continue;
      case marker::dqt: read_quant_segment(); continue;
      case marker::dri: read_restart_interval(); continue;
      case marker::dac: abort_decode(arithmetic_coding_unsupported);
      case marker::tem:
      case marker::jpg: abort_decode(marker_out_of_place);
      case marker::soi:
      case marker::eoi:
      case marker::sos: return m;
      default: break;
    }
    if (m >= marker::rst0 && m <= marker::rst7) abort_decode(marker_out_of_place);
    // Frame headers of every kind, including the ones refused later.
    if (m >= marker::sof0 && m <= marker::sof15) return m;
    skip_segment();
  }
}

void engine_core::find_start_of_image() {
  int a = static_cast<int>(read_bits(8));
  int b = static_cast<int>(read_bits(8));
  if (a == 0xFF && b == marker::soi) return;

  int budget = soi_search_limit;
  for (;;) {
    if (--budget == 0) abort_decode(start_of_image_missing);
    a = b;
    b = static_cast<int>(read_bits(8));
    if (a == 0xFF) {
      if (b == marker::soi) break;
      if (b == marker::eoi) abort_decode(start_of_image_missing);
    }
  }
  // An SOI found among junk must be followed by a marker to be believed.
  if ((bits.window >> 56) != 0xFF) abort_decode(start_of_image_missing);
}

void engine_core::find_frame_header() {
  find_start_of_image();
  const int m = walk_markers();
  switch (m) {
    case marker::sof0:
    case marker::sof1: read_frame_header(); return;
    case marker::sof2:
      frame.progressive = true;
      read_frame_header();
      return;
    case marker::sof9: abort_decode(arithmetic_coding_unsupported);
    default: abort_decode(unsupported_frame_type);
  }
}

void engine_core::read_frame_header() {
  const std::uint32_t length = read_bits(16);
  if (read_bits(8) != 8) abort_decode(unsupported_precision);
  frame.height = static_cast<int>(read_bits(16));
  if (frame.height < 1 || frame.height > max_dimension) abort_decode(height_out_of_range);
  frame.width = static_cast<int>(read_bits(16));
  if (frame.width < 1 || frame.width > max_dimension) abort_decode(width_out_of_range);
  const int count = static_cast<int>(read_bits(8));
  if (count > max_components) abort_decode(frame_components_over_four);
  frame.component_count = count;
  if (length != 8u + 3u * static_cast<std::uint32_t>(count)) abort_decode(frame_header_length_mismatch);
  for (int i = 0; i < count; ++i) {
    frame.component_id[i] = static_cast<int>(read_bits(8));
    frame.h_factor[i] = static_cast<int>(read_bits(4));
    frame.v_factor[i] = static_cast<int>(read_bits(4));
    frame.quant_slot[i] = static_cast<int>(read_bits(8));
    // Only slots 0 to 3 exist; refusing here means no table is ever looked
    // up through a larger selector.
    if (frame.quant_slot[i] >= quant_slots) abort_decode(quant_table_missing);
  }
}

void engine_core::read_huffman_segment() {
  const std::uint32_t length = read_bits(16);
  if (length < 2) abort_decode(huffman_segment_length_invalid);
  std::uint32_t left = length - 2;
  while (left != 0) {
    const std::uint32_t class_id = read_bits(8);
    std::uint8_t counts[17];
    counts[0] = 0;
    std::uint32_t total = 0;
    for (int i = 1; i <= 16; ++i) {
      counts[i] = static_cast<std::uint8_t>(read_bits(8));
      total += counts[i];
    }
    if (total > 255) abort_decode(too_many_huffman_symbols);
    // More codes of some length than the lengths leave room for, or long
    // codes spread so thinly that the decoding tree would overflow.
    if (!huffman_counts_fit(counts)) abort_decode(too_many_huffman_symbols);
    std::uint8_t symbols[256];
    for (std::uint32_t i = 0; i < total; ++i) symbols[i] = static_cast<std::uint8_t>(read_bits(8));
    if (left < 17 + total) abort_decode(huffman_segment_length_invalid);
    left -= 17 + total;
    // The class is one bit (T.81 Tc is 0 or 1); a byte with bits 5 to 7 set
    // names no table.
    if ((class_id & 0xE0) != 0) abort_decode(huffman_slot_out_of_range);
    const std::uint32_t slot = (class_id & 15) + huffman_first_ac_slot * ((class_id >> 4) & 1);
    if (slot >= huffman_slots) abort_decode(huffman_slot_out_of_range);
    if (tables.huffman_counts[slot] == nullptr) {
      tables.huffman_counts[slot] = static_cast<std::uint8_t*>(pool_alloc(17, false));
      tables.huffman_symbols[slot] = static_cast<std::uint8_t*>(pool_alloc(256, false));
    }
    std::memcpy(tables.huffman_counts[slot], counts, 17);
    std::memcpy(tables.huffman_symbols[slot], symbols, total);
  }
}

void engine_core::read_quant_segment() {
  // Rows made while the last scan was read used the tables as they were.
  drop_overlapped_rows();
  const std::uint32_t length = read_bits(16);
  if (length < 2) abort_decode(quant_segment_length_invalid);
  std::uint32_t left = length - 2;
  while (left != 0) {
    const std::uint32_t precision_id = read_bits(8);
    const std::uint32_t precision = precision_id >> 4;
    const std::uint32_t id = precision_id & 15;
    if (id >= quant_slots) abort_decode(quant_table_id_out_of_range);
    if (tables.quant[id] == nullptr) {
      tables.quant[id] = static_cast<std::int16_t*>(pool_alloc(64 * sizeof(std::int16_t), false));
    }
    for (int i = 0; i < 64; ++i) {
      // 16-bit entries above 32767 keep their two's-complement reading.
      tables.quant[id][i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(read_bits(precision ? 16 : 8)));
    }
    const std::uint32_t used = precision ? 129 : 65;
    if (left < used) abort_decode(quant_table_truncated);
    left -= used;
  }
}

void engine_core::read_restart_interval() {
  if (read_bits(16) != 4) abort_decode(restart_interval_length_invalid);
  tables.restart_interval = static_cast<std::uint16_t>(read_bits(16));
}

void engine_core::skip_segment() {
  const std::uint32_t length = read_bits(16);
  if (length < 2) abort_decode(segment_length_invalid);
  for (std::uint32_t i = 2; i < length; ++i) read_bits(8);
}

void engine_core::read_scan_header() {
  const std::uint32_t length = read_bits(16);
  const int count = static_cast<int>(read_bits(8));
  scan.component_count = count;
  if (count < 1 || count > max_components || length != 6u + 2u * static_cast<std::uint32_t>(count)) {
    abort_decode(scan_header_invalid);
  }
  for (int k = 0; k < count; ++k) {
    const int selector = static_cast<int>(read_bits(8));
    const int dc_selector = static_cast<int>(read_bits(4));
    const int ac_selector = static_cast<int>(read_bits(4));
    int j = 0;
    while (j < frame.component_count && frame.component_id[j] != selector) ++j;
    if (j == frame.component_count) abort_decode(scan_component_not_in_frame);
    // A component named twice would give the MCU more blocks than the MCU
    // buffers hold.
    for (int earlier = 0; earlier < k; ++earlier) {
      if (scan.components[earlier] == j) abort_decode(scan_header_invalid);
    }
    scan.components[k] = j;
    scan.dc_slot[j] = dc_selector;
    scan.ac_slot[j] = ac_selector + huffman_first_ac_slot;
    // Only slots 0 to 7 exist; refused before any table is looked up.
    if (scan.dc_slot[j] >= huffman_slots || scan.ac_slot[j] >= huffman_slots) {
      abort_decode(huffman_table_missing);
    }
  }
  scan.spectral_first = static_cast<int>(read_bits(8));
  scan.spectral_last = static_cast<int>(read_bits(8));
  scan.approx_high = static_cast<int>(read_bits(4));
  scan.approx_low = static_cast<int>(read_bits(4));
  if (!frame.progressive) {
    // A sequential scan always covers the whole band, whatever it says.
    scan.spectral_first = 0;
    scan.spectral_last = 63;
  }
}

bool engine_core::find_scan_header() {
  const int m = walk_markers();
  if (m == marker::eoi) return false;
  if (m != marker::sos) abort_decode(marker_out_of_place);
  read_scan_header();
  return true;
}

void engine_core::find_end_of_image() {
  // A progressive image read every scan during set-up.
  if (frame.progressive) return;
  // Bits left over from the entropy-coded data are dropped; the tables and
  // segments after the scan are still checked.
  reload_bit_window(bit_mode::raw);
  walk_markers();
}

}  // namespace jpeg
