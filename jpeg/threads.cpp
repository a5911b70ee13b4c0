// Threads: the process's worker threads, lent to one decode at a time, and
// the ring of MCU rows through which the threads of a decode share its work.
//
// A sequential picture's entropy-coded data can only be read in order, one
// row after the other; the inverse DCT and upsampling of a row read can be
// done anywhere. So the reading passes from thread to thread at row
// boundaries: whichever thread of the decode, the caller's included, finds
// the next row unread and nobody reading reads it into the ring's
// coefficient rows, and whichever finds a row read and not yet
// reconstructed reconstructs it. The caller converts the colours of the
// lines it hands out, as with one thread. A worker that never gets a core
// holds up nothing: the caller does what the next row needs itself, and
// waits only for a piece of work another thread has begun.
//
// A progressive picture's scans are read by the caller during
// start_decoding. Its workers reconstruct rows from the coefficient stores:
// while the last scan is read, the rows it has passed (overlap_last_scan),
// then the rest, the caller claiming rows as a sequential picture's.
//
// Rows are taken in order, and a thread works only on rows within the
// ring's depth of the last row the caller let go of, which bounds both the
// memory and how far the input is read ahead. A failure met while reading
// is kept with its row, and the caller meets it when it reaches that row:
// the rows delivered before it, the status and the input read are those of
// a decode on one thread, since the same rows are read in the same order
// whichever thread reads them. Everything a thread produces is its row's
// alone, so the bytes are the same too.
#include "threads.h"

#include "engine_internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <numeric>
#include <thread>

namespace jpeg {

namespace detail {
std::atomic<std::uint64_t> min_threaded_pixels{min_threaded_picture_pixels};
pool_faults injected_pool_faults;
std::atomic<unsigned> fork_generation{0};
std::atomic<bool> consider_machine_load{true};
std::atomic<bool> bands_for_every_picture{false};
std::atomic<std::uint64_t> bands_taken{0};
}  // namespace detail

namespace {

std::atomic<int> chosen_default_threads{0};

int processor_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(CPU_COUNT(&set), 1);
}

// The processors this process may run on that no other runnable thread
// wants now, by the kernel's count of runnable threads (the calling one
// included); all but this thread's own when that count cannot be read.
// Workers lent beyond it would only take turns with the others, and the
// hand-overs between a decode's threads cost more than they bring.
int free_processors() {
  const int processors = processor_count();
  const int others = processors - 1;
  if (!detail::consider_machine_load.load(std::memory_order_relaxed)) return others;
  const int file = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (file < 0) return others;
  char text[128];
  const ssize_t got = read(file, text, sizeof text - 1);
  close(file);
  if (got <= 0) return others;
  text[got] = '\0';
  // "0.52 0.41 0.30 2/345 6789": the fourth field is runnable/all threads.
  int runnable = 0;
  if (std::sscanf(text, "%*s %*s %*s %d/", &runnable) != 1 || runnable < 1) return others;
  return processors - runnable;
}

// Starts a detached thread running work(); false when the system has no
// thread or no memory for it, which only means fewer threads.
template <class Work>
bool start_thread(Work work) noexcept(true) {
  try {
    if (auto fail = detail::injected_pool_faults.before_thread_start.load(std::memory_order_relaxed)) fail();
    std::thread(work).detach();
    return true;
  } catch (...) {
    return false;
  }
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
      // of its own rather than lend work to threads that are not there, and
      // leaves the old one (whose lock a thread may have held) untouched.
      pthread_atfork(nullptr, nullptr, [] {
        current = new worker_pool;
        detail::fork_generation.fetch_add(1);
      });
    });
    return *current;
  }

  // Hands run(context) to up to `wanted` workers; returns how many took it.
  int lend(int wanted, job run, void* context) noexcept(true) {
    wanted = std::min(wanted, detail::injected_pool_faults.lend_at_most.load(std::memory_order_relaxed));
    std::lock_guard<std::mutex> hold(lock);
    int lent = 0;
    while (lent < wanted && waiting_jobs < max_decoder_threads) {
      if (idle > 0) {
        --idle;
      } else if (started < max_decoder_threads - 1 && start_thread([this] { work(); })) {
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

  // Takes back the jobs of `context` that no worker has begun, and returns
  // how many: a worker that has not started yet is not waited for.
  int revoke(void* context) noexcept(true) {
    std::lock_guard<std::mutex> hold(lock);
    int kept = 0;
    for (int i = 0; i < waiting_jobs; ++i) {
      const pending next = jobs[(first_job + i) % max_decoder_threads];
      if (next.context != context) jobs[(first_job + kept++) % max_decoder_threads] = next;
    }
    const int revoked = waiting_jobs - kept;
    waiting_jobs = kept;
    // The workers woken or started for them wait for other jobs.
    idle += revoked;
    return revoked;
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
      if (const int late = detail::injected_pool_faults.late_start_microseconds.load(std::memory_order_relaxed)) {
        hold.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(late));
        hold.lock();
        if (waiting_jobs == 0) continue;
      }
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

// The engine whose rows this thread is reading for the ring, and the one
// whose worker it is, if any.
thread_local const engine_core* reading_for = nullptr;
thread_local const engine_core* working_for = nullptr;

}  // namespace

// The work of the ring's threads. Each function that takes `hold` is
// entered and left with the ring's lock held.
struct row_threads {
  // Reads row read_rows into the ring, or takes the band read ahead there.
  // A failure stays with the row.
  static void read_next(engine_core& e, row_ring& r, std::unique_lock<std::mutex>& hold) {
    const int row = r.read_rows;
    r.reading = true;
    const band_read* band = r.band_read_at(row);
    hold.unlock();
    int failure = 0;
    int rows_read = 1;
    reading_for = &e;
    try {
      if (band != nullptr && e.take_band(*band)) {
        detail::bands_taken.fetch_add(1, std::memory_order_relaxed);
        rows_read = r.band_rows;
      } else {
        e.decode_baseline_mcu_row(r.coefficients_of(row), r.extents_of(row));
      }
      // The markers after the last row are read with it, as on one thread.
      if (row + rows_read == r.rows) e.find_end_of_image();
    } catch (const decode_abort& abort) {
      failure = abort.code;
    }
    reading_for = nullptr;
    hold.lock();
    r.reading = false;
    if (failure != 0) {
      r.failed_row = row;
      r.failure_code = failure;
    } else {
      r.read_rows = row + rows_read;
    }
    r.signal();
  }

  // Reads the next band ahead of the rows in order (band_read).
  static void read_band(const engine_core& e, row_ring& r, std::unique_lock<std::mutex>& hold) {
    const int first = r.next_band_start();
    band_read& band = r.bands[r.slot(first)];
    band = {};
    band.first_row = first;
    band.reading = true;
    r.band_reading = true;
    r.next_band = first + r.band_rows;
    hold.unlock();
    const bool read = read_band_from_marker(e, r, band);
    hold.lock();
    band.reading = false;
    band.read = read;
    r.band_reading = false;
    r.walk_ended = r.walk.ended;
    r.signal();
  }

  // Moves the walk on to the restart marker in front of interval
  // `interval` of the scan; false where the data end or another marker
  // comes first.
  static bool walk_to_restart(const engine_core& e, restart_walk& walk, int interval) {
    const std::uint8_t* data = e.shared.data;
    const std::uint32_t size = e.shared.size;
    while (!walk.ended && walk.markers < interval) {
      const void* ff = std::memchr(data + walk.at, 0xFF, size - walk.at);
      std::uint32_t at = ff == nullptr ? size : static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(ff) - data);
      while (at < size && data[at] == 0xFF) ++at;
      if (at == size) {
        walk.ended = true;
        break;
      }
      const int code = data[at];
      walk.at = at + 1;
      if (code == 0) continue;  // a stuffed zero
      if (code < marker::rst0 || code > marker::rst7) {
        walk.ended = true;
        break;
      }
      ++walk.markers;
      walk.code = code;
    }
    return !walk.ended && walk.markers == interval;
  }

  // The band's rows read by an engine of this thread's own, from the marker
  // in front of the band; false where that reading failed or no such
  // marker was found. Nothing here touches the serial engine's state.
  static bool read_band_from_marker(const engine_core& e, row_ring& r, band_read& band) noexcept(true) {
    const int interval = e.tables.restart_interval;
    const auto first_mcu = static_cast<std::int64_t>(band.first_row) * e.scan_mcus_per_row;
    const auto band_mcus = static_cast<std::int64_t>(r.band_rows) * e.scan_mcus_per_row;
    const auto first = static_cast<int>(first_mcu / interval);
    if (!walk_to_restart(e, r.walk, first)) return false;
    band.start = r.walk.at;
    const int marker_code = r.walk.code;
    // The marker after the band must be there too: the band's reading,
    // which never passes a marker, then stops in front of it at the latest
    // and never meets the end of the data, past which reading depends on
    // more than the bytes read.
    if (!walk_to_restart(e, r.walk, first + static_cast<int>(band_mcus / interval))) return false;
    jpeg_decoder_mem_stream input(e.shared.data + band.start, e.shared.size - band.start);
    // Built without a stream, it reads no header; begin_band sets it up.
    engine_core ahead(nullptr, e.limits);
    try {
      ahead.begin_band(e, &input, marker_code);
      for (int row = band.first_row; row < band.first_row + r.band_rows; ++row) {
        ahead.decode_baseline_mcu_row(r.coefficients_of(row), r.extents_of(row));
      }
    } catch (const decode_abort&) {
      return false;
    }
    band.end = band.start + ahead.input_offset();
    band.restart_countdown = ahead.restart_countdown;
    band.expected_restart_index = ahead.expected_restart_index;
    std::copy_n(ahead.dc_predictor, max_components, band.dc_predictor);
    return true;
  }

  // Reconstructs row next_claim into its slot.
  static void reconstruct_next(const engine_core& e, row_ring& r, std::unique_lock<std::mutex>& hold) {
    const int row = r.next_claim++;
    hold.unlock();
    if (r.sequential) {
      e.reconstruct_sequential_row(r.coefficients_of(row), r.extents_of(row), r.samples_of(row));
    } else {
      e.reconstruct_progressive_row(row, r.samples_of(row));
    }
    hold.lock();
    r.ready_row[r.slot(row)] = row;
    r.signal();
  }

  // Does the next piece of work there is, reading first when read_first;
  // false when there is none now.
  static bool work_once(engine_core& e, row_ring& r, std::unique_lock<std::mutex>& hold, bool read_first) {
    // A band read ahead is taken first, by any thread: the rows behind it
    // wait for it, and taking it costs little. Where bands are read, a
    // worker reads them before anything else: the caller's thread reads the
    // rows in order and takes the bands, and the reading, which is most of
    // such a picture's work, is shared.
    const bool band_next = r.band_read_at(r.read_rows) != nullptr;
    if (r.may_read() && (band_next || (read_first && r.band_rows == 0))) {
      read_next(e, r, hold);
    } else if (read_first && r.may_read_band()) {
      read_band(e, r, hold);
    } else if (r.may_claim()) {
      reconstruct_next(e, r, hold);
    } else if (r.may_read()) {
      read_next(e, r, hold);
    } else if (r.may_read_band()) {
      read_band(e, r, hold);
    } else {
      return false;
    }
    return true;
  }

  // A whole picture's ring is new memory, whose every page costs a fault
  // when first written, more than a row's reconstruction there: a worker
  // takes the faults while the scans before the last are read. Populating
  // leaves the contents alone, so rows written meanwhile are safe.
  static void touch_pages(row_ring& r, std::unique_lock<std::mutex>& hold) {
    if (r.pages_touched || r.sequential) return;
    r.pages_touched = true;
    hold.unlock();
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto first = (reinterpret_cast<std::uintptr_t>(r.storage) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(r.storage) + r.slot_bytes * r.slot_count()) & ~(page - 1);
#ifdef MADV_POPULATE_WRITE
    // Kernels before Linux 5.14 refuse it; the rows then fault as they go.
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#endif
    hold.lock();
  }

  // Reads the scans of the units that the caller's engine passes over, with
  // a second engine of its own over the same bytes, into the same stores.
  static void read_second_scans(engine_core& e, row_ring& r, std::unique_lock<std::mutex>& hold) {
    r.second_scans = row_ring::scan_job::reading;
    hold.unlock();
    const std::uint64_t decoded = run_second_engine(e);
    hold.lock();
    e.shared.blocks_decoded = decoded;
    e.shared.done = true;
    r.second_scans = row_ring::scan_job::read;
    r.final_rows = std::max(r.final_rows, r.passed_rows);
    r.signal();
  }

  // What the caller's engine learns from the second one: the blocks it
  // decoded, or a failure (e.shared.differs) for the caller to decide again.
  static std::uint64_t run_second_engine(engine_core& e) noexcept(true) {
    detail::pool_allocations_left = detail::injected_pool_faults.second_engine_allocations.load();
    jpeg_decoder_mem_stream input(e.shared.data, e.shared.size);
    engine_core second(&input, e.limits);
    std::uint64_t decoded = 0;
    try {
      if (second.status() != 0) throw decode_abort{second.status()};
      second.read_scans_shared_with(e);
      e.shared.blocks_without_data = second.blocks_without_data;
      decoded = second.blocks_decoded;
    } catch (const decode_abort&) {
      e.shared.differs = true;
    }
    detail::pool_allocations_left = -1;
    return decoded;
  }

  // A lent worker's job: the second engine's scans, the pages, then any
  // work there is, reading first since the reading of a sequential picture
  // is the part that cannot be shared; it ends when no row is left to take.
  static void work(void* engine) noexcept(true) {
    auto& e = *static_cast<engine_core*>(engine);
    row_ring& r = *e.ring;
    working_for = &e;
    std::unique_lock<std::mutex> hold(r.lock);
    if (r.second_scans == row_ring::scan_job::waiting) read_second_scans(e, r, hold);
    touch_pages(r, hold);
    while (!r.stopping && !r.nothing_left()) {
      if (!work_once(e, r, hold, true)) r.await_signal(hold);
    }
    working_for = nullptr;
    --r.workers;
    r.signal();
  }

  // A fork child's copy of a threaded decode: the threads that were
  // reading or reconstructing its rows are not there, and their work may be
  // half done. A progressive picture's rows come from its complete
  // coefficient stores, so the caller makes each one itself; a sequential
  // picture's input may have been left in the middle of a row, so it fails.
  static std::uint8_t* take_orphaned_row(engine_core& e, row_ring& r, int row) {
    if (r.sequential) e.abort_decode(input_read_failed);
    e.reconstruct_progressive_row(row, r.samples_of(row));
    return r.samples_of(row);
  }
};

int default_decoder_threads() {
  const int chosen = chosen_default_threads.load(std::memory_order_relaxed);
  if (chosen > 0) return chosen;
  static const int processors = std::min(processor_count(), max_decoder_threads);
  return processors;
}

void set_default_decoder_threads(int threads) {
  chosen_default_threads.store(std::clamp(threads, 0, max_decoder_threads), std::memory_order_relaxed);
}

bool engine_core::failures_deferred() const {
  // A worker stops nothing: what fails while it reads rows waits for the
  // caller's thread, and nothing else it does can fail.
  assert(reading_for == this || working_for != this);
  return reading_for == this;
}

bool engine_core::rows_worth_sharing() const {
  const auto pixels = static_cast<std::uint64_t>(frame.width) * static_cast<std::uint64_t>(frame.height);
  if (frame_mcus_per_column < 2 || pixels < detail::min_threaded_pixels.load()) return false;
  // Below full size a sequential row's blocks are small transforms or
  // fills: handing the rows to workers costs about what it saves, while the
  // reading stays on one thread at a time.
  return frame.progressive || scale_shift == 0;
}

bool engine_core::start_row_threads(bool whole_picture) {
  if (ring != nullptr) return true;
  const int threads = limits.threads > 0 ? std::min(limits.threads, max_decoder_threads) : default_decoder_threads();
  if (threads < 2 || !rows_worth_sharing()) return false;

  // A ring for the whole picture holds every row that the workers make
  // while the last scan is read; it is kept within reason.
  const std::size_t row_samples = static_cast<std::size_t>(sample_blocks_per_row) * 64;
  if (whole_picture && row_samples * static_cast<std::size_t>(frame_mcus_per_column) > max_whole_picture_sample_bytes) {
    return false;
  }
  const int workers = std::min(threads - 1, free_processors());
  if (workers < 1) return false;
  worker_pool& pool = worker_pool::instance();
  // Out of memory here only means one thread.
  auto* r = new (std::nothrow)
      row_ring(frame_mcus_per_column, whole_picture ? frame_mcus_per_column : threads + ring_rows_beyond_threads,
               !frame.progressive, row_samples, static_cast<std::size_t>(blocks_per_row));
  if (r == nullptr) return false;
  if (r->storage == nullptr) {
    delete r;
    return false;
  }
  if (whole_picture) r->final_rows = 0;
  share_bands(*r);
  // The workers find the ring through the engine.
  ring = r;
  {
    // Workers may start before the count is set: they take the lock first.
    std::lock_guard<std::mutex> hold(r->lock);
    r->workers = pool.lend(workers, &row_threads::work, this);
    if (r->workers != 0) return true;
  }
  // No worker was free: the whole picture stays on this thread.
  ring = nullptr;
  delete r;
  return false;
}

void engine_core::share_bands(row_ring& r) const {
  if (!r.sequential || shared.data == nullptr || tables.restart_interval == 0) return;
  // Where the data take less than 0.28 bytes a pixel, the rows'
  // reconstruction and colours are already about as much work as the
  // reading, shared out as it is, and reading bands ahead only costs.
  // Measured on two threads against reading in order alone, in 4:2:0,
  // 4:2:2, 4:4:4 and grey from 0.09 to 0.52 bytes a pixel: up to 5 %
  // slower at 0.26 and below (4:2:0; the others even), 7 to 39 % faster
  // from 0.29 on, the heaviest gaining the most.
  const std::uint64_t data = shared.size - input_offset();
  const auto pixels = static_cast<std::uint64_t>(frame.width) * static_cast<std::uint64_t>(frame.height);
  if (data * 100 < pixels * 28 && !detail::bands_for_every_picture.load(std::memory_order_relaxed)) return;
  // A band must fit in the ring beside the row read in order, and each
  // slot have a band record.
  const int interval = tables.restart_interval;
  const int rows = interval / std::gcd(interval, scan_mcus_per_row);
  if (rows >= r.depth - 1 || static_cast<std::size_t>(r.depth) > std::size(r.bands)) return;
  r.band_rows = rows;
  // No marker lies before the input not yet read: the reader never passes
  // one.
  r.walk.at = input_offset();
}

void engine_core::publish_rows_of_scan(bool last) {
  drop_overlapped_rows();
  if (ring == nullptr) return;
  // A shared decode's rows wait for the second engine's scans as well
  // (publish_final_rows).
  ring->publishing = last;
}

void engine_core::share_scans() {
  // The AC scans of the first component (the luma of a colour picture) are
  // the larger part of most pictures' data; the caller's engine reads them
  // and a second engine the DC scans and the other components' AC scans.
  if (ring == nullptr || shared.data == nullptr || frame.component_count < 2 || ring->orphaned()) return;
  shared.active = true;
  shared.skipped_units = ~(1u << 1);
  std::lock_guard<std::mutex> hold(ring->lock);
  ring->second_scans = row_ring::scan_job::waiting;
  ring->signal();
}

void engine_core::read_scans_shared_with(engine_core& first) {
  // The frame is the first engine's, already set up there: this engine
  // needs its stores, no line buffers of its own.
  for (int c = 0; c < frame.component_count; ++c) {
    dc_coefficient_store[c] = first.dc_coefficient_store[c];
    ac_coefficient_store[c] = first.ac_coefficient_store[c];
  }
  frame_blocks = first.frame_blocks;
  shared.skipped_units = ~first.shared.skipped_units;
  read_progressive_scans();
}

void engine_core::finish_shared_scans() {
  // The ring goes early only with rows made once the second engine's
  // scans were read.
  if (ring != nullptr && !ring->orphaned()) {
    std::unique_lock<std::mutex> hold(ring->lock);
    // No worker has come for them: this thread reads them.
    if (ring->second_scans == row_ring::scan_job::waiting) row_threads::read_second_scans(*this, *ring, hold);
    while (ring->second_scans != row_ring::scan_job::read) ring->await_signal(hold);
  } else if (!shared.done) {
    // A fork child's copy: the thread that was reading them is not there.
    shared.differs = true;
  }
  blocks_decoded += shared.blocks_decoded;
  // Blocks decoded after their scan's data ended count over all scans
  // towards the limit of scan_data_missing; within its smallest value, no
  // engine reading every scan would have stopped for it.
  const std::uint64_t without_data = blocks_without_data + shared.blocks_without_data;
  if (shared.differs || without_data > 2 * frame_blocks + 64) abort_decode(scan_data_missing);
}

bool engine_core::decode_again_on_one_thread() {
  if (!shared.active) return false;
  // The failure of a shared decode may not be the one that one engine
  // reading every scan meets first: that engine decides, from the same
  // place in the caller's stream.
  jpeg_decoder_mem_stream* memory = shared.memory;
  memory->position = shared.first_position;
  shared = {};
  try {
    reset_state(memory);
    find_frame_header();
    prepare_decoding();
  } catch (const decode_abort&) {
    return false;
  }
  return true;
}

void engine_core::drop_overlapped_rows() {
  if (ring != nullptr && !decoding_started && ring->publishing) stop_row_threads();
}

void engine_core::publish_final_rows(int rows) {
  if (ring == nullptr) return;
  std::lock_guard<std::mutex> hold(ring->lock);
  if (rows <= ring->final_rows) return;
  if (ring->second_scans == row_ring::scan_job::waiting || ring->second_scans == row_ring::scan_job::reading) {
    ring->passed_rows = rows;
    return;
  }
  ring->final_rows = rows;
  ring->signal();
}

void engine_core::stop_row_threads() noexcept(true) {
  if (ring == nullptr) return;
  // A fork child's copy is left as it is: its lock may be held and its
  // condition waited on by threads the child does not have.
  if (!ring->orphaned()) {
    const int not_begun = worker_pool::instance().revoke(this);
    {
      std::unique_lock<std::mutex> hold(ring->lock);
      ring->workers -= not_begun;
      ring->stopping = true;
      ring->signal();
      ring->changed.wait(hold, [this] { return ring->workers == 0; });
    }
    // A worker not yet started still looks for the ring through the engine,
    // so it goes only now, after the last lock on it.
    delete ring;
  }
  ring = nullptr;
}

std::uint8_t* engine_core::take_threaded_row(int row) {
  row_ring& r = *ring;
  if (r.orphaned()) [[unlikely]]
    return row_threads::take_orphaned_row(*this, r, row);
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
    if (!row_threads::work_once(*this, r, hold, false)) r.await_signal(hold);
  }
}

}  // namespace jpeg
