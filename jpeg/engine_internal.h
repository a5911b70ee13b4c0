// Internal to the decoder: the engine's state and the types and helpers
// shared by the stage sources (engine.cpp, input.cpp, markers.cpp, setup.cpp,
// huffman.cpp, sequential.cpp, progressive.cpp, threads.cpp, row_output.cpp
// and entry_points.cpp). Callers of the decoder never need this header.
#ifndef JPEG_ENGINE_INTERNAL_H
#define JPEG_ENGINE_INTERNAL_H

#include "jpeg_decoder.h"

#include <cstdint>

#if defined(__GNUC__)
#define JPEG_ALWAYS_INLINE inline __attribute__((always_inline))
#define JPEG_ALWAYS_INLINE_LAMBDA __attribute__((always_inline))
#else
#define JPEG_ALWAYS_INLINE inline
#define JPEG_ALWAYS_INLINE_LAMBDA
#endif

namespace jpeg {

// Thrown only by abort_decode and caught by the public operation that was
// entered; it never leaves the decoder.
struct decode_abort {
  int code;
};

// One heap allocation: this header, then `capacity` bytes handed out from the
// front in 4-byte steps.
struct pool_block {
  pool_block* next;
  std::uint32_t used;
  std::uint32_t capacity;
};

inline constexpr std::uint32_t pool_min_capacity = 32512;
inline constexpr std::uint32_t pool_capacity_step = 2048;

namespace detail {
// How many more pool allocations on this thread succeed before they fail
// as on a heap with nothing left; -1 for no end. The tests set it through
// the pool's injected faults.
extern thread_local int pool_allocations_left;
}  // namespace detail

// The memory of one decode: heap blocks whose bytes are handed out from the
// front, all given back at once.
class decode_pool {
 public:
  decode_pool() = default;
  ~decode_pool() { release(); }
  decode_pool(const decode_pool&) = delete;
  decode_pool& operator=(const decode_pool&) = delete;

  // `size` bytes, 4-byte aligned, zeroed when asked; null when the heap has
  // none left or the size is too close to 2^32 to round up.
  void* allocate(std::uint32_t size, bool zero) noexcept;
  void release() noexcept;
  // The blocks, the newest first.
  const pool_block* blocks() const { return newest; }

 private:
  pool_block* newest = nullptr;
};

// A grid of coefficient blocks in pool memory, zeroed at creation. Stores
// of 8 x 8 blocks also keep, per block, which coefficients are non-zero
// (bit k: zig-zag index k), kept up to date by every write, and per block
// row the union of its blocks' sets (which may keep a bit that a block
// lost); null for the others.
struct coefficient_store {
  std::int16_t* coefficients;
  std::uint64_t* nonzero;
  std::uint64_t* row_nonzero;
  int blocks_across;
  int blocks_down;
  int block_width;
  int block_height;
  int block_bytes;
};

// Huffman table slots: the DC tables' destinations 0..3, then the AC
// tables' at 4..7.
inline constexpr int huffman_first_ac_slot = 4;
constexpr bool is_dc_table_slot(int slot) { return slot < huffman_first_ac_slot; }

// Marker codes the parser acts on.
namespace marker {
inline constexpr int tem = 0x01;
inline constexpr int sof0 = 0xC0;
inline constexpr int sof1 = 0xC1;
inline constexpr int sof2 = 0xC2;
inline constexpr int sof3 = 0xC3;
inline constexpr int dht = 0xC4;
inline constexpr int sof5 = 0xC5;
inline constexpr int sof7 = 0xC7;
inline constexpr int jpg = 0xC8;
inline constexpr int sof9 = 0xC9;
inline constexpr int sof11 = 0xCB;
inline constexpr int dac = 0xCC;
inline constexpr int sof13 = 0xCD;
inline constexpr int sof15 = 0xCF;
inline constexpr int rst0 = 0xD0;
inline constexpr int rst7 = 0xD7;
inline constexpr int soi = 0xD8;
inline constexpr int eoi = 0xD9;
inline constexpr int sos = 0xDA;
inline constexpr int dqt = 0xDB;
inline constexpr int dri = 0xDD;
}  // namespace marker

struct huffman_decode_table;
struct row_ring;
struct band_read;

// The five accepted component layouts: one grey component, or three whose
// first (luma) is sampled h x v and the other two (Cb, Cr) 1 x 1.
enum class component_layout : int { grey, h1v1, h2v1, h1v2, h2v2 };
inline constexpr int component_layout_count = 5;

// What the marker parser (markers.cpp) reads, as values the engine keeps:
// the tables defined so far, the frame header and the current scan header.
inline constexpr int max_components = 4;
inline constexpr int huffman_slots = 8;
inline constexpr int quant_slots = 4;

// Null where no segment defined the slot yet. A Huffman slot holds the
// counts of codes per length at [1..16] and the symbols; a quantisation
// table its 64 steps in zig-zag order.
struct parsed_tables {
  std::uint8_t* huffman_counts[huffman_slots] = {};
  std::uint8_t* huffman_symbols[huffman_slots] = {};
  std::int16_t* quant[quant_slots] = {};
  std::uint16_t restart_interval = 0;
};

// Per component, in frame order: its id, sampling factors and quantisation
// table slot.
struct parsed_frame {
  int width = 0;
  int height = 0;
  int component_count = 0;
  bool progressive = false;
  int component_id[max_components] = {};
  int h_factor[max_components] = {};
  int v_factor[max_components] = {};
  int quant_slot[max_components] = {};
};

// components[k]: the frame index of the scan's k-th component; the table
// slots are indexed by frame index. A sequential scan covers the whole band
// (0..63) whatever its header says.
struct parsed_scan {
  int component_count = 0;
  int components[max_components] = {};
  int dc_slot[max_components] = {};
  int ac_slot[max_components] = {};
  int spectral_first = 0;
  int spectral_last = 0;
  int approx_high = 0;
  int approx_low = 0;
};

// Everything a layout fixes about its MCUs, for the set-up, the block
// decoders, the MCU transform, the converters and the row output; each
// reads it here rather than deriving it.
//
// Coefficient blocks of an MCU are in frame order: the luma blocks row by
// row, then Cb, then Cr. Its sample blocks are the same, except where the
// chroma is upsampled in the frequency domain: each chroma block then gives
// as many sample blocks as luma has, laid out as luma's, so that a pixel's
// chroma sample lies a fixed distance after its luma sample.
struct layout_facts {
  component_layout layout;
  int components;
  int luma_h, luma_v;  // luma's sampling factors
  bool upsampled;      // chroma upsampled in the frequency domain
  int blocks;          // coefficient blocks per MCU
  int first_block[3];  // per component, its first coefficient block
  int mcu_width, mcu_height;
  int sample_blocks;  // sample blocks per MCU
  int cb_samples;     // the first Cb and Cr sample blocks
  int cr_samples;
  int pixel_bytes;    // output bytes per pixel
  bool paired_lines;  // chroma rows serve two lines, converted at once
};

constexpr layout_facts describe_layout(component_layout layout, int components, int h, int v, bool upsampled) {
  layout_facts f{};
  f.layout = layout;
  f.components = components;
  f.luma_h = h;
  f.luma_v = v;
  f.upsampled = upsampled;
  f.blocks = h * v + components - 1;
  for (int c = 1; c < components; ++c) f.first_block[c] = h * v + c - 1;
  f.mcu_width = 8 * h;
  f.mcu_height = 8 * v;
  const int chroma_sample_blocks = upsampled ? h * v : 1;
  f.sample_blocks = h * v + (components - 1) * chroma_sample_blocks;
  f.cb_samples = h * v;
  f.cr_samples = h * v + chroma_sample_blocks;
  f.pixel_bytes = components == 1 ? 1 : 4;
  f.paired_lines = components > 1 && v == 2 && !upsampled;
  return f;
}

// Indexed by component_layout. Only h2v2 chroma is upsampled in the
// frequency domain.
inline constexpr layout_facts layout_table[component_layout_count] = {
    describe_layout(component_layout::grey, 1, 1, 1, false), describe_layout(component_layout::h1v1, 3, 1, 1, false),
    describe_layout(component_layout::h2v1, 3, 2, 1, false), describe_layout(component_layout::h1v2, 3, 1, 2, false),
    describe_layout(component_layout::h2v2, 3, 2, 2, true),
};
constexpr const layout_facts& facts_of(component_layout layout) { return layout_table[static_cast<int>(layout)]; }

constexpr bool layout_rows_in_enum_order() {
  for (int i = 0; i < component_layout_count; ++i) {
    if (layout_table[i].layout != static_cast<component_layout>(i)) return false;
  }
  return true;
}
static_assert(layout_rows_in_enum_order());
// A few rows checked against the layouts as drawn by hand.
static_assert(facts_of(component_layout::h2v2).sample_blocks == 12 && facts_of(component_layout::h2v2).blocks == 6 &&
              facts_of(component_layout::h1v1).cr_samples == 2 && facts_of(component_layout::h1v2).paired_lines);

constexpr int most_blocks_per_mcu() {
  int most = 0;
  for (const layout_facts& row : layout_table) most = row.blocks > most ? row.blocks : most;
  return most;
}

// The bit reader over the input buffer: one type for the engine and for the
// block decoders, which hold a copy in locals for a row or a block and put
// it back before anything else reads the input. Its operations and
// invariants are in the decoder's internal bit_reader.h.
struct bit_reader {
  std::uint64_t window;
  std::int64_t fill_at;
  std::uint8_t* cursor;
  std::uint8_t* end;
  const std::uint8_t* plain_end;
};

// JFIF YCbCr -> RGB in 16-bit fixed point, indexed by the 8-bit chroma value.
// Part of the engine's state, so that they take nothing from its pool.
struct colour_tables {
  std::int32_t cr_to_red[256];
  std::int32_t cb_to_blue[256];
  std::int32_t cr_to_green[256];  // unshifted, units of 2^-16
  std::int32_t cb_to_green[256];  // unshifted, carries the rounding half
};

// All state of one decode, behind jpeg_decoder_engine's handle; the entry
// points hold one on their own stack. Holds its fixed-size buffers itself
// and takes everything image-sized from its own pool.
class engine_core {
 public:
  // As jpeg_decoder_engine's operations of the same names.
  engine_core(jpeg_decoder_stream* stream, const decoder_limits& limits) noexcept;
  ~engine_core();
  engine_core(const engine_core&) = delete;
  engine_core& operator=(const engine_core&) = delete;

  int status() const { return status_; }
  // The output's size: the frame's at the decode's scale, rounded up.
  int width() const { return scaled(frame.width); }
  int height() const { return scaled(frame.height); }
  int component_count() const { return frame.component_count; }

  int set_scale(int denominator) noexcept;
  int start_decoding() noexcept;
  int decode_row(const std::uint8_t** line, std::uint32_t* length) noexcept;
  // decode_row that writes the line's row_bytes straight into `row`; for the
  // decode-into-buffer entry points when the layouts agree.
  int decode_row_into(std::uint8_t* row) noexcept;

  static constexpr int input_pushback_bytes = 128;
  static constexpr int input_buffer_bytes = 8192;
  static constexpr int max_blocks_per_mcu = 10;
  static_assert(most_blocks_per_mcu() <= max_blocks_per_mcu);

 private:
  friend struct engine_test_access;  // white-box tests of the stages
  friend struct engine_work_access;  // the tests of bounded work
  enum class bit_mode { raw, entropy };

  // Object, pool and the one stop (engine.cpp).
  [[noreturn]] void abort_decode(int code);
  void* pool_alloc(std::uint32_t size, bool zero);
  void* pool_alloc_array(std::uint32_t count, std::uint32_t element_size, bool zero);
  void release_pool();

  // Input buffer and bit reader (input.cpp; hot parts inline in bit_reader.h).
  void fill_input_buffer();
  int read_byte();
  int read_byte_flagged(bool& synthesised);
  void unread_byte(int b);
  int read_entropy_byte();
  std::uint32_t read_bits(int n);
  inline std::uint32_t read_bits_scan(int n);
  inline std::uint32_t next_entropy_pair(bit_reader& reader);
  std::uint32_t next_entropy_pair_slow();
  [[noreturn]] inline void abort_with_reader(const bit_reader& reader, int code);
  void reload_bit_window(bit_mode mode);
  void prime_scan_bits();

  // Marker parsing (markers.cpp).
  void find_frame_header();
  bool find_scan_header();
  void find_end_of_image();
  int walk_markers();
  int next_marker_code();
  void find_start_of_image();
  void read_huffman_segment();
  void read_quant_segment();
  void read_restart_interval();
  void skip_segment();
  void read_frame_header();
  void read_scan_header();

  // Frame and scan set-up (setup.cpp).
  void reset_state(jpeg_decoder_stream* new_stream);
  void prepare_decoding();
  void setup_frame();
  component_layout frame_layout();
  void setup_sequential();
  bool setup_scan();
  void compute_mcu_layout();
  // Fails unless every table the scan names is defined (its DC tables hold
  // only magnitude sizes); then builds the decoding tables of the slots
  // that were defined or changed since they were last built.
  void check_scan_huffman_tables();
  void build_changed_huffman_tables();
  void check_scan_quant_tables();
  coefficient_store* create_coefficient_store(int across, int down, int block_width, int block_height);

  // Baseline block decoding of every sequential scan, and the restart
  // resync that progressive scans share (sequential.cpp).
  // With a row of coefficient blocks and their extents to fill, the row is
  // only entropy-decoded into them; without, it goes on into mcu_samples.
  void decode_baseline_mcu_row(std::int16_t* row_coefficients = nullptr, int* row_extents = nullptr);
  template <component_layout Layout, bool EntropyOnly>
  void decode_baseline_mcu_row_as(std::int16_t* row_coefficients, int* row_extents);
  void reconstruct_sequential_row(const std::int16_t* coefficients, const int* extents, std::uint8_t* samples) const;
  struct block_plan;
  struct block_steps;
  inline int decode_block(bit_reader& reader, const block_plan& plan, std::int32_t& predictor, std::int16_t* block);
  // The marker in front of the next restart interval, then the state that
  // the interval begins with.
  void resync_at_restart();
  void pass_restart_marker();
  void begin_restart_interval();
  // A band of rows read ahead by another engine (threads.h): this engine
  // begins one just past the restart marker of code `marker_code` in
  // `input`, with the tables and scan of `serial`, which reads in order;
  // that one takes it in place of reading the band's rows when its own
  // reading of the marker in front of the band ends where the band began.
  void begin_band(const engine_core& serial, jpeg_decoder_mem_stream* input, int marker_code);
  bool take_band(const band_read& band);

  // Progressive decoding (progressive.cpp): every scan into the coefficient
  // stores during start_decoding, then one MCU row at a time out of them.
  struct scan_bits;
  using block_decoder = void (engine_core::*)(scan_bits& bits, int c, int x, int y);
  void decode_progressive_scans();
  enum class band_runs { none, initial, refinement };
  template <block_decoder decode_block, band_runs runs = band_runs::none>
  void decode_scan_blocks();
  // A scan's walks over its blocks, and one AC refinement block's state.
  void check_scan_inside_stores();
  template <block_decoder decode_block, band_runs runs>
  void decode_component_scan();
  template <block_decoder decode_block>
  void decode_interleaved_scan();
  template <bool refinement>
  inline int pass_end_of_band_run(const bit_reader& r, int c, int x, int y, std::uint64_t band, bool ones_end_band);
  struct band_refinement;
  inline bool only_ones_left(const bit_reader& r) const;
  void count_block_without_data(bit_reader r, std::uint32_t cost);
  bool ones_are_end_of_band(int c) const;
  // An end-of-band run that lasts to the end of the scan or the next restart.
  static constexpr std::int32_t endless_run = INT32_MAX;
  inline void dc_initial_block(scan_bits& bits, int c, int x, int y);
  inline void dc_refinement_block(scan_bits& bits, int c, int x, int y);
  inline void ac_initial_block(scan_bits& bits, int c, int x, int y);
  inline void ac_refinement_block(scan_bits& bits, int c, int x, int y);
  void reconstruct_progressive_row(int row, std::uint8_t* samples) const;
  void read_progressive_scans();
  // The unit a scan belongs to: the DC scans form one, the AC scans of each
  // component one each. Scans of different units touch different
  // coefficients, so the units may be read in any order.
  int scan_unit() const { return scan.spectral_first == 0 ? 0 : 1 + scan.components[0]; }
  // Passes over the entropy-coded data of a scan that another engine reads
  // (input.cpp).
  void skip_scan_data();
  // The offset of the next byte to read in the caller's memory, from where
  // its stream stood when the decode began; and a move forward to another
  // (input.cpp). Only for an engine reading a jpeg_decoder_mem_stream.
  std::uint32_t input_offset() const;
  void advance_input_to(std::uint32_t offset);

  // Rows on several threads (threads.cpp): workers lent by the process's
  // pool share the rows with the caller through a ring of MCU rows.
  friend struct row_threads;
  bool rows_worth_sharing() const;
  bool start_row_threads(bool whole_picture);
  void share_bands(row_ring& r) const;
  void overlap_last_scan();
  void publish_rows_of_scan(bool last);
  inline bool publishing_rows() const;
  void drop_overlapped_rows();
  void publish_final_rows(int rows);
  void stop_row_threads() noexcept;
  std::uint8_t* take_threaded_row(int row);
  bool failures_deferred() const;
  // A progressive picture in memory: a second engine on a worker reads the
  // scans of some units while this one reads the others.
  void share_scans();
  void read_scans_shared_with(engine_core& owner);
  void finish_shared_scans();
  bool decode_again_on_one_thread();

  // Row output (row_output.cpp).
  bool start_next_line() noexcept;
  bool line_already_converted() const;
  void convert_mcus(int first, int count, std::uint8_t* out, std::uint8_t* second);

  // Huffman tables and symbol decoding (huffman.cpp; decoders inline in
  // huffman.h).
  inline int decode_huffman(const huffman_decode_table& table);
  inline int decode_huffman(const huffman_decode_table& table, std::uint32_t& extra);

  decoder_limits limits;
  // The output is the picture at 1 / 2^scale_shift of its size (0..3); the
  // caller's choice, kept when a decode is done again.
  int scale_shift = 0;
  int scaled(int size) const {
    return static_cast<int>((static_cast<unsigned>(size) + (1u << scale_shift) - 1) >> scale_shift);
  }

  // Exit and status.
  int status_ = 0;
  bool decoding_started = false;

  decode_pool pool;

  // Input and bits.
  jpeg_decoder_stream* stream = nullptr;
  alignas(16) std::uint8_t input_storage[input_pushback_bytes + input_buffer_bytes];
  bool end_of_stream = false;
  std::uint8_t end_byte_toggle = 0;
  bit_reader bits = {};
  // The entropy reader stopped in front of a marker since the scan or the
  // restart interval began.
  bool met_marker = false;

  // What the marker parser read.
  parsed_tables tables;
  parsed_frame frame;
  parsed_scan scan;

  // Frame layout. The output's MCUs are the frame's, or at a scale below 1
  // the 8-pixel columns of the scaled rows (transform_mcu_scaled), of
  // mcu_width x mcu_height pixels, output_mcus_per_row of them per row.
  component_layout scan_type = component_layout::grey;
  int mcu_width = 0;
  int mcu_height = 0;
  int output_mcus_per_row = 0;
  int frame_mcus_per_row = 0;
  int frame_mcus_per_column = 0;
  int frame_blocks_per_mcu = 0;
  int blocks_per_row = 0;
  int sample_blocks_per_row = 0;
  bool upsample_in_frequency_domain = false;
  int output_pixel_bytes = 0;
  int row_bytes = 0;
  int padded_row_bytes = 0;

  // Scan layout.
  int component_width_blocks[max_components] = {};
  int component_height_blocks[max_components] = {};
  int scan_mcus_per_row = 0;
  int scan_mcus_per_column = 0;
  int scan_blocks_per_mcu = 0;
  int mcu_block_components[max_blocks_per_mcu] = {};

  // Working buffers.
  std::int16_t* mcu_coefficients = nullptr;
  int block_extent[max_blocks_per_mcu] = {};
  std::uint8_t* mcu_samples = nullptr;
  std::uint8_t* output_line = nullptr;
  std::uint8_t* second_output_line = nullptr;

  // Output progress.
  int lines_remaining = 0;
  int mcu_lines_remaining = 0;

  // Huffman decoding tables, and the counts and symbols each was built from.
  huffman_decode_table* huffman_lookup[huffman_slots] = {};
  std::uint8_t* huffman_built_from[huffman_slots] = {};

  // Sequential decoding.
  std::int32_t dc_predictor[max_components] = {};
  std::int32_t restart_countdown = 0;
  int expected_restart_index = 0;

  // Progressive decoding.
  coefficient_store* dc_coefficient_store[max_components] = {};
  coefficient_store* ac_coefficient_store[max_components] = {};
  std::int32_t end_of_band_run = 0;
  // Blocks handed to a block decoder, over all scans: the measure of the
  // scan loops' work that the tests bound; those of them decoded after
  // their scan's data ended, weighed by their cost; the frame's blocks over
  // all components; scans begun.
  std::uint64_t blocks_decoded = 0;
  std::uint64_t blocks_without_data = 0;
  std::uint64_t frame_blocks = 0;
  std::uint64_t scans_started = 0;
  // Per component, the zig-zag positions whose last bit has been read.
  std::uint64_t coefficients_final[max_components] = {};

  // Colour tables.
  colour_tables colour;

  // The ring between the threads of this decode; null while one thread
  // decodes.
  row_ring* ring = nullptr;

  // The scans shared with a second engine. A shared decode gives exactly
  // what one engine reading every scan gives, or else it is done again so.
  struct shared_scans {
    // The caller's memory stream, where it stood when the decode began, and
    // the bytes left in it then; none for other streams.
    jpeg_decoder_mem_stream* memory = nullptr;
    std::uint32_t first_position = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
    // Bit u: this engine passes over the scans of unit u.
    unsigned skipped_units = 0;
    bool active = false;
    // Set by the second engine under the ring's lock (or on this thread):
    // it has read its scans; it failed or met the end of a scan's data
    // before the scan's end, where one engine reading every scan might
    // have decided otherwise.
    bool done = false;
    bool differs = false;
    std::uint64_t blocks_decoded = 0;
    std::uint64_t blocks_without_data = 0;
  } shared;
};

// The decoder's tests reach an engine's state through its handle.
struct engine_handle {
  static engine_core& core(jpeg_decoder_engine& e) { return *e.core; }
  static const engine_core& core(const jpeg_decoder_engine& e) { return *e.core; }
};

// Two's-complement arithmetic for the signed 32-bit signal path: hostile
// input can push sums and products past 32 bits, and they must wrap the way
// the hardware does rather than be undefined.
inline std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline std::int32_t wrap_sub(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
inline std::int32_t wrap_mul(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}
// Left shift of a possibly negative value, as the hardware does it.
inline std::int32_t wrap_shl(std::int32_t a, int n) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) << n);
}

}  // namespace jpeg

#endif
