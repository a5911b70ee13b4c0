// Internal to the decoder: the worker threads that one decode borrows, and
// the ring of MCU rows through which the threads of a decode share its work
// (threads.cpp). Only engine.cpp, threads.cpp, progressive.cpp and the tests
// need it.
#ifndef JPEG_THREADS_H
#define JPEG_THREADS_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "engine_internal.h"

namespace jpeg {

namespace detail {

// Pictures of fewer output pixels than this (min_threaded_picture_pixels
// unless lowered) decode on the caller's thread alone: their rows are done
// before a worker would have woken. Tests and fuzz targets lower it to put
// small pictures through the threads.
extern std::atomic<std::uint64_t> min_threaded_pixels;

// Ways for the pool to fail, for the tests to inject: `before_thread_start`
// runs where a worker thread is about to start and may throw what starting
// it can (std::system_error, std::bad_alloc), the pool lends at most
// `lend_at_most` workers, a lent worker sleeps `late_start_microseconds`
// before it takes its job, and a second engine may run out of memory. The
// defaults inject nothing.
struct pool_faults {
  std::atomic<void (*)()> before_thread_start{nullptr};
  std::atomic<int> lend_at_most{INT_MAX};
  std::atomic<int> late_start_microseconds{0};
  // A second engine reading a progressive picture's scans gets this many
  // allocations before its heap runs out; -1 for no end.
  std::atomic<int> second_engine_allocations{-1};
};
extern pool_faults injected_pool_faults;

// How long a thread of the ring looks for a change before it sleeps: a
// row's handover is shorter than a wake-up from sleep.
inline constexpr std::chrono::microseconds spin_time{50};

inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Whether a decode lends workers only where processors are free of other
// runnable threads; tests and fuzz targets turn it off to put pictures
// through the threads whatever else the machine runs.
extern std::atomic<bool> consider_machine_load;

// A sequential picture in memory has bands of its rows read ahead
// (band_read) only where its data are heavy enough for their reading to be
// most of its decode; tests and fuzz targets have them read for every
// picture with restart markers. bands_taken counts the bands taken as read
// ahead, for the tests to see that there were some.
extern std::atomic<bool> bands_for_every_picture;
extern std::atomic<std::uint64_t> bands_taken;

// Counts the forks the pool has seen, in the child; a ring made before a
// fork belongs to threads that the child does not have.
extern std::atomic<unsigned> fork_generation;

}  // namespace detail

// A band of a sequential picture: the MCU rows from one whose first MCU
// begins a restart interval up to the next such row. A thread may read a
// band ahead of the rows in front of it, with an engine of its own started
// just past the restart marker that a walk over the data in memory found
// there, into the band's slots of the ring. The thread that reads the rows
// in order takes the band as read only where its own reading of the marker
// in front of the band ends at that very place: from there on, one engine
// reading on would have read the same bytes the same way. Anywhere else, or
// when the band's reading failed, it reads the rows itself.
struct band_read {
  int first_row = -1;
  bool reading = false;  // the band's reading has begun and not ended
  bool read = false;     // it read every row of the band without a failure
  // Offsets into the caller's memory: just past the marker in front of the
  // band, and where the band's reading left the input.
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  // The engine's state after the band's last MCU.
  std::int32_t restart_countdown = 0;
  int expected_restart_index = 0;
  std::int32_t dc_predictor[max_components] = {};
};

// Where the walk for restart markers stands in the data of a sequential
// scan in memory: the offset of the next byte to look at, the markers
// passed and the last one's code. Only the thread reading a band moves it.
struct restart_walk {
  std::uint32_t at = 0;
  int markers = 0;
  int code = 0;
  bool ended = false;  // the data end, or a marker other than a restart came
};

// The ring: `depth` slots, row r in slot r % depth. A slot holds the row's
// samples, and for a sequential picture its coefficient blocks and their
// extents; after the slots, each slot's ready row. All in one allocation.
//
// Every thread of the decode, the caller's included, takes the next piece
// of work there is: the reading of the next sequential row's data (one
// thread at a time, in order), or the inverse DCT and upsampling of the
// next row read. The caller alone converts colours and hands out lines, and
// waits only for work that a thread has begun.
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
  const unsigned generation = detail::fork_generation.load();

  std::mutex lock;
  std::condition_variable changed;
  // Counts the changes to the state below, each made under `lock`. Relaxed
  // loads are enough: a thread looks at it without the lock only to learn
  // when to take the lock again, and under the lock it reads the value of
  // the last change made, since every change is made under the lock that it
  // now holds. A stale value only makes it look a little longer.
  std::atomic<unsigned> version{0};
  // All below under `lock`.
  int final_rows;            // rows whose coefficients no scan will change
  int read_rows = 0;         // a sequential picture's rows whose data are read
  bool reading = false;      // a thread is reading row read_rows
  int failed_row = INT_MAX;  // the row whose reading failed
  int failure_code = 0;
  int next_claim = 0;  // the next row to reconstruct
  int released = 0;    // rows the caller is done with
  int workers = 0;     // jobs lent and not yet ended
  bool pages_touched = false;
  bool stopping = false;

  // The caller's thread alone: the scan being read is the last one, and
  // publishes the rows it passes.
  bool publishing = false;

  // The scans that a second engine reads (share_scans): waiting for a
  // thread to take them, being read, or read; until they are read, the rows
  // that the last scan has passed wait in passed_rows. Under `lock`.
  enum class scan_job { none, waiting, reading, read } second_scans = scan_job::none;
  int passed_rows = 0;

  // A sequential picture in memory with restart markers: rows per band,
  // 0 where bands are not read ahead; the band of each slot whose first row
  // it holds; one band is read at a time, and none begins before
  // next_band. Under `lock`, but for the walk, which only the thread reading
  // a band touches.
  int band_rows = 0;
  band_read bands[max_decoder_threads + ring_rows_beyond_threads];
  bool band_reading = false;
  bool walk_ended = false;
  int next_band = 0;
  restart_walk walk;

  std::size_t slot_count() const { return static_cast<std::size_t>(depth); }
  std::size_t bytes() const { return (slot_bytes * slot_count() + sizeof(int) * slot_count() + 63) & ~std::size_t{63}; }
  std::size_t slot(int row) const { return static_cast<std::size_t>(row % depth); }
  std::uint8_t* samples_of(int row) const { return storage + slot_bytes * slot(row); }
  std::int16_t* coefficients_of(int row) const {
    return reinterpret_cast<std::int16_t*>(samples_of(row) + slot_samples);
  }
  int* extents_of(int row) const { return reinterpret_cast<int*>(coefficients_of(row) + 64 * slot_blocks); }

  // The threads of the process this ring was made in are gone: it is a
  // fork child's copy.
  bool orphaned() const { return generation != detail::fork_generation.load(std::memory_order_relaxed); }

  // A slot is free for row r once the caller is done with row r - depth.
  bool may_read() const {
    return sequential && !reading && read_rows < rows && failed_row == INT_MAX && read_rows - released < depth &&
           !band_being_read(read_rows);
  }
  // Bands are read only in rings of at most one slot per band record.
  bool band_being_read(int row) const {
    return band_rows != 0 && bands[slot(row)].first_row == row && bands[slot(row)].reading;
  }
  // The band that begins at `row`, read, or null.
  const band_read* band_read_at(int row) const {
    return band_rows != 0 && bands[slot(row)].first_row == row && bands[slot(row)].read ? &bands[slot(row)] : nullptr;
  }
  // The first band after the row being read or next to be, and not yet
  // begun; it never holds the picture's last row, whose reading also reads
  // the markers after the data.
  int next_band_start() const {
    const int from = std::max(read_rows + 1, next_band);
    return (from + band_rows - 1) / band_rows * band_rows;
  }
  bool may_read_band() const {
    if (band_rows == 0 || band_reading || walk_ended || failed_row != INT_MAX) return false;
    const int first = next_band_start();
    return first + band_rows < rows && first + band_rows - 1 - released < depth;
  }
  bool may_claim() const {
    return next_claim < final_rows && next_claim < failed_row && next_claim - released < depth &&
           (!sequential || read_rows > next_claim);
  }
  bool nothing_left() const {
    const bool read_all = !sequential || read_rows == rows || failed_row != INT_MAX;
    return read_all && (next_claim >= rows || next_claim >= failed_row);
  }

  // Tells the waiting threads that something above changed.
  void signal() {
    version.fetch_add(1, std::memory_order_relaxed);
    changed.notify_all();
  }

  // Waits for the next signal, looking for spin_time first.
  void await_signal(std::unique_lock<std::mutex>& hold) {
    const unsigned seen = version.load(std::memory_order_relaxed);
    hold.unlock();
    // Looking pays where the change comes soon, as on an idle machine; where
    // the threads of a decode wait for their turn on busy cores it burns the
    // time the others need. A thread that looked in vain a few times in a
    // row looks again only at every 16th wait, until a look succeeds.
    thread_local unsigned vain_waits = 0;
    bool changed_meanwhile = false;
    if (vain_waits < 4 || vain_waits % 16 == 0) {
      const auto until = std::chrono::steady_clock::now() + detail::spin_time;
      do {
        for (int i = 0; i < 16 && !changed_meanwhile; ++i) {
          detail::spin_pause();
          changed_meanwhile = version.load(std::memory_order_relaxed) != seen;
        }
      } while (!changed_meanwhile && std::chrono::steady_clock::now() < until);
    }
    vain_waits = changed_meanwhile ? 0 : vain_waits + 1;
    hold.lock();
    while (version.load(std::memory_order_relaxed) == seen) changed.wait(hold);
  }
};

// The scan being read publishes the rows it passes.
inline bool engine_core::publishing_rows() const { return ring != nullptr && ring->publishing; }

}  // namespace jpeg

#endif
