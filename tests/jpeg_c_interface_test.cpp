// The C interface against the C++ entry point it wraps: the same sizes,
// pixels and statuses, the options struct's size rule, and the bound of the
// caller's buffer. Linked to the shared library, as C programs use it.
#include "picshow_jpeg.h"

#include "jpeg_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const std::string kick1 = PROJECT_ROOT "/data/kick1.jpg";

struct cpp_decode {
  int status = 0;
  int width = 0;
  int height = 0;
  int components = 0;
  byte_string pixels;
};

cpp_decode decode_cpp(const byte_string& data, int requested, const jpeg::decoder_limits& limits = {}) {
  jpeg::jpeg_decoder_mem_stream stream(data.data(), static_cast<std::uint32_t>(data.size()));
  cpp_decode d;
  std::uint8_t* pixels =
      jpeg::decode_jpeg_with_limits(&stream, &d.width, &d.height, &d.components, requested, nullptr, limits, &d.status);
  if (pixels != nullptr) {
    d.pixels.assign(pixels, pixels + static_cast<std::size_t>(d.width) * d.height * requested);
    std::free(pixels);
  }
  return d;
}

// A decode through the C interface into a buffer of exactly the picture's size.
int decode_c(const byte_string& data, const picshow_jpeg_options* options, int requested, byte_string& pixels) {
  int width = 0, height = 0;
  const int status = picshow_jpeg_query_memory(data.data(), data.size(), options, &width, &height, nullptr);
  if (status != PICSHOW_JPEG_OK) return status;
  pixels.assign(static_cast<std::size_t>(width) * height * requested, 0xAA);
  return picshow_jpeg_decode_memory(data.data(), data.size(), options, requested, pixels.data(), pixels.size(), nullptr,
                                    nullptr, nullptr);
}

// The progressive picture's scan count: its start-of-scan markers, which
// entropy-coded data cannot imitate (a 0xFF there is followed by 0x00).
int scan_count(const byte_string& data) {
  int scans = 0;
  for (std::size_t i = 0; i + 1 < data.size(); ++i) scans += data[i] == 0xFF && data[i + 1] == 0xDA;
  return scans;
}

TEST(JpegCInterface, DecodesAsTheCppEntryPointFromMemoryAndFileIntoEitherBuffer) {
  for (const std::string& path :
       {kick1, corpus_path("grey_prog_255x129.jpg"), corpus_path("422_restart_3b_prog.jpg")}) {
    const byte_string data = read_file(path);
    ASSERT_FALSE(data.empty()) << path;
    for (int requested : {1, 3, 4}) {
      SCOPED_TRACE(path + " as " + std::to_string(requested));
      const cpp_decode expected = decode_cpp(data, requested);
      ASSERT_EQ(expected.status, 0);

      int width = -1, height = -1, components = -1;
      ASSERT_EQ(picshow_jpeg_query_file(path.c_str(), nullptr, &width, &height, &components), PICSHOW_JPEG_OK);
      EXPECT_EQ(width, expected.width);
      EXPECT_EQ(height, expected.height);
      EXPECT_EQ(components, expected.components);

      byte_string pixels;
      ASSERT_EQ(decode_c(data, nullptr, requested, pixels), PICSHOW_JPEG_OK);
      EXPECT_TRUE(pixels == expected.pixels);

      std::fill(pixels.begin(), pixels.end(), 0xAA);
      ASSERT_EQ(picshow_jpeg_decode_file(path.c_str(), nullptr, requested, pixels.data(), pixels.size(), &width,
                                         &height, &components),
                PICSHOW_JPEG_OK);
      EXPECT_TRUE(pixels == expected.pixels);

      for (bool from_file : {false, true}) {
        std::uint8_t* allocated = nullptr;
        width = height = components = -1;
        const int status = from_file
                               ? picshow_jpeg_decode_file_allocated(path.c_str(), nullptr, requested, &allocated,
                                                                    &width, &height, &components)
                               : picshow_jpeg_decode_memory_allocated(data.data(), data.size(), nullptr, requested,
                                                                      &allocated, &width, &height, &components);
        ASSERT_EQ(status, PICSHOW_JPEG_OK);
        ASSERT_NE(allocated, nullptr);
        EXPECT_EQ(width * height * components, expected.width * expected.height * expected.components);
        EXPECT_TRUE(std::equal(expected.pixels.begin(), expected.pixels.end(), allocated));
        picshow_jpeg_free(allocated);
      }
    }
  }
  picshow_jpeg_free(nullptr);
}

TEST(JpegCInterface, OptionsReadUpToTheirSizeAndLimitTheDecode) {
  const byte_string data = read_file(corpus_path("422_restart_3b_prog.jpg"));
  const cpp_decode expected = decode_cpp(data, 3);
  ASSERT_EQ(expected.status, 0);
  const auto pixels = static_cast<std::uint64_t>(expected.width) * static_cast<std::uint64_t>(expected.height);
  const int scans = scan_count(data);
  ASSERT_GT(scans, 2);

  picshow_jpeg_options options;
  picshow_jpeg_default_options(&options);
  byte_string out;
  options.threads = 1;
  ASSERT_EQ(decode_c(data, &options, 3, out), PICSHOW_JPEG_OK);
  EXPECT_TRUE(out == expected.pixels);

  // The limits refuse as the C++ ones do, at the same bounds.
  options.max_scans = scans - 1;
  EXPECT_EQ(decode_c(data, &options, 3, out), PICSHOW_JPEG_TOO_MANY_SCANS);
  EXPECT_EQ(decode_cpp(data, 3, {.max_scans = scans - 1}).status, PICSHOW_JPEG_TOO_MANY_SCANS);
  options.max_scans = scans;
  EXPECT_EQ(decode_c(data, &options, 3, out), PICSHOW_JPEG_OK);
  options.max_pixels = pixels - 1;
  int width = -1;
  EXPECT_EQ(picshow_jpeg_query_memory(data.data(), data.size(), &options, &width, nullptr, nullptr),
            PICSHOW_JPEG_PICTURE_TOO_LARGE);
  EXPECT_EQ(width, 0);
  options.max_pixels = pixels;
  EXPECT_EQ(decode_c(data, &options, 3, out), PICSHOW_JPEG_OK);

  // Scaled output: the C++ entry point's sizes and bytes, into a buffer of
  // exactly its size (one pixel less is refused before any byte is
  // written); other denominators are refused.
  picshow_jpeg_default_options(&options);
  for (int scale : {2, 4, 8}) {
    SCOPED_TRACE(scale);
    options.scale_denominator = scale;
    jpeg::jpeg_decoder_mem_stream stream(data.data(), static_cast<std::uint32_t>(data.size()));
    int width = 0, height = 0, components = 0;
    std::uint8_t* want =
        jpeg::decode_jpeg_scaled(&stream, &width, &height, &components, 3, scale, {}, nullptr, nullptr, nullptr);
    ASSERT_NE(want, nullptr);
    EXPECT_EQ(width, (expected.width + scale - 1) / scale);
    ASSERT_EQ(decode_c(data, &options, 3, out), PICSHOW_JPEG_OK);
    EXPECT_TRUE(out == byte_string(want, want + static_cast<std::size_t>(width) * height * 3));
    std::free(want);
    std::fill(out.begin(), out.end(), 0xAA);
    EXPECT_EQ(picshow_jpeg_decode_memory(data.data(), data.size(), &options, 3, out.data(), out.size() - 3, &width,
                                         nullptr, nullptr),
              PICSHOW_JPEG_PICTURE_TOO_LARGE);
    EXPECT_EQ(width, 0);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0xAA), static_cast<std::ptrdiff_t>(out.size()));
  }
  for (int scale : {0, 3, 16}) {
    options.scale_denominator = scale;
    EXPECT_EQ(picshow_jpeg_query_memory(data.data(), data.size(), &options, nullptr, nullptr, nullptr),
              PICSHOW_JPEG_OPTION_REFUSED);
  }
  EXPECT_STREQ(picshow_jpeg_status_name(PICSHOW_JPEG_OPTION_REFUSED), "option_refused");

  // A caller built when the struct ended after max_pixels: that field is
  // read, the ones beyond its size are not (max_scans 1 and scale 3 would
  // both refuse the picture).
  options.max_scans = 1;
  options.scale_denominator = 3;
  options.size = offsetof(picshow_jpeg_options, max_scans);
  options.max_pixels = pixels - 1;
  EXPECT_EQ(decode_c(data, &options, 3, out), PICSHOW_JPEG_PICTURE_TOO_LARGE);
  options.max_pixels = 0;
  EXPECT_EQ(decode_c(data, &options, 3, out), PICSHOW_JPEG_OK);
  EXPECT_TRUE(out == expected.pixels);
  options.size = PICSHOW_JPEG_OPTIONS_MIN_SIZE;
  EXPECT_EQ(decode_c(data, &options, 3, out), PICSHOW_JPEG_OK);
  // One that never set the size is refused.
  for (std::size_t size : {std::size_t{0}, PICSHOW_JPEG_OPTIONS_MIN_SIZE - 1}) {
    options.size = size;
    EXPECT_EQ(picshow_jpeg_query_memory(data.data(), data.size(), &options, nullptr, nullptr, nullptr),
              PICSHOW_JPEG_OPTION_REFUSED);
  }
  // A caller built with fields this library does not know.
  struct {
    picshow_jpeg_options known;
    unsigned char later[64];
  } larger;
  std::fill(std::begin(larger.later), std::end(larger.later), 0xFF);
  picshow_jpeg_default_options(&larger.known);
  larger.known.size = sizeof larger;
  EXPECT_EQ(decode_c(data, &larger.known, 3, out), PICSHOW_JPEG_OK);
  EXPECT_TRUE(out == expected.pixels);
}

TEST(JpegCInterface, FailsWithTheCppStatusAndWithinTheCallersBuffer) {
  const byte_string picture = read_file(kick1);
  // Damaged input fails with the C++ entry point's status: files the decoder
  // refuses, a picture cut short in its headers and in its scan, no data.
  std::vector<byte_string> damaged = {byte_string(picture.begin(), picture.begin() + 300),
                                      byte_string(picture.begin(), picture.begin() + picture.size() / 2),
                                      byte_string(4, 0)};
  for (const corpus_file& f : corpus_manifest()) {
    if (f.status != 0) damaged.push_back(read_file(corpus_path(f.name)));
  }
  for (const byte_string& data : damaged) {
    const cpp_decode expected = decode_cpp(data, 4);
    ASSERT_NE(expected.status, 0);
    int width = -1, height = -1, components = -1;
    std::uint8_t* allocated = nullptr;
    const int status = picshow_jpeg_decode_memory_allocated(data.data(), data.size(), nullptr, 4, &allocated, &width,
                                                            &height, &components);
    EXPECT_EQ(status, expected.status) << picshow_jpeg_status_name(status);
    EXPECT_EQ(allocated, nullptr);
    EXPECT_EQ(width, expected.width);
    EXPECT_EQ(components, expected.components);
  }
  EXPECT_EQ(picshow_jpeg_query_file(PROJECT_ROOT "/data/no such file.jpg", nullptr, nullptr, nullptr, nullptr),
            PICSHOW_JPEG_INPUT_READ_FAILED);

  // A buffer one byte short is refused before anything is written in it.
  int width = 0, height = 0;
  ASSERT_EQ(picshow_jpeg_query_memory(picture.data(), picture.size(), nullptr, &width, &height, nullptr), 0);
  byte_string buffer(static_cast<std::size_t>(width) * height * 3 - 1, 0xAA);
  for (std::size_t size : {buffer.size(), std::size_t{2}, std::size_t{0}}) {
    EXPECT_EQ(picshow_jpeg_decode_memory(picture.data(), picture.size(), nullptr, 3, buffer.data(), size, nullptr,
                                         nullptr, nullptr),
              PICSHOW_JPEG_PICTURE_TOO_LARGE)
        << size;
  }
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xAA; }));

  // Arguments the interface does not take.
  std::uint8_t* allocated = nullptr;
  const void* no_data = nullptr;
  EXPECT_EQ(picshow_jpeg_decode_memory(picture.data(), picture.size(), nullptr, 2, buffer.data(), buffer.size(),
                                       nullptr, nullptr, nullptr),
            PICSHOW_JPEG_OPTION_REFUSED);
  EXPECT_EQ(picshow_jpeg_decode_memory(picture.data(), picture.size(), nullptr, 3, nullptr, buffer.size(), nullptr,
                                       nullptr, nullptr),
            PICSHOW_JPEG_OPTION_REFUSED);
  EXPECT_EQ(picshow_jpeg_decode_memory_allocated(no_data, 1, nullptr, 3, &allocated, nullptr, nullptr, nullptr),
            PICSHOW_JPEG_OPTION_REFUSED);
  EXPECT_EQ(picshow_jpeg_decode_file_allocated(kick1.c_str(), nullptr, 3, nullptr, nullptr, nullptr, nullptr),
            PICSHOW_JPEG_OPTION_REFUSED);
  if constexpr (SIZE_MAX > UINT32_MAX) {
    EXPECT_EQ(
        picshow_jpeg_query_memory(picture.data(), std::size_t{UINT32_MAX} + 1, nullptr, nullptr, nullptr, nullptr),
        PICSHOW_JPEG_OPTION_REFUSED);
  }
}

}  // namespace
