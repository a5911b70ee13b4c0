// The C interface of picshow_jpeg.h over the C++ entry points: options to
// decoder_limits, buffers to destinations, results to status codes. The
// pixels go straight into the caller's or the allocated buffer, as with the
// C++ entry points; nothing here touches them.
#include "picshow_jpeg.h"

#include "jpeg_decoder.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

using namespace jpeg;

// The C codes are the C++ ones, in the same order and as many.
constexpr std::array c_codes{
    PICSHOW_JPEG_TOO_MANY_HUFFMAN_SYMBOLS,
    PICSHOW_JPEG_HUFFMAN_SLOT_OUT_OF_RANGE,
    PICSHOW_JPEG_HUFFMAN_SEGMENT_LENGTH_INVALID,
    PICSHOW_JPEG_QUANT_SEGMENT_LENGTH_INVALID,
    PICSHOW_JPEG_QUANT_TABLE_ID_OUT_OF_RANGE,
    PICSHOW_JPEG_UNSUPPORTED_PRECISION,
    PICSHOW_JPEG_HEIGHT_OUT_OF_RANGE,
    PICSHOW_JPEG_WIDTH_OUT_OF_RANGE,
    PICSHOW_JPEG_FRAME_COMPONENTS_OVER_FOUR,
    PICSHOW_JPEG_FRAME_HEADER_LENGTH_MISMATCH,
    PICSHOW_JPEG_SEGMENT_LENGTH_INVALID,
    PICSHOW_JPEG_RESTART_INTERVAL_LENGTH_INVALID,
    PICSHOW_JPEG_SCAN_HEADER_INVALID,
    PICSHOW_JPEG_SCAN_COMPONENT_NOT_IN_FRAME,
    PICSHOW_JPEG_ARITHMETIC_CODING_UNSUPPORTED,
    PICSHOW_JPEG_MARKER_OUT_OF_PLACE,
    PICSHOW_JPEG_START_OF_IMAGE_MISSING,
    PICSHOW_JPEG_UNSUPPORTED_FRAME_TYPE,
    PICSHOW_JPEG_QUANT_TABLE_TRUNCATED,
    PICSHOW_JPEG_QUANT_TABLE_MISSING,
    PICSHOW_JPEG_HUFFMAN_TABLE_MISSING,
    PICSHOW_JPEG_UNSUPPORTED_COMPONENT_COUNT,
    PICSHOW_JPEG_UNSUPPORTED_SAMPLING,
    PICSHOW_JPEG_COEFFICIENT_INDEX_OVERFLOW,
    PICSHOW_JPEG_RESTART_MARKER_MISMATCH,
    PICSHOW_JPEG_MCU_ROW_TOO_WIDE,
    PICSHOW_JPEG_SPECTRAL_SELECTION_INVALID,
    PICSHOW_JPEG_SUCCESSIVE_APPROXIMATION_INVALID,
    PICSHOW_JPEG_INPUT_READ_FAILED,
    PICSHOW_JPEG_OUT_OF_MEMORY,
    PICSHOW_JPEG_TOO_MANY_SCANS,
    PICSHOW_JPEG_PICTURE_TOO_LARGE,
    PICSHOW_JPEG_SCAN_DATA_MISSING,
    PICSHOW_JPEG_OPTION_REFUSED,
};
constexpr std::array cpp_codes{
#define JPEG_STATUS_VALUE(name, value) name,
    JPEG_STATUS_CODES(JPEG_STATUS_VALUE)
#undef JPEG_STATUS_VALUE
};
constexpr bool codes_agree() {
  if (c_codes.size() != cpp_codes.size()) return false;
  for (std::size_t i = 0; i < c_codes.size(); ++i) {
    if (c_codes[i] != cpp_codes[i]) return false;
  }
  return PICSHOW_JPEG_OK == status_ok;
}
static_assert(codes_agree(), "picshow_jpeg.h must list every status_code with its value, in the same order");

// Whether the caller's struct reaches the end of the field at offset with
// that size: only such fields are read.
bool holds(const picshow_jpeg_options& options, std::size_t offset, std::size_t size) {
  return options.size >= offset + size;
}
#define PICSHOW_JPEG_HOLDS(options, field) \
  holds(options, offsetof(picshow_jpeg_options, field), sizeof(picshow_jpeg_options::field))

struct call_options {
  decoder_limits limits;
  int scale_denominator = 1;
};

// The caller's options, or option_refused.
int read_options(const picshow_jpeg_options* options, call_options& call) {
  call = call_options{};
  if (options == nullptr) return status_ok;
  if (options->size < PICSHOW_JPEG_OPTIONS_MIN_SIZE) return option_refused;
  if (PICSHOW_JPEG_HOLDS(*options, max_pixels)) call.limits.max_pixels = options->max_pixels;
  if (PICSHOW_JPEG_HOLDS(*options, max_scans)) call.limits.max_scans = options->max_scans;
  if (PICSHOW_JPEG_HOLDS(*options, threads)) call.limits.threads = options->threads;
  if (PICSHOW_JPEG_HOLDS(*options, scale_denominator)) call.scale_denominator = options->scale_denominator;
  switch (call.scale_denominator) {
    case 1:
    case 2:
    case 4:
    case 8: return status_ok;
    default: return option_refused;
  }
}
#undef PICSHOW_JPEG_HOLDS

// One call's input: caller-owned memory, or a file opened here.
struct memory_source {
  const void* data;
  std::size_t size;
};

class input {
 public:
  int open(memory_source source) {
    // The memory stream addresses less than 4 GiB.
    if (source.data == nullptr || source.size > UINT32_MAX) return option_refused;
    memory.open_memory(static_cast<const std::uint8_t*>(source.data), static_cast<std::uint32_t>(source.size));
    stream = &memory;
    return status_ok;
  }
  int open(const char* file_name) {
    if (file_name == nullptr) return option_refused;
    if (!file.open_file(file_name)) return input_read_failed;
    stream = &file;
    return status_ok;
  }
  jpeg_decoder_stream* get() const { return stream; }

 private:
  jpeg_decoder_mem_stream memory;
  jpeg_decoder_file_stream file;
  jpeg_decoder_stream* stream = nullptr;
};

// The caller's outputs for the picture's size, each of which may be null.
struct size_outputs {
  int* width;
  int* height;
  int* components;
  void set(int w, int h, int c) const {
    if (width != nullptr) *width = w;
    if (height != nullptr) *height = h;
    if (components != nullptr) *components = c;
  }
};

// Runs one call, turning anything it throws into a status, so that no
// exception leaves through the C interface. The decoder reports its failures
// by status; only an allocation around it could throw.
template <class Call>
int guarded(Call call) noexcept(true) {
  try {
    return call();
  } catch (...) {
    return out_of_memory;
  }
}

template <class Source>
int query(Source source, const picshow_jpeg_options* options, size_outputs size) noexcept(true) {
  size.set(0, 0, 0);
  return guarded([&]() -> int {
    call_options call;
    input in;
    int status = read_options(options, call);
    if (status == status_ok) status = in.open(source);
    if (status != status_ok) return status;
    // The constructor reads the headers up to the frame's; no pixels are made.
    jpeg_decoder_engine engine(in.get(), call.limits);
    if (engine.status() != status_ok) return engine.status();
    engine.set_scale(call.scale_denominator);
    size.set(engine.width(), engine.height(), engine.component_count());
    return status_ok;
  });
}

// A caller's buffer holds buffer_size / requested pixels; the picture's
// size is checked against it once the frame header has been read, before
// any row is made. Less than one pixel is refused at once.
struct caller_buffer {
  std::uint8_t* rows;
  std::uint64_t capacity;  // in pixels
  bool too_small = false;
};

std::uint8_t* hand_out_buffer(void* context, int width, int height, int) {
  auto& buffer = *static_cast<caller_buffer*>(context);
  buffer.too_small = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > buffer.capacity;
  return buffer.too_small ? nullptr : buffer.rows;
}

// 1, 3 or 4 components, into a caller's buffer or a place for the
// allocated one.
bool request_usable(int requested, const std::uint8_t* destination, std::uint8_t** pixels) {
  return (requested == 1 || requested == 3 || requested == 4) && (destination == nullptr) != (pixels == nullptr);
}

// destination: the caller's buffer of buffer_size bytes, or null to have one
// allocated into *pixels.
template <class Source>
int decode(Source source, const picshow_jpeg_options* options, int requested, std::uint8_t* destination,
           std::size_t buffer_size, std::uint8_t** pixels, size_outputs size) noexcept(true) {
  size.set(0, 0, 0);
  if (pixels != nullptr) *pixels = nullptr;
  return guarded([&]() -> int {
    call_options call;
    input in;
    int status = read_options(options, call);
    if (status != status_ok) return status;
    if (!request_usable(requested, destination, pixels)) return option_refused;
    caller_buffer buffer{destination, buffer_size / static_cast<unsigned>(requested)};
    if (destination != nullptr && buffer.capacity == 0) return picture_too_large;
    status = in.open(source);
    if (status != status_ok) return status;
    int width = 0, height = 0, components = 0;
    std::uint8_t* const result =
        decode_jpeg_scaled(in.get(), &width, &height, &components, requested, call.scale_denominator, call.limits,
                           destination != nullptr ? hand_out_buffer : nullptr, &buffer, &status);
    // A picture too large for the buffer tells no size, as one beyond
    // max_pixels does.
    if (buffer.too_small) return picture_too_large;
    // The size is known once the headers have been read, even when the
    // decode fails later.
    if (components != 0) size.set(width, height, components);
    if (result == nullptr) return status != status_ok ? status : option_refused;
    if (pixels != nullptr) *pixels = result;
    return status_ok;
  });
}

}  // namespace

extern "C" {

void picshow_jpeg_default_options(picshow_jpeg_options* options) noexcept(true) {
  if (options == nullptr) return;
  const jpeg::decoder_limits defaults;
  options->size = sizeof(picshow_jpeg_options);
  options->max_pixels = defaults.max_pixels;
  options->max_scans = defaults.max_scans;
  options->threads = defaults.threads;
  options->scale_denominator = 1;
}

const char* picshow_jpeg_status_name(int status) noexcept(true) { return jpeg::status_code_name(status); }

int picshow_jpeg_query_memory(const void* data, std::size_t data_size, const picshow_jpeg_options* options, int* width,
                              int* height, int* components) noexcept(true) {
  return query(memory_source{data, data_size}, options, {width, height, components});
}

int picshow_jpeg_query_file(const char* file_name, const picshow_jpeg_options* options, int* width, int* height,
                            int* components) noexcept(true) {
  return query(file_name, options, {width, height, components});
}

int picshow_jpeg_decode_memory(const void* data, std::size_t data_size, const picshow_jpeg_options* options,
                               int requested_components, std::uint8_t* buffer, std::size_t buffer_size, int* width,
                               int* height, int* components) noexcept(true) {
  return decode(memory_source{data, data_size}, options, requested_components, buffer, buffer_size, nullptr,
                {width, height, components});
}

int picshow_jpeg_decode_file(const char* file_name, const picshow_jpeg_options* options, int requested_components,
                             std::uint8_t* buffer, std::size_t buffer_size, int* width, int* height,
                             int* components) noexcept(true) {
  return decode(file_name, options, requested_components, buffer, buffer_size, nullptr, {width, height, components});
}

int picshow_jpeg_decode_memory_allocated(const void* data, std::size_t data_size, const picshow_jpeg_options* options,
                                         int requested_components, std::uint8_t** pixels, int* width, int* height,
                                         int* components) noexcept(true) {
  return decode(memory_source{data, data_size}, options, requested_components, nullptr, 0, pixels,
                {width, height, components});
}

int picshow_jpeg_decode_file_allocated(const char* file_name, const picshow_jpeg_options* options,
                                       int requested_components, std::uint8_t** pixels, int* width, int* height,
                                       int* components) noexcept(true) {
  return decode(file_name, options, requested_components, nullptr, 0, pixels, {width, height, components});
}

// The entry points allocate with malloc.
void picshow_jpeg_free(std::uint8_t* pixels) noexcept(true) { std::free(pixels); }

}  // extern "C"
