// Hostile bytes into every decode-into-buffer path: size query, each
// requested component count, and the row-by-row engine interface.
#include "jpeg_decoder.h"
#include "jpeg_mutator.h"

#include <cstdint>
#include <cstdlib>
#include <initializer_list>

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned seed) {
  return fuzz::mutate_jpeg(data, size, max_size, seed);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  jpeg::decoder_limits limits;
  limits.max_pixels = fuzz::max_pixels;
  jpeg::jpeg_decoder_mem_stream stream(data, static_cast<std::uint32_t>(size));
  jpeg::jpeg_decoder_engine engine(&stream, limits);
  if (engine.status() != 0) return 0;

  auto decode = [&](int requested, std::uint8_t* destination) {
    jpeg::jpeg_decoder_mem_stream from(data, static_cast<std::uint32_t>(size));
    int w = 0, h = 0, c = 0;
    return jpeg::decode_jpeg_with_limits(&from, &w, &h, &c, requested, destination, limits, nullptr);
  };
  if (!decode(4, reinterpret_cast<std::uint8_t*>(1))) return 0;
  for (int requested : {1, 3, 4}) std::free(decode(requested, nullptr));
  // The engine directly, with calls past the last line.
  if (engine.start_decoding() == 0) {
    const std::uint8_t* line;
    std::uint32_t length;
    unsigned sum = 0;
    for (int y = 0; y <= engine.height() + 1; ++y) {
      if (engine.decode_row(&line, &length) == 0) sum += line[length - 1];
    }
    if (sum == 0xFFFFFFFFu) std::abort();  // keeps the reads
  }
  return 0;
}
