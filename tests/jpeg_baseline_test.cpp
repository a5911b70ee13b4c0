// Baseline block decoding on hand-made scans: a small entropy encoder writes
// known coefficients, and the decoded samples must be the inverse DCT of
// exactly those coefficients, dequantised and wrapped as the decoder does.
#include "jpeg_test_support.h"
#include "kernels.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

namespace {

using jpeg::jpeg_decoder_engine;

// The codes of a table given as counts per length and symbols, by symbol.
struct code_book {
  std::vector<int> counts;  // 16 entries, lengths 1..16
  byte_string symbols;
  std::uint32_t code[256] = {};
  int length[256] = {};

  code_book(std::vector<int> c, byte_string s) : counts(std::move(c)), symbols(std::move(s)) {
    std::uint8_t by_length[17] = {};
    std::copy(counts.begin(), counts.end(), by_length + 1);
    for (const code_entry& e : canonical_codes(by_length, symbols.data())) {
      code[e.symbol] = e.value;
      length[e.symbol] = e.length;
    }
  }
  byte_string table(int class_id) const { return huffman_table(class_id, counts, symbols); }
};

// Every DC size 0..15 in five bits.
code_book dc_book() {
  byte_string s;
  for (int i = 0; i < 16; ++i) s.push_back(static_cast<std::uint8_t>(i));
  std::vector<int> counts(16, 0);
  counts[4] = 16;
  return {counts, s};
}

// End of block, sixteen zeros and every run/size pair: 60 codes of 7 bits
// (one look-up) and 182 of 10 bits (the tree).
code_book ac_book() {
  byte_string s = raw({0x00, 0xF0});
  for (int run = 0; run < 16; ++run)
    for (int size = 1; size <= 15; ++size) s.push_back(static_cast<std::uint8_t>(run << 4 | size));
  std::vector<int> counts(16, 0);
  counts[6] = 60;
  counts[9] = static_cast<int>(s.size()) - 60;
  return {counts, s};
}

int magnitude_size(int v) {
  int a = std::abs(v), s = 0;
  while (a != 0) a >>= 1, ++s;
  return s;
}

void put_symbol(bit_writer& w, const code_book& book, int symbol) { w.put(book.code[symbol], book.length[symbol]); }
void put_value(bit_writer& w, int v, int size) {
  if (size != 0) w.put(static_cast<std::uint32_t>(v >= 0 ? v : v + (1 << size) - 1), size);
}

// One block given in zig-zag order (quantised values), as an encoder writes
// it: runs of more than fifteen zeros as sixteen-zero symbols.
void put_block(bit_writer& w, const code_book& dc, const code_book& ac, int dc_difference, const int* zz) {
  const int dc_size = magnitude_size(dc_difference);
  put_symbol(w, dc, dc_size);
  put_value(w, dc_difference, dc_size);
  int run = 0;
  for (int k = 1; k < 64; ++k) {
    if (zz[k] == 0) {
      ++run;
      continue;
    }
    while (run > 15) {
      put_symbol(w, ac, 0xF0);
      run -= 16;
    }
    const int size = magnitude_size(zz[k]);
    put_symbol(w, ac, run << 4 | size);
    put_value(w, zz[k], size);
    run = 0;
  }
  if (run != 0) put_symbol(w, ac, 0x00);
}

byte_string quant_segment(const std::vector<int>& q, bool sixteen_bit) {
  byte_string p = raw({sixteen_bit ? 0x10 : 0x00});
  for (int v : q) {
    if (sixteen_bit) p.push_back(static_cast<std::uint8_t>(v >> 8));
    p.push_back(static_cast<std::uint8_t>(v & 255));
  }
  return segment(0xDB, p);
}

// A grey picture of blocks_across x blocks_down blocks around an already
// coded scan.
byte_string grey_file(int blocks_across, int blocks_down, const std::vector<int>& q, bool sixteen_bit,
                      const byte_string& scan_data, int restart_interval = 0, const code_book& ac = ac_book()) {
  byte_string f = soi() + quant_segment(q, sixteen_bit) + dht(dc_book().table(0x00) + ac.table(0x10));
  if (restart_interval != 0) f += segment(0xDD, raw({restart_interval >> 8, restart_interval & 255}));
  f += frame_header(sixteen_bit ? 0xC1 : 0xC0, blocks_across * 8, blocks_down * 8, {{1, 1, 1, 0}});
  return f + scan_header({{1, 0, 0}}) + scan_data + eoi();
}

std::vector<std::uint8_t> decode_grey(const byte_string& file, int* status) {
  jpeg::jpeg_decoder_mem_stream stream(file.data(), static_cast<std::uint32_t>(file.size()));
  int w = 0, h = 0, c = 0;
  std::uint8_t* pixels = jpeg::decode_jpeg_with_status(&stream, &w, &h, &c, 1, nullptr, status);
  std::vector<std::uint8_t> out;
  if (pixels != nullptr) out.assign(pixels, pixels + static_cast<std::size_t>(w) * h);
  std::free(pixels);
  return out;
}

// Short codes for the common small coefficients, as photographs have them,
// so that two often fit one look-up; every other symbol in 12 bits.
code_book short_ac_book() {
  byte_string s = raw({0x01, 0x02, 0x00, 0x11, 0x03, 0x21, 0xF0});
  for (int run = 0; run < 16; ++run)
    for (int size = 1; size <= 15; ++size) {
      const auto symbol = static_cast<std::uint8_t>(run << 4 | size);
      if (symbol != 0x01 && symbol != 0x02 && symbol != 0x11 && symbol != 0x03 && symbol != 0x21) s.push_back(symbol);
    }
  std::vector<int> counts(16, 0);
  counts[1] = 2;
  counts[2] = 2;
  counts[3] = 3;
  counts[11] = static_cast<int>(s.size()) - 7;
  return {counts, s};
}

// Random blocks of random sparseness, each quantised value as large as its
// code allows, coded with long codes and with short ones, a random
// quantisation table and restart intervals with fill bytes: the picture
// must be the inverse DCT of each block's exact dequantised coefficients.
TEST(JpegBaseline, RandomBlocksDecodeToTheirExactCoefficients) {
  const code_book dc = dc_book(), long_ac = ac_book(), short_ac = short_ac_book();
  std::mt19937 rng(2024);
  for (int round = 0; round < 24; ++round) {
    const code_book& ac = (round / 4) % 2 == 0 ? long_ac : short_ac;
    const bool sixteen_bit = round % 3 == 2;
    const int restart = round % 4 == 1 ? 1 + round % 3 : 0;
    const int across = 1 + static_cast<int>(rng() % 9), down = 1 + static_cast<int>(rng() % 4);
    std::vector<int> q(64);
    for (int& v : q) v = 1 + static_cast<int>(rng() % (sixteen_bit ? 65535 : 255));

    bit_writer w;
    std::vector<std::uint8_t> expected(static_cast<std::size_t>(across) * down * 64);
    std::int32_t predictor = 0;
    int interval_left = restart, next_marker = 0;
    for (int b = 0; b < across * down; ++b) {
      if (restart != 0 && interval_left == 0) {
        w.pad();
        for (int fill = 0; fill < b % 3; ++fill) w.bytes.push_back(0xFF);
        w.bytes.push_back(0xFF);
        w.bytes.push_back(static_cast<std::uint8_t>(0xD0 + next_marker));
        next_marker = (next_marker + 1) & 7;
        interval_left = restart;
        predictor = 0;
      }
      --interval_left;

      int zz[64] = {};
      const int last = static_cast<int>(rng() % 64);
      const int density = 1 + static_cast<int>(rng() % 8);
      for (int k = 1; k <= last; ++k) {
        if (rng() % density != 0) continue;
        const int size = 1 + static_cast<int>(rng() % (rng() % 4 == 0 ? 15 : 6));
        int v = static_cast<int>(rng() % (1u << (size - 1))) + (1 << (size - 1));
        zz[k] = rng() % 2 ? v : -v;
      }
      const int dc_size = static_cast<int>(rng() % (rng() % 4 == 0 ? 16 : 8));
      int dc_value = dc_size == 0 ? 0 : static_cast<int>(rng() % (1u << (dc_size - 1))) + (1 << (dc_size - 1));
      if (dc_size == 15 && dc_value > 32767) dc_value = 32767;
      if (rng() % 2) dc_value = -dc_value;
      put_block(w, dc, ac, dc_value, zz);

      predictor = jpeg::wrap_add(predictor, dc_value);
      std::int16_t coefficients[64] = {};
      coefficients[0] = static_cast<std::int16_t>(jpeg::wrap_mul(predictor, q[0]));
      for (int k = 1; k < 64; ++k) coefficients[jpeg::zigzag_to_natural[k]] = static_cast<std::int16_t>(zz[k] * q[k]);
      std::uint8_t samples[64];
      jpeg::selected_kernels().inverse_dct_block(coefficients, samples, 64);
      const int bx = b % across, by = b / across;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
          expected[static_cast<std::size_t>(by * 8 + y) * across * 8 + bx * 8 + x] = samples[y * 8 + x];
    }
    w.pad();

    int status = 0;
    const std::vector<std::uint8_t> got =
        decode_grey(grey_file(across, down, q, sixteen_bit, w.bytes, restart, ac), &status);
    ASSERT_EQ(status, 0) << "round " << round << " " << jpeg::status_code_name(status);
    ASSERT_EQ(got, expected) << "round " << round;
  }
}

// One 8x8 grey block whose AC part is the given symbols (with their value
// bits), after a DC difference of zero.
byte_string one_block(const std::vector<std::pair<int, int>>& symbols) {
  const code_book dc = dc_book(), ac = ac_book();
  bit_writer w;
  put_symbol(w, dc, 0);
  for (auto [symbol, value] : symbols) {
    put_symbol(w, ac, symbol);
    put_value(w, value, symbol & 15);
  }
  w.pad();
  return grey_file(1, 1, std::vector<int>(64, 1), false, w.bytes);
}

TEST(JpegBaseline, RunsMayReachButNotPassTheLastCoefficient) {
  // Sixteen zeros twice, then run 14 and a coefficient at 47: k = 48.
  const std::vector<std::pair<int, int>> to_48 = {{0xF0, 0}, {0xF0, 0}, {0xE1, 1}};
  auto status_with = [&](std::vector<std::pair<int, int>> tail) {
    std::vector<std::pair<int, int>> s = to_48;
    s.insert(s.end(), tail.begin(), tail.end());
    int status = 0;
    decode_grey(one_block(s), &status);
    return status;
  };
  EXPECT_EQ(status_with({{0xF0, 0}}), 0);                                            // 48 + 16 = 64: the block is full
  EXPECT_EQ(status_with({{0xF1, -1}}), 0);                                           // run 15, coefficient at 63
  EXPECT_EQ(status_with({{0x01, 1}, {0xE1, 1}}), 0);                                 // from 49, run 14 reaches 63
  EXPECT_EQ(status_with({{0x01, 1}, {0xF0, 0}}), jpeg::coefficient_index_overflow);  // 49 + 16
  EXPECT_EQ(status_with({{0x01, 1}, {0xF1, 1}}), jpeg::coefficient_index_overflow);  // 49 + 15
}

TEST(JpegBaseline, BitsThatBeginNoCodeReadAsSymbolZero) {
  // 1111111 begins no code of either table: DC size 0, then end of block,
  // with nothing consumed; every block of the picture is flat mid-grey.
  int status = -1;
  const std::vector<std::uint8_t> pixels =
      decode_grey(grey_file(3, 2, std::vector<int>(64, 1), false, byte_string(6, 0xFE)), &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(pixels, std::vector<std::uint8_t>(3 * 2 * 64, 128));
}

// T.81 wants scan components in frame order; a scan that lists them in
// another order still decodes to the same picture.
TEST(JpegBaseline, ScanComponentOrderDoesNotMatter) {
  const code_book dc = dc_book(), ac = ac_book();
  auto picture_with_order = [&](const std::vector<int>& order) {
    bit_writer w;
    for (int mcu = 0; mcu < 2; ++mcu) {
      for (int c : order) {
        int zz[64] = {};
        zz[1 + c] = 20 * (c + 1) * (mcu ? -1 : 1);
        zz[10 + mcu] = 7 - c;
        put_block(w, dc, ac, mcu == 0 ? 40 * (c - 1) : 25, zz);
      }
    }
    w.pad();
    std::vector<scan_component> scan;
    for (int c : order) scan.push_back({c + 1, 0, 0});
    const byte_string file =
        soi() + quant_segment(std::vector<int>(64, 2), false) + dht(dc.table(0x00) + ac.table(0x10)) +
        frame_header(0xC0, 16, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}) + scan_header(scan) + w.bytes + eoi();
    int wd, h, c, status;
    jpeg::jpeg_decoder_mem_stream stream(file.data(), static_cast<std::uint32_t>(file.size()));
    std::uint8_t* pixels = jpeg::decode_jpeg_with_status(&stream, &wd, &h, &c, 4, nullptr, &status);
    EXPECT_EQ(status, 0);
    std::vector<std::uint8_t> out;
    if (pixels != nullptr) out.assign(pixels, pixels + 16 * 8 * 4);
    std::free(pixels);
    return out;
  };
  const std::vector<std::uint8_t> in_frame_order = picture_with_order({0, 1, 2});
  ASSERT_EQ(in_frame_order.size(), 16u * 8 * 4);
  EXPECT_EQ(picture_with_order({2, 0, 1}), in_frame_order);
  EXPECT_EQ(picture_with_order({1, 2, 0}), in_frame_order);
}

// The samples of the second block of a 2 x 1 grey picture (rows of 16).
std::vector<std::uint8_t> second_block(const std::vector<std::uint8_t>& picture) {
  std::vector<std::uint8_t> block;
  for (int y = 0; y < 8 && picture.size() == 16u * 8; ++y)
    block.insert(block.end(), picture.begin() + y * 16 + 8, picture.begin() + y * 16 + 16);
  return block;
}

// The inverse DCT of a whole block, every coefficient included.
std::vector<std::uint8_t> samples_of(const std::int16_t* coefficients) {
  std::uint8_t samples[64];
  jpeg::selected_kernels().inverse_dct_block(coefficients, samples, 64);
  return {samples, samples + 64};
}

// Two MCUs in one row share the coefficient block: the second must not
// inherit anything from the first, however the extents fall, and its extent
// must cover all its coefficients: its samples are those of its own
// coefficients alone.
TEST(JpegBaseline, ExtentBookkeepingClearsWhatTheLastBlockLeft) {
  const code_book dc = dc_book(), ac = ac_book();
  struct pair_case {
    int first_last, second_last;  // highest non-zero zig-zag index, 0 = DC only
  } cases[] = {{63, 0}, {63, 5}, {5, 63}, {0, 0}, {40, 39}, {20, 60}};
  for (const pair_case& c : cases) {
    bit_writer w;
    int zz1[64] = {}, zz2[64] = {};
    for (int k = 1; k <= c.first_last; ++k) zz1[k] = (k % 3) - 1 == 0 ? 2 : (k % 3) - 1;
    if (c.second_last > 0) zz2[c.second_last] = 3;
    put_block(w, dc, ac, 5, zz1);
    put_block(w, dc, ac, 0, zz2);
    w.pad();
    int status = 0;
    const std::vector<std::uint8_t> got =
        second_block(decode_grey(grey_file(2, 1, std::vector<int>(64, 1), false, w.bytes), &status));
    ASSERT_EQ(status, 0);
    std::int16_t coefficients[64] = {};
    for (int k = 0; k < 64; ++k)
      coefficients[jpeg::zigzag_to_natural[k]] = static_cast<std::int16_t>(k == 0 ? 5 : zz2[k]);
    EXPECT_EQ(got, samples_of(coefficients)) << c.first_last << " " << c.second_last;
  }
}

TEST(JpegBaseline, DcWrapsToSixteenBits) {
  const code_book dc = dc_book(), ac = ac_book();
  bit_writer w;
  int zz[64] = {};
  // 30000 + 30000 = 60000, times 3: 180000, whose low 16 bits read -16608:
  // a flat dark block (one that saturated would be bright).
  put_block(w, dc, ac, 30000, zz);
  put_block(w, dc, ac, 30000, zz);
  w.pad();
  std::vector<int> q(64, 1);
  q[0] = 3;
  int status = 0;
  const std::vector<std::uint8_t> got = second_block(decode_grey(grey_file(2, 1, q, false, w.bytes), &status));
  ASSERT_EQ(status, 0);
  const std::int16_t coefficients[64] = {static_cast<std::int16_t>(180000 - 196608)};
  EXPECT_EQ(got, samples_of(coefficients));
  EXPECT_EQ(got, std::vector<std::uint8_t>(64, 0));
}

// A 2-block grey row with a restart after the first block; `between` goes
// between the first block's data and the marker.
struct restart_file {
  byte_string file;
  int lookahead = 0;  // bytes past the first interval the bit reader has taken in
};
restart_file with_restart(const byte_string& between, int marker) {
  const code_book dc = dc_book(), ac = ac_book();
  bit_writer w;
  int zz[64] = {};
  zz[1] = 1;
  put_block(w, dc, ac, 7, zz);
  const long bits = w.total_bits;
  w.pad();
  restart_file r;
  // The reader holds 32 bits after priming and takes two bytes per 16 bits.
  r.lookahead = 4 + 2 * static_cast<int>(bits / 16) - static_cast<int>(w.bytes.size());
  w.bytes += between;
  w.bytes.push_back(0xFF);
  w.bytes.push_back(static_cast<std::uint8_t>(marker));
  put_block(w, dc, ac, -7, zz);
  w.pad();
  r.file = grey_file(2, 1, std::vector<int>(64, 1), false, w.bytes, 1);
  return r;
}

TEST(JpegBaseline, RestartMarkers) {
  int status = 0;
  // Fill bytes before the marker are passed over; the DC prediction restarts.
  const restart_file plain = with_restart({}, 0xD0);
  const std::vector<std::uint8_t> reference = decode_grey(plain.file, &status);
  ASSERT_EQ(status, 0);
  // DC differences 7 and -7: the second block starts again from 0.
  EXPECT_GT(reference[0], 128);
  EXPECT_LT(reference[8], 128);
  EXPECT_EQ(decode_grey(with_restart(raw({0xFF, 0xFF, 0xFF}), 0xD0).file, &status), reference);
  EXPECT_EQ(status, 0);

  decode_grey(with_restart({}, 0xD1).file, &status);
  EXPECT_EQ(status, jpeg::restart_marker_mismatch);
  decode_grey(with_restart({}, 0xD9).file, &status);
  EXPECT_EQ(status, jpeg::restart_marker_mismatch);

  // 1535 bytes that are no 0xFF are skipped on the way to the marker, 1536
  // are not. The bit reader has already taken in a few of them.
  const int lookahead = plain.lookahead;
  ASSERT_GE(lookahead, 0);
  const restart_file ok = with_restart(byte_string(static_cast<std::size_t>(1535 + lookahead), 0x5A), 0xD0);
  EXPECT_EQ(decode_grey(ok.file, &status), reference);
  EXPECT_EQ(status, 0);
  decode_grey(with_restart(byte_string(static_cast<std::size_t>(1536 + lookahead), 0x5A), 0xD0).file, &status);
  EXPECT_EQ(status, jpeg::restart_marker_mismatch);

  // A scan that ends before its restart marker meets the end of the data.
  byte_string cut = plain.file;
  cut.resize(cut.size() - 8);
  decode_grey(cut, &status);
  EXPECT_EQ(status, jpeg::restart_marker_mismatch);
}

}  // namespace
