// Progressive decoding on hand-made streams: what each pass stores, the
// order in which scans visit blocks, end-of-band runs, refinements,
// restarts, the refusals, and damaged real files.
#include "jpeg_test_support.h"
#include "kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include <unistd.h>

namespace jpeg {
// The scan loops' work, which the time a decode takes shows only on a quiet
// machine and at sizes too large for a test.
struct engine_work_access {
  static std::uint64_t blocks_decoded(const jpeg_decoder_engine& e) { return engine_handle::core(e).blocks_decoded; }
};
}  // namespace jpeg

namespace {

using jpeg::jpeg_decoder_engine;
using access = jpeg::engine_test_access;

// Every code is 3 bits long: code i is symbol i of the table.
enum dc_code { dc0 = 0, dc1, dc2 };
enum ac_code { eob = 0, s01, eob1, eob2, zrl, s51, s02, s11 };
// Every quantisation step, large enough that a coefficient of 1 shows in
// the samples.
constexpr int quant_step = 16;
byte_string tables() {
  const std::vector<int> eight_of_three = {0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  return segment(0xDB, quant_table_8(0, quant_step)) +
         dht(huffman_table(0x00, eight_of_three, raw({0, 1, 2, 3, 4, 5, 6, 7})) +
             huffman_table(0x10, eight_of_three, raw({0x00, 0x01, 0x10, 0x20, 0xF0, 0x51, 0x02, 0x11})));
}
byte_string grey_progressive(int width, int height, const byte_string& scans) {
  return soi() + tables() + frame_header(0xC2, width, height, {{1, 1, 1, 0}}) + scans + eoi();
}
byte_string colour_progressive(int width, int height, const byte_string& scans) {
  return soi() + tables() + frame_header(0xC2, width, height, {{1, 2, 2, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}) + scans +
         eoi();
}

struct decoded {
  int status = 0;
  int width = 0, height = 0;
  std::vector<std::uint8_t> pixels;
};
decoded decode(const byte_string& bytes, int requested = 1) {
  decoded d;
  jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  int c = 0;
  std::uint8_t* out = jpeg::decode_jpeg_with_status(&stream, &d.width, &d.height, &c, requested, nullptr, &d.status);
  if (out != nullptr) {
    d.pixels.assign(out, out + static_cast<std::size_t>(d.width) * d.height * requested);
    std::free(out);
  } else if (d.status == 0) {
    d.status = 1;  // failed without a code
  }
  return d;
}

// A grey picture one block high whose blocks hold the given coefficients
// (zig-zag order, before quantisation), as an exact decode gives it.
std::vector<std::uint8_t> grey_row_of(const std::vector<std::array<int, 64>>& blocks) {
  const std::size_t width = 8 * blocks.size();
  std::vector<std::uint8_t> pixels(width * 8);
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    std::int16_t coefficients[64] = {};
    for (int k = 0; k < 64; ++k)
      coefficients[jpeg::zigzag_to_natural[k]] = static_cast<std::int16_t>(blocks[b][k] * quant_step);
    std::uint8_t samples[64];
    jpeg::selected_kernels().inverse_dct_block(coefficients, samples, 64);
    for (int y = 0; y < 8; ++y) std::copy(samples + 8 * y, samples + 8 * y + 8, pixels.begin() + y * width + 8 * b);
  }
  return pixels;
}

TEST(JpegProgressive, EveryPassStoresWhatItShould) {
  // Eight blocks in a row. DC first pass with Al 1, then its refinement.
  const byte_string dc_first = scan_header({{1, 0, 0}}, 0, 0, 0, 1) + bit_writer{}
                                                                          .put(dc2, 3)
                                                                          .put(3, 2)
                                                                          .put(dc1, 3)
                                                                          .put(0, 1)
                                                                          .put(dc0, 3)
                                                                          .put(dc0, 3)
                                                                          .put(dc0, 3)
                                                                          .put(dc0, 3)
                                                                          .put(dc0, 3)
                                                                          .put(dc0, 3)
                                                                          .done();
  const byte_string dc_refine = scan_header({{1, 0, 0}}, 0, 0, 1, 0) + bit_writer{}.put(0xA0, 8).done();
  // AC 1..5 with Al 1: block 0 gets +1 at 1 and -1 at 3 (after a zero),
  // then a run of five end-of-band blocks (2^2 + 1) that reaches block 4;
  // block 5 passes sixteen zeros, block 6 ends at once, block 7 starts a
  // run of two that the scan's end cuts short.
  const byte_string ac_first = scan_header({{1, 0, 0}}, 1, 5, 0, 1) + bit_writer{}
                                                                          .put(s01, 3)
                                                                          .put(1, 1)
                                                                          .put(s11, 3)
                                                                          .put(0, 1)
                                                                          .put(eob2, 3)
                                                                          .put(1, 2)
                                                                          .put(zrl, 3)
                                                                          .put(eob, 3)
                                                                          .put(eob1, 3)
                                                                          .put(0, 1)
                                                                          .done();
  // Refinement, Al 0. Block 0: a new +1 after no zero history; the known
  // coefficient at 1 takes correction bit 1 on the way and the new one goes
  // to the first zero position, 2; the end of band then corrects position 3.
  // Block 1: a new -1 after one zero, so at position 2; then a run of 2^2 + 3
  // end-of-band blocks, which needs no further bits here.
  const byte_string ac_refine = scan_header({{1, 0, 0}}, 1, 5, 1, 0) + bit_writer{}
                                                                           .put(s01, 3)
                                                                           .put(1, 1)
                                                                           .put(1, 1)
                                                                           .put(eob, 3)
                                                                           .put(1, 1)
                                                                           .put(s11, 3)
                                                                           .put(0, 1)
                                                                           .put(eob2, 3)
                                                                           .put(3, 2)
                                                                           .done();
  const byte_string bytes = grey_progressive(64, 8, dc_first + dc_refine + ac_first + ac_refine);

  // DC: 7, 4, 5, then 4; AC: block 0 ends with 3, 1, -3 at 1..3 and
  // block 1 with -1 at 2; nothing else.
  std::vector<std::array<int, 64>> blocks(8, std::array<int, 64>{});
  const int dc[8] = {7, 4, 5, 4, 4, 4, 4, 4};
  for (int x = 0; x < 8; ++x) blocks[x][0] = dc[x];
  blocks[0][1] = 3;
  blocks[0][2] = 1;
  blocks[0][3] = -3;
  blocks[1][2] = -1;
  const decoded d = decode(bytes);
  ASSERT_EQ(d.status, 0) << jpeg::status_code_name(d.status);
  EXPECT_EQ(d.pixels, grey_row_of(blocks));
}

TEST(JpegProgressive, InterleavedAndSingleComponentScansCoverTheirBlocks) {
  // 100 x 100 in 2x2: MCUs 7 x 7, stores 14 x 14 for Y and 7 x 7 for chroma,
  // but Y has only 13 x 13 blocks of picture.
  bit_writer dc;
  for (int i = 0; i < 4; ++i) dc.put(dc1, 3).put(1, 1);  // Y blocks 1, 2, 3, 4
  dc.put(dc2, 3).put(3, 2).put(dc0, 3);                  // Cb 3, Cr 0
  for (int i = 1; i < 49 * 6; ++i) dc.put(dc0, 3);
  bit_writer y_ac, cb_ac;
  for (int i = 0; i < 13 * 13; ++i) y_ac.put(s01, 3).put(1, 1);
  for (int i = 0; i < 7 * 7; ++i) cb_ac.put(s01, 3).put(1, 1);
  const byte_string bytes = colour_progressive(100, 100,
                                               scan_header({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}}, 0, 0) + dc.done() +
                                                   scan_header({{1, 0, 0}}, 1, 1) + y_ac.done() +
                                                   scan_header({{2, 0, 0}}, 1, 1) + cb_ac.done());

  // The same coefficients in one sequential scan, MCU by MCU: Y's padding
  // blocks (column and row 13) and Cr have no AC coefficient.
  bit_writer all;
  for (int m = 0; m < 49; ++m) {
    for (int i = 0; i < 4; ++i) {
      const int x = 2 * (m % 7) + i % 2, y = 2 * (m / 7) + i / 2;
      if (m == 0) {
        all.put(dc1, 3).put(1, 1);
      } else {
        all.put(dc0, 3);
      }
      if (x < 13 && y < 13) all.put(s01, 3).put(1, 1);
      all.put(eob, 3);
    }
    if (m == 0) {
      all.put(dc2, 3).put(3, 2);
    } else {
      all.put(dc0, 3);
    }
    all.put(s01, 3).put(1, 1).put(eob, 3);
    all.put(dc0, 3).put(eob, 3);
  }
  const byte_string sequential = soi() + tables() +
                                 frame_header(0xC0, 100, 100, {{1, 2, 2, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}) +
                                 scan_header({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}}) + all.done() + eoi();

  const decoded progressive = decode(bytes, 4), reference = decode(sequential, 4);
  ASSERT_EQ(progressive.status, 0) << jpeg::status_code_name(progressive.status);
  ASSERT_EQ(reference.status, 0) << jpeg::status_code_name(reference.status);
  EXPECT_EQ(progressive.height, 100);
  EXPECT_EQ(progressive.pixels, reference.pixels);
}

TEST(JpegProgressive, RestartsClearTheEndOfBandRun) {
  // Four blocks, a restart after every two. Block 0 starts a run of seven
  // end-of-band blocks, which block 1 continues; the marker ends it, so
  // block 2 is decoded.
  const byte_string dri = segment(0xDD, raw({0, 2}));
  const auto picture = [&](int second_marker) {
    return soi() + tables() + dri + frame_header(0xC2, 32, 8, {{1, 1, 1, 0}}) + scan_header({{1, 0, 0}}, 0, 0) +
           bit_writer{}.put(dc1, 3).put(1, 1).put(dc0, 3).done() + raw({0xFF, 0xD0}) +
           bit_writer{}.put(dc0, 3).put(dc0, 3).done() + scan_header({{1, 0, 0}}, 1, 63) +
           bit_writer{}.put(eob2, 3).put(3, 2).done() + raw({0xFF, 0xFF, second_marker}) +
           bit_writer{}.put(s01, 3).put(1, 1).put(eob, 3).put(eob, 3).done() + eoi();
  };
  // DC 1, 1, then 0 (the predictor restarted too); only block 2 gets an AC
  // coefficient.
  std::vector<std::array<int, 64>> blocks(4, std::array<int, 64>{});
  blocks[0][0] = blocks[1][0] = 1;
  blocks[2][1] = 1;
  const decoded d = decode(picture(0xD0));
  ASSERT_EQ(d.status, 0) << jpeg::status_code_name(d.status);
  EXPECT_EQ(d.pixels, grey_row_of(blocks));

  EXPECT_EQ(decode(picture(0xD1)).status, jpeg::restart_marker_mismatch);
}

TEST(JpegProgressive, RefusalsCarryTheirCodes) {
  const byte_string any = raw({0x00, 0x00});
  const byte_string two_components = soi() + tables() + frame_header(0xC2, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}}) +
                                     scan_header({{1, 0, 0}}, 0, 0) + any + eoi();
  const byte_string four_components =
      soi() + tables() + frame_header(0xC2, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 1, 0}}) +
      scan_header({{1, 0, 0}}, 0, 0) + any + eoi();
  const struct {
    const char* what;
    byte_string bytes;
    int status;
  } cases[] = {
      {"Se 64", grey_progressive(16, 8, scan_header({{1, 0, 0}}, 1, 64) + any), jpeg::spectral_selection_invalid},
      {"Ss above Se", grey_progressive(16, 8, scan_header({{1, 0, 0}}, 3, 2) + any), jpeg::spectral_selection_invalid},
      {"DC scan with AC", grey_progressive(16, 8, scan_header({{1, 0, 0}}, 0, 5) + any),
       jpeg::spectral_selection_invalid},
      {"AC scan of two components", colour_progressive(16, 16, scan_header({{2, 0, 0}, {3, 0, 0}}, 1, 63) + any),
       jpeg::spectral_selection_invalid},
      {"Ah 2 Al 0", grey_progressive(16, 8, scan_header({{1, 0, 0}}, 0, 0, 2, 0) + any),
       jpeg::successive_approximation_invalid},
      {"AC refinement Ah 1 Al 1", grey_progressive(16, 8, scan_header({{1, 0, 0}}, 1, 63, 1, 1) + any),
       jpeg::successive_approximation_invalid},
      {"run past 63", grey_progressive(16, 8, scan_header({{1, 0, 0}}, 60, 63) + bit_writer{}.put(s51, 3).done()),
       jpeg::coefficient_index_overflow},
      {"sixteen zeros from 49",
       grey_progressive(16, 8, scan_header({{1, 0, 0}}, 49, 63) + bit_writer{}.put(zrl, 3).done()),
       jpeg::coefficient_index_overflow},
      {"sixteen zeros from 48",
       grey_progressive(16, 8, scan_header({{1, 0, 0}}, 48, 63) + bit_writer{}.put(zrl, 3).put(eob, 3).done()), 0},
      {"refinement of size 2",
       grey_progressive(16, 8, scan_header({{1, 0, 0}}, 1, 63, 1, 0) + bit_writer{}.put(s02, 3).done()),
       jpeg::coefficient_index_overflow},
      {"two components", two_components, jpeg::unsupported_component_count},
      {"four components", four_components, jpeg::unsupported_component_count},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.bytes).status, c.status) << c.what;
}

TEST(JpegProgressive, FrameWithoutScansDecodesAsFlatGrey) {
  // No scan, and so no table either: every coefficient stays 0.
  for (const auto& frame : {frame_header(0xC2, 9, 9, {{1, 1, 1, 0}}),
                            frame_header(0xC2, 9, 9, {{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 2}})}) {
    const decoded d = decode(soi() + frame + eoi(), 3);
    ASSERT_EQ(d.status, 0);
    ASSERT_EQ(d.pixels.size(), 9u * 9u * 3u);
    for (std::uint8_t v : d.pixels) ASSERT_EQ(v, 128);
  }
}

TEST(JpegProgressive, CallerLimitsRefuseWithTheirOwnCodes) {
  const auto scans = [](int n) {
    byte_string s;
    for (int i = 0; i < n; ++i) s += scan_header({{1, 0, 0}}, 0, 0) + bit_writer{}.put(dc1, 3).put(1, 1).done();
    return grey_progressive(16, 8, s);
  };
  const auto status = [](const byte_string& bytes, const jpeg::decoder_limits& limits) {
    jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    int w = 0, h = 0, c = 0, code = 0;
    std::free(jpeg::decode_jpeg_with_limits(&stream, &w, &h, &c, 1, nullptr, limits, &code));
    return code;
  };
  const int standard = jpeg::decoder_limits{}.max_scans;
  EXPECT_EQ(decode(scans(standard)).status, 0);
  EXPECT_EQ(decode(scans(standard + 1)).status, jpeg::too_many_scans);
  EXPECT_EQ(status(scans(3), {.max_scans = 3}), 0);
  EXPECT_EQ(status(scans(4), {.max_scans = 3}), jpeg::too_many_scans);
  EXPECT_EQ(status(scans(standard + 1), {.max_scans = 0}), 0);
  EXPECT_EQ(status(scans(1), {.max_pixels = 16 * 8}), 0);
  EXPECT_EQ(status(scans(1), {.max_pixels = 16 * 8 - 1}), jpeg::picture_too_large);
}

// Scans whose data are end-of-band runs, or nothing (their bits then read as
// 1, here an end of band), leave a 2048 x 2048 frame's 65,536 blocks as
// they are; handing each to a block decoder would make every such scan of
// a few bytes cost a pass over the whole picture.
TEST(JpegProgressive, ScansOfRunsOrWithoutDataStayCheap) {
  // Slot 1: '0' is an end of band for 2^14 + (14 more bits) blocks, '10' a
  // +-1 coefficient, and '11', as which the 1 bits after the data read, a
  // plain end of band.
  const byte_string ones_end_band =
      dht(huffman_table(0x11, {1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, raw({0xE0, 0x01, 0x00})));
  const auto picture = [&](int size, const byte_string& scans) {
    return soi() + tables() + ones_end_band + frame_header(0xC2, size, size, {{1, 1, 1, 0}}) + scans + eoi();
  };
  // A first pass gives every block a coefficient at 1 (every third one at 2
  // too) for the refinements to correct.
  const auto known = [](int blocks) {
    bit_writer b;
    for (int i = 0; i < blocks; ++i) {
      b.put(s01, 3).put(i & 1, 1);
      if (i % 3 == 0) b.put(s01, 3).put(1, 1);
      b.put(eob, 3);
    }
    return scan_header({{1, 0, 0}}, 1, 5, 0, 1) + b.done();
  };
  const auto runs = [](bit_writer b) { return b.put(0, 1).put(0x3FFF, 14).put(0, 1).put(0x3FFF, 14).put(0, 1).done(); };
  // Block 0 alone gets a coefficient.
  byte_string hostile = scan_header({{1, 0, 1}}, 1, 5, 0, 1) + runs(bit_writer{}.put(2, 2).put(1, 1));
  for (int i = 0; i < 20; ++i) {
    hostile += scan_header({{1, 0, 1}}, 6, 63) + runs({}) + scan_header({{1, 0, 1}}, 1, 5, 1, 0) + runs({}) +
               scan_header({{1, 0, 1}}, 6, 63) + scan_header({{1, 0, 1}}, 1, 5, 1, 0);
  }
  const byte_string big = picture(2048, hostile);
  jpeg::jpeg_decoder_mem_stream stream(big.data(), static_cast<std::uint32_t>(big.size()));
  jpeg_decoder_engine engine(&stream);
  ASSERT_EQ(engine.start_decoding(), 0) << jpeg::status_code_name(engine.status());
  // A few blocks for each of the 81 scans, where a pass would take 65,536.
  EXPECT_LE(jpeg::engine_work_access::blocks_decoded(engine), 4u * 81u);

  // Scans without data that are no end of band, here DC scans, decode every
  // block from 1 bits; twice the frame's blocks of that, and the file is
  // refused.
  const auto empty_dc_scans = [&](int n) {
    byte_string s;
    for (int i = 0; i < n; ++i) s += scan_header({{1, 0, 0}}, 0, 0);
    return decode(picture(256, s)).status;
  };
  EXPECT_EQ(empty_dc_scans(2), 0);
  EXPECT_EQ(empty_dc_scans(3), jpeg::scan_data_missing);

  // Where the data end, the blocks come out as 1 bits would make them: the
  // same scans with their 1 bits written out decode block by block.
  const auto scans = [&](const byte_string& ones) {
    return known(64) + scan_header({{1, 0, 1}}, 1, 5, 1, 0) + ones + scan_header({{1, 0, 1}}, 6, 63) + ones;
  };
  byte_string ones;
  for (int i = 0; i < 128; ++i) ones += raw({0xFF, 0x00});
  const byte_string ended = picture(64, scans({})), written = picture(64, scans(ones));
  jpeg::jpeg_decoder_mem_stream ended_stream(ended.data(), static_cast<std::uint32_t>(ended.size()));
  jpeg::jpeg_decoder_mem_stream written_stream(written.data(), static_cast<std::uint32_t>(written.size()));
  jpeg_decoder_engine from_ended(&ended_stream), from_written(&written_stream);
  ASSERT_EQ(from_ended.start_decoding(), 0);
  ASSERT_EQ(from_written.start_decoding(), 0);
  EXPECT_LT(jpeg::engine_work_access::blocks_decoded(from_ended),
            jpeg::engine_work_access::blocks_decoded(from_written));
  const decoded pixels_ended = decode(ended), pixels_written = decode(written);
  ASSERT_EQ(pixels_ended.status, 0);
  EXPECT_EQ(pixels_ended.pixels, pixels_written.pixels);
  // The refinements did change the picture (every coefficient of 2 to 3).
  EXPECT_NE(pixels_ended.pixels, decode(picture(64, known(64))).pixels);
}

// Resident memory of this process in bytes.
long resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// Notes the process's resident memory whenever the decoder reads.
struct memory_watching_stream : chunk_stream {
  using chunk_stream::chunk_stream;
  int read_bytes(std::uint8_t* buffer, int n, bool* end_flag) override {
    peak = std::max(peak, resident_bytes());
    return chunk_stream::read_bytes(buffer, n, end_flag);
  }
  long peak = 0;
};

TEST(JpegProgressive, StoresCostMemoryOnlyWhereScansWrite) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's calloc writes every page it hands out";
#endif
  // A 16384 x 16384 colour frame needs 1.6 GB of coefficient stores, of
  // which a file without scans writes nothing. The comment pushes the end
  // of the file past the first buffer fill, so the stream is read again
  // while the stores exist.
  memory_watching_stream stream(soi() + tables() +
                                frame_header(0xC2, 16384, 16384, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}) +
                                segment(0xFE, byte_string(9000, 0)) + eoi());
  const long before = resident_bytes();
  int w = 0, h = 0, c = 0;
  ASSERT_EQ(jpeg::decode_jpeg_from_stream(&stream, &w, &h, &c, 4, reinterpret_cast<std::uint8_t*>(1)),
            reinterpret_cast<std::uint8_t*>(1));
  ASSERT_GT(stream.peak, 0);
  EXPECT_LT(stream.peak - before, 64l << 20);
}

// After every scan of a file that decodes, each block's non-zero set, kept
// up to date by every write, is the set the block itself shows, and its
// row's union holds it.
void expect_nonzero_sets_match(const byte_string& bytes, const char* name, int round) {
  jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  jpeg_decoder_engine engine(&stream);
  if (engine.start_decoding() != 0) return;  // a failure releases the stores
  for (int c = 0; c < 4; ++c) {
    const jpeg::coefficient_store* store = access::ac_store(engine, c);
    if (store == nullptr) continue;
    for (int y = 0; y < store->blocks_down; ++y)
      for (int x = 0; x < store->blocks_across; ++x) {
        const std::uint64_t set = jpeg::nonzero_zigzag_mask(jpeg::coefficient_block_at(store, x, y));
        ASSERT_EQ(store->nonzero[y * store->blocks_across + x], set)
            << name << " round " << round << " component " << c << " block " << x << "," << y;
        ASSERT_EQ(store->row_nonzero[y] & set, set) << name << " round " << round << " component " << c << " row " << y;
      }
  }
}

// Cut or damaged real files: either a picture or a named code, and the
// stores' non-zero sets right; the sanitizer build watches every store
// index and every shift on the way.
TEST(JpegProgressive, DamagedFilesFailCleanly) {
  const byte_string cut = read_file(corpus_path("grey_sa_restart_33x31.jpg"));
  ASSERT_FALSE(cut.empty());
  for (std::size_t n = 0; n < cut.size(); ++n) {
    const int status = decode(byte_string(cut.begin(), cut.begin() + static_cast<std::ptrdiff_t>(n))).status;
    ASSERT_STRNE(jpeg::status_code_name(status), "unknown") << n;
  }
  std::mt19937 rng(11);
  for (const char* name :
       {"420_sa_restart_33x31.jpg", "422_prog_noise_q100_41x27.jpg", "440_sa_255x129.jpg", "444_prog_37x23.jpg"}) {
    const byte_string original = read_file(corpus_path(name));
    ASSERT_FALSE(original.empty()) << name;
    for (int round = 0; round < 300; ++round) {
      byte_string bytes = original;
      for (int c = std::uniform_int_distribution<int>(1, 6)(rng); c > 0; --c) {
        const std::size_t at = std::uniform_int_distribution<std::size_t>(0, bytes.size() - 1)(rng);
        bytes[at] = static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 255)(rng));
      }
      const int status = decode(bytes, 4).status;
      ASSERT_STRNE(jpeg::status_code_name(status), "unknown") << name << " round " << round;
      expect_nonzero_sets_match(bytes, name, round);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
