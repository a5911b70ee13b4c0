// Internal to the decoder: the worker threads that one decode borrows, and
// the ring of MCU rows through which they hand their work to the caller's
// thread (threads.cpp).
#ifndef JPEG_THREADS_H
#define JPEG_THREADS_H

#include <atomic>
#include <cstdint>

namespace jpeg::detail {

// Pictures of fewer output pixels than this decode on the caller's thread
// alone: their rows are done before a worker would have woken. Tests and
// fuzz targets lower it to put small pictures through the threads.
extern std::atomic<std::uint64_t> min_threaded_pixels;

}  // namespace jpeg::detail

#endif
