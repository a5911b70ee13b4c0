// Threads: the process's worker threads, lent to one decode at a time, and
// the ring of MCU rows through which they work ahead of the caller.
//
// A sequential picture's entropy-coded data can only be read in order, so
// one worker reads them, a row at a time, into the ring's coefficient rows;
// the inverse DCT and upsampling of each row go to whichever thread claims
// it first (the caller's own when it would otherwise wait), and the caller
// converts the colours of the lines it hands out, as with one thread. A
// progressive picture's scans are all read before the first row, so its
// rows go straight to the claiming.
//
// Rows are claimed in order, and a thread works only on rows within the
// ring's depth of the last row the caller let go of, which bounds both the
// memory and how far the input is read ahead. A failure on the worker that
// reads the input is kept with its row, and the caller meets it when it
// reaches that row: the rows delivered before it, the status and the input
// read are those of a decode on one thread. Everything a thread produces
// is its row's alone, so the bytes are too.
#include "threads.h"

#include "engine_internal.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

namespace jpeg {

namespace detail {
std::atomic<std::uint64_t> min_threaded_pixels{512 * 1024};
}  // namespace detail

namespace {

constexpr int max_decoder_threads = 8;
constexpr std::size_t max_whole_picture_samples = std::size_t{64} << 20;
std::atomic<int> chosen_default_threads{0};

int processor_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(CPU_COUNT(&set), 1);
}

// Threads started on first need and kept for the life of the process, so
// that a program decoding picture after picture starts none per picture.
// Only workers with nothing to do are lent: a decode never waits for
// another's rows, it takes fewer threads (or none) instead.
class worker_pool {
 public:
  using job = void (*)(void* context);

  static worker_pool& instance() {
    static std::once_flag once;
    std::call_once(once, [] {
      // Never destroyed: its threads wait on it until the process ends.
      current = new worker_pool;
      // A child of fork has none of its parent's threads: it starts a pool
      // of its own rather than lend work to threads that are not there.
      pthread_atfork(nullptr, nullptr, [] { current = new worker_pool; });
    });
    return *current;
  }

  // Hands run(context) to up to `wanted` workers; returns how many took it.
  int lend(int wanted, job run, void* context) {
    std::lock_guard<std::mutex> hold(lock);
    int lent = 0;
    while (lent < wanted && waiting_jobs < max_decoder_threads) {
      if (idle > 0) {
        --idle;
      } else if (started < max_decoder_threads - 1) {
        try {
          std::thread([this] { work(); }).detach();
        } catch (const std::system_error&) {
          break;
        }
        ++started;
      } else {
        break;
      }
      jobs[(first_job + waiting_jobs++) % max_decoder_threads] = {run, context};
      ++lent;
    }
    if (lent != 0) wake.notify_all();
    return lent;
  }

 private:
  struct pending {
    job run;
    void* context;
  };

  void work() {
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
      wake.wait(hold, [this] { return waiting_jobs != 0; });
      const pending next = jobs[first_job];
      first_job = (first_job + 1) % max_decoder_threads;
      --waiting_jobs;
      hold.unlock();
      next.run(next.context);
      hold.lock();
      ++idle;
    }
  }

  static inline worker_pool* current = nullptr;

  std::mutex lock;
  std::condition_variable wake;
  pending jobs[max_decoder_threads] = {};
  int first_job = 0;
  int waiting_jobs = 0;
  int idle = 0;
  int started = 0;
};

// The engine whose input this thread is reading for the ring, if any.
thread_local const jpeg_decoder_engine* reading_ahead_for = nullptr;

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

bool jpeg_decoder_engine::failures_deferred() const { return reading_ahead_for == this; }

bool jpeg_decoder_engine::start_row_threads(bool whole_picture) {
  const int threads = limits.threads > 0 ? std::min(limits.threads, max_decoder_threads) : default_decoder_threads();
  const auto pixels = static_cast<std::uint64_t>(image_width) * static_cast<std::uint64_t>(image_height);
  if (threads < 2 || frame_mcus_per_column < 2 || pixels < detail::min_threaded_pixels.load()) return false;

  // A ring for the whole picture holds every row that the workers make
  // while the last scan is read; it is kept within reason.
  const int sample_blocks = upsample_in_frequency_domain ? upsampled_blocks_per_row : blocks_per_row;
  const std::size_t row_samples = static_cast<std::size_t>(sample_blocks) * 64;
  if (whole_picture && row_samples * static_cast<std::size_t>(frame_mcus_per_column) > max_whole_picture_samples) {
    return false;
  }
  // Out of memory here only means one thread.
  auto* r = new (std::nothrow) row_ring(frame_mcus_per_column, whole_picture ? frame_mcus_per_column : threads + 2,
                                        !is_progressive, row_samples, static_cast<std::size_t>(blocks_per_row));
  if (r == nullptr) return false;
  if (r->storage == nullptr) {
    delete r;
    return false;
  }
  if (whole_picture) {
    r->final_rows = 0;
    r->pages_ready = false;
  }
  ring = r;
  std::lock_guard<std::mutex> hold(ring->lock);
  ring->workers = worker_pool::instance().lend(
      threads - 1, [](void* engine) { static_cast<jpeg_decoder_engine*>(engine)->run_row_worker(); }, this);
  if (ring->workers != 0) return true;
  // No worker was free: the whole picture stays on this thread.
  delete ring;
  ring = nullptr;
  return false;
}

void jpeg_decoder_engine::publish_final_rows(int rows) {
  std::lock_guard<std::mutex> hold(ring->lock);
  if (rows <= ring->final_rows) return;
  ring->final_rows = rows;
  ring->signal();
}

void jpeg_decoder_engine::stop_row_threads() noexcept {
  if (ring == nullptr) return;
  {
    std::unique_lock<std::mutex> hold(ring->lock);
    ring->stopping = true;
    ring->signal();
    ring->changed.wait(hold, [this] { return ring->workers == 0; });
  }
  delete ring;
  ring = nullptr;
}

void jpeg_decoder_engine::run_row_worker() noexcept {
  bool first = false;
  {
    std::lock_guard<std::mutex> hold(ring->lock);
    first = !ring->first_taken;
    ring->first_taken = true;
  }
  // The first worker reads a sequential picture's input, or writes to every
  // page of a whole picture's ring while the scans before the last are read
  // (the first write to a page of new memory costs more than a row's
  // reconstruction does there); then it joins the others.
  if (first && ring->sequential) entropy_decode_rows_ahead();
  if (first && !ring->sequential) touch_pages();
  reconstruct_rows_ahead();
  std::lock_guard<std::mutex> hold(ring->lock);
  --ring->workers;
  ring->signal();
}

void jpeg_decoder_engine::touch_pages() {
  row_ring& r = *ring;
  {
    std::lock_guard<std::mutex> hold(r.lock);
    if (r.pages_ready) return;
  }
  // The slots only: the ready rows behind them are under the lock.
  constexpr std::size_t page = 4096;
  for (std::size_t at = 0; at < r.slot_bytes * r.slot_count(); at += page) r.storage[at] = 0;
  std::lock_guard<std::mutex> hold(r.lock);
  r.pages_ready = true;
  r.signal();
}

void jpeg_decoder_engine::entropy_decode_rows_ahead() {
  row_ring& r = *ring;
  reading_ahead_for = this;
  for (int row = 0; row < r.rows; ++row) {
    {
      // While the ring is full, the reader helps with the rows in it.
      std::unique_lock<std::mutex> hold(r.lock);
      while (!r.stopping && row - r.released >= r.depth) {
        if (r.may_claim()) {
          r.reconstruct_next(hold, [this](int claimed) { reconstruct_row(claimed); });
        } else {
          r.await_signal(hold);
        }
      }
      if (r.stopping) break;
    }
    try {
      decode_baseline_mcu_row(r.coefficients_of(row), r.extents_of(row));
      if (row == r.rows - 1) find_end_of_image();
    } catch (const decode_abort& failure) {
      std::lock_guard<std::mutex> hold(r.lock);
      r.failed_row = row;
      r.failure_code = failure.code;
      r.signal();
      break;
    }
    std::lock_guard<std::mutex> hold(r.lock);
    r.entropy_decoded = row + 1;
    r.signal();
  }
  reading_ahead_for = nullptr;
}

void jpeg_decoder_engine::reconstruct_rows_ahead() {
  row_ring& r = *ring;
  std::unique_lock<std::mutex> hold(r.lock);
  for (;;) {
    while (!r.stopping && !r.nothing_left_to_claim() && !r.may_claim()) r.await_signal(hold);
    if (r.stopping || !r.may_claim()) return;
    r.reconstruct_next(hold, [this](int claimed) { reconstruct_row(claimed); });
  }
}

void jpeg_decoder_engine::reconstruct_row(int row) {
  if (ring->sequential) {
    reconstruct_sequential_row(ring->coefficients_of(row), ring->extents_of(row), ring->samples_of(row));
  } else {
    reconstruct_progressive_row(row, ring->samples_of(row));
  }
}

std::uint8_t* jpeg_decoder_engine::take_threaded_row(int row) {
  row_ring& r = *ring;
  // The end of a progressive picture is read here, as with one thread; a
  // sequential one's by the worker that reads its rows.
  if (!r.sequential && row == r.rows - 1) find_end_of_image();
  std::unique_lock<std::mutex> hold(r.lock);
  // The row before is handed out: its slot may take a new row.
  r.released = row;
  r.signal();
  for (;;) {
    if (r.ready_row[r.slot(row)] == row) return r.samples_of(row);
    if (r.failed_row == row) {
      const int code = r.failure_code;
      hold.unlock();
      abort_decode(code);
    }
    if (r.next_claim == row && r.may_claim()) {
      r.reconstruct_next(hold, [this](int claimed) { reconstruct_row(claimed); });
    } else {
      r.await_signal(hold);
    }
  }
}

}  // namespace jpeg
