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

// What the set-up derived from the frame and the current scan, and the
// decoding tables it built (the arrays are the engine's own): no public
// operation shows the sizes of the buffers and blocks of an MCU row, and a
// fault in them shows in pixels only for some widths, or under a sanitizer.
struct set_up_layout {
  component_layout type;
  int frame_mcus_per_row, blocks_per_row, padded_row_bytes;
  bool upsample_in_frequency_domain;
  int scan_mcus_per_row, scan_mcus_per_column, scan_blocks_per_mcu;
  const int* mcu_block_components;
  const huffman_decode_table* const* lookup;  // by slot, null where not built
};

// What the marker parser read, as the engine keeps it.
struct parsed_headers {
  const parsed_tables& tables;
  const parsed_frame& frame;
  const parsed_scan& scan;
};

// Reaches the stage operations and values of an engine that no public
// operation shows. Calls that can fail throw decode_abort, which
// abort_code turns into the code.
struct engine_test_access {
  using engine = jpeg_decoder_engine;

  // The input stage: its reads are operations of the engine over its own
  // buffer, which the bit reader's tests take bit by bit.
  static void reset(engine& e, jpeg_decoder_stream* s) { engine_handle::core(e).reset_state(s); }
  static std::uint32_t read_bits(engine& e, int n) { return engine_handle::core(e).read_bits(n); }
  static std::uint32_t read_bits_scan(engine& e, int n) { return engine_handle::core(e).read_bits_scan(n); }
  static int read_byte(engine& e) { return engine_handle::core(e).read_byte(); }
  static void prime_scan_bits(engine& e) { engine_handle::core(e).prime_scan_bits(); }
  static int spare_bits(const engine& e) { return jpeg::spare_bits(engine_handle::core(e).bits); }
  // Input the reader has taken from the stream but not consumed: the rest of
  // the buffer and the whole bytes in the bit window.
  static std::size_t unconsumed_input(const engine& e) {
    const bit_reader& bits = engine_handle::core(e).bits;
    return static_cast<std::size_t>(bits.end - bits.cursor) +
           static_cast<std::size_t>((16 + jpeg::spare_bits(bits)) / 8);
  }
  // One symbol, and its magnitude bits into *extra when given.
  static int decode(engine& e, const huffman_decode_table& t, std::uint32_t* extra = nullptr) {
    return extra == nullptr ? engine_handle::core(e).decode_huffman(t)
                            : engine_handle::core(e).decode_huffman(t, *extra);
  }

  // The one stop: no public operation fails twice, since each refuses to
  // work after a failure.
  [[noreturn]] static void abort_decode(engine& e, int code) { engine_handle::core(e).abort_decode(code); }
  // Heap bytes a decode holds, which no operation reports: every block of
  // the pool with its header, and the ring between the threads.
  static std::size_t heap_bytes(const engine& e) {
    const engine_core& core = engine_handle::core(e);
    std::size_t total = core.ring == nullptr ? 0 : sizeof(row_ring) + core.ring->bytes();
    for (const pool_block* b = core.pool.blocks(); b != nullptr; b = b->next) total += sizeof(pool_block) + b->capacity;
    return total;
  }

  // The marker parser's results, for the header tests that compare them
  // with the reference's reading and with hand-made headers.
  static parsed_headers parsed(const engine& e) {
    const engine_core& core = engine_handle::core(e);
    return {core.tables, core.frame, core.scan};
  }
  // Reads and sets up the next scan header of a progressive picture (the
  // frame first, on the first call), which start_decoding would decode to
  // the end; false at the end of the image.
  static bool next_scan(engine& e) {
    engine_core& core = engine_handle::core(e);
    if (core.output_line == nullptr) core.setup_frame();
    return core.setup_scan();
  }
  static set_up_layout layout(const engine& e) {
    const engine_core& core = engine_handle::core(e);
    return {core.scan_type,
            core.frame_mcus_per_row,
            core.blocks_per_row,
            core.padded_row_bytes,
            core.upsample_in_frequency_domain,
            core.scan_mcus_per_row,
            core.scan_mcus_per_column,
            core.scan_blocks_per_mcu,
            core.mcu_block_components,
            core.huffman_lookup};
  }

  // A progressive picture's coefficient store of component c: the stored
  // (not dequantised) values and the non-zero sets kept beside them, which
  // steer the scan loops and show in pixels only for some files.
  static const coefficient_store* ac_store(const engine& e, int c) {
    return engine_handle::core(e).ac_coefficient_store[c];
  }
};

}  // namespace jpeg

// The code that f() aborted with through decode_abort, 0 when it returned.
template <class F>
int abort_code(F&& f) {
  try {
    f();
  } catch (const jpeg::decode_abort& a) {
    return a.code;
  }
  return 0;
}

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
