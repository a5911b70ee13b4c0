// Threads: the process's worker threads, lent to one decode at a time, and
// the ring of MCU rows between them and the caller's thread.
#include "threads.h"

#include "engine_internal.h"

#include <sched.h>

#include <algorithm>
#include <atomic>

namespace jpeg {

namespace detail {
std::atomic<std::uint64_t> min_threaded_pixels{512 * 1024};
}  // namespace detail

namespace {

constexpr int max_decoder_threads = 8;
std::atomic<int> chosen_default_threads{0};

int processor_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(CPU_COUNT(&set), 1);
}

}  // namespace

int default_decoder_threads() {
  const int chosen = chosen_default_threads.load(std::memory_order_relaxed);
  if (chosen > 0) return chosen;
  static const int processors = std::min(processor_count(), max_decoder_threads);
  return processors;
}

void set_default_decoder_threads(int threads) {
  chosen_default_threads.store(std::clamp(threads, 0, max_decoder_threads), std::memory_order_relaxed);
}

}  // namespace jpeg
