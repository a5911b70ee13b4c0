// Hostile bytes into every decode-into-buffer path: size query, each
// requested component count, and the row-by-row engine interface. The RGBA
// decode into a buffer of the caller's and the engine run on the caller's
// thread alone and on two threads, and must deliver the same: the same rows
// with the same bytes, and the same end.
#include "jpeg_decoder.h"
#include "jpeg_mutator.h"
#include "threads.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned seed) {
  return fuzz::mutate_jpeg(data, size, max_size, seed);
}

// Small pictures too go through the threads, which they would otherwise
// skip, and on a busy machine too; pictures in memory with restart markers
// have bands of rows read ahead, however light their data.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  jpeg::detail::min_threaded_pixels = 0;
  jpeg::detail::consider_machine_load = false;
  jpeg::detail::bands_for_every_picture = true;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  jpeg::decoder_limits limits;
  limits.max_pixels = fuzz::max_pixels;
  limits.threads = 1;
  jpeg::decoder_limits two_threads = limits;
  two_threads.threads = 2;
  jpeg::jpeg_decoder_mem_stream stream(data, static_cast<std::uint32_t>(size));
  jpeg::jpeg_decoder_engine engine(&stream, limits);
  if (engine.status() != 0) return 0;

  int w = 0, h = 0, c = 0, status = 0;
  auto decode = [&](int requested, std::uint8_t* destination, const jpeg::decoder_limits& under) {
    jpeg::jpeg_decoder_mem_stream from(data, static_cast<std::uint32_t>(size));
    return jpeg::decode_jpeg_with_limits(&from, &w, &h, &c, requested, destination, under, &status);
  };
  if (!decode(4, reinterpret_cast<std::uint8_t*>(1), limits)) return 0;
  const std::size_t bytes = static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4;
  for (int requested : {1, 3}) std::free(decode(requested, nullptr, limits));
  // Into buffers of the caller's, which keep the rows that a failing decode
  // delivered; alpha is never 0, so no delivered row looks like the fill.
  auto* one = static_cast<std::uint8_t*>(std::calloc(bytes, 1));
  auto* two = static_cast<std::uint8_t*>(std::calloc(bytes, 1));
  const bool one_done = decode(4, one, limits) != nullptr;
  const int one_status = status;
  if ((decode(4, two, two_threads) != nullptr) != one_done || status != one_status || std::memcmp(one, two, bytes) != 0)
    __builtin_trap();
  std::free(one);
  std::free(two);

  // The engine directly, in step with one on two threads, with calls past
  // the last line.
  jpeg::jpeg_decoder_mem_stream stream_two(data, static_cast<std::uint32_t>(size));
  jpeg::jpeg_decoder_engine engine_two(&stream_two, two_threads);
  const int started = engine.start_decoding();
  if (engine_two.start_decoding() != started) __builtin_trap();
  if (started == 0) {
    for (int y = 0; y <= engine.height() + 1; ++y) {
      const std::uint8_t *line, *line_two;
      std::uint32_t length, length_two;
      const int result = engine.decode_row(&line, &length);
      if (engine_two.decode_row(&line_two, &length_two) != result ||
          (result == 0 && (length != length_two || std::memcmp(line, line_two, length) != 0)))
        __builtin_trap();
    }
  }
  if (engine.status() != engine_two.status()) __builtin_trap();
  return 0;
}
