// Baseline block decoding: one MCU row of a sequential scan straight from the
// entropy-coded data into dequantised coefficient blocks, each MCU handed to
// the MCU transform, and the restart-marker handling shared with the
// progressive scans.
#include "huffman.h"
#include "kernels.h"

#include <cstdint>
#include <cstring>

namespace jpeg {

namespace {

// The scan's bit reader held in locals for the length of an MCU row: the
// same window, the same two-byte refills and so the same byte consumption as
// read_bits_scan, but free of the loads and stores through the engine that
// every coefficient store would otherwise force.
//
// The window is held in the top half of a 64-bit word, so that the next
// look-up index comes straight from the shifted word (no narrowing step
// between one code and the next). The low half holds nothing but zeros and
// the pre-placed refill bytes described at `take`. Instead of the spare
// count, the reader keeps 32 - spare: the shift that puts the next two
// bytes right behind the window's valid bits.
//
// plain_end marks the first 0xFF byte at or after the cursor (or the end of
// the buffered data), so that one comparison tells whether the next two
// bytes are plain data.
struct local_bits {
  std::uint64_t window;
  std::int64_t fill_at;
  std::uint8_t* cursor;
  std::uint8_t* end;
  const std::uint8_t* plain_end;
};

// The first 0xFF byte in [cursor, end), or end. A function of the two
// pointers rather than a member, so that no call takes a reader's address.
inline const std::uint8_t* find_plain_end(const std::uint8_t* cursor, const std::uint8_t* end) {
  const void* ff = std::memchr(cursor, 0xFF, static_cast<std::size_t>(end - cursor));
  return ff != nullptr ? static_cast<const std::uint8_t*>(ff) : end;
}

// Eight 16-byte stores. A memset of the 128 bytes becomes `rep stos` here,
// whose start-up alone costs more than the stores.
inline void clear_block(std::int16_t* block) {
  typedef std::int16_t row __attribute__((vector_size(16), aligned(2)));
  for (int i = 0; i < 8; ++i) reinterpret_cast<row*>(block)[i] = row{};
}

}  // namespace

// Everything decided per scan (tables per block, block count, the transform)
// is fixed here, so the loops below run without per-block choices.
template <int Blocks, bool Upsampled>
void jpeg_decoder_engine::decode_baseline_mcu_row_as() {
  struct block_plan {
    const huffman_decode_table* dc;
    const huffman_decode_table* ac;
    const std::int16_t* quant;
    int component;
    int slot;  // the block's place in the MCU: frame component order
  };
  // A scan may list the components in another order than the frame does
  // (T.81 asks for frame order, but nothing breaks if it is not kept); the
  // transform and the converters expect frame order, so each block is put
  // where frame order has it.
  int first_slot[max_components] = {};
  for (int c = 1; c < frame_component_count; ++c) {
    first_slot[c] = first_slot[c - 1] + component_h_factor[c - 1] * component_v_factor[c - 1];
  }
  block_plan plan[Blocks];
  for (int i = 0; i < Blocks; ++i) {
    const int c = mcu_block_components[i];
    plan[i] = {huffman_lookup[component_dc_slot[c]], huffman_lookup[component_ac_slot[c]],
               quant_tables[component_quant_slot[c]], c, first_slot[c]++};
  }

  // The reader lives in `b`, and nothing may keep its address: the compiler
  // would then hold it in memory, where every read waits for the last store.
  // So no closure captures it: the helpers below get it as a parameter, and
  // the long-code path gets its fields and hands them back.
  auto write_back = [this](const local_bits& s) {
    bit_window = static_cast<std::uint32_t>(s.window >> 32);
    spare_bits = static_cast<std::int32_t>(32 - s.fill_at);
    input_cursor = s.cursor;
    input_remaining = static_cast<std::int32_t>(s.end - s.cursor);
  };
  auto reload = [this](local_bits& s) {
    s.window = static_cast<std::uint64_t>(bit_window) << 32;
    s.fill_at = 32 - spare_bits;
    s.cursor = input_cursor;
    s.end = input_cursor + input_remaining;
    s.plain_end = find_plain_end(s.cursor, s.end);
  };
  local_bits b;
  reload(b);
  std::int32_t predictor[max_components];
  for (int c = 0; c < max_components; ++c) predictor[c] = dc_predictor[c];

  // read_bits_scan over a local reader. The count, 1 to 16 + spare, is the
  // low 6 bits of `entry`; the bits above are ignored, so that a table
  // entry goes in as it stands, and the window's shift, which takes its
  // count modulo 64 anyway, waits for nothing but the table load.
  //
  // While the next two bytes are plain data, the refill is done without a
  // branch: the pair is always placed right behind the window's valid bits,
  // and taken in (two bytes consumed, 16 bits credited) only when the
  // window runs short, exactly when read_bits_scan would fetch it. When it
  // is not taken in, its leading bits may appear below the valid bits of the
  // window; those are the same bits the refill will put there, and nothing
  // reads them before it. Stuffing, markers, buffer refills and the end of
  // the data go the slow way, with read_bits_scan's own steps.
  auto take = [this, &write_back, &reload](local_bits& s, std::int32_t entry) -> std::uint32_t {
    const int n = entry & 63;
    const auto result = static_cast<std::uint32_t>(s.window >> (64 - n));
    if (s.plain_end - s.cursor >= 2) [[likely]] {
      const std::uint64_t pair = (static_cast<std::uint64_t>(s.cursor[0]) << 8) | s.cursor[1];
      s.window = (s.window | (pair << s.fill_at)) << (entry & 63);
      // 17 to 48; it reaches 32 exactly when the spare count falls to 0 or
      // below.
      const std::int64_t after = s.fill_at + n;
      const std::int64_t refill = after >> 5;
      s.cursor += 2 * refill;
      s.fill_at = after - 16 * refill;
      return result;
    }
    const std::int64_t old_spare = 32 - s.fill_at;
    s.fill_at += n;
    if (s.fill_at < 32) {
      s.window <<= n;
      return result;
    }
    s.window <<= old_spare;
    write_back(s);
    // Nothing of the reader stays live across these calls; it comes back
    // from the engine, where write_back left it.
    const auto c1 = static_cast<std::uint32_t>(read_entropy_byte());
    const std::uint32_t pair = (c1 << 8) | static_cast<std::uint32_t>(read_entropy_byte());
    reload(s);
    s.window = ((s.window & 0xFFFF000000000000u) | (static_cast<std::uint64_t>(pair) << 32)) << (s.fill_at - 32);
    s.fill_at -= 16;
    return result;
  };
  auto take_some = [&take](local_bits& s, int n) -> std::uint32_t { return n == 0 ? 0 : take(s, n); };

  // decode_huffman with the magnitude bits, over a copy of the reader that
  // goes in and comes back field by field (a copy of the whole struct would
  // keep `b` in memory).
  struct decoded_symbol {
    local_bits bits;
    int symbol;
    std::uint32_t extra;
  };
  auto decode = [&take, &take_some](std::uint64_t window, std::int64_t fill_at, std::uint8_t* cursor, std::uint8_t* end,
                                    const std::uint8_t* plain_end,
                                    const huffman_decode_table& table) -> decoded_symbol {
    local_bits s{window, fill_at, cursor, end, plain_end};
    std::uint32_t extra;
    const int symbol = decode_huffman_with_extra(
        table, static_cast<std::uint32_t>(s.window >> 32), static_cast<std::int32_t>(32 - s.fill_at),
        [&](int n) { return take(s, n); }, [&](int n) { return take_some(s, n); }, extra);
    return {s, symbol, extra};
  };
  auto decode_symbol = [&decode](local_bits& s, const huffman_decode_table& table, std::uint32_t& extra) {
    const decoded_symbol d = decode(s.window, s.fill_at, s.cursor, s.end, s.plain_end, table);
    s.window = d.bits.window;
    s.fill_at = d.bits.fill_at;
    s.cursor = d.bits.cursor;
    s.end = d.bits.end;
    s.plain_end = d.bits.plain_end;
    extra = d.extra;
    return d.symbol;
  };

  const kernel_table& kernels = selected_kernels();
  const int mcus = scan_mcus_per_row;
  for (int m = 0; m < mcus; ++m) {
    if (restart_interval != 0 && restart_countdown == 0) {
      write_back(b);
      resync_at_restart();
      reload(b);
      for (std::int32_t& p : predictor) p = 0;
    }

    for (int i = 0; i < Blocks; ++i) {
      const block_plan& p = plan[i];
      const int slot = p.slot;
      std::int16_t* block = mcu_coefficients + 64 * slot;
      const std::int16_t* q = p.quant;

      // Only positions below the block's last extent can still hold values
      // from the MCU before; clearing the whole block is a few vector stores,
      // cheaper than a test of the extent that the processor cannot predict,
      // and leaves the run handling below with nothing but an add.
      clear_block(block);

      std::uint32_t extra;
      std::int32_t difference;
      const std::int32_t dc_fast = p.dc->fast_value[b.window >> (64 - huffman_fast_bits)];
      if (dc_fast != 0) [[likely]] {
        take(b, dc_fast);
        difference = dc_fast >> 16;
      } else {
        const int dc_size = decode_symbol(b, *p.dc, extra);
        difference = extend_value(extra, dc_size);
      }
      // A hostile stream can drive the running DC anywhere; it and its
      // product wrap, and the block keeps the low 16 bits.
      predictor[p.component] = wrap_add(predictor[p.component], difference);
      block[0] = static_cast<std::int16_t>(wrap_mul(predictor[p.component], q[0]));

      const huffman_decode_table& ac = *p.ac;
      std::ptrdiff_t k = 1;
      while (k < 64) {
        const std::uint64_t index = b.window >> (64 - huffman_fast_bits);
        const std::int32_t pair = ac.pair_value[index];
        if (pair != 0) [[likely]] {
          // One or two common coefficients in one entry, or one and the
          // end of block, or the end of block alone. Both places are always
          // stored, the second first: where there is no second coefficient
          // it gets a zero (a place not yet written, or the first one's,
          // written right after). With the end of block, `second` is the
          // extent; the check that it is below 64 is then the check that
          // the end-of-block code is due at all.
          const std::ptrdiff_t first = k + huffman_pair_first_run(pair);
          const std::ptrdiff_t second = first + huffman_pair_second_step(pair);
          if (second < 64) [[likely]] {
            take(b, pair);
            block[zigzag_to_natural[second]] = static_cast<std::int16_t>(huffman_pair_second_value(pair) * q[second]);
            block[zigzag_to_natural[first]] = static_cast<std::int16_t>(huffman_pair_first_value(pair) * q[first]);
            if ((pair & huffman_pair_end_of_block) != 0) {
              k = second;
              break;
            }
            k = second + 1;
            continue;
          }
          // Past the end of the block: the first one alone, which fails
          // where it would have failed by itself.
          const std::int32_t fast = ac.fast_value[index];
          take(b, fast);
          k += (fast >> 8) & 15;
          if (k > 63) {
            write_back(b);
            abort_decode(coefficient_index_overflow);
          }
          block[zigzag_to_natural[k]] = static_cast<std::int16_t>((fast >> 16) * q[k]);
          ++k;
          continue;
        }
        // Entries that carry magnitude bits all lie in fast_value too, so
        // only codes whose magnitude reaches further, long codes and the
        // symbols without magnitude that no pair entry holds (sixteen
        // zeros, an end of block of more than 8 bits) come here.
        const std::int32_t e = ac.first_level_with_bits[b.window >> 56];
        if ((static_cast<std::uint32_t>(e) & 0x800000FFu) == 0) {
          // End of block (or bits that begin no code, which read as it).
          take_some(b, (e >> 8) & 31);
          break;
        }
        int symbol;
        if (e >= 0) {
          // A code of at most 8 bits whose magnitude reaches further.
          const int length = (e >> 8) & 31;
          const int size = e & 15;
          symbol = e & 255;
          if (length + size > 48 - b.fill_at) {
            take(b, length);
            extra = take_some(b, size);
          } else {
            extra = take(b, length + size) & ((1u << size) - 1u);
          }
        } else {
          symbol = decode_symbol(b, ac, extra);
        }
        const int run = symbol >> 4;
        const int size = symbol & 15;
        if (size != 0) {
          if (k + run > 63) {
            write_back(b);
            abort_decode(coefficient_index_overflow);
          }
          k += run;
          // |value| < 2^15 and |q| <= 2^15: the product fits 32 bits.
          block[zigzag_to_natural[k]] = static_cast<std::int16_t>(extend_value(extra, size) * q[k]);
          ++k;
        } else if (run == 15) {
          if (k + 16 > 64) {
            write_back(b);
            abort_decode(coefficient_index_overflow);
          }
          k += 16;
        } else {
          break;
        }
      }
      block_extent[slot] = static_cast<int>(k);
    }

    if constexpr (Upsampled) {
      jpeg::mcu_to_samples_upsampled(kernels, mcu_coefficients, block_extent, mcu_samples, m);
    } else {
      // mcu_to_samples, with the block count known here.
      std::uint8_t* samples = mcu_samples + static_cast<std::size_t>(m) * Blocks * 64;
      for (int i = 0; i < Blocks; ++i) {
        kernels.inverse_dct_block(mcu_coefficients + 64 * i, samples + 64 * i, block_extent[i]);
      }
    }
    --restart_countdown;
  }

  write_back(b);
  for (int c = 0; c < max_components; ++c) dc_predictor[c] = predictor[c];
}

void jpeg_decoder_engine::decode_baseline_mcu_row() {
  // The set-up admits only interleaved scans of every component, so the
  // block count names the layout.
  switch (scan_type) {
    case component_layout::grey: decode_baseline_mcu_row_as<1, false>(); break;
    case component_layout::h1v1: decode_baseline_mcu_row_as<3, false>(); break;
    case component_layout::h2v1:
    case component_layout::h1v2: decode_baseline_mcu_row_as<4, false>(); break;
    case component_layout::h2v2: decode_baseline_mcu_row_as<6, true>(); break;
  }
}

void jpeg_decoder_engine::resync_at_restart() {
  // Bounded, so that a stream without the marker cannot keep the decoder
  // reading for ever.
  int budget = 1536;
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
  restart_countdown = restart_interval;
  expected_restart_index = (expected_restart_index + 1) & 7;
  met_marker = false;
  reload_bit_window(bit_mode::entropy);
}

}  // namespace jpeg
