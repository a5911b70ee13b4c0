// Decode-into-buffer entry points: run an engine over a stream and deliver
// the picture as packed rows of 1, 3 or 4 bytes per pixel.
#include "engine_internal.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace jpeg {

namespace {

std::uint8_t* const size_query = reinterpret_cast<std::uint8_t*>(1);

// One decoder line (grey bytes, or R, G, B, 255 per pixel) into one row of
// the requested layout.
void convert_row(const std::uint8_t* in, int width, int picture_components, int requested, std::uint8_t* out) {
  if (picture_components == 1) {
    switch (requested) {
      case 1: std::memcpy(out, in, static_cast<std::size_t>(width)); return;
      case 3:
        for (int x = 0; x < width; ++x, out += 3) out[0] = out[1] = out[2] = in[x];
        return;
      default:
        if constexpr (std::endian::native == std::endian::little) {
          // One 32-bit store per pixel, which the compiler runs many pixels
          // at a time.
          for (int x = 0; x < width; ++x) {
            const std::uint32_t pixel = in[x] * 0x010101u | 0xFF000000u;
            std::memcpy(out + 4 * static_cast<std::size_t>(x), &pixel, 4);
          }
        } else {
          for (int x = 0; x < width; ++x, out += 4) {
            out[0] = out[1] = out[2] = in[x];
            out[3] = 255;
          }
        }
        return;
    }
  }
  switch (requested) {
    case 4: std::memcpy(out, in, static_cast<std::size_t>(width) * 4); return;
    case 3:
      for (int x = 0; x < width; ++x, in += 4, out += 3) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
      }
      return;
    default:
      // The weights add up to 65536, so the result stays within 0..255.
      for (int x = 0; x < width; ++x, in += 4) {
        out[x] = static_cast<std::uint8_t>((in[0] * 19595u + in[1] * 38470u + in[2] * 7471u + 32768u) >> 16);
      }
      return;
  }
}

struct destination {
  std::uint8_t* rows;
  bool owned;  // allocated here, freed on failure
};

// The arguments every entry point needs; *components is 0 (where there is
// one) until a picture's size has been read.
bool arguments_usable(jpeg_decoder_stream* stream, int* width, int* height, int* components, int requested) {
  if (components == nullptr) return false;
  *components = 0;
  if (stream == nullptr || width == nullptr || height == nullptr) return false;
  return requested == 1 || requested == 3 || requested == 4;
}

// Decodes every line of a started engine into `rows`, `row_bytes` apart;
// false when one fails.
bool write_rows(engine_core& engine, int requested, std::uint8_t* rows, std::size_t row_bytes) {
  const int picture_components = engine.component_count();
  std::uint8_t* row = rows;
  // The decoder's own line layout: convert straight into the rows.
  if (requested == (picture_components == 1 ? 1 : 4)) {
    for (int y = 0; y < engine.height(); ++y, row += row_bytes) {
      if (engine.decode_row_into(row) != 0) return false;
    }
    return true;
  }
  for (int y = 0; y < engine.height(); ++y, row += row_bytes) {
    const std::uint8_t* line = nullptr;
    std::uint32_t length = 0;
    if (engine.decode_row(&line, &length) != 0) return false;
    convert_row(line, engine.width(), picture_components, requested, row);
  }
  return true;
}

// Runs an engine over the stream. choose(width, height, components, row bytes)
// names the destination once start_decoding has succeeded; a null one is a
// failed allocation, the size-query value ends the decode there.
// scale_denominator as in set_scale.
template <class Choose>
std::uint8_t* decode_rows(jpeg_decoder_stream* stream, int* width, int* height, int* components, int requested,
                          const decoder_limits& limits, int scale_denominator, int* status, Choose choose) {
  if (status != nullptr) *status = 0;
  if (!arguments_usable(stream, width, height, components, requested)) return nullptr;

  engine_core engine(stream, limits);
  auto fail = [status](int code) -> std::uint8_t* {
    if (status != nullptr) *status = code;
    return nullptr;
  };
  if (engine.status() != 0) return fail(engine.status());
  if (engine.set_scale(scale_denominator) != 0) return fail(option_refused);
  *width = engine.width();
  *height = engine.height();
  *components = engine.component_count();
  if (engine.start_decoding() != 0) return fail(engine.status());

  const std::size_t row_bytes = static_cast<std::size_t>(requested) * static_cast<std::size_t>(engine.width());
  const destination out = choose(engine.width(), engine.height(), engine.component_count(), row_bytes);
  if (out.rows == nullptr) return fail(out_of_memory);
  if (out.rows == size_query || write_rows(engine, requested, out.rows, row_bytes)) return out.rows;
  if (out.owned) std::free(out.rows);
  return fail(engine.status());
}

}  // namespace

std::uint8_t* decode_jpeg_with_limits(jpeg_decoder_stream* stream, int* width, int* height, int* components,
                                      int requested, std::uint8_t* destination, const decoder_limits& limits,
                                      int* status) {
  // A size query hands out no rows: workers would make them for nothing.
  decoder_limits applied = limits;
  if (destination == size_query) applied.threads = 1;
  return decode_rows(stream, width, height, components, requested, applied, 1, status,
                     [destination](int, int height, int, std::size_t row_bytes) {
                       if (destination != nullptr) return jpeg::destination{destination, false};
                       return jpeg::destination{
                           static_cast<std::uint8_t*>(std::malloc(row_bytes * static_cast<std::size_t>(height))), true};
                     });
}

std::uint8_t* decode_jpeg_with_status(jpeg_decoder_stream* stream, int* width, int* height, int* components,
                                      int requested, std::uint8_t* destination, int* status) {
  return decode_jpeg_with_limits(stream, width, height, components, requested, destination, decoder_limits{}, status);
}

std::uint8_t* decode_jpeg_to_destination(jpeg_decoder_stream* stream, int* width, int* height, int* components,
                                         int requested, destination_maker make_destination, void* context) {
  if (make_destination == nullptr) return nullptr;
  return decode_rows(stream, width, height, components, requested, decoder_limits{}, 1, nullptr,
                     [=](int width, int height, int components, std::size_t) {
                       return jpeg::destination{make_destination(context, width, height, components), false};
                     });
}

std::uint8_t* decode_jpeg_scaled(jpeg_decoder_stream* stream, int* width, int* height, int* components, int requested,
                                 int scale_denominator, const decoder_limits& limits,
                                 destination_maker make_destination, void* context, int* status) {
  return decode_rows(stream, width, height, components, requested, limits, scale_denominator, status,
                     [=](int width, int height, int components, std::size_t row_bytes) {
                       if (make_destination != nullptr) {
                         return jpeg::destination{make_destination(context, width, height, components), false};
                       }
                       return jpeg::destination{
                           static_cast<std::uint8_t*>(std::malloc(row_bytes * static_cast<std::size_t>(height))), true};
                     });
}

std::uint8_t* decode_jpeg_from_stream(jpeg_decoder_stream* stream, int* width, int* height, int* components,
                                      int requested_components, std::uint8_t* destination) {
  return decode_jpeg_with_status(stream, width, height, components, requested_components, destination, nullptr);
}

std::uint8_t* decode_jpeg_from_memory(const std::uint8_t* data, int size, int* width, int* height, int* components,
                                      int requested_components, std::uint8_t* destination) {
  // A negative size or a null pointer describes no data at all.
  jpeg_decoder_mem_stream stream(data, data == nullptr || size < 0 ? 0u : static_cast<std::uint32_t>(size));
  return decode_jpeg_from_stream(&stream, width, height, components, requested_components, destination);
}

std::uint8_t* decode_jpeg_from_file(const char* file_name, int* width, int* height, int* components,
                                    int requested_components) {
  jpeg_decoder_file_stream stream;
  if (file_name == nullptr || !stream.open_file(file_name)) return nullptr;
  return decode_jpeg_from_stream(&stream, width, height, components, requested_components, nullptr);
}

}  // namespace jpeg
