// Internal to the decoder: the worker threads that one decode borrows, and
// the ring of MCU rows through which they hand their work to the caller's
// thread (threads.cpp).
#ifndef JPEG_THREADS_H
#define JPEG_THREADS_H

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace jpeg {

namespace detail {

// Pictures of fewer output pixels than this decode on the caller's thread
// alone: their rows are done before a worker would have woken. Tests and
// fuzz targets lower it to put small pictures through the threads.
extern std::atomic<std::uint64_t> min_threaded_pixels;

// About 50 microseconds of looking before a thread of the ring sleeps.
inline constexpr int spin_rounds = 2000;

inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace detail

// The ring: `depth` slots, row r in slot r % depth. A slot holds the row's
// samples, and for a sequential picture its coefficient blocks and their
// extents; after the slots, each slot's ready row. All in one allocation.
struct row_ring {
  row_ring(int rows, int depth, bool sequential, std::size_t slot_samples, std::size_t slot_blocks)
      : rows(rows),
        depth(depth),
        sequential(sequential),
        slot_samples(slot_samples),
        slot_blocks(sequential ? slot_blocks : 0),
        slot_bytes((slot_samples + this->slot_blocks * (64 * sizeof(std::int16_t) + sizeof(int)) + 63) &
                   ~std::size_t{63}),
        storage(static_cast<std::uint8_t*>(std::aligned_alloc(64, bytes()))),
        ready_row(storage == nullptr ? nullptr : reinterpret_cast<int*>(storage + slot_bytes * slot_count())),
        final_rows(rows) {
    if (ready_row != nullptr) std::fill_n(ready_row, depth, -1);
  }
  ~row_ring() { std::free(storage); }
  row_ring(const row_ring&) = delete;
  row_ring& operator=(const row_ring&) = delete;

  const int rows;
  const int depth;
  const bool sequential;
  const std::size_t slot_samples;
  const std::size_t slot_blocks;
  const std::size_t slot_bytes;
  std::uint8_t* const storage;
  // The row whose samples each slot holds, -1 for none; under `lock`.
  int* const ready_row;

  std::mutex lock;
  std::condition_variable changed;
  // Changed under `lock`, by every signal().
  std::atomic<unsigned> version{0};
  // All below under `lock`.
  int final_rows;            // rows whose coefficients no scan will change
  bool pages_ready = true;   // the storage has been written once
  int entropy_decoded = 0;   // rows whose coefficients are in the ring
  int failed_row = INT_MAX;  // the row whose reading failed
  int failure_code = 0;
  int next_claim = 0;        // the next row to reconstruct
  int released = 0;          // rows the caller is done with
  int workers = 0;           // jobs lent and not yet ended
  bool first_taken = false;  // a worker took the first worker's part
  bool stopping = false;

  // The caller's thread alone: the scan being read is the last one, and
  // publishes the rows it passes.
  bool publishing = false;

  std::size_t slot_count() const { return static_cast<std::size_t>(depth); }
  std::size_t bytes() const { return (slot_bytes * slot_count() + sizeof(int) * slot_count() + 63) & ~std::size_t{63}; }
  std::size_t slot(int row) const { return static_cast<std::size_t>(row % depth); }
  std::uint8_t* samples_of(int row) const { return storage + slot_bytes * slot(row); }
  std::int16_t* coefficients_of(int row) const {
    return reinterpret_cast<std::int16_t*>(samples_of(row) + slot_samples);
  }
  int* extents_of(int row) const { return reinterpret_cast<int*>(coefficients_of(row) + 64 * slot_blocks); }

  bool may_claim() const {
    return pages_ready && next_claim < final_rows && next_claim < failed_row && next_claim - released < depth &&
           (!sequential || entropy_decoded > next_claim);
  }
  bool nothing_left_to_claim() const { return next_claim >= rows || next_claim >= failed_row; }

  // Tells the waiting threads that something above changed.
  void signal() {
    version.fetch_add(1, std::memory_order_relaxed);
    changed.notify_all();
  }

  // Waits for the next signal. The threads of a decode mostly wait for a
  // part of one row's work, less than the system takes to wake a thread
  // that sleeps, so they look for a while before they sleep.
  void await_signal(std::unique_lock<std::mutex>& hold) {
    const unsigned seen = version.load(std::memory_order_relaxed);
    hold.unlock();
    for (int i = 0; i < detail::spin_rounds && version.load(std::memory_order_relaxed) == seen; ++i)
      detail::spin_pause();
    hold.lock();
    while (version.load(std::memory_order_relaxed) == seen) changed.wait(hold);
  }

  // Claims the next row and runs reconstruct(row) outside the lock.
  template <class Reconstruct>
  void reconstruct_next(std::unique_lock<std::mutex>& hold, Reconstruct reconstruct) {
    const int row = next_claim++;
    hold.unlock();
    reconstruct(row);
    hold.lock();
    ready_row[slot(row)] = row;
    signal();
  }
};

}  // namespace jpeg

#endif
