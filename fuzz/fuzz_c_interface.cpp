// Hostile bytes through the C interface, with options whose size ends at
// each of their fields: every call must give what the C++ entry point gives
// for the same bytes under the limits that size leaves (the status, the
// picture's size, the pixels), and a caller's buffer one byte short of the
// picture must be refused before anything is written into it.
#include "jpeg_decoder.h"
#include "jpeg_mutator.h"
#include "picshow_jpeg.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned seed) {
  return fuzz::mutate_jpeg(data, size, max_size, seed);
}

namespace {

struct cpp_result {
  int status = 0;
  int width = 0, height = 0, components = 0;
  std::vector<std::uint8_t> pixels;
};

cpp_result decode_cpp(const std::uint8_t* data, std::size_t size, int requested, int scale,
                      const jpeg::decoder_limits& limits) {
  cpp_result r;
  jpeg::jpeg_decoder_mem_stream stream(data, static_cast<std::uint32_t>(size));
  std::uint8_t* pixels = jpeg::decode_jpeg_scaled(&stream, &r.width, &r.height, &r.components, requested, scale, limits,
                                                  nullptr, nullptr, &r.status);
  if (pixels != nullptr) {
    r.pixels.assign(pixels, pixels + static_cast<std::size_t>(r.width) * r.height * requested);
    std::free(pixels);
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  // The last byte chooses where the options end, the components, the scale
  // and the threads; the options always reach past max_pixels, which keeps
  // hostile sizes from large allocations.
  const unsigned choice = data[size - 1];
  static constexpr std::size_t option_sizes[] = {
      offsetof(picshow_jpeg_options, max_scans), offsetof(picshow_jpeg_options, threads),
      offsetof(picshow_jpeg_options, scale_denominator), sizeof(picshow_jpeg_options)};
  static constexpr int components[] = {1, 3, 4, 4};
  const int requested = components[(choice >> 2) & 3];
  picshow_jpeg_options options;
  picshow_jpeg_default_options(&options);
  options.size = option_sizes[choice & 3];
  options.max_pixels = fuzz::max_pixels;
  options.max_scans = 16;
  options.threads = 1 + static_cast<int>(choice >> 7);
  options.scale_denominator = 1 << ((choice >> 4) & 3);
  jpeg::decoder_limits limits;
  limits.max_pixels = fuzz::max_pixels;
  if (options.size >= offsetof(picshow_jpeg_options, threads)) limits.max_scans = options.max_scans;
  const int scale = options.size == sizeof(picshow_jpeg_options) ? options.scale_denominator : 1;

  const cpp_result want = decode_cpp(data, size, requested, scale, limits);
  int w = -1, h = -1, c = -1;
  std::uint8_t* pixels = nullptr;
  const int status = picshow_jpeg_decode_memory_allocated(data, size, &options, requested, &pixels, &w, &h, &c);
  if (status != want.status || (status == 0) != (pixels != nullptr) || c != want.components ||
      (c != 0 && (w != want.width || h != want.height)))
    __builtin_trap();
  if (pixels != nullptr && std::memcmp(pixels, want.pixels.data(), want.pixels.size()) != 0) __builtin_trap();
  picshow_jpeg_free(pixels);

  int qw = -1, qh = -1, qc = -1;
  const int queried = picshow_jpeg_query_memory(data, size, &options, &qw, &qh, &qc);
  if (queried == 0 && (qw != want.width || qh != want.height || qc != want.components)) __builtin_trap();
  if (want.components == 0) return 0;

  // Into a buffer of exactly the picture's size, and of one byte less.
  const std::size_t bytes = static_cast<std::size_t>(want.width) * want.height * requested;
  std::vector<std::uint8_t> buffer(bytes + 1, 0xA5);
  if (picshow_jpeg_decode_memory(data, size, &options, requested, buffer.data(), bytes, &w, &h, &c) != want.status)
    __builtin_trap();
  if (want.status == 0 && std::memcmp(buffer.data(), want.pixels.data(), bytes) != 0) __builtin_trap();
  if (buffer[bytes] != 0xA5) __builtin_trap();
  std::vector<std::uint8_t> short_buffer(bytes, 0xA5);
  if (picshow_jpeg_decode_memory(data, size, &options, requested, short_buffer.data(), bytes - 1, &w, &h, &c) !=
      PICSHOW_JPEG_PICTURE_TOO_LARGE)
    __builtin_trap();
  for (std::uint8_t b : short_buffer)
    if (b != 0xA5) __builtin_trap();
  return 0;
}
