// Shared by the jpeg_*_test sources: white-box access to the decoder's
// stages, test streams and builders for hand-made JPEG byte strings.
#ifndef TESTS_JPEG_TEST_SUPPORT_H
#define TESTS_JPEG_TEST_SUPPORT_H

#include "engine_internal.h"
#include "huffman.h"
#include "jpeg_decoder.h"
#include "jpeg_reference.h"
#include "threads.h"

#include "test_support.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace jpeg {

// Reaches the private stage operations of an engine, for what no public
// operation shows. Calls that can fail throw decode_abort, which abort_code
// turns into the code.
struct engine_test_access {
  using engine = jpeg_decoder_engine;
  static engine_core& core(engine& e) { return engine_handle::core(e); }
  static const engine_core& core(const engine& e) { return engine_handle::core(e); }

  template <class F>
  static int abort_code(F&& f) {
    try {
      f();
    } catch (const decode_abort& a) {
      return a.code;
    }
    return 0;
  }

  // The input stage: its reads are operations of the engine over its own
  // buffer, which the bit reader's tests take bit by bit.
  static void reset(engine& e, jpeg_decoder_stream* s) { core(e).reset_state(s); }
  static std::uint32_t read_bits(engine& e, int n) { return core(e).read_bits(n); }
  static std::uint32_t read_bits_scan(engine& e, int n) { return core(e).read_bits_scan(n); }
  static int read_byte(engine& e) { return core(e).read_byte(); }
  static int read_entropy_byte(engine& e) { return core(e).read_entropy_byte(); }
  static void prime_scan_bits(engine& e) { core(e).prime_scan_bits(); }
  static int spare_bits(const engine& e) { return jpeg::spare_bits(core(e).bits); }
  static std::uint32_t bit_window(const engine& e) { return static_cast<std::uint32_t>(core(e).bits.window >> 32); }
  // Input the reader has taken from the stream but not consumed: the rest of
  // the buffer and the whole bytes in the bit window.
  static std::size_t unconsumed_input(const engine& e) {
    return static_cast<std::size_t>(core(e).bits.end - core(e).bits.cursor) +
           static_cast<std::size_t>((16 + spare_bits(e)) / 8);
  }

  // The one stop and the memory a decode holds, which no operation reports.
  // Whether the engine may still read its stream; a failure lets it go,
  // which no public operation shows while none reads after a failure.
  static bool stream_attached(const engine& e) { return core(e).stream != nullptr; }
  // Heap bytes held by the pool: every block's header and data area.
  static std::size_t pool_bytes(const engine& e) {
    std::size_t total = 0;
    for (const pool_block* b = core(e).pool.blocks(); b != nullptr; b = b->next)
      total += sizeof(pool_block) + b->capacity;
    return total;
  }
  // Heap bytes of the ring between the threads, 0 without one.
  static std::size_t ring_bytes(const engine& e) {
    return core(e).ring == nullptr ? 0 : sizeof(jpeg::row_ring) + core(e).ring->bytes();
  }
  [[noreturn]] static void abort_decode(engine& e, int code) { core(e).abort_decode(code); }

  static int decode(engine& e, const huffman_decode_table& t) { return core(e).decode_huffman(t); }
  static int decode(engine& e, const huffman_decode_table& t, std::uint32_t& extra) {
    return core(e).decode_huffman(t, extra);
  }

  // What the marker parser read and the layout set up from it, for the
  // header tests that compare them field by field with the reference's
  // reading and with hand-made headers. setup_frame and setup_scan read a
  // progressive picture's scan headers one at a time.
  static void setup_frame(engine& e) { core(e).setup_frame(); }
  static bool setup_scan(engine& e) { return core(e).setup_scan(); }
  static const std::uint8_t* huffman_counts(const engine& e, int slot) { return core(e).huffman_counts[slot]; }
  static const std::uint8_t* huffman_symbols(const engine& e, int slot) { return core(e).huffman_symbols[slot]; }
  static const std::int16_t* quant_table(const engine& e, int slot) { return core(e).quant_tables[slot]; }
  static const huffman_decode_table* lookup(const engine& e, int slot) { return core(e).huffman_lookup[slot]; }
  static int restart_interval(const engine& e) { return core(e).restart_interval; }
  static bool is_progressive(const engine& e) { return core(e).is_progressive; }
  static int component_id(const engine& e, int i) { return core(e).component_id[i]; }
  static int h_factor(const engine& e, int i) { return core(e).component_h_factor[i]; }
  static int v_factor(const engine& e, int i) { return core(e).component_v_factor[i]; }
  static int quant_slot(const engine& e, int i) { return core(e).component_quant_slot[i]; }
  static int scan_component_count(const engine& e) { return core(e).scan_component_count; }
  static int scan_component(const engine& e, int k) { return core(e).scan_components[k]; }
  static int dc_slot(const engine& e, int j) { return core(e).component_dc_slot[j]; }
  static int ac_slot(const engine& e, int j) { return core(e).component_ac_slot[j]; }
  static int spectral_first(const engine& e) { return core(e).spectral_first; }
  static int spectral_last(const engine& e) { return core(e).spectral_last; }
  static int approx_high(const engine& e) { return core(e).approx_high; }
  static int approx_low(const engine& e) { return core(e).approx_low; }

  static component_layout scan_type(const engine& e) { return core(e).scan_type; }
  static int frame_mcus_per_row(const engine& e) { return core(e).frame_mcus_per_row; }
  static int blocks_per_row(const engine& e) { return core(e).blocks_per_row; }
  static int row_bytes(const engine& e) { return core(e).row_bytes; }
  static int padded_row_bytes(const engine& e) { return core(e).padded_row_bytes; }
  static bool upsample_in_frequency_domain(const engine& e) { return core(e).upsample_in_frequency_domain; }
  static int scan_mcus_per_row(const engine& e) { return core(e).scan_mcus_per_row; }
  static int scan_mcus_per_column(const engine& e) { return core(e).scan_mcus_per_column; }
  static int scan_blocks_per_mcu(const engine& e) { return core(e).scan_blocks_per_mcu; }
  static int mcu_block_component(const engine& e, int i) { return core(e).mcu_block_components[i]; }

  // Progressive coefficient stores: the stored (not dequantised) values,
  // for the tests of single passes and of the stores' non-zero sets.
  static const coefficient_store* ac_store(const engine& e, int c) { return core(e).ac_coefficient_store[c]; }
  static const std::int16_t* ac_at(const engine& e, int c, int x, int y) {
    return coefficient_block_at(core(e).ac_coefficient_store[c], x, y);
  }
};

}  // namespace jpeg

// Hands out its bytes in chunks of a fixed size (at most what is asked),
// reports the end only on a call that finds nothing left, and can be told to
// fail on its n-th call.
class chunk_stream : public jpeg::jpeg_decoder_stream {
 public:
  explicit chunk_stream(byte_string data, int chunk = 1 << 30, int fail_on_call = -1)
      : data_(std::move(data)), chunk_(chunk), fail_on_call_(fail_on_call) {}
  int read_bytes(std::uint8_t* buffer, int n, bool* end_flag) override {
    ++calls;
    if (calls == fail_on_call_) return -1;
    std::size_t count = std::min<std::size_t>(
        {static_cast<std::size_t>(n), static_cast<std::size_t>(chunk_), data_.size() - position_});
    if (count == 0) *end_flag = true;
    std::copy(data_.begin() + static_cast<std::ptrdiff_t>(position_),
              data_.begin() + static_cast<std::ptrdiff_t>(position_ + count), buffer);
    position_ += count;
    return static_cast<int>(count);
  }
  int calls = 0;

 private:
  byte_string data_;
  std::size_t position_ = 0;
  int chunk_;
  int fail_on_call_;
};

// Builders for marker segments. Everything is big-endian as in the file.
inline byte_string& operator+=(byte_string& a, const byte_string& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline byte_string operator+(byte_string a, const byte_string& b) { return a += b; }
inline byte_string raw(std::initializer_list<int> v) {
  byte_string b;
  for (int x : v) b.push_back(static_cast<std::uint8_t>(x));
  return b;
}
// A segment whose length field is right for its payload.
inline byte_string segment(int code, const byte_string& payload) {
  const std::size_t length = payload.size() + 2;
  return raw({0xFF, code, static_cast<int>(length >> 8), static_cast<int>(length & 255)}) + payload;
}
inline byte_string soi() { return raw({0xFF, 0xD8}); }
inline byte_string eoi() { return raw({0xFF, 0xD9}); }

struct frame_component {
  int id, h, v, quant;
};
inline byte_string frame_header(int code, int width, int height, const std::vector<frame_component>& components,
                                int precision = 8) {
  byte_string p =
      raw({precision, height >> 8, height & 255, width >> 8, width & 255, static_cast<int>(components.size())});
  for (const frame_component& c : components) p += raw({c.id, (c.h << 4) | c.v, c.quant});
  return segment(code, p);
}
inline byte_string quant_table_8(int id, int value = 1) {
  byte_string p = raw({id});
  p.insert(p.end(), 64, static_cast<std::uint8_t>(value));
  return p;
}
inline byte_string dqt(int id) { return segment(0xDB, quant_table_8(id)); }

// One table of a DHT segment: class/id byte, 16 counts, the symbols.
inline byte_string huffman_table(int class_id, const std::vector<int>& counts16, const byte_string& symbols) {
  byte_string p = raw({class_id});
  for (int c : counts16) p.push_back(static_cast<std::uint8_t>(c));
  return p + symbols;
}
// DC table: symbols 0..11 with the standard luminance lengths.
inline byte_string dc_table(int class_id) {
  return huffman_table(class_id, {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0},
                       raw({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}
// AC table: end of block and a few run/size symbols.
inline byte_string ac_table(int class_id) {
  return huffman_table(class_id, {1, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, raw({0x00, 0x01, 0x11, 0xF0}));
}
inline byte_string dht(const byte_string& tables) { return segment(0xC4, tables); }

struct scan_component {
  int id, dc, ac;
};
inline byte_string scan_header(const std::vector<scan_component>& components, int ss = 0, int se = 63, int ah = 0,
                               int al = 0) {
  byte_string p = raw({static_cast<int>(components.size())});
  for (const scan_component& c : components) p += raw({c.id, (c.dc << 4) | c.ac});
  p += raw({ss, se, (ah << 4) | al});
  return segment(0xDA, p);
}

// A small valid sequential grey picture up to its scan header, and the rest.
inline byte_string grey_tables() { return dqt(0) + dht(dc_table(0x00) + ac_table(0x10)); }
inline byte_string grey_frame(int width = 8, int height = 8) {
  return frame_header(0xC0, width, height, {{1, 1, 1, 0}});
}
inline byte_string grey_picture() {
  return soi() + grey_tables() + grey_frame() + scan_header({{1, 0, 0}}) + raw({0x12, 0x34, 0x56}) + eoi();
}
// The same for three components in the given layout of component 0.
inline byte_string colour_picture(int h0, int v0, int width = 37, int height = 23) {
  return soi() + dqt(0) + dqt(1) + dht(dc_table(0x00) + ac_table(0x10) + dc_table(0x01) + ac_table(0x11)) +
         frame_header(0xC0, width, height, {{1, h0, v0, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}) +
         scan_header({{1, 0, 0}, {2, 1, 1}, {3, 1, 1}}) + raw({0x12, 0x34}) + eoi();
}

// Entropy-coded data as an encoder writes them: bits most significant first,
// each 0xFF byte followed by a stuffed 0x00.
struct bit_writer {
  byte_string bytes;
  long total_bits = 0;

  bit_writer& put(std::uint32_t value, int length) {
    total_bits += length;
    for (int i = length - 1; i >= 0; --i) {
      pending_ = pending_ << 1 | ((value >> i) & 1u);
      if (++pending_bits_ == 8) {
        bytes.push_back(static_cast<std::uint8_t>(pending_));
        if (pending_ == 0xFF) bytes.push_back(0x00);
        pending_ = 0;
        pending_bits_ = 0;
      }
    }
    return *this;
  }
  // Fills the last byte with 1 bits, as an encoder does before a marker.
  void pad() {
    while (pending_bits_ != 0) put(1, 1);
  }
  byte_string done() {
    pad();
    return bytes;
  }

 private:
  std::uint32_t pending_ = 0;
  int pending_bits_ = 0;
};

// One code of a Huffman table.
struct code_entry {
  int length;
  std::uint32_t value;
  int symbol;
};

// The canonical codes of a table given as counts[1..16] per length and its
// symbols, assigned plainly: each code is the last plus one, shifted left by
// one for each step to a longer length.
inline std::vector<code_entry> canonical_codes(const std::uint8_t counts[17], const std::uint8_t* symbols) {
  std::vector<code_entry> codes;
  std::uint32_t code = 0;
  int k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < counts[length]; ++i) codes.push_back({length, code++, symbols[k++]});
    code <<= 1;
  }
  return codes;
}

#endif
