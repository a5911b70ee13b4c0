// Marker parsing and scan set-up on hand-made byte strings: one string per
// status code, truncations, and the accepted oddities of real files.
#include "jpeg_test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using jpeg::jpeg_decoder_engine;
using access = jpeg::engine_test_access;

struct status_case {
  const char* name;
  byte_string bytes;
  int status;
  bool at_start;  // the failure shows in start_decoding, not construction
};

byte_string counts_of(const std::vector<int>& sixteen) {
  byte_string b;
  for (int c : sixteen) b.push_back(static_cast<std::uint8_t>(c));
  return b;
}

byte_string symbols(int n, int first = 0) {
  byte_string b;
  for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(first + i));
  return b;
}

// SOI, tables, frame, scan for a grey picture; pieces can be swapped out.
byte_string grey_with(const byte_string& tables, const byte_string& frame, const byte_string& scan) {
  return soi() + tables + frame + scan + raw({0x00, 0x11}) + eoi();
}

std::vector<status_case> status_cases() {
  const byte_string t = grey_tables();
  const byte_string f = grey_frame();
  const byte_string s = scan_header({{1, 0, 0}});
  const byte_string sixteen_sixteens = raw({0x00}) + counts_of(std::vector<int>(16, 16)) + symbols(256);
  std::vector<int> sparse(16, 0);
  sparse[14] = 2;    // two 15-bit codes...
  sparse[15] = 253;  // ...and 253 16-bit codes need 261 tree nodes
  std::vector<int> over(16, 0);
  over[0] = 3;  // three 1-bit codes

  return {
      {"huffman counts above 255", soi() + dht(sixteen_sixteens) + f, jpeg::too_many_huffman_symbols, false},
      {"huffman counts over-subscribed", soi() + dht(huffman_table(0x00, over, symbols(3))) + f,
       jpeg::too_many_huffman_symbols, false},
      {"huffman tree too large", soi() + dht(huffman_table(0x10, sparse, symbols(255))) + f,
       jpeg::too_many_huffman_symbols, false},
      {"huffman slot 8", soi() + dht(dc_table(0x14)) + f, jpeg::huffman_slot_out_of_range, false},
      {"huffman AC id 5", soi() + dht(ac_table(0x15)) + f, jpeg::huffman_slot_out_of_range, false},
      {"huffman class bits 5-7", soi() + dht(dc_table(0x20)) + f, jpeg::huffman_slot_out_of_range, false},
      {"huffman class bit 7", soi() + dht(dc_table(0x80)) + f, jpeg::huffman_slot_out_of_range, false},
      {"DHT length 1", soi() + raw({0xFF, 0xC4, 0x00, 0x01}) + f, jpeg::huffman_segment_length_invalid, false},
      {"DHT shorter than its table", soi() + raw({0xFF, 0xC4, 0x00, 2 + 17 + 11}) + dc_table(0x00) + f,
       jpeg::huffman_segment_length_invalid, false},
      {"DQT length 1", soi() + raw({0xFF, 0xDB, 0x00, 0x01}) + f, jpeg::quant_segment_length_invalid, false},
      {"DQT id 4", soi() + segment(0xDB, quant_table_8(4)) + f, jpeg::quant_table_id_out_of_range, false},
      {"DQT id 4 in a short segment", soi() + raw({0xFF, 0xDB, 0x00, 0x03, 0x04}) + f,
       jpeg::quant_table_id_out_of_range, false},
      {"DQT one byte short", soi() + raw({0xFF, 0xDB, 0x00, 2 + 64}) + quant_table_8(0) + f,
       jpeg::quant_table_truncated, false},
      {"DQT 16-bit entries in 65 bytes", soi() + segment(0xDB, raw({0x10}) + byte_string(64, 1)) + f,
       jpeg::quant_table_truncated, false},
      {"precision 12", soi() + t + frame_header(0xC1, 8, 8, {{1, 1, 1, 0}}, 12), jpeg::unsupported_precision, false},
      {"height 0", soi() + t + grey_frame(8, 0), jpeg::height_out_of_range, false},
      {"height 16385", soi() + t + grey_frame(8, 16385), jpeg::height_out_of_range, false},
      {"width 0", soi() + t + grey_frame(0, 8), jpeg::width_out_of_range, false},
      {"width 16385", soi() + t + grey_frame(16385, 8), jpeg::width_out_of_range, false},
      {"five components",
       soi() + t + frame_header(0xC0, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 1, 0}, {5, 1, 1, 0}}),
       jpeg::frame_components_over_four, false},
      {"frame length off by one", soi() + t + raw({0xFF, 0xC0, 0, 12, 8, 0, 8, 0, 8, 1, 1, 0x11, 0, 0}),
       jpeg::frame_header_length_mismatch, false},
      {"APP0 length 1", soi() + raw({0xFF, 0xE0, 0x00, 0x01}) + t + f, jpeg::segment_length_invalid, false},
      {"COM length 0", soi() + raw({0xFF, 0xFE, 0x00, 0x00}) + t + f, jpeg::segment_length_invalid, false},
      {"DRI length 5", soi() + raw({0xFF, 0xDD, 0x00, 0x05, 0x00, 0x01, 0x00}) + t + f,
       jpeg::restart_interval_length_invalid, false},
      {"DAC segment", soi() + segment(0xCC, raw({0x00, 0x11})) + t + f, jpeg::arithmetic_coding_unsupported, false},
      {"SOF9", soi() + t + frame_header(0xC9, 8, 8, {{1, 1, 1, 0}}), jpeg::arithmetic_coding_unsupported, false},
      {"RST between segments", soi() + raw({0xFF, 0xD3}) + t + f, jpeg::marker_out_of_place, false},
      {"TEM", soi() + raw({0xFF, 0x01}) + t + f, jpeg::marker_out_of_place, false},
      {"JPG", soi() + raw({0xFF, 0xC8}) + t + f, jpeg::marker_out_of_place, false},
      {"no SOI in 4096 bytes", byte_string(5000, 0x20) + grey_picture(), jpeg::start_of_image_missing, false},
      {"EOI before SOI", raw({0x00, 0xFF, 0xD9}) + grey_picture(), jpeg::start_of_image_missing, false},
      {"searched SOI without a marker", raw({0x00}) + soi() + raw({0x00}) + t + f, jpeg::start_of_image_missing, false},
      {"SOF3", soi() + t + frame_header(0xC3, 8, 8, {{1, 1, 1, 0}}), jpeg::unsupported_frame_type, false},
      {"SOF10", soi() + t + frame_header(0xCA, 8, 8, {{1, 1, 1, 0}}), jpeg::unsupported_frame_type, false},
      {"SOS before the frame", soi() + t + s + f, jpeg::unsupported_frame_type, false},
      {"second SOI", soi() + t + soi() + f, jpeg::unsupported_frame_type, false},
      {"EOI before the frame", soi() + t + eoi(), jpeg::unsupported_frame_type, false},
      {"cut between segments", soi() + t, jpeg::unsupported_frame_type, false},
      {"quant selector 4", soi() + t + frame_header(0xC0, 8, 8, {{1, 1, 1, 4}}), jpeg::quant_table_missing, false},

      // Scan headers and scan set-up, met by start_decoding.
      {"scan of 0 components", grey_with(t, f, segment(0xDA, raw({0, 0, 63, 0}))), jpeg::scan_header_invalid, true},
      {"scan of 5 components", grey_with(t, f, segment(0xDA, raw({5, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 63, 0}))),
       jpeg::scan_header_invalid, true},
      {"scan length off by one", grey_with(t, f, raw({0xFF, 0xDA, 0, 9, 1, 1, 0, 0, 63, 0, 0})),
       jpeg::scan_header_invalid, true},
      {"scan names a component twice",
       soi() + dqt(0) + dht(dc_table(0x00) + ac_table(0x10)) +
           frame_header(0xC0, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}) +
           scan_header({{1, 0, 0}, {2, 0, 0}, {1, 0, 0}}) + eoi(),
       jpeg::scan_header_invalid, true},
      {"sequential scan without every component",
       soi() + dqt(0) + dht(dc_table(0x00) + ac_table(0x10)) +
           frame_header(0xC0, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}) + scan_header({{1, 0, 0}}) + eoi(),
       jpeg::scan_header_invalid, true},
      {"scan selector not in frame", grey_with(t, f, scan_header({{9, 0, 0}})), jpeg::scan_component_not_in_frame,
       true},
      {"DC selector 8", grey_with(t, f, scan_header({{1, 8, 0}})), jpeg::huffman_table_missing, true},
      {"AC selector 4 (slot 8)", grey_with(t, f, scan_header({{1, 0, 4}})), jpeg::huffman_table_missing, true},
      {"AC selector 15", grey_with(t, f, scan_header({{1, 0, 15}})), jpeg::huffman_table_missing, true},
      {"DC table never defined", grey_with(t, f, scan_header({{1, 1, 0}})), jpeg::huffman_table_missing, true},
      {"AC table never defined", grey_with(dqt(0) + dht(dc_table(0x00)), f, s), jpeg::huffman_table_missing, true},
      {"DC symbol above 15",
       grey_with(dqt(0) + dht(huffman_table(0x00, {0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, raw({0, 16})) +
                              ac_table(0x10)),
                 f, s),
       jpeg::huffman_table_missing, true},
      {"both tables missing", grey_with(raw({}), f, s), jpeg::huffman_table_missing, true},
      {"quant table never defined", grey_with(dht(dc_table(0x00) + ac_table(0x10)), f, s), jpeg::quant_table_missing,
       true},
      {"frame header where a scan belongs", grey_with(t, f, f), jpeg::marker_out_of_place, true},
      {"sequential image without a scan", soi() + t + f + eoi(), jpeg::marker_out_of_place, true},
      {"RST where a scan belongs", soi() + t + f + raw({0xFF, 0xD0}) + s, jpeg::marker_out_of_place, true},
      {"no components", soi() + t + frame_header(0xC0, 8, 8, {}) + s, jpeg::unsupported_component_count, true},
      {"two components", soi() + t + frame_header(0xC0, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}}) + s,
       jpeg::unsupported_component_count, true},
      {"grey 2x2", soi() + t + frame_header(0xC0, 8, 8, {{1, 2, 2, 0}}) + s, jpeg::unsupported_sampling, true},
      {"colour 3x1", colour_picture(3, 1), jpeg::unsupported_sampling, true},
      {"colour 0x1", colour_picture(0, 1), jpeg::unsupported_sampling, true},
      {"chroma 2x2", soi() + t + frame_header(0xC0, 8, 8, {{1, 1, 1, 0}, {2, 2, 2, 0}, {3, 1, 1, 0}}) + s,
       jpeg::unsupported_sampling, true},
  };
}

TEST(JpegMarkers, EveryMalformedHeaderGetsItsOwnCode) {
  for (const status_case& c : status_cases()) {
    chunk_stream stream(c.bytes);
    jpeg_decoder_engine engine(&stream);
    if (c.at_start) {
      ASSERT_EQ(engine.status(), 0) << c.name << ": " << jpeg::status_code_name(engine.status());
      EXPECT_EQ(engine.start_decoding(), -1) << c.name;
    }
    EXPECT_EQ(engine.status(), c.status) << c.name << ": got " << jpeg::status_code_name(engine.status());
  }
}

TEST(JpegMarkers, EveryTruncationFailsCleanlyOrStopsAfterTheFrame) {
  const byte_string whole = soi() + segment(0xE0, raw({'J', 'F', 'I', 'F', 0})) + grey_tables() +
                            segment(0xDD, raw({0, 4})) + grey_frame(33, 17) + scan_header({{1, 0, 0}}) +
                            raw({0x12, 0x34}) + eoi();
  const std::size_t frame_end = whole.size() - 2 - 2 - 10;
  for (std::size_t n = 0; n < whole.size(); ++n) {
    chunk_stream stream(byte_string(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n)));
    jpeg_decoder_engine engine(&stream);
    if (n < frame_end) {
      EXPECT_LT(engine.status(), 0) << n;
    } else {
      EXPECT_EQ(engine.status(), 0) << n;
      EXPECT_EQ(engine.width(), 33);
      engine.start_decoding();  // may fail, must not misbehave
    }
  }
  // A cut between two segments meets the synthesised EOI.
  chunk_stream cut(soi() + grey_tables());
  jpeg_decoder_engine engine(&cut);
  EXPECT_EQ(engine.status(), jpeg::unsupported_frame_type);
}

TEST(JpegMarkers, StartOfImageSearchLimit) {
  for (int junk : {0, 1, 4095, 4096}) {
    chunk_stream stream(byte_string(static_cast<std::size_t>(junk), 0x41) + grey_picture());
    jpeg_decoder_engine engine(&stream);
    EXPECT_EQ(engine.status(), junk <= 4095 ? 0 : jpeg::start_of_image_missing) << junk;
  }
  // At offset 0 the byte after SOI is not examined.
  chunk_stream direct(soi() + raw({0x00, 0x00}) + grey_tables() + grey_frame());
  jpeg_decoder_engine engine(&direct);
  EXPECT_EQ(engine.status(), 0);
}

TEST(JpegMarkers, StuffingFillBytesAndEmptySegmentsBetweenSegments) {
  const byte_string bytes = soi() + raw({0xFF, 0x00, 0x33, 0xFF, 0xFF, 0xFF}) + segment(0xEF, {}) +
                            segment(0xDC, raw({0, 8})) + segment(0xFE, {}) + grey_tables() + grey_frame(5, 7);
  chunk_stream stream(bytes);
  jpeg_decoder_engine engine(&stream);
  EXPECT_EQ(engine.status(), 0);
  EXPECT_EQ(engine.width(), 5);
  EXPECT_EQ(engine.height(), 7);
  EXPECT_EQ(engine.component_count(), 1);
}

TEST(JpegMarkers, TablesAreStoredBySlot) {
  byte_string full_dc(255, 0);
  for (int i = 0; i < 255; ++i) full_dc[i] = static_cast<std::uint8_t>(255 - i);
  std::vector<int> eight_bit(16, 0);
  eight_bit[7] = 255;
  const byte_string wide = raw({0x13}) + byte_string(128, 0);
  byte_string wide_table = wide;
  wide_table[1] = 0x80;  // first entry 0x8000
  wide_table[3] = 0x01;  // second entry 0x0100
  const byte_string bytes =
      soi() + dht(dc_table(0x00) + dc_table(0x01) + dc_table(0x02) + huffman_table(0x03, eight_bit, full_dc)) +
      dht(ac_table(0x10) + dc_table(0x04)) +
      segment(0xDB, quant_table_8(0, 1) + quant_table_8(1, 2) + quant_table_8(2, 3) + wide_table) +
      segment(0xDD, raw({0x01, 0x02})) + grey_frame();
  chunk_stream stream(bytes);
  jpeg_decoder_engine engine(&stream);
  ASSERT_EQ(engine.status(), 0);
  const jpeg::parsed_tables& t = access::parsed(engine).tables;
  for (int slot : {0, 1, 2, 3, 4}) EXPECT_NE(t.huffman_counts[slot], nullptr) << slot;
  for (int slot : {5, 6, 7}) EXPECT_EQ(t.huffman_counts[slot], nullptr) << slot;
  // AC table 0 and DC table id 4 share slot 4; the later definition wins.
  EXPECT_EQ(t.huffman_counts[4][3], 5);  // the later DC table's counts won
  EXPECT_EQ(t.huffman_counts[3][8], 255);
  EXPECT_EQ(t.huffman_symbols[3][254], 1);
  EXPECT_EQ(t.quant[0][63], 1);
  EXPECT_EQ(t.quant[2][0], 3);
  EXPECT_EQ(t.quant[3][0], -32768);
  EXPECT_EQ(t.quant[3][1], 256);
  EXPECT_EQ(t.restart_interval, 0x0102);
}

TEST(JpegMarkers, FrameHeaderFields) {
  chunk_stream stream(soi() + dqt(0) + dqt(1) +
                      frame_header(0xC2, 300, 200, {{7, 2, 1, 0}, {8, 1, 1, 1}, {9, 1, 1, 1}}));
  jpeg_decoder_engine engine(&stream);
  ASSERT_EQ(engine.status(), 0);
  EXPECT_EQ(engine.width(), 300);
  EXPECT_EQ(engine.height(), 200);
  EXPECT_EQ(engine.component_count(), 3);
  const jpeg::parsed_frame& f = access::parsed(engine).frame;
  EXPECT_TRUE(f.progressive);
  EXPECT_EQ(f.component_id[2], 9);
  EXPECT_EQ(f.h_factor[0], 2);
  EXPECT_EQ(f.v_factor[0], 1);
  EXPECT_EQ(f.quant_slot[1], 1);

  chunk_stream extremes(soi() + frame_header(0xC1, 16384, 1, {{1, 1, 1, 0}}));
  jpeg_decoder_engine big(&extremes);
  EXPECT_EQ(big.status(), 0);
  EXPECT_EQ(big.width(), 16384);
  EXPECT_EQ(big.height(), 1);
}

// An engine over a progressive frame header, ready to read scan headers.
struct progressive_scans {
  chunk_stream stream;
  jpeg_decoder_engine engine;
  explicit progressive_scans(const byte_string& after_frame)
      : stream(soi() + dqt(0) + dqt(1) + dht(dc_table(0x00) + dc_table(0x01) + ac_table(0x10) + ac_table(0x11)) +
               frame_header(0xC2, 100, 100, {{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}) + after_frame),
        engine(&stream) {}
};

TEST(JpegMarkers, ScanHeaderFieldsAndLayout) {
  progressive_scans p(scan_header({{1, 0, 0}, {2, 1, 0}, {3, 1, 0}}, 0, 0, 0, 1) +
                      scan_header({{2, 0, 1}}, 1, 63, 2, 1) + raw({0x00}) + eoi());
  ASSERT_EQ(p.engine.status(), 0);
  const jpeg::parsed_scan& scan = access::parsed(p.engine).scan;
  bool found = false;
  ASSERT_EQ(abort_code([&] { found = access::next_scan(p.engine); }), 0);
  ASSERT_TRUE(found);
  EXPECT_EQ(scan.component_count, 3);
  EXPECT_EQ(scan.dc_slot[1], 1);
  EXPECT_EQ(scan.ac_slot[1], 4);
  EXPECT_EQ(scan.approx_low, 1);
  jpeg::set_up_layout layout = access::layout(p.engine);
  EXPECT_EQ(layout.scan_mcus_per_row, 7);
  EXPECT_EQ(layout.scan_mcus_per_column, 7);
  EXPECT_EQ(layout.scan_blocks_per_mcu, 6);
  const int order[6] = {0, 0, 0, 0, 1, 2};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(layout.mcu_block_components[i], order[i]);
  EXPECT_TRUE(layout.upsample_in_frequency_domain);
  EXPECT_NE(layout.lookup[5], nullptr);  // every defined slot is built

  // The second scan: one chroma component, not interleaved. Its data (one
  // zero byte) is skipped by the marker search.
  ASSERT_EQ(abort_code([&] { found = access::next_scan(p.engine); }), 0);
  ASSERT_TRUE(found);
  EXPECT_EQ(scan.components[0], 1);
  EXPECT_EQ(scan.spectral_first, 1);
  EXPECT_EQ(scan.spectral_last, 63);
  EXPECT_EQ(scan.approx_high, 2);
  EXPECT_EQ(scan.ac_slot[1], 5);
  layout = access::layout(p.engine);
  EXPECT_EQ(layout.scan_mcus_per_row, 7);
  EXPECT_EQ(layout.scan_mcus_per_column, 7);
  EXPECT_EQ(layout.scan_blocks_per_mcu, 1);

  ASSERT_EQ(abort_code([&] { found = access::next_scan(p.engine); }), 0);
  EXPECT_FALSE(found);  // EOI
}

TEST(JpegMarkers, SequentialScanAlwaysCoversTheWholeBand) {
  chunk_stream stream(grey_with(grey_tables(), grey_frame(), scan_header({{1, 0, 0}}, 5, 10, 3, 2)));
  jpeg_decoder_engine engine(&stream);
  ASSERT_EQ(engine.start_decoding(), 0);
  const jpeg::parsed_scan& scan = access::parsed(engine).scan;
  EXPECT_EQ(scan.spectral_first, 0);
  EXPECT_EQ(scan.spectral_last, 63);
  EXPECT_EQ(scan.approx_high, 3);
  EXPECT_EQ(scan.approx_low, 2);
}

TEST(JpegMarkers, DuplicateFrameIdsNameTheFirstComponent) {
  chunk_stream stream(soi() + dqt(0) + dht(dc_table(0x00) + ac_table(0x10) + dc_table(0x01)) +
                      frame_header(0xC2, 8, 8, {{5, 1, 1, 0}, {5, 1, 1, 0}, {6, 1, 1, 0}}) +
                      scan_header({{5, 1, 0}}, 0, 0) + eoi());
  jpeg_decoder_engine engine(&stream);
  ASSERT_EQ(engine.status(), 0);
  ASSERT_EQ(abort_code([&] { access::next_scan(engine); }), 0);
  EXPECT_EQ(access::parsed(engine).scan.components[0], 0);
  EXPECT_EQ(access::parsed(engine).scan.dc_slot[0], 1);
}

// A colour picture whose every block is a zero DC difference and an end of
// block (three 0 bits), and the length of the first line a started decode
// hands out (-1 on failure).
byte_string zero_colour_picture(int h0, int v0, int width, int height) {
  byte_string b = colour_picture(h0, v0, width, height);
  b.resize(b.size() - 4);  // without its data and the EOI
  return b + byte_string(4096, 0) + eoi();
}
long first_line_length(jpeg_decoder_engine& engine) {
  const std::uint8_t* line = nullptr;
  std::uint32_t length = 0;
  return engine.decode_row(&line, &length) == 0 ? static_cast<long>(length) : -1;
}

TEST(JpegMarkers, FrameLayouts) {
  // The line length is what decode_row hands out; the rest no operation
  // shows.
  struct {
    int h0, v0, width;
    jpeg::component_layout type;
    int mcus_per_row, row_bytes, padded;
    bool frequency;
  } cases[] = {
      {1, 1, 37, jpeg::component_layout::h1v1, 5, 148, 192, false},
      {2, 1, 37, jpeg::component_layout::h2v1, 3, 148, 192, false},
      {1, 2, 37, jpeg::component_layout::h1v2, 5, 148, 192, false},
      {2, 2, 17, jpeg::component_layout::h2v2, 2, 68, 128, true},
      {1, 2, 16384, jpeg::component_layout::h1v2, 2048, 65536, 65536, false},
  };
  for (const auto& c : cases) {
    chunk_stream stream(zero_colour_picture(c.h0, c.v0, c.width, 9));
    jpeg_decoder_engine engine(&stream);
    ASSERT_EQ(engine.start_decoding(), 0) << jpeg::status_code_name(engine.status());
    const jpeg::set_up_layout layout = access::layout(engine);
    EXPECT_EQ(layout.type, c.type);
    EXPECT_EQ(layout.frame_mcus_per_row, c.mcus_per_row);
    EXPECT_EQ(layout.padded_row_bytes, c.padded);
    EXPECT_EQ(layout.upsample_in_frequency_domain, c.frequency);
    EXPECT_EQ(first_line_length(engine), c.row_bytes);
  }
  chunk_stream wide(colour_picture(1, 2, 16384, 9));
  jpeg_decoder_engine engine(&wide);
  ASSERT_EQ(engine.start_decoding(), 0);
  EXPECT_EQ(access::layout(engine).blocks_per_row, 8192);

  chunk_stream one(soi() + grey_tables() + grey_frame(1, 1) + scan_header({{1, 0, 0}}) + raw({0x00}) + eoi());
  jpeg_decoder_engine tiny(&one);
  ASSERT_EQ(tiny.start_decoding(), 0);
  EXPECT_EQ(access::layout(tiny).padded_row_bytes, 16);
  EXPECT_EQ(first_line_length(tiny), 1);
}

TEST(JpegMarkers, SegmentsAfterTheScanAreStillChecked) {
  // After the entropy-coded data: a table, then a bad segment.
  chunk_stream stream(soi() + grey_tables() + grey_frame() + scan_header({{1, 0, 0}}) + raw({0x12, 0x34}) + dqt(1) +
                      raw({0xFF, 0xE3, 0x00, 0x01}) + eoi());
  jpeg_decoder_engine engine(&stream);
  ASSERT_EQ(engine.start_decoding(), 0);
  // The segments after the data are read with the last MCU row, here the
  // only one, before its lines are handed out.
  const std::uint8_t* line = nullptr;
  std::uint32_t length = 0;
  EXPECT_EQ(engine.decode_row(&line, &length), -1);
  EXPECT_EQ(engine.status(), jpeg::segment_length_invalid);
}

TEST(JpegMarkers, DecodingTablesAreRebuiltAtEveryScan) {
  // A DHT between two progressive scans changes what the second scan uses.
  progressive_scans p(scan_header({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}}, 0, 0) + raw({0x00}) +
                      dht(huffman_table(0x00, {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, raw({7, 9}))) +
                      scan_header({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}}, 0, 0, 1, 0) + eoi());
  ASSERT_EQ(p.engine.status(), 0);
  ASSERT_EQ(abort_code([&] { access::next_scan(p.engine); }), 0);
  EXPECT_EQ(access::layout(p.engine).lookup[0]->first_level[0], 0);  // standard table: 00 is symbol 0
  ASSERT_EQ(abort_code([&] { access::next_scan(p.engine); }), 0);
  EXPECT_EQ(access::layout(p.engine).lookup[0]->first_level[0], 7);
  EXPECT_EQ(access::layout(p.engine).lookup[0]->first_level[255], 9);
}

}  // namespace
