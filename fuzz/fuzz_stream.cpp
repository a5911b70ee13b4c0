// The decoder through a stream that the fuzzer controls: how many bytes each
// read delivers, how the data end (with the last bytes, or by an empty read
// after them), and a stream that ends early or fails at a chosen byte. How
// the bytes arrive must not change the picture: each decode is compared with
// the decode of the same bytes from memory. Nor must threads: the stream's
// decode on the caller's thread alone and on two threads deliver the same
// rows with the same bytes, and end the same.
#include "jpeg_decoder.h"
#include "jpeg_mutator.h"
#include "threads.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

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

// Small pictures too go through the threads, which they would otherwise
// skip, and on a busy machine too; pictures in memory with restart markers
// have bands of rows read ahead, however light their data.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  jpeg::detail::min_threaded_pixels = 0;
  jpeg::detail::consider_machine_load = false;
  jpeg::detail::bands_for_every_picture = true;
  return 0;
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
  // The bytes the stream holds: those before the cut when it ends early.
  const std::size_t had = how == ending::early ? cut : size;

  jpeg::decoder_limits limits;
  limits.max_pixels = fuzz::max_pixels;
  limits.threads = 1;
  // The picture's size from its headers, for buffers of the caller's, which
  // keep the rows that a failing decode delivered. Where the headers fail,
  // every decode of these bytes fails before its first row.
  jpeg::jpeg_decoder_mem_stream header(data, static_cast<std::uint32_t>(had));
  const jpeg::jpeg_decoder_engine frame(&header, limits);
  const bool sized = frame.status() == 0;
  const std::size_t bytes =
      sized ? static_cast<std::size_t>(frame.width()) * static_cast<std::size_t>(frame.height()) * requested : 0;

  // The same reads and the same ending on one thread and on two.
  struct outcome {
    std::vector<std::uint8_t> pixels;
    bool done = false, read_failed = false;
    int w = 0, h = 0, c = 0, status = 0;
  };
  auto through_stream = [&](int threads) {
    jpeg::decoder_limits under = limits;
    under.threads = threads;
    fuzzed_stream stream(data, size, cut, how, seed);
    outcome o{std::vector<std::uint8_t>(bytes)};
    o.done = jpeg::decode_jpeg_with_limits(&stream, &o.w, &o.h, &o.c, requested, sized ? o.pixels.data() : nullptr,
                                           under, &o.status) != nullptr;
    if (o.done && !sized) std::abort();
    o.read_failed = stream.failed;
    return o;
  };
  const outcome one = through_stream(1);
  const outcome two = through_stream(2);
  if (one.done != two.done || one.status != two.status || one.read_failed != two.read_failed || one.w != two.w ||
      one.h != two.h || one.c != two.c || one.pixels != two.pixels)
    __builtin_trap();
  if (one.read_failed) {
    // A read failure ends the decode, with its own code.
    if (one.done || one.status != jpeg::input_read_failed) std::abort();
    return 0;
  }

  // The same bytes from memory: those the stream had, or all of them when
  // the decode never reached the failing byte.
  int mw = 0, mh = 0, mc = 0;
  jpeg::jpeg_decoder_mem_stream memory(data, static_cast<std::uint32_t>(had));
  std::uint8_t* expected = jpeg::decode_jpeg_with_limits(&memory, &mw, &mh, &mc, requested, nullptr, limits, nullptr);
  if (one.done != (expected != nullptr)) std::abort();
  if (one.done && (one.w != mw || one.h != mh || one.c != mc || std::memcmp(one.pixels.data(), expected, bytes) != 0))
    std::abort();
  std::free(expected);
  return 0;
}
