// The decoder through a stream that the fuzzer controls: how many bytes each
// read delivers, how the data end (with the last bytes, or by an empty read
// after them), and a stream that ends early or fails at a chosen byte. How
// the bytes arrive must not change the picture: each decode is compared with
// the decode of the same bytes from memory.
#include "jpeg_decoder.h"
#include "jpeg_mutator.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

// The first bytes of an input steer the stream; the JPEG follows them.
constexpr std::size_t control_bytes = 4;

enum class ending { with_last_bytes, by_empty_read, early, failure };

class fuzzed_stream : public jpeg::jpeg_decoder_stream {
 public:
  fuzzed_stream(const std::uint8_t* data, std::size_t size, std::size_t cut, ending how, unsigned seed)
      : data_(data), size_(how == ending::early ? cut : size), cut_(cut), how_(how), sizes_(seed) {}

  int read_bytes(std::uint8_t* buffer, int n, bool* end_flag) override {
    if (failed) return -1;
    // Short reads of varied lengths; never an empty read before the end.
    static constexpr std::size_t limits[] = {1, 2, 3, 17, 512, 8192};
    const std::size_t kind = sizes_() % 8;
    const std::size_t limit = kind < 2 ? static_cast<std::size_t>(n) : 1 + sizes_() % limits[kind - 2];
    std::size_t count = std::min({static_cast<std::size_t>(n), limit, size_ - position_});
    if (how_ == ending::failure && position_ + count > cut_) {
      failed = true;
      return -1;
    }
    std::memcpy(buffer, data_ + position_, count);
    position_ += count;
    if (position_ == size_ && (how_ != ending::by_empty_read || count == 0)) *end_flag = true;
    return static_cast<int>(count);
  }

  bool failed = false;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
  std::size_t cut_;
  ending how_;
  std::minstd_rand sizes_;
};

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned seed) {
  if (size < control_bytes || max_size <= control_bytes || seed % 8 == 0) return LLVMFuzzerMutate(data, size, max_size);
  return control_bytes + fuzz::mutate_jpeg(data + control_bytes, size - control_bytes, max_size - control_bytes, seed);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t input_size) {
  if (input_size < control_bytes || input_size > (1u << 20)) return 0;
  const std::uint8_t* data = input + control_bytes;
  const std::size_t size = input_size - control_bytes;
  const auto how = static_cast<ending>(input[0] & 3);
  static constexpr int requested_by_bits[] = {1, 3, 4, 4};
  const int requested = requested_by_bits[(input[0] >> 2) & 3];
  const std::size_t cut = (static_cast<std::size_t>(input[1]) << 8 | input[2]) % (size + 1);
  const unsigned seed = static_cast<unsigned>(input[3]) | static_cast<unsigned>(input[0] >> 4) << 8;

  jpeg::decoder_limits limits;
  limits.max_pixels = fuzz::max_pixels;
  fuzzed_stream stream(data, size, cut, how, seed);
  int w = 0, h = 0, c = 0, status = 0;
  std::uint8_t* out = jpeg::decode_jpeg_with_limits(&stream, &w, &h, &c, requested, nullptr, limits, &status);
  if (stream.failed) {
    // A read failure ends the decode, with its own code.
    if (out != nullptr || status != jpeg::input_read_failed) std::abort();
    return 0;
  }

  // The same bytes from memory: those the stream had, or all of them when
  // the decode never reached the failing byte.
  const std::size_t had = how == ending::early ? cut : size;
  int mw = 0, mh = 0, mc = 0;
  jpeg::jpeg_decoder_mem_stream memory(data, static_cast<std::uint32_t>(had));
  std::uint8_t* expected = jpeg::decode_jpeg_with_limits(&memory, &mw, &mh, &mc, requested, nullptr, limits, nullptr);
  if ((out == nullptr) != (expected == nullptr)) std::abort();
  if (out != nullptr &&
      (w != mw || h != mh || c != mc ||
       std::memcmp(out, expected, static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * requested) != 0)) {
    std::abort();
  }
  std::free(out);
  std::free(expected);
  return 0;
}
