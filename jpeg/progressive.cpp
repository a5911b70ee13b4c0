// Progressive decoding: every scan of the picture is decoded during
// start_decoding into the per-component coefficient stores (DC first and
// refinement passes, AC band first and refinement passes with end-of-band
// runs); the row driver then gathers one MCU row at a time out of the stores,
// dequantises it and hands it to the same transform as sequential blocks.
#include "huffman.h"
#include "kernels.h"
#include "threads.h"

#include <algorithm>
#include <bit>
#include <cstdint>

namespace jpeg {

namespace {

// coefficient_block_at for the two store shapes, and a block's non-zero
// set, inline for the per-block paths.
inline std::size_t block_index(const coefficient_store* store, int x, int y) {
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(store->blocks_across) + static_cast<std::size_t>(x);
}
inline std::int16_t* dc_value_at(const coefficient_store* store, int x, int y) {
  return store->coefficients + block_index(store, x, y);
}
inline std::int16_t* ac_block_at(const coefficient_store* store, int x, int y) {
  return store->coefficients + 64 * block_index(store, x, y);
}
inline std::uint64_t& nonzero_at(const coefficient_store* store, int x, int y) {
  return store->nonzero[block_index(store, x, y)];
}

// Zig-zag indices lo .. hi - 1 as bits (both 0 to 65; empty when lo >= hi).
inline std::uint64_t index_range(int lo, int hi) {
  const std::uint64_t below_hi = hi >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << hi) - 1;
  const std::uint64_t below_lo = lo >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << lo) - 1;
  return below_hi & ~below_lo;
}

// How many blocks, from the first (known to hold no coefficient of the
// band) up to count, hold none: four sets at a time while none of them
// does.
inline int blocks_without_band(const std::uint64_t* nonzero, int count, std::uint64_t band) {
  int passed = 1;
  while (passed + 4 <= count &&
         ((nonzero[passed] | nonzero[passed + 1] | nonzero[passed + 2] | nonzero[passed + 3]) & band) == 0) {
    passed += 4;
  }
  while (passed < count && (nonzero[passed] & band) == 0) ++passed;
  return passed;
}

}  // namespace

// The engine's reader copied into locals for the length of a scan, so that
// the many short reads of its blocks stay in registers, with the count of
// the blocks decoded. store() puts the reader back before anything else
// reads the input, load() takes it up again.
struct engine_core::scan_bits {
  engine_core& engine;
  bit_reader reader;

  explicit scan_bits(engine_core& e) : engine(e), reader(e.bits) {}
  void store() const { engine.bits = reader; }
  void load() { reader = engine.bits; }
  // n is 0 to 16 + spare.
  std::uint32_t read(int n) {
    if (n == 0) return 0;
    return take_bits(reader, n, [this](bit_reader& r, int m) {
      return take_bits_and_refill(r, m, [this](bit_reader& s) { return engine.next_entropy_pair(s); });
    });
  }
  int decode(const huffman_decode_table& table) {
    return decode_huffman_plain(table, reader, [this](bit_reader&, int n) { return read(n); });
  }
  [[noreturn]] JPEG_ALWAYS_INLINE void abort_decode(int code) const { engine.abort_with_reader(reader, code); }

  // A block decoded from the scan's data takes at least one bit of it; those
  // decoded after the data ended at a marker are counted apart. `decoded`
  // goes to the engine's blocks_decoded when the scan ends (finish()).
  std::uint64_t decoded = 0;
  template <block_decoder decode_block>
  JPEG_ALWAYS_INLINE void next_block(int c, int x, int y, std::uint32_t cost_without_data) {
    if (engine.met_marker) [[unlikely]]
      engine.count_block_without_data(reader, cost_without_data);
    (engine.*decode_block)(*this, c, x, y);
    ++decoded;
  }
  void resync() {
    store();
    engine.resync_at_restart();
    load();
  }
  void finish() {
    store();
    engine.blocks_decoded += decoded;
  }
};

void engine_core::decode_progressive_scans() {
  for (int c = 0; c < frame.component_count; ++c) {
    const int across = frame_mcus_per_row * frame.h_factor[c];
    const int down = frame_mcus_per_column * frame.v_factor[c];
    dc_coefficient_store[c] = create_coefficient_store(across, down, 1, 1);
    ac_coefficient_store[c] = create_coefficient_store(across, down, 8, 8);
    frame_blocks += static_cast<std::uint64_t>(across) * static_cast<std::uint64_t>(down);
  }
  // Workers wait for the rows of the last scan (overlap_last_scan).
  start_row_threads(true);
  share_scans();
  read_progressive_scans();
  if (shared.active) finish_shared_scans();
  publish_final_rows(frame_mcus_per_column);

  // From here on the row driver walks the interleaved MCUs of the whole frame.
  scan.component_count = frame.component_count;
  for (int i = 0; i < frame.component_count; ++i) scan.components[i] = i;
  compute_mcu_layout();
}

// Reads the scans up to the end of the image, passing over those of the
// units that a second engine reads.
void engine_core::read_progressive_scans() {
  while (setup_scan()) {
    if (++scans_started > static_cast<std::uint64_t>(limits.max_scans) && limits.max_scans != 0) {
      abort_decode(too_many_scans);
    }
    if (scan.spectral_first > scan.spectral_last || scan.spectral_last > 63) abort_decode(spectral_selection_invalid);
    const bool dc_scan = scan.spectral_first == 0;
    if (dc_scan ? scan.spectral_last != 0 : scan.component_count != 1) abort_decode(spectral_selection_invalid);
    if (scan.approx_high != 0 && scan.approx_low != scan.approx_high - 1)
      abort_decode(successive_approximation_invalid);
    overlap_last_scan();

    if ((shared.skipped_units >> scan_unit() & 1) != 0) {
      skip_scan_data();
    } else if (dc_scan) {
      if (scan.approx_high == 0) {
        decode_scan_blocks<&engine_core::dc_initial_block>();
      } else {
        decode_scan_blocks<&engine_core::dc_refinement_block>();
      }
    } else if (scan.approx_high == 0) {
      decode_scan_blocks<&engine_core::ac_initial_block, band_runs::initial>();
    } else {
      decode_scan_blocks<&engine_core::ac_refinement_block, band_runs::refinement>();
    }
    // The markers after the scan are read as headers again.
    reload_bit_window(bit_mode::raw);
  }
}

namespace {

// Moves to the next block of a component's part of an MCU: across its
// horizontal factor, then down its vertical factor, then on to the next MCU.
// A scan of one component has one-block MCUs.
inline void step_block(bool interleaved, int h_factor, int v_factor, int& h_off, int& v_off, int& block_col) {
  if (!interleaved) {
    ++block_col;
  } else if (++h_off == h_factor) {
    h_off = 0;
    if (++v_off == v_factor) {
      v_off = 0;
      block_col += h_factor;
    }
  }
}

}  // namespace

JPEG_ALWAYS_INLINE void engine_core::dc_initial_block(scan_bits& bits, int c, int x, int y) {
  // DC tables hold sizes of at most 15 (checked at scan set-up), which one
  // read can serve.
  const int s = bits.decode(*huffman_lookup[scan.dc_slot[c]]);
  const std::int32_t difference = extend_value(bits.read(s), s);
  dc_predictor[c] = wrap_add(dc_predictor[c], difference);
  *dc_value_at(dc_coefficient_store[c], x, y) = static_cast<std::int16_t>(wrap_shl(dc_predictor[c], scan.approx_low));
}

JPEG_ALWAYS_INLINE void engine_core::dc_refinement_block(scan_bits& bits, int c, int x, int y) {
  if (bits.read(1) == 0) return;
  std::int16_t* value = dc_value_at(dc_coefficient_store[c], x, y);
  *value = static_cast<std::int16_t>(*value | (1 << scan.approx_low));
}

JPEG_ALWAYS_INLINE void engine_core::ac_initial_block(scan_bits& bits, int c, int x, int y) {
  // Blocks inside an end-of-band run never get here: the scan loop passes them.
  std::int16_t* block = ac_block_at(ac_coefficient_store[c], x, y);
  std::uint64_t& nonzero = nonzero_at(ac_coefficient_store[c], x, y);
  // A coefficient written, and its bit in the block's non-zero set (a value
  // shifted out of 16 bits is stored as 0).
  auto put = [block, &nonzero](int k, std::int32_t value) {
    const auto stored = static_cast<std::int16_t>(value);
    block[zigzag_to_natural[k]] = stored;
    const std::uint64_t bit = std::uint64_t{1} << k;
    nonzero = stored != 0 ? nonzero | bit : nonzero & ~bit;
  };
  const huffman_decode_table& table = *huffman_lookup[scan.ac_slot[c]];
  for (int k = scan.spectral_first; k <= scan.spectral_last; ++k) {
    // Code, run and value in one look-up when they fit (one read of code
    // and magnitude together leaves the reader as the two reads would).
    const std::int32_t fast = table.fast_value[bits.reader.window >> (64 - huffman_fast_bits)];
    if (fast != 0) [[likely]] {
      bits.read(fast_entry_bits(fast));
      k += fast_entry_run(fast);
      if (k > 63) bits.abort_decode(coefficient_index_overflow);
      put(k, wrap_shl(fast_entry_value(fast), scan.approx_low));
      continue;
    }
    const int symbol = bits.decode(table);
    const int run = symbol >> 4;
    const int size = symbol & 15;
    if (size != 0) {
      k += run;
      if (k > 63) bits.abort_decode(coefficient_index_overflow);
      put(k, wrap_shl(extend_value(bits.read(size), size), scan.approx_low));
    } else if (run == 15) {
      k += 15;
      if (k > 63) bits.abort_decode(coefficient_index_overflow);
    } else {
      // This block is the first of the run; run <= 14 keeps the count far
      // from overflow.
      end_of_band_run = (std::int32_t{1} << run) + static_cast<std::int32_t>(bits.read(run)) - 1;
      break;
    }
  }
  ac_coefficient_store[c]->row_nonzero[y] |= nonzero;
}

// One block of an AC refinement pass. The band's known (non-zero)
// coefficients are kept as bits by zig-zag index: the walks below jump from
// one to the next instead of testing every position, and count zero
// positions with bit operations. Refining never makes a coefficient zero, so
// only new coefficients change the set. (Position 0 of an AC store block is
// never written, so it never counts.)
struct engine_core::band_refinement {
  std::int16_t* block;
  std::uint64_t& nonzero;  // the block's set in the store
  std::uint64_t known;     // nonzero, within the band
  int last;                // the band's last zig-zag index
  std::int32_t plus;       // 1 << scan.approx_low
  std::int32_t minus;      // -1 << scan.approx_low

  // Each known coefficient in lo .. hi - 1 takes one correction bit, in
  // zig-zag order, which moves it away from zero unless that bit is set.
  JPEG_ALWAYS_INLINE void refine(scan_bits& bits, int lo, int hi) {
    for (std::uint64_t todo = known & index_range(lo, hi); todo != 0; todo &= todo - 1) {
      std::int16_t& coefficient = block[zigzag_to_natural[std::countr_zero(todo)]];
      const std::int32_t value = coefficient;
      // Without a branch: the correction bits are as good as random, and a
      // mispredicted jump costs more than the store.
      const std::int32_t moves = -static_cast<std::int32_t>(bits.read(1) & ((value & plus) == 0 ? 1u : 0u));
      coefficient = static_cast<std::int16_t>(value + ((value >= 0 ? plus : minus) & moves));
    }
  }

  // Passes `run` positions from k on that are still zero, refining the known
  // ones on the way; returns the next zero position, where a new coefficient
  // goes (or last + 1 when the band runs out of zeros).
  JPEG_ALWAYS_INLINE int pass_zeros(scan_bits& bits, int k, int run) {
    std::uint64_t zeros = ~known & index_range(k, last + 1);
    for (int r = 0; r < run && zeros != 0; ++r) zeros &= zeros - 1;
    const int stop = zeros != 0 ? std::countr_zero(zeros) : last + 1;
    refine(bits, k, stop);
    return stop;
  }

  // Decodes the block's symbols from position k on, each a run of zero
  // positions and a new coefficient of one step or none, until the band
  // ends or an end-of-band symbol starts a run of blocks; returns where the
  // run's refinement of this block, its first, begins.
  JPEG_ALWAYS_INLINE int decode_symbols(scan_bits& bits, const huffman_decode_table& table, int k,
                                        std::int32_t& end_of_band_run) {
    while (k <= last) {
      const int symbol = bits.decode(table);
      const int run = symbol >> 4;
      const int size = symbol & 15;
      std::int32_t value = 0;
      if (size != 0) {
        if (size != 1) bits.abort_decode(coefficient_index_overflow);
        value = bits.read(1) != 0 ? plus : minus;
      } else if (run != 15) {
        end_of_band_run = (std::int32_t{1} << run) + static_cast<std::int32_t>(bits.read(run));
        break;
      }
      k = pass_zeros(bits, k, run);
      if (value != 0 && k < 64) {
        block[zigzag_to_natural[k]] = static_cast<std::int16_t>(value);
        known |= std::uint64_t{1} << k;
        nonzero |= std::uint64_t{1} << k;
      }
      ++k;
    }
    return k;
  }
};

JPEG_ALWAYS_INLINE void engine_core::ac_refinement_block(scan_bits& bits, int c, int x, int y) {
  coefficient_store* store = ac_coefficient_store[c];
  std::uint64_t& nonzero = nonzero_at(store, x, y);
  band_refinement refinement{ac_block_at(store, x, y),
                             nonzero,
                             nonzero & index_range(scan.spectral_first, scan.spectral_last + 1),
                             scan.spectral_last,
                             std::int32_t{1} << scan.approx_low,
                             wrap_shl(-1, scan.approx_low)};
  int k = scan.spectral_first;
  if (end_of_band_run == 0) {
    k = refinement.decode_symbols(bits, *huffman_lookup[scan.ac_slot[c]], k, end_of_band_run);
    // The row's summary learns the new coefficients once per block.
    store->row_nonzero[y] |= refinement.known;
  }
  if (end_of_band_run > 0) {
    refinement.refine(bits, k, scan.spectral_last + 1);
    --end_of_band_run;
  }
}

// Where a scan's data end early at a marker, the reader stands in front of
// the marker and reads 1 bits from there on, taking no input: true when it
// has come to that, with every valid bit of its window (the top 16 + spare)
// a 1. Until the reader has met the marker the answer may be no a few
// blocks too long.
JPEG_ALWAYS_INLINE bool engine_core::only_ones_left(const bit_reader& r) const {
  // Plain data ahead (no 0xFF at the cursor): the usual answer, from
  // registers alone.
  if (r.plain_end > r.cursor) [[likely]]
    return false;
  if (!met_marker || r.end - r.cursor < 2 || r.cursor[0] != 0xFF || r.cursor[1] == 0) return false;
  const int spare = spare_bits(r);
  const std::uint32_t valid = spare >= 16 ? ~std::uint32_t{0} : ~std::uint32_t{0} << (16 - spare);
  return (static_cast<std::uint32_t>(r.window >> 32) & valid) == valid;
}

// A block decoded from the 1 bits after the scan's data ended takes none
// of them, and costs up to `cost` symbols. A damaged scan ends so at a stray
// marker, and the last blocks of a scan can lie in its padding bits; past
// twice the frame's blocks, plus the padding's share, the file is made of
// scans without data. Out of line and given the reader by value, so that
// the scan loop's copy stays in registers.
[[gnu::noinline]] void engine_core::count_block_without_data(bit_reader r, std::uint32_t cost) {
  if (!only_ones_left(r)) return;
  blocks_without_data += cost;
  if (blocks_without_data > 2 * frame_blocks + 64 * scans_started) abort_with_reader(r, scan_data_missing);
}

bool engine_core::ones_are_end_of_band(int c) const {
  bit_reader ones{~std::uint64_t{0}, 16, nullptr, nullptr, nullptr};
  const int symbol = decode_huffman_plain(*huffman_lookup[scan.ac_slot[c]], ones, [](bit_reader&, int) {});
  return (symbol & 15) == 0 && symbol >> 4 != 15;
}

// The stores span the frame's padded MCU grid, which every scan layout
// stays inside; checked once per scan so that no block decoder needs to.
void engine_core::check_scan_inside_stores() {
  const bool interleaved = scan.component_count != 1;
  for (int k = 0; k < scan.component_count; ++k) {
    const int c = scan.components[k];
    const int across = interleaved ? scan_mcus_per_row * frame.h_factor[c] : scan_mcus_per_row;
    const int down = interleaved ? scan_mcus_per_column * frame.v_factor[c] : scan_mcus_per_column;
    if (across > ac_coefficient_store[c]->blocks_across || down > ac_coefficient_store[c]->blocks_down) {
      abort_decode(scan_header_invalid);
    }
  }
}

// runs: whether the walk passes the blocks of end-of-band runs itself, for
// the AC first passes and refinements.
template <engine_core::block_decoder decode_block, engine_core::band_runs runs>
void engine_core::decode_scan_blocks() {
  check_scan_inside_stores();
  if (scan.component_count == 1) {
    decode_component_scan<decode_block, runs>();
  } else {
    decode_interleaved_scan<decode_block>();
  }
}

// How many blocks from (x, y) on the current end-of-band run passes: its
// blocks keep the band zero, and in a refinement those without a known
// coefficient in the band take no bits, so they are passed all at once, as
// far as the row's end or the next restart. 0 when the block at (x, y) is
// to be decoded; a run passes at least that block.
template <bool refinement>
JPEG_ALWAYS_INLINE int engine_core::pass_end_of_band_run(const bit_reader& r, int c, int x, int y, std::uint64_t band,
                                                         bool ones_end_band) {
  if (end_of_band_run == 0 && ones_end_band && only_ones_left(r)) end_of_band_run = endless_run;
  const coefficient_store* store = ac_coefficient_store[c];
  const std::uint64_t* nonzero = &nonzero_at(store, x, y);
  if (end_of_band_run == 0 || (refinement && (*nonzero & band) != 0)) return 0;
  int count = std::min(end_of_band_run, scan_mcus_per_row - x);
  if (tables.restart_interval != 0) count = std::min(count, restart_countdown);
  if (refinement && (store->row_nonzero[y] & band) != 0) count = blocks_without_band(nonzero, count, band);
  end_of_band_run -= count;
  restart_countdown -= count;
  return count;
}

// A scan of one component: one block per MCU, row by row. The block
// decoders are inlined here, so that the reader's copy has no address to
// keep it in memory.
template <engine_core::block_decoder decode_block, engine_core::band_runs runs>
void engine_core::decode_component_scan() {
  scan_bits bits(*this);
  const int c = scan.components[0];
  // Where the data run out at a marker, every further bit is a 1, and
  // when 1 bits decode as an end-of-band the rest of the scan (up to the
  // next restart) is one endless run.
  const bool ones_end_band = runs != band_runs::none && ones_are_end_of_band(c);
  const std::uint64_t band = index_range(scan.spectral_first, scan.spectral_last + 1);
  // A block decoded from those 1 bits costs no more than a DC block does,
  // unless they decode as coefficients: then up to one symbol for each
  // position of the band. (Standard tables have no code of all 1 bits:
  // such bits read as an end of band.)
  const auto cost_without_data =
      static_cast<std::uint32_t>(ones_end_band ? 1 : scan.spectral_last - scan.spectral_first + 1);
  for (int y = 0; y < scan_mcus_per_column; ++y) {
    for (int x = 0; x < scan_mcus_per_row;) {
      if (tables.restart_interval != 0 && restart_countdown == 0) bits.resync();
      if constexpr (runs != band_runs::none) {
        const int passed =
            pass_end_of_band_run<runs == band_runs::refinement>(bits.reader, c, x, y, band, ones_end_band);
        if (passed != 0) {
          x += passed;
          continue;
        }
      }
      bits.next_block<decode_block>(c, x, y, cost_without_data);
      --restart_countdown;
      ++x;
    }
    if (publishing_rows()) [[unlikely]]
      publish_final_rows((y + 1) / frame.v_factor[c]);
  }
  bits.finish();
}

// A scan of several components: MCU after MCU, each a component's blocks
// across its horizontal factor and down its vertical factor in turn.
template <engine_core::block_decoder decode_block>
void engine_core::decode_interleaved_scan() {
  scan_bits bits(*this);
  int block_row[max_components] = {};
  for (int y = 0; y < scan_mcus_per_column; ++y) {
    int block_col[max_components] = {};
    for (int x = 0; x < scan_mcus_per_row; ++x) {
      int h_off = 0;
      int v_off = 0;
      if (tables.restart_interval != 0 && restart_countdown == 0) bits.resync();
      for (int b = 0; b < scan_blocks_per_mcu; ++b) {
        const int c = mcu_block_components[b];
        bits.next_block<decode_block>(c, block_col[c] + h_off, block_row[c] + v_off, 1);
        step_block(true, frame.h_factor[c], frame.v_factor[c], h_off, v_off, block_col[c]);
      }
      --restart_countdown;
    }
    for (int k = 0; k < scan.component_count; ++k) {
      const int c = scan.components[k];
      block_row[c] += frame.v_factor[c];
    }
    if (publishing_rows()) [[unlikely]]
      publish_final_rows(y + 1);
  }
  bits.finish();
}

// A scan after which every coefficient of every component has had its last
// bit read is the last one a valid picture has: the rows it has passed are
// final, and workers reconstruct them while it goes on. Should a further
// scan come all the same, what they made is dropped.
void engine_core::overlap_last_scan() {
  const std::uint64_t band = index_range(scan.spectral_first, scan.spectral_last + 1);
  bool last = true;
  for (int c = 0; c < frame.component_count; ++c) {
    std::uint64_t known = coefficients_final[c];
    for (int k = 0; k < scan.component_count; ++k) {
      if (scan.components[k] == c && scan.approx_low == 0) known |= band;
    }
    coefficients_final[c] = known;
    last = last && known == ~std::uint64_t{0};
  }
  publish_rows_of_scan(last);
}

// Reads nothing but the frame's layout, the quantisation tables and the
// finished coefficient stores, and writes nothing but `samples`, so the
// threads of a decode run it for different rows at once, also while the
// last scan (with a layout of its own) is read.
void engine_core::reconstruct_progressive_row(int row, std::uint8_t* samples) const {
  // The quantisation tables in natural order, as the gathered blocks are. A
  // component that no scan named has no table to check and only zero
  // coefficients, so any table serves it.
  std::int16_t quant[max_components][64];
  for (int c = 0; c < frame.component_count; ++c) {
    const std::int16_t* q = tables.quant[frame.quant_slot[c]];
    for (int p = 0; p < 64; ++p) quant[c][p] = q != nullptr ? q[natural_to_zigzag[p]] : 0;
  }

  alignas(32) std::int16_t coefficients[max_blocks_per_mcu * 64];
  int extents[max_blocks_per_mcu];
  const kernel_table& kernels = selected_kernels();
  // The frame's MCUs: interleaved in frame order, or for a grey picture one
  // block each.
  const layout_facts& layout = facts_of(scan_type);
  const bool interleaved = layout.components != 1;
  int block_component[max_blocks_per_mcu] = {};
  for (int c = 0; c < layout.components; ++c) {
    const int end = c + 1 < layout.components ? layout.first_block[c + 1] : layout.blocks;
    for (int b = layout.first_block[c]; b < end; ++b) block_component[b] = c;
  }
  int block_col[max_components] = {};
  int block_row[max_components] = {};
  for (int c = 0; c < frame.component_count; ++c) block_row[c] = row * frame.v_factor[c];
  for (int m = 0; m < frame_mcus_per_row; ++m) {
    int h_off = 0;
    int v_off = 0;
    for (int b = 0; b < layout.blocks; ++b) {
      const int c = block_component[b];
      const int x = block_col[c] + h_off;
      const int y = block_row[c] + v_off;
      std::int16_t* block = coefficients + 64 * b;
      const std::int16_t* stored = ac_block_at(ac_coefficient_store[c], x, y);

      // The extent is 1 + the highest zig-zag index holding a non-zero
      // coefficient (1 when none beyond the DC term does), so the stored
      // block's non-zero set (position 0 is never written) tells it. Every
      // coefficient is multiplied, which leaves zeros zero and runs as whole
      // vectors, reading the store, not the copy: a load over the copy just
      // written in pieces would wait for the stores to drain.
      const std::uint64_t nonzero = nonzero_at(ac_coefficient_store[c], x, y);
      extents[b] = nonzero != 0 ? 64 - std::countl_zero(nonzero) : 1;
      for (int i = 0; i < 64; ++i) block[i] = static_cast<std::int16_t>(stored[i] * quant[c][i]);
      block[0] = static_cast<std::int16_t>(*dc_value_at(dc_coefficient_store[c], x, y) * quant[c][0]);
      step_block(interleaved, frame.h_factor[c], frame.v_factor[c], h_off, v_off, block_col[c]);
    }
    transform_mcu_at(kernels, layout, scale_shift, coefficients, extents, samples, m, frame_mcus_per_row);
  }
}

}  // namespace jpeg
