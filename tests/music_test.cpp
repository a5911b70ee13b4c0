// The music layer: tick bookkeeping and the heard-position clock on synthetic
// input, tick-exact rendering of generated modules (offline, no SDL), and
// short real-time runs through the public operations on SDL's dummy output.
#include <gtest/gtest.h>
#include <libopenmpt/libopenmpt.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "module_renderer.h"
#include "music.h"
#include "position_timeline.h"

using namespace audio_internal;
using namespace std::chrono_literals;

namespace {

// ---------------------------------------------------------------------------
// Heap calls made by other threads than the one that counts (the audio
// thread, in the playback tests). Under AddressSanitizer, which owns malloc,
// its allocator reports every allocation to a hook; otherwise the test
// replaces malloc, calloc, realloc and the aligned forms (operator new ends
// in them) with counting wrappers around the C library's own.

std::atomic<bool> counting{false};
std::thread::id counting_thread;  // written before counting is set
std::atomic<std::uint64_t> counted{0};

void note_allocation() {
  if (counting.load(std::memory_order_acquire) && std::this_thread::get_id() != counting_thread)
    counted.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                                         void (*)(const volatile void*));
namespace {
[[maybe_unused]] const int allocation_hook = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, std::size_t) { note_allocation(); }, [](const volatile void*) {});
}  // namespace
#else
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

void* malloc(std::size_t size) noexcept {
  note_allocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  note_allocation();
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) noexcept {
  note_allocation();
  return __libc_realloc(block, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  note_allocation();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept { return memalign(alignment, size); }
int posix_memalign(void** block, std::size_t alignment, std::size_t size) noexcept {
  void* p = memalign(alignment, size);
  if (!p) return ENOMEM;
  *block = p;
  return 0;
}
}
#endif

namespace {

std::string module_path(const char* name) { return std::string(MUSIC_TEST_MODULES) + "/" + name; }

tick_record tick_at(std::uint64_t start, std::uint32_t length, std::uint16_t order, std::uint16_t row,
                    std::uint32_t tick, std::uint32_t ticks_in_row) {
  return tick_record{start, length, order, row, tick, ticks_in_row};
}

// ---------------------------------------------------------------------------
// tick_timeline

TEST(TickTimeline, FractionRisesThroughARowAndStopsShortOf256) {
  tick_timeline t;
  EXPECT_FALSE(t.at(0).has_value());
  // Order 4, row 9: three ticks of 100 frames from frame 1000; row 10 next.
  for (std::uint32_t k = 0; k < 3; ++k) t.push(tick_at(1000 + 100 * k, 100, 4, 9, k, 3));
  t.push(tick_at(1300, 100, 4, 10, 0, 3));

  EXPECT_EQ(t.at(1000)->fraction, 0u);
  EXPECT_EQ(t.at(1100)->fraction, 85u);  // one tick of three
  EXPECT_EQ(t.at(1150)->fraction, 128u);
  EXPECT_EQ(t.at(1299)->fraction, 255u);
  std::uint32_t last = 0;
  for (std::uint64_t f = 1000; f < 1300; ++f) {
    const auto p = t.at(f);
    ASSERT_EQ(p->order, 4u);
    ASSERT_EQ(p->row, 9u);
    ASSERT_GE(p->fraction, last) << "frame " << f;
    ASSERT_LE(p->fraction, 255u);
    last = p->fraction;
  }
  const auto next = t.at(1300);
  EXPECT_EQ(next->row, 10u);
  EXPECT_EQ(next->fraction, 0u);
  // Before the first tick: the start of the first row.
  EXPECT_EQ(t.at(10)->row, 9u);
  EXPECT_EQ(t.at(10)->fraction, 0u);
}

TEST(TickTimeline, RowLongerThanExpectedWaitsAt255) {
  tick_timeline t;
  // Two ticks were expected; a third tick of the same row turned up.
  for (std::uint32_t k = 0; k < 3; ++k) t.push(tick_at(100 * k, 100, 0, 5, k, 2));
  EXPECT_EQ(t.at(150)->fraction, 192u);
  EXPECT_EQ(t.at(199)->fraction, 254u);
  EXPECT_EQ(t.at(200)->fraction, 255u);
  EXPECT_EQ(t.at(299)->fraction, 255u);
}

TEST(TickTimeline, KeepsTheLastTickPastTheEnd) {
  tick_timeline t;
  t.push(tick_at(0, 441, 17, 63, 0, 1));
  // The module ends 100 frames into a tick it had begun.
  t.push(tick_at(441, 441, 17, 63, 1, 2));
  t.finish(541);
  EXPECT_TRUE(t.finished());
  EXPECT_EQ(t.end_frame(), 541u);
  const auto p = t.at(1000000);
  EXPECT_EQ(p->order, 17u);
  EXPECT_EQ(p->row, 63u);
  EXPECT_EQ(p->fraction, 254u);  // frame 99 of the row's 200
  // A tick that starts inside the previous one cuts it short.
  tick_timeline u;
  u.push(tick_at(0, 500, 1, 1, 0, 1));
  u.push(tick_at(300, 500, 1, 2, 0, 1));
  EXPECT_EQ(u.record(0).length, 300u);
  EXPECT_EQ(u.at(299)->row, 1u);
  EXPECT_EQ(u.at(300)->row, 2u);
}

TEST(TickTimeline, OverwritesTheOldestWhenFull) {
  tick_timeline t;
  const std::size_t n = tick_timeline::capacity + 10;
  for (std::size_t i = 0; i < n; ++i)
    t.push(tick_at(i * 10, 10, static_cast<std::uint16_t>(i / 64), static_cast<std::uint16_t>(i % 64), 0, 1));
  EXPECT_EQ(t.size(), tick_timeline::capacity);
  EXPECT_EQ(t.record(0).start, 100u);
  const auto p = t.at((n - 1) * 10 + 5);
  EXPECT_EQ(p->order, (n - 1) / 64);
  EXPECT_EQ(p->row, (n - 1) % 64);
  EXPECT_EQ(p->fraction, 128u);
}

// ---------------------------------------------------------------------------
// output_clock

TEST(OutputClock, RunsBetweenCallbacksButNotBeyondThemNorBackwards) {
  output_clock c;
  c.reset(44100, 1024);
  const auto t0 = std::chrono::steady_clock::time_point{} + 100s;
  EXPECT_EQ(c.heard(t0), 0u);
  EXPECT_FALSE(c.stalled(t0 + 1h, 3s));

  // The callback writing frames 4096.. runs while 3072.. start to sound.
  c.on_callback(4096, 1024, t0);
  EXPECT_EQ(c.heard(t0), 3072u);
  EXPECT_EQ(c.heard(t0 + 10ms), 3072u + 441u);
  // Without the next callback it cannot know more than one buffer on.
  EXPECT_EQ(c.heard(t0 + 500ms), 4096u);
  // A callback that comes early pulls it forward, never back.
  c.on_callback(5120, 1024, t0 + 20ms);
  EXPECT_EQ(c.heard(t0 + 20ms), 4096u);
  EXPECT_EQ(c.heard(t0 + 21ms), 4096u + 44u);
  EXPECT_EQ(c.heard(t0 + 19ms), 4096u + 44u);

  // The first frames cannot have been heard before the latency has passed.
  output_clock d;
  d.reset(44100, 1024);
  d.on_callback(0, 1024, t0);
  EXPECT_EQ(d.heard(t0 + 10ms), 0u);
  EXPECT_FALSE(d.stalled(t0 + 2s, 3s));
  EXPECT_TRUE(d.stalled(t0 + 4s, 3s));

  // A look ahead reaches as far as the callbacks have written, never back,
  // and leaves the heard frame alone.
  output_clock e;
  e.reset(44100, 1024);
  EXPECT_EQ(e.ahead(t0, 441), 0u);
  e.on_callback(4096, 1024, t0);
  EXPECT_EQ(e.ahead(t0, 441), 3072u + 441u);
  EXPECT_EQ(e.ahead(t0 + 10ms, 4000), 5120u);
  EXPECT_EQ(e.ahead(t0 + 10ms, 0), 5120u);
  EXPECT_EQ(e.heard(t0 + 10ms), 3072u + 441u);
}

// ---------------------------------------------------------------------------
// module_renderer: the tick records of real modules, rendered offline.

struct row_start {
  std::uint16_t order, row;
  std::uint64_t frame;
  std::uint32_t ticks_in_row;
  bool operator==(const row_start&) const = default;
};

std::ostream& operator<<(std::ostream& os, const row_start& r) {
  return os << "(" << r.order << "," << r.row << " @" << r.frame << " /" << r.ticks_in_row << ")";
}

struct rendered {
  std::vector<row_start> rows;
  std::uint64_t end = 0;
  tick_timeline timeline;
};

// Renders the whole module in awkward chunk sizes, placed at output frame
// `first`, and collects every row start.
rendered render_offline(const std::string& path, std::uint64_t first, std::size_t chunk) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const openmpt_module_initial_ctl ctls[] = {{"play.at_end", "stop"}, {nullptr, nullptr}};
  openmpt_module* mod = openmpt_module_create_from_memory2(bytes.data(), bytes.size(), openmpt_log_func_silent, nullptr,
                                                           nullptr, nullptr, nullptr, nullptr, ctls);
  rendered out;
  if (!mod) {
    ADD_FAILURE() << "cannot load " << path;
    return out;
  }
  openmpt_module_set_repeat_count(mod, 0);
  module_renderer r(mod, 44100);
  std::vector<std::int16_t> buf(2 * chunk);
  std::uint64_t at = first;
  std::uint64_t seen = 0;  // start of the newest record collected
  bool any = false;
  for (;;) {
    const std::size_t got = r.render(buf.data(), chunk, at, out.timeline);
    for (std::size_t i = 0; i < out.timeline.size(); ++i) {
      const tick_record& k = out.timeline.record(i);
      if (any && k.start <= seen) continue;
      if (k.tick == 0) out.rows.push_back({k.order, k.row, k.start, k.ticks_in_row});
      seen = k.start;
      any = true;
    }
    at += got;
    if (got < chunk) break;
  }
  EXPECT_TRUE(r.ended());
  EXPECT_TRUE(out.timeline.finished());
  out.end = out.timeline.end_frame();
  EXPECT_EQ(out.end, at);
  // An ended module renders nothing more.
  EXPECT_EQ(r.render(buf.data(), chunk, at, out.timeline), 0u);
  openmpt_module_destroy(mod);
  return out;
}

TEST(ModuleRenderer, RowsOfTheFastModuleStartOnTheirExactFrame) {
  // Speed 1 at 250 BPM: 441 frames per tick and per row; 18 x 64 rows.
  const std::uint64_t first = 12345;
  const rendered m = render_offline(module_path("fast.xm"), first, 1000);
  ASSERT_EQ(m.rows.size(), 18u * 64u);
  for (std::size_t i = 0; i < m.rows.size(); ++i) {
    const row_start want{static_cast<std::uint16_t>(i / 64), static_cast<std::uint16_t>(i % 64), first + 441 * i, 1};
    ASSERT_EQ(m.rows[i], want) << "row " << i;
  }
  EXPECT_EQ(m.end, first + 441u * 18u * 64u);
  // The end keeps the last row heard, not the place the player would loop to.
  const auto p = m.timeline.at(m.end + 44100);
  EXPECT_EQ(p->order, 17u);
  EXPECT_EQ(p->row, 63u);
  EXPECT_EQ(p->fraction, 255u);
}

TEST(ModuleRenderer, PatternDelayLengthensItsRow) {
  // Speed 2 at 250 BPM, 441 frames per tick; row 2 carries EE2 (6 ticks).
  const rendered m = render_offline(module_path("delay.xm"), 0, 37);
  const std::vector<std::uint64_t> tick_starts = {0, 2, 4, 10, 12, 14, 16, 18};
  ASSERT_EQ(m.rows.size(), tick_starts.size());
  for (std::size_t i = 0; i < m.rows.size(); ++i) {
    const row_start want{0, static_cast<std::uint16_t>(i), 441 * tick_starts[i], i == 2 ? 6u : 2u};
    EXPECT_EQ(m.rows[i], want);
  }
  EXPECT_EQ(m.end, 441u * 20u);
}

TEST(ModuleRenderer, BreakAndJumpChangeTheOrder) {
  // 882 frames per row. break.xm: order 0 rows 0-3, then order 1 from row 5.
  const rendered b = render_offline(module_path("break.xm"), 0, 512);
  const std::vector<std::pair<int, int>> break_rows = {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {1, 5}, {1, 6}, {1, 7}};
  ASSERT_EQ(b.rows.size(), break_rows.size());
  for (std::size_t i = 0; i < b.rows.size(); ++i) {
    EXPECT_EQ(b.rows[i].order, break_rows[i].first);
    EXPECT_EQ(b.rows[i].row, break_rows[i].second);
    EXPECT_EQ(b.rows[i].frame, 882u * i);
  }
  // jump.xm: order 0 rows 0-2, then order 2 whole; order 1 never plays.
  const rendered j = render_offline(module_path("jump.xm"), 0, 4096);
  ASSERT_EQ(j.rows.size(), 11u);
  for (std::size_t i = 0; i < j.rows.size(); ++i) {
    EXPECT_EQ(j.rows[i].order, i < 3 ? 0 : 2);
    EXPECT_EQ(j.rows[i].row, i < 3 ? i : i - 3);
    EXPECT_EQ(j.rows[i].frame, 882u * i);
  }
}

TEST(ModuleRenderer, TheShowsModulePlaysEveryOrderOnce) {
  // The show's pictures follow orders 0 to 17 of 64 rows each.
  const rendered m = render_offline(std::string(PROJECT_ROOT) + "/data/lofasz.xm", 0, 4096);
  ASSERT_EQ(m.rows.size(), 18u * 64u);
  for (std::size_t i = 0; i < m.rows.size(); ++i) {
    ASSERT_EQ(m.rows[i].order, i / 64) << "row " << i;
    ASSERT_EQ(m.rows[i].row, i % 64) << "row " << i;
  }
  const double seconds = static_cast<double>(m.end) / 44100.0;
  EXPECT_GT(seconds, 60.0);
  EXPECT_LT(seconds, 120.0);
}

TEST(ModuleRenderer, TickLengthTruncatesLikeThePlayer) {
  EXPECT_EQ(module_renderer::tick_length(44100, 125), 882u);
  EXPECT_EQ(module_renderer::tick_length(44100, 240), 459u);  // 459.375
  EXPECT_EQ(module_renderer::tick_length(44100, 133), 828u);  // 828.95
  EXPECT_EQ(module_renderer::tick_length(44100, 0), 882u);
}

// ---------------------------------------------------------------------------
// The public operations in real time on the dummy output.

class MusicPlayback : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    ASSERT_TRUE(audio_init(-1, 44100, 0));
  }
  void TearDown() override { audio_free(); }

  struct poll {
    std::uint32_t order, row, fine;
  };
  // Plays to the end, polling as the show does; returns every position seen.
  // A busy machine may leave rows unseen between polls, so tests ask only
  // that what was seen comes in the order it was played.
  std::vector<poll> play_through(music_handle m) {
    std::vector<poll> seen;
    const auto start = std::chrono::steady_clock::now();
    while (music_is_active(m) == MUSIC_ACTIVE_PLAYING) {
      const std::uint64_t pos = music_get_position(m, MUSIC_POSITION_ORDER);
      EXPECT_EQ(pos >> 32, 0u);
      seen.push_back({static_cast<std::uint32_t>(pos & 0xFFFF), static_cast<std::uint32_t>(pos >> 24) & 0xFF,
                      static_cast<std::uint32_t>(pos >> 16) & 0xFFFF});
      std::this_thread::sleep_for(1ms);
    }
    played_for = std::chrono::steady_clock::now() - start;
    return seen;
  }
  std::chrono::steady_clock::duration played_for{};

  // Whether every row seen is one of the rows played, in the order played.
  static bool seen_in_order(const std::vector<poll>& seen,
                            const std::vector<std::pair<std::uint32_t, std::uint32_t>>& played) {
    std::size_t at = 0;
    for (const poll& p : seen) {
      while (at < played.size() && played[at] != std::make_pair(p.order, p.row)) ++at;
      if (at == played.size()) return false;
    }
    return true;
  }
};

TEST(MusicNoDevice, InitFailsAndNothingLoads) {
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  EXPECT_FALSE(audio_init(-1, 44100, 0));
  EXPECT_EQ(music_load(false, module_path("delay.xm").c_str(), 0, 0, 0x800410, 0), 0u);
  EXPECT_EQ(music_is_active(1), MUSIC_ACTIVE_STOPPED);
  EXPECT_EQ(music_get_position(1, MUSIC_POSITION_ORDER), ~std::uint64_t{0});
  setenv("SDL_AUDIODRIVER", "dummy", 1);
}

TEST_F(MusicPlayback, BadHandlesAndArguments) {
  for (music_handle h : {0u, 1u, 77u}) {
    EXPECT_EQ(music_is_active(h), MUSIC_ACTIVE_STOPPED);
    EXPECT_EQ(music_get_position(h, MUSIC_POSITION_ORDER), ~std::uint64_t{0});
    EXPECT_FALSE(music_play(h, false));
    EXPECT_FALSE(music_set_attribute(h, MUSIC_ATTRIB_POSITION_SCALER, 256.0f));
  }
  EXPECT_EQ(music_load(false, module_path("missing.xm").c_str(), 0, 0, 0, 0), 0u);
  EXPECT_EQ(music_load(false, module_path("delay.xm").c_str(), 1u << 30, 0, 0, 0), 0u);
  const char junk[] = "not a module at all, not even close";
  EXPECT_EQ(music_load(true, junk, 0, sizeof junk, 0, 0), 0u);

  const music_handle m = music_load(false, module_path("delay.xm").c_str(), 0, 0, 0x800410, 0);
  ASSERT_NE(m, 0u);
  EXPECT_FALSE(music_set_attribute(m, MUSIC_ATTRIB_POSITION_SCALER, -1.0f));
  EXPECT_FALSE(music_set_attribute(m, MUSIC_ATTRIB_POSITION_SCALER, NAN));
  EXPECT_FALSE(music_set_attribute(m, 0x101, 1.0f));
  EXPECT_EQ(music_get_position(m, 0), ~std::uint64_t{0});
  // Loaded but not started: stopped, at its start.
  EXPECT_EQ(music_is_active(m), MUSIC_ACTIVE_STOPPED);
  EXPECT_EQ(music_get_position(m, MUSIC_POSITION_ORDER), 0u);
}

TEST_F(MusicPlayback, PlaysInRealTimeEndsOnceAndKeepsTheLastPosition) {
  // From memory, behind 16 bytes of something else, with the show's flags.
  std::ifstream in(module_path("delay.xm"), std::ios::binary);
  std::vector<char> bytes(16, 'x');
  bytes.insert(bytes.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  const music_handle m = music_load(true, bytes.data(), 16, static_cast<std::uint32_t>(bytes.size() - 16), 0x800410, 0);
  ASSERT_NE(m, 0u);
  ASSERT_TRUE(music_set_attribute(m, MUSIC_ATTRIB_POSITION_SCALER, 256.0f));
  ASSERT_TRUE(music_play(m, false));

  const std::vector<poll> seen = play_through(m);
  // 20 ticks of 441 frames: 0.2 s of music, heard one buffer later.
  EXPECT_GE(played_for, 190ms);
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(seen_in_order(seen, {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 7}}));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].fine >> 8, seen[i].row);
    // One order, so the position never goes back.
    if (i > 0) {
      ASSERT_GE(seen[i].fine, seen[i - 1].fine) << "poll " << i;
    }
  }

  // Ended for good, with the last row's end as its position.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(music_is_active(m), MUSIC_ACTIVE_STOPPED);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(music_get_position(m, MUSIC_POSITION_ORDER), std::uint64_t{7 * 256 + 255} << 16);
  ASSERT_TRUE(music_set_attribute(m, MUSIC_ATTRIB_POSITION_SCALER, 1.0f));
  EXPECT_EQ(music_get_position(m, MUSIC_POSITION_ORDER), std::uint64_t{7} << 16);

  // Playing again after the end starts over.
  ASSERT_TRUE(music_set_attribute(m, MUSIC_ATTRIB_POSITION_SCALER, 256.0f));
  ASSERT_TRUE(music_play(m, false));
  EXPECT_LT(music_get_position(m, MUSIC_POSITION_ORDER) >> 16, 7u * 256u + 255u);
  play_through(m);
  EXPECT_EQ(music_get_position(m, MUSIC_POSITION_ORDER), std::uint64_t{7 * 256 + 255} << 16);
}

TEST_F(MusicPlayback, TheAudioThreadAllocatesOnlyAtTheEnd) {
  // The 108 row starts of brief.xm, with delay.xm's pattern delay mixed in,
  // up to both ends. libopenmpt itself makes a temporary when a module
  // reaches its end (two heap calls for these); nothing else may allocate.
  const music_handle brief = music_load(false, module_path("brief.xm").c_str(), 0, 0, 0x800410, 0);
  const music_handle delay = music_load(false, module_path("delay.xm").c_str(), 0, 0, 0x800410, 0);
  ASSERT_NE(brief, 0u);
  ASSERT_NE(delay, 0u);
  counting_thread = std::this_thread::get_id();
  counting.store(true, std::memory_order_release);
  std::thread([] {
    void* volatile block = std::malloc(16);
    std::free(block);
  }).join();
  ASSERT_GT(counted, 0u) << "the allocation counter does not count";
  counted = 0;
  ASSERT_TRUE(music_play(brief, false));
  ASSERT_TRUE(music_play(delay, false));
  play_through(brief);
  counting = false;
  EXPECT_EQ(music_is_active(delay), MUSIC_ACTIVE_STOPPED);
  EXPECT_LE(counted, 2u * 2u);
}

TEST_F(MusicPlayback, OrdersFollowBreakAndJump) {
  const music_handle b = music_load(false, module_path("break.xm").c_str(), 0, 0, 0x800410, 0);
  const music_handle j = music_load(false, module_path("jump.xm").c_str(), 0, 0, 0x800410, 0);
  ASSERT_NE(b, 0u);
  ASSERT_NE(j, 0u);
  ASSERT_NE(b, j);
  music_set_attribute(b, MUSIC_ATTRIB_POSITION_SCALER, 256.0f);
  music_set_attribute(j, MUSIC_ATTRIB_POSITION_SCALER, 256.0f);

  ASSERT_TRUE(music_play(b, false));
  EXPECT_TRUE(seen_in_order(play_through(b), {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {1, 5}, {1, 6}, {1, 7}}));
  EXPECT_EQ(music_get_position(b, MUSIC_POSITION_ORDER), 1u | std::uint64_t{7 * 256 + 255} << 16);
  ASSERT_TRUE(music_play(j, false));
  EXPECT_TRUE(seen_in_order(play_through(j),
                            {{0, 0}, {0, 1}, {0, 2}, {2, 0}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5}, {2, 6}, {2, 7}}));
  EXPECT_EQ(music_get_position(j, MUSIC_POSITION_ORDER), 2u | std::uint64_t{7 * 256 + 255} << 16);
  // Freed with the output: the handles are gone.
  audio_free();
  EXPECT_EQ(music_is_active(b), MUSIC_ACTIVE_STOPPED);
  EXPECT_EQ(music_get_position(j, MUSIC_POSITION_ORDER), ~std::uint64_t{0});
}

}  // namespace
