/* decode_jpeg_c FILE.jpg [SCALE]: decodes a JPEG through the C interface of
   the picture show's decoder and prints its size and the mean of each colour
   channel, as decode_jpeg does; at 1/SCALE of its size (2, 4 or 8) when
   given. */
#include <picshow/picshow_jpeg.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: decode_jpeg_c FILE.jpg [SCALE]\n");
    return 2;
  }
  /* The defaults, with a bound on the picture's size as a program that
     takes files from anywhere sets one. */
  picshow_jpeg_options options;
  picshow_jpeg_default_options(&options);
  options.max_pixels = 64u << 20;
  /* A thumbnail costs less than the full picture: each block is
     reconstructed straight at the smaller size (its data are still read). */
  if (argc == 3) options.scale_denominator = atoi(argv[2]);

  /* The headers tell the size; grey pictures come as 1 byte per pixel,
     colour ones as R, G, B. */
  int width = 0, height = 0, components = 0;
  int status = picshow_jpeg_query_file(argv[1], &options, &width, &height, &components);
  const int channels = components == 1 ? 1 : 3;
  uint8_t* pixels = NULL;
  if (status == PICSHOW_JPEG_OK) {
    status = picshow_jpeg_decode_file_allocated(argv[1], &options, channels, &pixels, &width, &height, &components);
  }
  if (status != PICSHOW_JPEG_OK) {
    fprintf(stderr, "decode_jpeg_c: %s: %s\n", argv[1], picshow_jpeg_status_name(status));
    return 1;
  }

  double sums[3] = {0, 0, 0};
  const size_t samples = (size_t)width * (size_t)height * (size_t)channels;
  for (size_t i = 0; i < samples; ++i) sums[i % channels] += pixels[i];
  picshow_jpeg_free(pixels);

  const double count = (double)width * height;
  printf("%s: %dx%d, %d component(s), mean", argv[1], width, height, components);
  for (int c = 0; c < channels; ++c) printf(" %.2f", sums[c] / count);
  printf("\n");
  return 0;
}
