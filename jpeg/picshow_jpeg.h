/* The picture show's JPEG decoder for C and for other languages' foreign
   function interfaces: plain types, status codes for results, no exceptions.
   It decodes what jpeg_decoder.h decodes, into packed rows of 1 (grey),
   3 (R, G, B) or 4 (R, G, B, 255) bytes per pixel, top row first.

   The queries and decodes return PICSHOW_JPEG_OK (0) or one of the negative
   status codes below, which picshow_jpeg_status_name names. Outputs that a failure
   leaves unknown are set to 0 (sizes) or NULL (pixels). Pointers to outputs
   may be NULL where the caller does not want them. */
#ifndef PICSHOW_JPEG_H
#define PICSHOW_JPEG_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define PICSHOW_JPEG_API __attribute__((visibility("default")))
#else
#define PICSHOW_JPEG_API
#endif

#ifdef __cplusplus
#define PICSHOW_JPEG_NOEXCEPT noexcept
extern "C" {
#else
#define PICSHOW_JPEG_NOEXCEPT
#endif

/* Status codes: the values of the C++ interface's status_code. */
#define PICSHOW_JPEG_OK 0
#define PICSHOW_JPEG_TOO_MANY_HUFFMAN_SYMBOLS (-256)
#define PICSHOW_JPEG_HUFFMAN_SLOT_OUT_OF_RANGE (-255)
#define PICSHOW_JPEG_HUFFMAN_SEGMENT_LENGTH_INVALID (-254)
#define PICSHOW_JPEG_QUANT_SEGMENT_LENGTH_INVALID (-253)
#define PICSHOW_JPEG_QUANT_TABLE_ID_OUT_OF_RANGE (-252)
#define PICSHOW_JPEG_UNSUPPORTED_PRECISION (-251)
#define PICSHOW_JPEG_HEIGHT_OUT_OF_RANGE (-250)
#define PICSHOW_JPEG_WIDTH_OUT_OF_RANGE (-249)
#define PICSHOW_JPEG_FRAME_COMPONENTS_OVER_FOUR (-248)
#define PICSHOW_JPEG_FRAME_HEADER_LENGTH_MISMATCH (-247)
#define PICSHOW_JPEG_SEGMENT_LENGTH_INVALID (-246)
#define PICSHOW_JPEG_RESTART_INTERVAL_LENGTH_INVALID (-245)
#define PICSHOW_JPEG_SCAN_HEADER_INVALID (-244)
#define PICSHOW_JPEG_SCAN_COMPONENT_NOT_IN_FRAME (-243)
#define PICSHOW_JPEG_ARITHMETIC_CODING_UNSUPPORTED (-241)
#define PICSHOW_JPEG_MARKER_OUT_OF_PLACE (-240)
#define PICSHOW_JPEG_START_OF_IMAGE_MISSING (-239)
#define PICSHOW_JPEG_UNSUPPORTED_FRAME_TYPE (-238)
#define PICSHOW_JPEG_QUANT_TABLE_TRUNCATED (-237)
#define PICSHOW_JPEG_QUANT_TABLE_MISSING (-235)
#define PICSHOW_JPEG_HUFFMAN_TABLE_MISSING (-234)
#define PICSHOW_JPEG_UNSUPPORTED_COMPONENT_COUNT (-232)
#define PICSHOW_JPEG_UNSUPPORTED_SAMPLING (-231)
#define PICSHOW_JPEG_COEFFICIENT_INDEX_OVERFLOW (-230)
#define PICSHOW_JPEG_RESTART_MARKER_MISMATCH (-229)
#define PICSHOW_JPEG_MCU_ROW_TOO_WIDE (-228)
#define PICSHOW_JPEG_SPECTRAL_SELECTION_INVALID (-227)
#define PICSHOW_JPEG_SUCCESSIVE_APPROXIMATION_INVALID (-226)
/* The input could not be read (also: the file could not be opened). */
#define PICSHOW_JPEG_INPUT_READ_FAILED (-225)
#define PICSHOW_JPEG_OUT_OF_MEMORY (-224)
/* More scans than options.max_scans. */
#define PICSHOW_JPEG_TOO_MANY_SCANS (-223)
/* More pixels than options.max_pixels, or than the caller's buffer holds. */
#define PICSHOW_JPEG_PICTURE_TOO_LARGE (-222)
#define PICSHOW_JPEG_SCAN_DATA_MISSING (-221)
/* An argument or option the decoder does not take: a scale other than 1, 2,
   4 or 8, a
   component count other than 1, 3 or 4, an options size below
   PICSHOW_JPEG_OPTIONS_MIN_SIZE, a NULL input or buffer, 4 GiB of data or
   more. */
#define PICSHOW_JPEG_OPTION_REFUSED (-220)

/* The options of one call. Pass NULL for the defaults, or fill the struct
   with picshow_jpeg_default_options and change what you need.

   size comes first and says how much of the struct the caller has: the
   library reads the fields that lie wholly within it and takes the defaults
   for the others, so that fields added later break no program built before
   them, and a program built after them still runs on an older library
   (which ignores what it does not know). A size below
   PICSHOW_JPEG_OPTIONS_MIN_SIZE (a struct whose size was never set) is
   refused. */
typedef struct picshow_jpeg_options {
  size_t size; /* sizeof(picshow_jpeg_options) */
  /* The most pixels of the picture at full size (width x height, whatever
     the scale: a scaled decode still reads every block); a larger picture
     is refused with PICSHOW_JPEG_PICTURE_TOO_LARGE. 0 (the default) lifts
     the limit. */
  uint64_t max_pixels;
  /* The most scans of a progressive picture; one more stops the decode with
     PICSHOW_JPEG_TOO_MANY_SCANS. Default 256; 0 lifts the limit. */
  int max_scans;
  /* The threads one decode may use, the caller's included: 0 (the default)
     takes the library's default (the processors the process may run on, at
     most 8), 1 keeps the decode on the caller's thread. The pixels are the
     same whatever the count. */
  int threads;
  /* The output is the picture scaled by 1 / scale_denominator: 1 (the
     default), 2, 4 or 8. The sizes the calls give are then the scaled ones,
     ceil(width / scale_denominator) by ceil(height / scale_denominator).
     Each block is reconstructed straight at that size from its
     lowest-frequency coefficients; its data are still read, which is most
     of what a scaled decode costs. */
  int scale_denominator;
} picshow_jpeg_options;

#define PICSHOW_JPEG_OPTIONS_MIN_SIZE sizeof(size_t)

/* Fills *options with its size and the defaults. */
PICSHOW_JPEG_API void picshow_jpeg_default_options(picshow_jpeg_options* options) PICSHOW_JPEG_NOEXCEPT;

/* The code's name ("out_of_memory"), "ok" for 0, "unknown" for anything else. */
PICSHOW_JPEG_API const char* picshow_jpeg_status_name(int status) PICSHOW_JPEG_NOEXCEPT;

/* The picture's width, height and component count (1 grey, 3 colour) from
   its headers alone, without decoding its pixels. */
PICSHOW_JPEG_API int picshow_jpeg_query_memory(const void* data, size_t data_size, const picshow_jpeg_options* options,
                                               int* width, int* height, int* components) PICSHOW_JPEG_NOEXCEPT;
PICSHOW_JPEG_API int picshow_jpeg_query_file(const char* file_name, const picshow_jpeg_options* options, int* width,
                                             int* height, int* components) PICSHOW_JPEG_NOEXCEPT;

/* Decodes the picture into the caller's buffer as rows of width *
   requested_components bytes (1, 3 or 4), without gaps. A picture larger
   than buffer_size holds is refused with PICSHOW_JPEG_PICTURE_TOO_LARGE
   before anything is written; a failure part way leaves the rows not
   reached as they were. width, height and components receive the picture's
   size as in the query. */
PICSHOW_JPEG_API int picshow_jpeg_decode_memory(const void* data, size_t data_size, const picshow_jpeg_options* options,
                                                int requested_components, uint8_t* buffer, size_t buffer_size,
                                                int* width, int* height, int* components) PICSHOW_JPEG_NOEXCEPT;
PICSHOW_JPEG_API int picshow_jpeg_decode_file(const char* file_name, const picshow_jpeg_options* options,
                                              int requested_components, uint8_t* buffer, size_t buffer_size, int* width,
                                              int* height, int* components) PICSHOW_JPEG_NOEXCEPT;

/* The same into a buffer that the library allocates: *pixels receives it
   (NULL on failure), to be released with picshow_jpeg_free. */
PICSHOW_JPEG_API int picshow_jpeg_decode_memory_allocated(const void* data, size_t data_size,
                                                          const picshow_jpeg_options* options, int requested_components,
                                                          uint8_t** pixels, int* width, int* height,
                                                          int* components) PICSHOW_JPEG_NOEXCEPT;
PICSHOW_JPEG_API int picshow_jpeg_decode_file_allocated(const char* file_name, const picshow_jpeg_options* options,
                                                        int requested_components, uint8_t** pixels, int* width,
                                                        int* height, int* components) PICSHOW_JPEG_NOEXCEPT;

/* Releases pixels from the allocating functions; NULL is allowed. */
PICSHOW_JPEG_API void picshow_jpeg_free(uint8_t* pixels) PICSHOW_JPEG_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
