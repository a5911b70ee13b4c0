// JPEG decoder: baseline, extended and progressive Huffman-coded JPEG with
// 8-bit samples. Input comes through a jpeg_decoder_stream; output is one line
// at a time (1 byte per pixel for grey pictures, R, G, B, 255 for colour).
//
// Everything lives in namespace jpeg and depends on nothing but the C++
// standard library. Internal stage declarations are in the other headers of
// this folder; callers need only this one.
#ifndef JPEG_JPEG_DECODER_H
#define JPEG_JPEG_DECODER_H

#include <cstdint>
#include <cstdio>

// Marks the public entry points: the shared library exports these and hides
// everything else it is built from.
#if defined(__GNUC__)
#define JPEG_DECODER_API __attribute__((visibility("default")))
#else
#define JPEG_DECODER_API
#endif

namespace jpeg {

// ---------------------------------------------------------------------------
// Input streams

// The decoder's only input abstraction.
class JPEG_DECODER_API jpeg_decoder_stream {
 public:
  jpeg_decoder_stream() = default;
  jpeg_decoder_stream(const jpeg_decoder_stream&) = delete;
  jpeg_decoder_stream& operator=(const jpeg_decoder_stream&) = delete;
  // Defined in the library, so that the class's vtable and type information
  // live in the decoder alone rather than in every library that uses it.
  virtual ~jpeg_decoder_stream();

  // Places up to n bytes in buffer and returns how many, or -1 on failure.
  // Sets *end_flag to true when the data are exhausted; a result below n with
  // the flag set means the data ended.
  virtual int read_bytes(std::uint8_t* buffer, int n, bool* end_flag) = 0;
};

// A file opened for binary reading through the runtime's buffered input.
class JPEG_DECODER_API jpeg_decoder_file_stream : public jpeg_decoder_stream {
 public:
  jpeg_decoder_file_stream() = default;
  ~jpeg_decoder_file_stream() override;

  // Closes any open file first; true when the new file could be opened.
  bool open_file(const char* file_name);
  void close_file();
  int read_bytes(std::uint8_t* buffer, int n, bool* end_flag) override;

 private:
  std::FILE* file_handle = nullptr;
  bool at_end = false;
  bool failed = false;
};

// A block of memory owned by the caller; it must outlive the stream.
class JPEG_DECODER_API jpeg_decoder_mem_stream : public jpeg_decoder_stream {
 public:
  jpeg_decoder_mem_stream(const std::uint8_t* pointer = nullptr, std::uint32_t size = 0);
  ~jpeg_decoder_mem_stream() override = default;

  bool open_memory(const std::uint8_t* pointer, std::uint32_t size);
  void close_memory();
  int read_bytes(std::uint8_t* buffer, int n, bool* end_flag) override;

 private:
  // A decode over a memory stream may read the bytes left in it on more
  // than one thread at once.
  friend class engine_core;
  const std::uint8_t* memory = nullptr;
  std::uint32_t position = 0;
  std::uint32_t length = 0;
};

// ---------------------------------------------------------------------------
// Status codes: 0 while all is well, one of these after the first failure.
// The one list of them: the enum and status_code_name are generated from it,
// and the test corpus script reads it from this file.
#define JPEG_STATUS_CODES(X)                \
  X(too_many_huffman_symbols, -256)         \
  X(huffman_slot_out_of_range, -255)        \
  X(huffman_segment_length_invalid, -254)   \
  X(quant_segment_length_invalid, -253)     \
  X(quant_table_id_out_of_range, -252)      \
  X(unsupported_precision, -251)            \
  X(height_out_of_range, -250)              \
  X(width_out_of_range, -249)               \
  X(frame_components_over_four, -248)       \
  X(frame_header_length_mismatch, -247)     \
  X(segment_length_invalid, -246)           \
  X(restart_interval_length_invalid, -245)  \
  X(scan_header_invalid, -244)              \
  X(scan_component_not_in_frame, -243)      \
  X(arithmetic_coding_unsupported, -241)    \
  X(marker_out_of_place, -240)              \
  X(start_of_image_missing, -239)           \
  X(unsupported_frame_type, -238)           \
  X(quant_table_truncated, -237)            \
  X(quant_table_missing, -235)              \
  X(huffman_table_missing, -234)            \
  X(unsupported_component_count, -232)      \
  X(unsupported_sampling, -231)             \
  X(coefficient_index_overflow, -230)       \
  X(restart_marker_mismatch, -229)          \
  X(mcu_row_too_wide, -228)                 \
  X(spectral_selection_invalid, -227)       \
  X(successive_approximation_invalid, -226) \
  X(input_read_failed, -225)                \
  X(out_of_memory, -224)                    \
  X(too_many_scans, -223)                   \
  X(picture_too_large, -222)                \
  X(scan_data_missing, -221)                \
  X(option_refused, -220)

enum status_code : int {
  status_ok = 0,
#define JPEG_STATUS_ENUM(name, value) name = value,
  JPEG_STATUS_CODES(JPEG_STATUS_ENUM)
#undef JPEG_STATUS_ENUM
};

// The code's name ("out_of_memory"), "ok" for 0, "unknown" for anything else.
JPEG_DECODER_API const char* status_code_name(int code);

// ---------------------------------------------------------------------------
// Limits on one decode, for callers that take files from anywhere (the time
// bound beside jpeg_decoder_engine says what they bound). 0 lifts a limit.
struct decoder_limits {
  // The most scans a progressive picture may have; one more stops the
  // decode with too_many_scans. Encoders write 6 (grey) or 10 (colour) scans
  // with their usual scripts and about 20 with searched ones; a script that
  // gave each coefficient of a colour picture a first pass of its own would
  // have 192.
  int max_scans = 256;
  // The most output pixels (width x height); a frame header declaring more
  // is refused with picture_too_large.
  std::uint64_t max_pixels = 0;
  // The threads one decode may use, the caller's own included: 0 takes the
  // process's default (default_decoder_threads), 1 keeps the whole decode
  // on the caller's thread. Pictures too small for threads to pay stay
  // there anyway. The output is the same whatever the count.
  int threads = 0;
};

// The limits of a decode's threads (see "Threads" below): it uses at most
// max_decoder_threads, whatever limits.threads or the default asks; a
// picture of fewer than min_threaded_picture_pixels output pixels (half a
// megapixel) stays on the caller's thread; a ring of rows holds the threads'
// count plus ring_rows_beyond_threads MCU rows; a progressive picture whose
// samples take at most max_whole_picture_sample_bytes keeps them all.
inline constexpr int max_decoder_threads = 8;
inline constexpr std::uint64_t min_threaded_picture_pixels = 512 * 1024;
inline constexpr int ring_rows_beyond_threads = 2;
inline constexpr std::uint64_t max_whole_picture_sample_bytes = std::uint64_t{64} << 20;

// The thread count of decodes whose limits leave it at 0: at first the
// processors this process may run on (its CPU affinity, so `taskset -c 0`
// gives 1), at most max_decoder_threads. set_default_decoder_threads
// changes it for the whole process (a program that decodes several pictures
// at once on threads of its own asks for 1); 0 restores the processor count.
JPEG_DECODER_API int default_decoder_threads();
JPEG_DECODER_API void set_default_decoder_threads(int threads);

// ---------------------------------------------------------------------------
// Decoder object

// One decode. Public operations never throw: failures end in `status` and a
// -1 result.
//
// Layout: the object holds only a handle to the decode's state, which the
// constructor allocates inside the library (when that fails, status() is
// out_of_memory). Callers compile in nothing but the handle's size, so the
// state is free to change with any release without touching the ABI; the
// soname moved to 3 for this and is not raised for layout reasons again.
//
// Memory bound: besides the state (about 13 KiB) a decode holds its
// pool: at most about 1.2 MB of tables and line buffers (the most for a
// 16384 pixel wide row of 2 x 2 sampled MCUs), plus, for a progressive
// picture, the coefficient stores: 138 bytes per 8 x 8 block of every
// component over the frame's whole MCU grid (about 2 bytes per sample;
// 1.7 GB for a 16384 x 16384 colour picture sampled 1 x 1). That is what the
// complete picture of the declared size needs, and no input makes it more:
// the stores come zeroed from the system and take up memory only where
// scans write into them, so a file that declares a large picture but
// carries few, short or truncated scans costs only what they fill. A
// failure releases the whole pool at once. The entry points below add the
// output buffer when they allocate it.
//
// Threads: a picture of at least min_threaded_picture_pixels may borrow
// idle workers of a pool the process keeps (limits.threads says how many
// threads in all), as many as there are processors that no other runnable
// thread of the machine wants at that moment; when none is free, or none can be
// started, it decodes on the caller's thread alone. A sequential picture's data are then read a row at
// a time by whichever of its threads comes first, ahead of the rows handed
// out, and the inverse DCT and upsampling of its rows are shared out; the
// workers of a progressive picture reconstruct its rows while its last scan
// is read and after. A progressive colour picture read from a
// jpeg_decoder_mem_stream (the image layer's way, and
// decode_jpeg_from_memory's) also has its scans read on two threads at
// once: a second engine on a worker parses the same bytes and reads the DC
// scans and the AC scans of every component but the first into the same
// coefficient stores, while the caller's engine reads the first
// component's; a shared decode that fails, or whose scans run far past
// their data, is done again on the caller's thread alone from where the
// stream stood, so that it fails as one thread fails. The second engine
// adds to the memory above its state (about 13 KiB, on the worker's stack)
// and its Huffman tables (at most about 200 KiB), whatever the picture's
// size: it shares the stores and has no line buffers. A sequential picture
// read from a jpeg_decoder_mem_stream whose data take at least 0.28 bytes a
// pixel (as a camera's do at its high qualities) has bands of its rows read
// ahead where restart markers begin them: a band runs from an MCU row whose
// first MCU begins a restart interval to the next such row, one or two rows
// (up to as many as the decode's threads). A thread reads a band from the
// marker in front of it, found by a walk over the bytes, with an engine of
// its own (about 13 KiB on that thread's stack, nothing more), while the
// rows before it are read in order; the reading in order takes the band as
// read only where it meets that very marker there, and reads the rows
// itself otherwise. The caller's thread does any of this work itself
// rather than wait for a worker that has not begun it, so a decode whose
// workers get no processor runs at one thread's speed. Everything the
// caller sees is what one thread gives: the lines, the status and the line
// where a failure shows, and the input read by a complete or failed decode.
// Only a caller that stops early finds its stream read further on. A child
// of fork has none of its parent's threads: a decode it inherits part way
// finishes on its thread (progressive pictures) or fails with
// input_read_failed at its next MCU row (sequential ones, whose input a
// thread may have left in the middle of a row); decodes it starts borrow
// workers of its own. A sequential picture goes through a ring of threads +
// ring_rows_beyond_threads MCU rows, which adds to the memory above about
// 100 bytes per pixel of the picture's width per row (1.6 MB
// per row, 6.4 MB with two threads, at 16384 pixels in 2 x 2 sampling),
// whatever the height. A progressive picture whose samples take at most
// max_whole_picture_sample_bytes holds them all (1 byte per pixel for grey,
// 2 or 3 for colour); a larger one goes through a ring of rows as a
// sequential picture does, with half the memory per row. One engine serves
// one thread at a time.
//
// Time bound: the work of a decode grows with its input bytes and its
// output pixels, whatever the file. A block that a scan decodes takes at
// least one bit of the scan's data, unless the data end early at a marker,
// after which 1 bits are read: blocks decoded from those count against
// twice the frame's blocks (weighed by the symbols they may decode), and
// past that the decode stops with scan_data_missing. The blocks of an
// end-of-band run are passed without decoding, so beyond its data a scan
// costs at most a look at the non-zero set of each of its blocks (four at a
// time, and only in rows holding a coefficient of the scan's band), and
// max_scans bounds the number of such looks. On a 16384 x 16384 grey frame
// (4.2 million blocks) a size query takes a few milliseconds for 201 scans
// of end-of-band runs and about half a second for 256 refinement scans of
// runs whose every row holds a coefficient to correct; a colour frame of
// scans without data is refused after about as long. Decoding a real
// picture of that size takes seconds.
class engine_core;

class jpeg_decoder_engine {
 public:
  // Reads the headers up to and including the frame header. Never fails
  // outwardly: check status() afterwards. The stream is not owned.
  JPEG_DECODER_API explicit jpeg_decoder_engine(jpeg_decoder_stream* stream) noexcept;
  // The same under the caller's limits instead of the default ones.
  JPEG_DECODER_API jpeg_decoder_engine(jpeg_decoder_stream* stream, const decoder_limits& limits) noexcept;
  JPEG_DECODER_API ~jpeg_decoder_engine();
  jpeg_decoder_engine(const jpeg_decoder_engine&) = delete;
  jpeg_decoder_engine& operator=(const jpeg_decoder_engine&) = delete;

  JPEG_DECODER_API int status() const noexcept;
  JPEG_DECODER_API int width() const noexcept;
  JPEG_DECODER_API int height() const noexcept;
  JPEG_DECODER_API int component_count() const noexcept;

  // Makes the lines those of the picture scaled by 1 / denominator (1, 2, 4
  // or 8): width() and height() then give ceil(width / denominator) and
  // ceil(height / denominator). Each block is reconstructed straight at that
  // size from its lowest-frequency coefficients; every block's data are
  // still read, which is most of what a scaled decode costs. A sequential
  // picture below full size stays on the caller's thread (its rows are too
  // cheap to share); a progressive one shares its work as at full size.
  // Takes effect only before start_decoding: 0 when taken, -1 (status
  // unchanged) for any other denominator, after start_decoding, or on a
  // failed engine.
  JPEG_DECODER_API int set_scale(int denominator) noexcept;

  // 0 when ready to hand out lines (also when already started), -1 on failure.
  JPEG_DECODER_API int start_decoding() noexcept;
  // 0 with the next line in *line / *length, 1 when no line is left, -1 on
  // failure or when decoding was never started.
  JPEG_DECODER_API int decode_row(const std::uint8_t** line, std::uint32_t* length) noexcept;

 private:
  friend struct engine_handle;  // the decoder's tests reach the state
  // The decode's state; null when it could not be allocated.
  engine_core* core;
};

// ---------------------------------------------------------------------------
// Decode-into-buffer entry points.
//
// destination: null = allocate the buffer with malloc (the caller frees it);
// the pointer value 1 = size query (outputs filled, no rows made, result 1;
// a progressive picture's scans are read first, as they would be for its
// rows, so that a failing one fails the query); anything else = the caller's buffer of height * requested * width
// bytes. requested components is 1, 3 or 4. Any failure gives null.

JPEG_DECODER_API
std::uint8_t* decode_jpeg_from_stream(jpeg_decoder_stream* stream, int* width, int* height, int* components,
                                      int requested_components, std::uint8_t* destination);
JPEG_DECODER_API
std::uint8_t* decode_jpeg_from_memory(const std::uint8_t* data, int size, int* width, int* height, int* components,
                                      int requested_components, std::uint8_t* destination);
JPEG_DECODER_API
std::uint8_t* decode_jpeg_from_file(const char* file_name, int* width, int* height, int* components,
                                    int requested_components);

// decode_jpeg_from_stream that also tells why it failed: *status (when status
// is not null) receives the decoder's status code, out_of_memory when the
// output buffer could not be allocated, and 0 for refused arguments and on
// success.
JPEG_DECODER_API
std::uint8_t* decode_jpeg_with_status(jpeg_decoder_stream* stream, int* width, int* height, int* components,
                                      int requested_components, std::uint8_t* destination, int* status);

// decode_jpeg_with_status under the caller's limits (decode_jpeg_with_status
// applies the default ones).
JPEG_DECODER_API
std::uint8_t* decode_jpeg_with_limits(jpeg_decoder_stream* stream, int* width, int* height, int* components,
                                      int requested_components, std::uint8_t* destination, const decoder_limits& limits,
                                      int* status);

// decode_jpeg_from_stream with the destination asked for only once the picture
// is known to start decoding, so that one parse serves both its size and its
// pixels: make_destination(context, width, height, components) is called at
// the point where a size query would have returned 1, and returns the buffer
// of height * requested * width bytes for the rows, or null to stop with a
// null result. Returns that buffer, or null when the picture failed before it
// was asked for or part way through its rows (the rows not reached are left
// as they were).
using destination_maker = std::uint8_t* (*)(void* context, int width, int height, int components);
JPEG_DECODER_API
std::uint8_t* decode_jpeg_to_destination(jpeg_decoder_stream* stream, int* width, int* height, int* components,
                                         int requested_components, destination_maker make_destination, void* context);

// The picture scaled by 1 / scale_denominator (1, 2, 4 or 8, as
// jpeg_decoder_engine::set_scale), under the caller's limits: *width and
// *height receive the scaled size. make_destination(context, width, height,
// components) is asked for the buffer of height * requested * width bytes
// of that size as soon as the frame header has been read, before any scan
// is, and returns it or null to stop with a null result; a null
// make_destination has the buffer allocated with malloc, for the caller to
// free. Returns the buffer, or null on failure (a caller's buffer keeps the
// rows not reached as they were). limits.max_pixels bounds the picture's
// pixels at full size, which is what its decode reads. *status (when not
// null) as in decode_jpeg_with_status; another denominator gives
// option_refused, and a null buffer out_of_memory.
JPEG_DECODER_API
std::uint8_t* decode_jpeg_scaled(jpeg_decoder_stream* stream, int* width, int* height, int* components,
                                 int requested_components, int scale_denominator, const decoder_limits& limits,
                                 destination_maker make_destination, void* context, int* status);

}  // namespace jpeg

#endif
