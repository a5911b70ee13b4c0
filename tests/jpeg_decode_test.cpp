// Whole decodes: against libjpeg-turbo on the generated corpus, pinned
// checksums of our own output, the row driver and the decode-into-buffer
// entry points.
#include "jpeg_reference.h"
#include "jpeg_test_support.h"
#include "libjpeg_reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using jpeg::jpeg_decoder_engine;
using access = jpeg::engine_test_access;

struct picture {
  int width = 0, height = 0, components = 0;
  std::vector<std::uint8_t> pixels;
  int status = 0;
  bool ok = false;
};

picture decode_ours(const byte_string& bytes, int requested) {
  picture p;
  jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  std::uint8_t* out =
      jpeg::decode_jpeg_with_status(&stream, &p.width, &p.height, &p.components, requested, nullptr, &p.status);
  if (out != nullptr) {
    p.ok = true;
    p.pixels.assign(out, out + static_cast<std::size_t>(p.width) * p.height * requested);
    std::free(out);
  }
  return p;
}

// libjpeg-turbo with the accurate integer transform, no smoothing and plain
// replicating upsampling, as grey or RGB; the layout of component 0 is
// reported through h and v.
struct reference_picture : picture {
  int h = 1, v = 1;
};
reference_picture decode_reference(const byte_string& bytes) {
  reference_picture p;
  libjpeg_reader reader(bytes);
  jpeg_decompress_struct& info = reader.info;
  p.ok = reader.ok && reader.run([&] {
    info.dct_method = JDCT_ISLOW;
    info.do_fancy_upsampling = FALSE;
    info.do_block_smoothing = FALSE;
    info.out_color_space = info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    p.h = info.comp_info[0].h_samp_factor;
    p.v = info.comp_info[0].v_samp_factor;
    jpeg_start_decompress(&info);
    p.width = static_cast<int>(info.output_width);
    p.height = static_cast<int>(info.output_height);
    p.components = info.output_components;
    p.pixels.resize(static_cast<std::size_t>(p.width) * p.height * p.components);
    while (info.output_scanline < info.output_height) {
      JSAMPROW row = p.pixels.data() + static_cast<std::size_t>(info.output_scanline) * p.width * p.components;
      jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
  });
  return p;
}

struct difference {
  int max = 0;
  double squared = 0;
  std::size_t count = 0;
  double psnr() const { return squared == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * count / squared); }
};

// Every sequential corpus file decodes like libjpeg-turbo within a tolerance
// per layout: rounding order for whole-resolution chroma, and a PSNR floor
// for 2x2 pictures, whose chroma we upsample in the DCT domain where libjpeg
// replicates samples.
TEST(JpegDecode, CorpusAgreesWithLibjpeg) {
  std::map<std::string, difference> by_layout;
  int decoded = 0;
  int progressive = 0;
  for (const corpus_file& entry : corpus_manifest()) {
    if (entry.status != 0) continue;
    const byte_string bytes = read_file(corpus_path(entry.name));
    const picture ours = decode_ours(bytes, 4);
    const libjpeg_reader ref(byte_string(bytes.begin() + entry.soi_offset, bytes.end()));
    if (ref.ok && ref.info.progressive_mode) ++progressive;
    // libjpeg reads these components as RGB; this decoder always as YCbCr.
    if (entry.name == "rgb_ids.jpg") continue;
    SCOPED_TRACE(entry.name);
    ASSERT_TRUE(ours.ok) << jpeg::status_code_name(ours.status);
    // libjpeg wants the start of image first.
    const reference_picture theirs = decode_reference(byte_string(bytes.begin() + entry.soi_offset, bytes.end()));
    ASSERT_TRUE(theirs.ok);
    ASSERT_EQ(ours.width, theirs.width);
    ASSERT_EQ(ours.height, theirs.height);
    ASSERT_EQ(ours.components, theirs.components);
    const std::string layout = theirs.components == 1           ? "grey"
                               : theirs.h == 1 && theirs.v == 1 ? "4:4:4"
                               : theirs.v == 1                  ? "4:2:2"
                               : theirs.h == 1                  ? "4:4:0"
                                                                : "4:2:0";
    difference& d = by_layout[layout];
    difference file;
    for (std::size_t i = 0, n = static_cast<std::size_t>(ours.width) * ours.height; i < n; ++i) {
      for (int c = 0; c < theirs.components; ++c) {
        const int e = ours.pixels[i * 4 + c] - theirs.pixels[i * theirs.components + c];
        file.max = std::max(file.max, std::abs(e));
        file.squared += e * e;
        ++file.count;
      }
      if (theirs.components == 1) {
        EXPECT_EQ(ours.pixels[i * 4 + 1], ours.pixels[i * 4]);
      }
      ASSERT_EQ(ours.pixels[i * 4 + 3], 255);
    }
    d.max = std::max(d.max, file.max);
    d.squared += file.squared;
    d.count += file.count;
    if (layout == "4:2:0") {
      // The synthetic pictures carry strong chroma texture up to noise,
      // where interpolation and replication part most.
      EXPECT_GE(file.psnr(), 22.0);
    } else {
      // The same integer transform and conversion; what differs is where
      // the colour equations round.
      EXPECT_LE(file.max, 3);
    }
    ++decoded;
  }
  EXPECT_GT(decoded, 100);
  EXPECT_GT(progressive, 20);
  for (const auto& [layout, d] : by_layout) {
    std::printf("%-6s max difference %3d, PSNR %.1f dB over %zu samples\n", layout.c_str(), d.max, d.psnr(), d.count);
  }
}

// jpegtran keeps the quantised coefficients when it rewrites a sequential
// file progressively, so our output must not change by a single byte: the
// progressive path differs from the sequential one only in how the
// coefficients arrive.
TEST(JpegDecode, ProgressiveRewritesDecodeExactlyLikeTheirSequentialSource) {
  std::map<std::string, picture> sequential;
  int compared = 0;
  for (const corpus_file& entry : corpus_manifest()) {
    const std::string& name = entry.name;
    if (name.rfind("same_", 0) != 0 || name.find("_seq.jpg") == std::string::npos) continue;
    sequential[name.substr(0, name.size() - 8)] = decode_ours(read_file(corpus_path(name.c_str())), 4);
  }
  for (const corpus_file& entry : corpus_manifest()) {
    const std::string& name = entry.name;
    if (name.rfind("same_", 0) != 0 || name.find("_seq.jpg") != std::string::npos) continue;
    SCOPED_TRACE(name);
    const byte_string bytes = read_file(corpus_path(name.c_str()));
    const libjpeg_reader ref(bytes);
    ASSERT_TRUE(ref.ok && ref.info.progressive_mode);
    // The longest tag that prefixes the name is its source ("same_420" is
    // a prefix of "same_420_noise_sa" too).
    const picture* source = nullptr;
    std::size_t best = 0;
    for (const auto& [tag, p] : sequential) {
      if (name.rfind(tag + "_", 0) == 0 && tag.size() > best) {
        best = tag.size();
        source = &p;
      }
    }
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(source->ok);
    const picture ours = decode_ours(bytes, 4);
    ASSERT_TRUE(ours.ok) << jpeg::status_code_name(ours.status);
    EXPECT_EQ(ours.width, source->width);
    EXPECT_EQ(ours.height, source->height);
    EXPECT_TRUE(ours.pixels == source->pixels);
    ++compared;
  }
  EXPECT_GE(compared, 40);
}

// The show's own photographs: on natural pictures the two chroma upsamplings
// agree far more closely than on the synthetic textures.
TEST(JpegDecode, PhotographsAgreeWithLibjpeg) {
  for (const char* name : {"fank", "murv", "murvtabla", "kick1", "function2", "sun", "murvhat", "egyenlo",
                           "murvparaszt", "function1", "function3"}) {
    const byte_string bytes = read_file(std::string(PROJECT_ROOT) + "/data/" + name + ".jpg");
    const picture ours = decode_ours(bytes, 3);
    const reference_picture theirs = decode_reference(bytes);
    ASSERT_TRUE(ours.ok && theirs.ok) << name;
    difference d;
    const std::size_t n = static_cast<std::size_t>(ours.width) * ours.height;
    for (std::size_t i = 0; i < n; ++i) {
      for (int c = 0; c < 3; ++c) {
        const int e = ours.pixels[i * 3 + c] - theirs.pixels[i * theirs.components + (theirs.components == 1 ? 0 : c)];
        d.max = std::max(d.max, std::abs(e));
        d.squared += e * e;
        ++d.count;
      }
    }
    std::printf("%-10s %d:%d max difference %3d, PSNR %.1f dB\n", name, theirs.h, theirs.v, d.max, d.psnr());
    if (theirs.h == 2 && theirs.v == 2) {
      EXPECT_GE(d.psnr(), 45.0) << name;
    } else {
      EXPECT_LE(d.max, 3) << name;
    }
  }
}

// FNV-1a over our own output, so that any change of a single sample shows.
std::uint64_t checksum(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t h = 14695981039346656037ull;
  for (std::uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

TEST(JpegDecode, PinnedChecksumsOfOurOwnOutput) {
  struct pinned {
    const char* path;
    std::uint64_t rgba;
  } files[] = {
#include "jpeg_golden_checksums.inc"
  };
  for (const pinned& f : files) {
    const picture p = decode_ours(read_file(std::string(PROJECT_ROOT) + "/" + f.path), 4);
    ASSERT_TRUE(p.ok) << f.path;
    EXPECT_EQ(checksum(p.pixels), f.rgba) << f.path << " now 0x" << std::hex << checksum(p.pixels);
  }
}

// --- Row driver ------------------------------------------------------------

TEST(JpegRowDriver, LinePairsOfVerticallySubsampledFrames) {
  const byte_string bytes = read_file(corpus_path("440_33x31.jpg"));
  jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  jpeg_decoder_engine engine(&stream);
  const std::uint8_t* line = nullptr;
  std::uint32_t length = 0;
  EXPECT_EQ(engine.decode_row(&line, &length), -1);  // not started
  ASSERT_EQ(engine.start_decoding(), 0);
  std::vector<const std::uint8_t*> lines;
  for (int y = 0; y < 31; ++y) {
    ASSERT_EQ(engine.decode_row(&line, &length), 0) << y;
    EXPECT_EQ(length, 33u * 4);
    lines.push_back(line);
  }
  // Even lines come from one buffer, odd lines from the other; the last
  // (odd height) is an even line whose partner is never handed out.
  EXPECT_NE(lines[0], lines[1]);
  for (int y = 2; y < 31; ++y) EXPECT_EQ(lines[y], lines[y % 2]) << y;
  EXPECT_EQ(engine.decode_row(&line, &length), 1);
  EXPECT_EQ(engine.decode_row(&line, &length), 1);
  EXPECT_EQ(engine.start_decoding(), 0);
}

TEST(JpegRowDriver, EveryLayoutHandsOutExactlyItsHeight) {
  for (const char* name : {"grey_7x3.jpg", "444_17x17.jpg", "422_7x3.jpg", "440_17x9.jpg", "420_17x17.jpg",
                           "420_1x1.jpg", "grey_8x600.jpg", "420_16x16.jpg"}) {
    const byte_string bytes = read_file(corpus_path(name));
    jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    jpeg_decoder_engine engine(&stream);
    ASSERT_EQ(engine.start_decoding(), 0) << name;
    const std::uint8_t* line;
    std::uint32_t length;
    int lines = 0;
    while (engine.decode_row(&line, &length) == 0) ++lines;
    EXPECT_EQ(lines, engine.height()) << name;
    EXPECT_EQ(engine.status(), 0) << name;
  }
}

// Damage right after the scan shows when the last MCU row is decoded: the
// end-of-image search runs with it, before its first line is handed out.
TEST(JpegRowDriver, EndOfImageSearchRunsWithTheLastMcuRow) {
  for (auto [name, first_bad_line] : {std::pair{"grey_17x9.jpg", 8}, std::pair{"440_17x17.jpg", 16},
                                      std::pair{"420_16x16.jpg", 0}, std::pair{"grey_1x1.jpg", 0}}) {
    byte_string bytes = read_file(corpus_path(name));
    ASSERT_EQ(bytes[bytes.size() - 1], 0xD9);
    bytes[bytes.size() - 1] = 0xD3;  // an RST marker where EOI was
    jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    jpeg_decoder_engine engine(&stream);
    ASSERT_EQ(engine.start_decoding(), 0);
    const std::uint8_t* line;
    std::uint32_t length;
    for (int y = 0; y < first_bad_line; ++y) ASSERT_EQ(engine.decode_row(&line, &length), 0) << name << y;
    EXPECT_EQ(engine.decode_row(&line, &length), -1) << name;
    EXPECT_EQ(engine.status(), jpeg::marker_out_of_place) << name;
    EXPECT_EQ(engine.decode_row(&line, &length), -1) << name;
    EXPECT_EQ(engine.start_decoding(), 0) << name;  // it had completed before the failure
  }
}

// Working memory stays bounded by the row, not the picture: the widest
// frame of every layout needs less than 1 MiB of pool beside the output on
// one thread, two threads add a ring of four MCU rows of at most 100 bytes
// per pixel of the width, and at no thread count does the height matter.
// Everything is allocated by the set-up or with the first MCU row; later
// rows, on whichever thread, allocate nothing.
TEST(JpegRowDriver, WidestPicturesNeedAFixedPoolPerThread) {
  // Two threads even where the machine's other work would leave one.
  jpeg::detail::consider_machine_load = false;
  for (auto [h0, v0] : {std::pair{0, 0}, {1, 1}, {2, 1}, {1, 2}, {2, 2}}) {
    const std::string layout = std::to_string(h0) + "x" + std::to_string(v0);
    const std::size_t mcu_blocks = h0 == 0 ? 1 : h0 * v0 + 2;
    const std::size_t mcus_across = 16384 / (8 * std::max(h0, 1));
    const int mcu_height = 8 * std::max(v0, 1);
    // The pool that a decode holds once it has handed out its first line.
    const auto held = [&](int threads, int height) -> std::size_t {
      // Every block a zero DC difference and an end of block, three 0 bits.
      const std::size_t mcus = mcus_across * static_cast<std::size_t>((height + mcu_height - 1) / mcu_height);
      const byte_string scan(mcus * mcu_blocks * 3 / 8 + 1, 0);
      const byte_string bytes =
          h0 == 0 ? soi() + grey_tables() + grey_frame(16384, height) + scan_header({{1, 0, 0}}) + scan + eoi()
                  : soi() + dqt(0) + dqt(1) + dht(dc_table(0x00) + ac_table(0x10) + dc_table(0x01) + ac_table(0x11)) +
                        frame_header(0xC0, 16384, height, {{1, h0, v0, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}) +
                        scan_header({{1, 0, 0}, {2, 1, 1}, {3, 1, 1}}) + scan + eoi();
      jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
      jpeg_decoder_engine engine(&stream, {.threads = threads});
      const std::uint8_t* line = nullptr;
      std::uint32_t length = 0;
      EXPECT_EQ(engine.start_decoding(), 0) << layout;
      EXPECT_EQ(engine.decode_row(&line, &length), 0) << layout;
      return access::heap_bytes(engine);
    };
    const std::size_t one_thread = held(1, 4000);
    EXPECT_LT(one_thread, 1u << 20) << layout;
    EXPECT_EQ(held(1, 16000), one_thread) << layout;
    const std::size_t two_threads = held(2, 4000);
    EXPECT_GT(two_threads, one_thread) << layout << " on 2 threads";
    EXPECT_LE(two_threads, one_thread + 4 * 100 * 16384) << layout << " on 2 threads";
    EXPECT_EQ(held(2, 16000), two_threads) << layout << " on 2 threads";
  }
}

TEST(JpegRowDriver, SequentialScanWithoutEveryComponentIsRefused) {
  // The first scan carries only the luma: nothing of the frame could be
  // converted from it.
  const byte_string bytes = soi() + dqt(0) + dqt(1) + dht(dc_table(0x00) + ac_table(0x10)) +
                            frame_header(0xC0, 16, 16, {{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}) +
                            scan_header({{1, 0, 0}}) + raw({0x12, 0x34}) + eoi();
  jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  jpeg_decoder_engine engine(&stream);
  EXPECT_EQ(engine.start_decoding(), -1);
  EXPECT_EQ(engine.status(), jpeg::scan_header_invalid);
}

// --- Entry points ----------------------------------------------------------

std::uint8_t* const size_query = reinterpret_cast<std::uint8_t*>(1);

TEST(JpegEntryPoints, SizeQueryAndRefusedArguments) {
  const byte_string bytes = read_file(corpus_path("420_33x31.jpg"));
  const int n = static_cast<int>(bytes.size());
  int w = -7, h = -7, c = -7;
  EXPECT_EQ(jpeg::decode_jpeg_from_memory(bytes.data(), n, &w, &h, &c, 4, size_query), size_query);
  EXPECT_EQ(w, 33);
  EXPECT_EQ(h, 31);
  EXPECT_EQ(c, 3);

  for (int requested : {0, 2, 5, -1}) {
    w = h = c = -7;
    EXPECT_EQ(jpeg::decode_jpeg_from_memory(bytes.data(), n, &w, &h, &c, requested, nullptr), nullptr);
    EXPECT_EQ(c, 0);
    EXPECT_EQ(w, -7);
    EXPECT_EQ(h, -7);
  }
  w = h = c = -7;
  EXPECT_EQ(jpeg::decode_jpeg_from_memory(bytes.data(), n, &w, &h, nullptr, 4, nullptr), nullptr);
  EXPECT_EQ(jpeg::decode_jpeg_from_memory(bytes.data(), n, nullptr, &h, &c, 4, nullptr), nullptr);
  EXPECT_EQ(c, 0);
  EXPECT_EQ(jpeg::decode_jpeg_from_memory(bytes.data(), n, &w, nullptr, &c, 4, nullptr), nullptr);
  EXPECT_EQ(jpeg::decode_jpeg_from_stream(nullptr, &w, &h, &c, 4, nullptr), nullptr);
  EXPECT_EQ(jpeg::decode_jpeg_from_memory(nullptr, 100, &w, &h, &c, 4, nullptr), nullptr);
  EXPECT_EQ(jpeg::decode_jpeg_from_memory(bytes.data(), -5, &w, &h, &c, 4, nullptr), nullptr);

  // A picture that fails at start_decoding still reports its size.
  const byte_string broken = soi() + grey_tables() + frame_header(0xC2, 33, 31, {{1, 1, 1, 0}}) +
                             scan_header({{1, 0, 0}}, 1, 64) + raw({0x00}) + eoi();
  w = h = c = -7;
  EXPECT_EQ(jpeg::decode_jpeg_from_memory(broken.data(), static_cast<int>(broken.size()), &w, &h, &c, 4, size_query),
            nullptr);
  EXPECT_EQ(w, 33);
  EXPECT_EQ(c, 1);
}

TEST(JpegEntryPoints, ComponentConversions) {
  for (const char* name : {"444_noise_q100_41x27.jpg", "420_q85_33x31.jpg", "grey_noise_q100_41x27.jpg"}) {
    SCOPED_TRACE(name);
    const byte_string bytes = read_file(corpus_path(name));
    const picture p1 = decode_ours(bytes, 1), p3 = decode_ours(bytes, 3), p4 = decode_ours(bytes, 4);
    ASSERT_TRUE(p1.ok && p3.ok && p4.ok);
    const std::size_t n = static_cast<std::size_t>(p4.width) * p4.height;
    const bool grey = p4.components == 1;
    for (std::size_t i = 0; i < n; ++i) {
      const int r = p4.pixels[i * 4], g = p4.pixels[i * 4 + 1], b = p4.pixels[i * 4 + 2];
      ASSERT_EQ(p4.pixels[i * 4 + 3], 255);
      ASSERT_EQ(p3.pixels[i * 3], r);
      ASSERT_EQ(p3.pixels[i * 3 + 1], g);
      ASSERT_EQ(p3.pixels[i * 3 + 2], b);
      if (grey) {
        ASSERT_EQ(g, r);
        ASSERT_EQ(b, r);
        ASSERT_EQ(p1.pixels[i], r);
      } else {
        ASSERT_EQ(p1.pixels[i], (r * 19595 + g * 38470 + b * 7471 + 32768) >> 16);
      }
    }
  }
}

TEST(JpegEntryPoints, CallersBufferAndFailures) {
  // Rows converted in the entry point (3) and straight from the decoder (4),
  // including the partial MCU at the right edge: exactly the rows are written.
  int w, h, c;
  for (const char* name : {"422_17x17.jpg", "440_7x3.jpg", "420_33x31.jpg", "444_1x1.jpg"}) {
    const byte_string bytes = read_file(corpus_path(name));
    for (int requested : {3, 4}) {
      const picture reference = decode_ours(bytes, requested);
      ASSERT_TRUE(reference.ok);
      const std::size_t size = reference.pixels.size();
      std::vector<std::uint8_t> buffer(size + 64, 0xAB);
      EXPECT_EQ(jpeg::decode_jpeg_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &c, requested,
                                              buffer.data()),
                buffer.data());
      EXPECT_TRUE(std::equal(reference.pixels.begin(), reference.pixels.end(), buffer.begin())) << name;
      for (std::size_t i = size; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xAB) << name << " " << requested;
    }
  }
  const byte_string bytes = read_file(corpus_path("422_17x17.jpg"));
  const picture reference = decode_ours(bytes, 3);

  // A failure in the last MCU row: the caller's rows above it are written,
  // the rest untouched, and the result is null.
  byte_string damaged = read_file(corpus_path("grey_17x9.jpg"));
  damaged.back() = 0xD3;
  std::vector<std::uint8_t> grey(17 * 9, 0xCD);
  EXPECT_EQ(jpeg::decode_jpeg_from_memory(damaged.data(), static_cast<int>(damaged.size()), &w, &h, &c, 1, grey.data()),
            nullptr);
  const picture intact = decode_ours(read_file(corpus_path("grey_17x9.jpg")), 1);
  EXPECT_TRUE(std::equal(grey.begin(), grey.begin() + 17 * 8, intact.pixels.begin()));
  for (std::size_t i = 17 * 8; i < grey.size(); ++i) ASSERT_EQ(grey[i], 0xCD);

  // From a file: a missing one leaves the outputs alone; a real one matches
  // the memory path.
  w = h = c = -7;
  EXPECT_EQ(jpeg::decode_jpeg_from_file("/nonexistent/x.jpg", &w, &h, &c, 4), nullptr);
  EXPECT_EQ(c, -7);
  std::uint8_t* from_file = jpeg::decode_jpeg_from_file(corpus_path("422_17x17.jpg").c_str(), &w, &h, &c, 3);
  ASSERT_NE(from_file, nullptr);
  EXPECT_TRUE(std::equal(reference.pixels.begin(), reference.pixels.end(), from_file));
  std::free(from_file);
}

}  // namespace

// ---------------------------------------------------------------------------
// Scaled decoding

namespace {

struct scaled_picture : picture {
  int denominator = 1;
};

scaled_picture decode_scaled(const byte_string& bytes, int denominator, int requested, int threads) {
  scaled_picture p;
  p.denominator = denominator;
  jpeg::decoder_limits limits;
  limits.threads = threads;
  jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  std::uint8_t* out = jpeg::decode_jpeg_scaled(&stream, &p.width, &p.height, &p.components, requested, denominator,
                                               limits, nullptr, nullptr, &p.status);
  if (out != nullptr) {
    p.ok = true;
    p.pixels.assign(out, out + static_cast<std::size_t>(p.width) * p.height * requested);
    std::free(out);
  }
  return p;
}

// The definition of a scaled decode, from the coefficients libjpeg reads:
// every block of component c is reconstructed from its W x H lowest
// frequencies by the real-valued W x H inverse DCT at the 8-point one's
// scale, W = (8 / d) * max_h / h_c and H likewise, so that every component's
// plane has the output's resolution; then rounded and clamped.
struct reference_planes {
  int width = 0, height = 0;
  std::vector<std::vector<std::uint8_t>> planes;
  std::vector<int> strides;
  int at(int c, int x, int y) const { return planes[c][static_cast<std::size_t>(y) * strides[c] + x]; }
};

void reconstruct_block(const JCOEF* block, const UINT16* quant, int w, int h, std::uint8_t* out, int stride) {
  std::int32_t dequantised[64];
  for (int i = 0; i < 64; ++i) dequantised[i] = block[i] * quant[i];
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double f = jpeg::reduced_idct_reference(dequantised, w, h, x, y);
      out[static_cast<std::size_t>(y) * stride + x] =
          static_cast<std::uint8_t>(std::clamp(std::lround(f + 128), 0L, 255L));
    }
  }
}

reference_planes scaled_reference(const byte_string& bytes, int d) {
  reference_planes r;
  libjpeg_reader reader(bytes);
  jpeg_decompress_struct& info = reader.info;
  jvirt_barray_ptr* arrays = nullptr;
  if (!reader.ok || !reader.run([&] { arrays = jpeg_read_coefficients(&info); })) return r;
  r.width = static_cast<int>((info.image_width + d - 1) / d);
  r.height = static_cast<int>((info.image_height + d - 1) / d);
  for (int c = 0; c < info.num_components; ++c) {
    const jpeg_component_info& ci = info.comp_info[c];
    const int w = 8 / d * info.max_h_samp_factor / ci.h_samp_factor;
    const int h = 8 / d * info.max_v_samp_factor / ci.v_samp_factor;
    const int stride = static_cast<int>(ci.width_in_blocks) * w;
    std::vector<std::uint8_t> plane(static_cast<std::size_t>(stride) * ci.height_in_blocks * h);
    for (JDIMENSION by = 0; by < ci.height_in_blocks; ++by) {
      JBLOCKARRAY row = nullptr;
      reader.run(
          [&] { row = info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&info), arrays[c], by, 1, FALSE); });
      for (JDIMENSION bx = 0; bx < ci.width_in_blocks; ++bx) {
        reconstruct_block(row[0][bx], ci.quant_table->quantval, w, h,
                          plane.data() + static_cast<std::size_t>(by) * h * stride + bx * w, stride);
      }
    }
    r.planes.push_back(std::move(plane));
    r.strides.push_back(stride);
  }
  return r;
}

// Whether the RGBA pixel is the colour conversion of samples each within 1
// of the reference's.
bool converts_from_near(const jpeg::colour_tables& t, const std::uint8_t* rgba, int y, int cb, int cr) {
  auto clamp = [](int v) { return std::clamp(v, 0, 255); };
  for (int dy = -1; dy <= 1; ++dy) {
    for (int db = -1; db <= 1; ++db) {
      for (int dr = -1; dr <= 1; ++dr) {
        const int yy = clamp(y + dy), b = clamp(cb + db), r = clamp(cr + dr);
        if (rgba[0] == clamp(yy + t.cr_to_red[r]) &&
            rgba[1] == clamp(yy + ((t.cr_to_green[r] + t.cb_to_green[b]) >> 16)) &&
            rgba[2] == clamp(yy + t.cb_to_blue[b]) && rgba[3] == 255)
          return true;
      }
    }
  }
  return false;
}

// The first pixel of a scaled picture that is not within 1 of the
// reference (as converts_from_near says for colour), or -1.
long first_pixel_off_reference(const scaled_picture& ours, const reference_planes& ref) {
  jpeg::colour_tables tables;
  jpeg::build_colour_tables(tables);
  for (int y = 0; y < ours.height; ++y) {
    for (int x = 0; x < ours.width; ++x) {
      const long i = static_cast<long>(y) * ours.width + x;
      const bool near = ours.components == 1 ? std::abs(ours.pixels[i * 4] - ref.at(0, x, y)) <= 1
                                             : converts_from_near(tables, &ours.pixels[i * 4], ref.at(0, x, y),
                                                                  ref.at(1, x, y), ref.at(2, x, y));
      if (!near) return i;
    }
  }
  return -1;
}

}  // namespace

// Every corpus picture at 1/2, 1/4 and 1/8 against the definition: its
// size is the full size divided and rounded up, and every sample is within
// 1 of the real-valued reduced transform of its coefficients. The output is
// the same on one thread and on several (progressive pictures from memory
// also read their scans on two), and through the line-by-line converters
// (3 components) as straight into the rows (4). A cut picture fails at
// every scale as it does at full size.
TEST(JpegScaledDecode, CorpusMatchesTheReducedTransform) {
  const std::uint64_t saved_pixels = jpeg::detail::min_threaded_pixels.exchange(0);
  jpeg::detail::consider_machine_load = false;
  int compared = 0;
  for (const corpus_file& entry : corpus_manifest()) {
    if (entry.status != 0 || entry.name == "rgb_ids.jpg") continue;
    SCOPED_TRACE(entry.name);
    const byte_string bytes = read_file(corpus_path(entry.name));
    const byte_string from_soi(bytes.begin() + entry.soi_offset, bytes.end());
    for (int d : {1, 2, 4, 8}) {
      SCOPED_TRACE(d);
      const scaled_picture ours = decode_scaled(bytes, d, 4, 1);
      ASSERT_TRUE(ours.ok) << jpeg::status_code_name(ours.status);
      if (d == 1) {
        EXPECT_EQ(ours.pixels, decode_ours(bytes, 4).pixels);
        continue;
      }
      const reference_planes ref = scaled_reference(from_soi, d);
      ASSERT_EQ(ours.width, ref.width);
      ASSERT_EQ(ours.height, ref.height);
      EXPECT_EQ(first_pixel_off_reference(ours, ref), -1);
      EXPECT_EQ(decode_scaled(bytes, d, 4, 2).pixels, ours.pixels);
      const scaled_picture rgb = decode_scaled(bytes, d, 3, 2);
      for (std::size_t i = 0, n = rgb.pixels.size() / 3; i < n; ++i) {
        ASSERT_EQ(std::memcmp(&rgb.pixels[3 * i], &ours.pixels[4 * i], 3), 0) << i;
      }
      ++compared;
      for (std::size_t cut = bytes.size() / 3; cut < bytes.size(); cut += bytes.size() / 5 + 1) {
        const byte_string part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_EQ(decode_scaled(part, d, 4, 1).status, decode_ours(part, 4).status) << cut;
      }
    }
  }
  jpeg::detail::min_threaded_pixels.store(saved_pixels);
  jpeg::detail::consider_machine_load = true;
  EXPECT_GT(compared, 200);
}
