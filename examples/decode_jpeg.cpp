// decode_jpeg FILE.jpg: decodes a JPEG one line at a time with the picture
// show's decoder and prints its size and the mean of each colour channel.
#include <picshow/jpeg_decoder.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: decode_jpeg FILE.jpg\n");
    return 2;
  }
  jpeg::jpeg_decoder_file_stream stream;
  if (!stream.open_file(argv[1])) {
    std::fprintf(stderr, "decode_jpeg: cannot open %s\n", argv[1]);
    return 1;
  }
  // Reads the headers; the decoder holds all its state and can live here on
  // the stack. Failures are only ever reported through status().
  jpeg::jpeg_decoder_engine decoder(&stream);
  if (decoder.status() == 0) decoder.start_decoding();

  // Lines come as 1 byte per pixel for grey pictures and as R, G, B, 255 for
  // colour ones.
  const int channels = decoder.component_count() == 1 ? 1 : 3;
  const int pixel_bytes = channels == 1 ? 1 : 4;
  double sums[3] = {};
  const std::uint8_t* line = nullptr;
  std::uint32_t length = 0;
  while (decoder.status() == 0 && decoder.decode_row(&line, &length) == 0) {
    for (std::uint32_t i = 0; i < length; i += pixel_bytes) {
      for (int c = 0; c < channels; ++c) sums[c] += line[i + c];
    }
  }
  if (decoder.status() != 0) {
    std::fprintf(stderr, "decode_jpeg: %s: %s\n", argv[1], jpeg::status_code_name(decoder.status()));
    return 1;
  }

  const double pixels = double(decoder.width()) * decoder.height();
  std::printf("%s: %dx%d, %d component(s), mean", argv[1], decoder.width(), decoder.height(),
              decoder.component_count());
  for (int c = 0; c < channels; ++c) std::printf(" %.2f", sums[c] / pixels);
  std::printf("\n");
  return 0;
}
