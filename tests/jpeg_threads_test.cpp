// Decodes that borrow the worker threads against the same bytes decoded on
// the caller's thread alone: the corpus and the bundled pictures, cut and
// damaged photographs, decodes stopped part way and decodes from several
// callers at once. Each must come out the same: the lines, how many, the
// call that failed and its status, and how far the stream was read.
#include "jpeg_test_support.h"
#include "threads.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// Children of this multi-threaded test start threads of their own.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }

namespace {

using jpeg::jpeg_decoder_engine;
using access = jpeg::engine_test_access;

// Every picture goes through the threads, however small and however busy
// the machine, and every sequential one with restart markers read from
// memory has bands of rows read ahead, however light its data.
class JpegThreads : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = jpeg::detail::min_threaded_pixels.exchange(0);
    jpeg::detail::consider_machine_load = false;
    jpeg::detail::bands_for_every_picture = true;
  }
  void TearDown() override {
    jpeg::detail::min_threaded_pixels.store(saved_);
    jpeg::detail::consider_machine_load = true;
    jpeg::detail::bands_for_every_picture = false;
  }

 private:
  std::uint64_t saved_ = 0;
};

// Counts the bytes the decoder has taken.
struct counting_stream : chunk_stream {
  using chunk_stream::chunk_stream;
  int read_bytes(std::uint8_t* buffer, int n, bool* end_flag) override {
    const int got = chunk_stream::read_bytes(buffer, n, end_flag);
    if (got > 0) taken += static_cast<std::size_t>(got);
    return got;
  }
  std::size_t taken = 0;
};

// What a decode through decode_row shows.
struct row_decode {
  int created = 0;  // status after construction
  int started = 0;  // start_decoding's result
  int width = 0, height = 0, components = 0;
  byte_string lines;  // every line handed out, in order
  int line_count = 0;
  int ended = 0;  // the first decode_row result other than 0
  int again = 0;  // the call after that one
  int status = 0;
  std::size_t bytes_read = 0;
};

jpeg::decoder_limits on(int threads) { return {.threads = threads}; }

// What is left of a memory stream's bytes.
std::size_t bytes_left(jpeg::jpeg_decoder_mem_stream& stream, std::size_t size) {
  byte_string rest(size + 1);
  bool end = false;
  return static_cast<std::size_t>(stream.read_bytes(rest.data(), static_cast<int>(rest.size()), &end));
}

// A memory stream lets the decoder read a progressive picture's scans on
// several threads at once.
enum class input { chunks, memory };

row_decode decode_by_rows(const byte_string& bytes, int threads, input from = input::chunks) {
  row_decode d;
  counting_stream chunks(bytes);
  jpeg::jpeg_decoder_mem_stream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  {
    jpeg_decoder_engine engine(from == input::memory ? static_cast<jpeg::jpeg_decoder_stream*>(&memory) : &chunks,
                               on(threads));
    d.created = engine.status();
    d.width = engine.width();
    d.height = engine.height();
    d.components = engine.component_count();
    d.started = engine.start_decoding();
    const std::uint8_t* line = nullptr;
    std::uint32_t length = 0;
    while ((d.ended = engine.decode_row(&line, &length)) == 0) {
      d.lines.insert(d.lines.end(), line, line + length);
      ++d.line_count;
    }
    d.again = engine.decode_row(&line, &length);
    d.status = engine.status();
  }
  d.bytes_read = from == input::memory ? bytes.size() - bytes_left(memory, bytes.size()) : chunks.taken;
  return d;
}

// "" when the decodes agree, else how they differ.
std::string difference(const row_decode& one, const row_decode& many) {
  std::ostringstream out;
  const auto field = [&](const char* name, auto a, auto b) {
    if (a != b) out << name << " " << a << " on one thread, " << b << " on more; ";
  };
  field("construction status", one.created, many.created);
  field("start_decoding", one.started, many.started);
  field("width", one.width, many.width);
  field("height", one.height, many.height);
  field("lines", one.line_count, many.line_count);
  field("end of lines", one.ended, many.ended);
  field("call after the end", one.again, many.again);
  field("status", one.status, many.status);
  field("bytes read", one.bytes_read, many.bytes_read);
  const auto [a, b] = std::mismatch(one.lines.begin(), one.lines.end(), many.lines.begin(), many.lines.end());
  if (a != one.lines.end() && b != many.lines.end()) {
    const std::size_t at = static_cast<std::size_t>(a - one.lines.begin());
    out << "line " << at / (one.lines.size() / one.line_count) << " differs";
  }
  return out.str();
}

// decode_jpeg_with_limits into a caller's buffer in the decoder's own layout
// must give what the row interface gave: those lines, the rest of the
// buffer untouched, and the status.
void expect_buffer_decode_like(const byte_string& bytes, const row_decode& rows, int threads, const std::string& what) {
  const int requested = rows.components == 1 ? 1 : 4;
  const std::size_t size = static_cast<std::size_t>(rows.width) * rows.height * requested;
  byte_string buffer(size + 64, 0xA5);
  byte_string expected = buffer;
  std::copy(rows.lines.begin(), rows.lines.end(), expected.begin());
  counting_stream stream(bytes);
  int w = -1, h = -1, c = -1, status = -1;
  const std::uint8_t* result =
      jpeg::decode_jpeg_with_limits(&stream, &w, &h, &c, requested, buffer.data(), on(threads), &status);
  EXPECT_EQ(result, rows.ended == 1 ? buffer.data() : nullptr) << what;
  EXPECT_EQ(status, rows.status) << what;
  EXPECT_EQ(stream.taken, rows.bytes_read) << what;
  if (rows.created == 0) {
    EXPECT_EQ(w, rows.width) << what;
    EXPECT_EQ(h, rows.height) << what;
    EXPECT_EQ(c, rows.components) << what;
  }
  const auto differing = std::mismatch(expected.begin(), expected.end(), buffer.begin()).first;
  EXPECT_TRUE(differing == expected.end())
      << what << ": the buffer differs from byte " << (differing - expected.begin());
}

// Both interfaces on the given threads against the one-thread decode.
void expect_like_one_thread(const byte_string& bytes, const row_decode& one, int threads, const std::string& what) {
  const std::string on_threads = what + " on " + std::to_string(threads) + " threads";
  EXPECT_EQ(difference(one, decode_by_rows(bytes, threads)), "") << on_threads;
  EXPECT_EQ(difference(one, decode_by_rows(bytes, threads, input::memory)), "") << on_threads << " from memory";
  expect_buffer_decode_like(bytes, one, threads, on_threads);
}

std::vector<std::pair<std::string, byte_string>> bundled_and_corpus_pictures() {
  std::vector<std::pair<std::string, byte_string>> pictures;
  for (const char* name : {"egyenlo", "fank", "function0", "function1", "function2", "function3", "kick1", "kick2",
                           "murv", "murvhat", "murvparaszt", "murvtabla", "sun"}) {
    pictures.emplace_back(name, read_file(std::string(PROJECT_ROOT) + "/data/" + name + ".jpg"));
  }
  for (const corpus_file& entry : corpus_manifest())
    pictures.emplace_back(entry.name, read_file(corpus_path(entry.name)));
  return pictures;
}

// Each thread count runs through every picture in a row, failing ones among
// them, so that the threads go from one decode straight to the next: state
// that one leaves behind shows in another.
TEST_F(JpegThreads, EveryPictureDecodesAsOnOneThread) {
  const auto pictures = bundled_and_corpus_pictures();
  ASSERT_GT(pictures.size(), 250u);
  std::vector<row_decode> one;
  for (const auto& [name, bytes] : pictures) {
    ASSERT_FALSE(bytes.empty()) << name;
    one.push_back(decode_by_rows(bytes, 1));
  }
  for (int threads : {2, 3}) {
    for (std::size_t i = 0; i < pictures.size(); ++i) {
      expect_like_one_thread(pictures[i].second, one[i], threads, pictures[i].first);
    }
  }
}

// Where the first scan's entropy-coded data begin.
std::size_t first_scan_data(const byte_string& bytes) {
  std::size_t at = 2;
  while (at + 4 <= bytes.size() && bytes[at] == 0xFF) {
    const std::size_t length = static_cast<std::size_t>(bytes[at + 2] << 8 | bytes[at + 3]);
    if (bytes[at + 1] == 0xDA) return at + 2 + length;
    at += 2 + length;
  }
  return at;
}

// Where the one-thread reader stands in the input after each MCU row of a
// sequential picture.
std::vector<std::size_t> mcu_row_ends(const byte_string& bytes) {
  std::vector<std::size_t> ends;
  counting_stream stream(bytes);
  jpeg_decoder_engine engine(&stream, on(1));
  if (engine.start_decoding() != 0) return ends;
  const std::uint8_t* line = nullptr;
  std::uint32_t length = 0;
  while (engine.decode_row(&line, &length) == 0) {
    const std::size_t at = stream.taken - access::unconsumed_input(engine);
    if (ends.empty() || ends.back() != at) ends.push_back(at);
  }
  return ends;
}

// Where the restart markers of a picture's data are.
std::vector<std::size_t> restart_markers(const byte_string& bytes, std::size_t scan) {
  std::vector<std::size_t> at;
  for (std::size_t i = scan; i + 1 < bytes.size(); ++i) {
    if (bytes[i] == 0xFF && bytes[i + 1] >= 0xD0 && bytes[i + 1] <= 0xD7) at.push_back(i);
  }
  return at;
}

// Large photographs cut short and with a bit flipped: a failure found ahead
// of the caller must surface on the line where one thread meets it, after
// exactly the lines one thread delivers. Sequential pictures are cut where
// MCU rows end, so that the data stop right where a worker starts the next
// row, and inside a few rows; the progressive one at places spread over its
// scans. The bits flipped are spread over the scan data up to the end of
// image marker. Where the rows are read ahead from the restart markers, the
// markers are also renumbered, dropped, doubled, given fill bytes or
// preceded by bytes that no row reads, so that the marker a band begins at
// is not the one that one thread's reading meets there.
TEST_F(JpegThreads, CutAndDamagedPhotographsDecodeAsOnOneThread) {
  // 4:2:0 without restarts; 4:2:0 with a restart interval of one MCU row;
  // 4:4:4 with intervals of three MCUs that straddle the rows; 4:4:0 with
  // intervals of two MCU rows; progressive.
  const std::uint64_t bands_before = jpeg::detail::bands_taken.load();
  int variants = 0, part_way = 0;
  for (const char* name : {"fank", "murv", "function0", "function2", "egyenlo"}) {
    const byte_string bytes = read_file(std::string(PROJECT_ROOT) + "/data/" + name + ".jpg");
    ASSERT_FALSE(bytes.empty()) << name;
    const std::size_t scan = first_scan_data(bytes);
    std::vector<std::pair<std::string, byte_string>> damaged;
    const auto cut = [&](std::size_t at) {
      damaged.emplace_back("cut at " + std::to_string(at),
                           byte_string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at)));
    };
    const std::vector<std::size_t> ends = mcu_row_ends(bytes);
    if (ends.size() > 1) {
      const std::size_t step = ends.size() / 8;
      for (std::size_t i = 0; i + 1 < ends.size(); i += step) {
        cut(ends[i]);
        if (i % (4 * step) == 0) cut((ends[i] + ends[i + 1]) / 2);
      }
    } else {
      for (int i = 0; i < 8; ++i) cut(scan + (bytes.size() - scan) * i / 8);
      // Rows are made while the last scan that a valid picture needs is
      // read; a further scan, or a table changed after it, must drop them.
      ASSERT_EQ(bytes[bytes.size() - 2], 0xFF) << name;
      const auto end_of_image = bytes.end() - 2;
      const byte_string marker = {0xFF, 0xDA};
      const auto last_scan = std::find_end(bytes.begin(), end_of_image, marker.begin(), marker.end());
      damaged.emplace_back("last scan repeated",
                           byte_string(bytes.begin(), end_of_image) + byte_string(last_scan, bytes.end()));
      damaged.emplace_back("table changed after the last scan",
                           byte_string(bytes.begin(), end_of_image) + dqt(0) + eoi());
    }
    for (int i = 0; i < 6; ++i) {
      const std::size_t at = scan + (bytes.size() - 1 - scan) * i / 5;
      byte_string flipped = bytes;
      flipped[at] ^= static_cast<std::uint8_t>(1 << (i + 2));
      damaged.emplace_back("byte " + std::to_string(at) + " flipped", std::move(flipped));
    }
    const std::vector<std::size_t> markers = restart_markers(bytes, scan);
    for (std::size_t k = markers.size() / 3; k < markers.size(); k += markers.size() / 3) {
      const auto at = static_cast<std::ptrdiff_t>(markers[k]);
      const std::string where = " at restart marker " + std::to_string(k);
      byte_string renumbered = bytes;
      renumbered[markers[k] + 1] = static_cast<std::uint8_t>(0xD0 + ((renumbered[markers[k] + 1] + 1) & 7));
      damaged.emplace_back("renumbered" + where, std::move(renumbered));
      const auto with = [&](const byte_string& inserted, std::ptrdiff_t dropped) {
        return byte_string(bytes.begin(), bytes.begin() + at) + inserted + byte_string(bytes.begin() + at + dropped, bytes.end());
      };
      damaged.emplace_back("dropped" + where, with({}, 2));
      damaged.emplace_back("doubled" + where, with(byte_string(bytes.begin() + at, bytes.begin() + at + 2), 0));
      damaged.emplace_back("fill bytes" + where, with(raw({0xFF, 0xFF, 0xFF}), 0));
      damaged.emplace_back("bytes no row reads" + where, with(raw({0x5A, 0x00, 0xFF, 0x00, 0x33}), 0));
    }
    for (const auto& [what, variant] : damaged) {
      const row_decode one = decode_by_rows(variant, 1);
      expect_like_one_thread(variant, one, 2 + variants % 2, std::string(name) + ", " + what);
      ++variants;
      part_way += one.status != 0 && one.line_count > 0;
    }
  }
  // Most sequential ones fail part way down the picture.
  EXPECT_GE(part_way, variants / 3);
  // A worker reads bands before any other work, so over this many decodes
  // some are taken.
  EXPECT_GT(jpeg::detail::bands_taken.load(), bands_before);
}

// Where each scan header of a picture begins, and where the image ends.
std::vector<std::size_t> scan_headers(const byte_string& bytes) {
  std::vector<std::size_t> at;
  std::size_t i = 2;
  while (i + 4 <= bytes.size() && bytes[i] == 0xFF && bytes[i + 1] != 0xD9) {
    const std::size_t length = static_cast<std::size_t>(bytes[i + 2] << 8 | bytes[i + 3]);
    if (bytes[i + 1] == 0xDA) {
      at.push_back(i);
      // The entropy-coded data run to the next marker other than a
      // restart.
      i += 2 + length;
      while (i + 1 < bytes.size() &&
             !(bytes[i] == 0xFF && bytes[i + 1] != 0 && (bytes[i + 1] < 0xD0 || bytes[i + 1] > 0xD7)))
        ++i;
    } else {
      i += 2 + length;
    }
  }
  at.push_back(std::min(i, bytes.size()));
  return at;
}

// A progressive picture in memory has its scans read by two engines at
// once, each passing over the other's. Whatever the script, the cuts, the
// damage and the segments between the scans, the decode must be the one
// thread's, failures included (a shared decode that fails or meets the
// end of a scan's data early is done again on one thread).
TEST_F(JpegThreads, ProgressiveScansReadAtOnceDecodeAsOnOneThread) {
  std::vector<std::pair<std::string, byte_string>> scripts;
  for (const char* name : {"420_prog_255x129.jpg", "420_sa_restart_255x129.jpg", "444_sa_255x129.jpg",
                           "422_restart_3b_prog.jpg", "420_scans.jpg", "grey_sa_255x129.jpg", "tran_prog_restart.jpg"})
    scripts.emplace_back(name, read_file(corpus_path(name)));
  scripts.emplace_back("egyenlo", read_file(std::string(PROJECT_ROOT) + "/data/egyenlo.jpg"));
  int variants = 0, failures = 0;
  for (const auto& [name, bytes] : scripts) {
    const std::vector<std::size_t> scans = scan_headers(bytes);
    ASSERT_GE(scans.size(), 4u) << name;
    const std::size_t first = scans.front(), end = scans.back();
    std::vector<std::pair<std::string, byte_string>> changed = {{"whole", bytes}};
    const auto part = [&](std::size_t from, std::size_t to) {
      return byte_string(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(to));
    };
    for (int i = 0; i < 12; ++i) {
      const std::size_t at = first + (end - first) * static_cast<std::size_t>(i) / 12 + 5;
      changed.emplace_back("cut at " + std::to_string(at), part(0, at));
      byte_string flipped = bytes;
      flipped[at] ^= static_cast<std::uint8_t>(1 << (i % 8));
      changed.emplace_back("byte " + std::to_string(at) + " flipped", std::move(flipped));
    }
    // Before a middle scan: a changed quantisation table, a restart
    // interval the data do not follow, the scan before it again, the two
    // scans around it swapped.
    const std::size_t k = scans.size() / 2;
    const auto before_scan = [&](const byte_string& segments) {
      return part(0, scans[k]) + segments + part(scans[k], bytes.size());
    };
    changed.emplace_back("table changed between scans", before_scan(segment(0xDB, quant_table_8(0, 3))));
    changed.emplace_back("restart interval set between scans", before_scan(segment(0xDD, raw({0, 1}))));
    changed.emplace_back("scan repeated", before_scan(part(scans[k - 1], scans[k])));
    changed.emplace_back("scans swapped", part(0, scans[k - 1]) + part(scans[k], scans[k + 1]) +
                                              part(scans[k - 1], scans[k]) + part(scans[k + 1], bytes.size()));
    for (const auto& [what, variant] : changed) {
      const row_decode one = decode_by_rows(variant, 1);
      const row_decode shared = decode_by_rows(variant, 2 + variants % 2, input::memory);
      EXPECT_EQ(difference(one, shared), "") << name << ", " << what;
      ++variants;
      failures += one.status != 0;
    }
  }
  // Enough of them fail for the failures to be compared.
  EXPECT_GE(failures, variants / 5);
}

// A caller may stop at any line, or right after start_decoding: destroying
// the engine must stop its worker, which must then touch neither the engine
// nor the stream nor the bytes of a memory stream (all freed at once, for
// the address sanitizer to watch) and come back ready for the next decode.
TEST_F(JpegThreads, StoppingPartWayLeavesTheThreadsReady) {
  for (const char* name : {"fank", "murv", "egyenlo"}) {
    const byte_string bytes = read_file(std::string(PROJECT_ROOT) + "/data/" + name + ".jpg");
    const row_decode whole = decode_by_rows(bytes, 1);
    ASSERT_EQ(whole.status, 0) << name;
    const std::size_t row_bytes = whole.lines.size() / static_cast<std::size_t>(whole.line_count);
    for (int threads : {2, 3}) {
      for (int stop : {0, 1, 17, whole.line_count - 1}) {
        const std::string what = std::string(name) + " stopped after " + std::to_string(stop) + " lines on " +
                                 std::to_string(threads) + " threads" + (stop % 2 == 1 ? " from memory" : "");
        // From memory, a worker may be reading a band ahead straight from
        // the caller's bytes, which go with the engine.
        auto memory = std::make_unique<byte_string>(bytes);
        std::unique_ptr<jpeg::jpeg_decoder_stream> stream;
        if (stop % 2 == 1) {
          stream = std::make_unique<jpeg::jpeg_decoder_mem_stream>(memory->data(), static_cast<std::uint32_t>(memory->size()));
        } else {
          stream = std::make_unique<counting_stream>(bytes);
        }
        auto engine = std::make_unique<jpeg_decoder_engine>(stream.get(), on(threads));
        ASSERT_EQ(engine->start_decoding(), 0) << what;
        for (int y = 0; y < stop; ++y) {
          const std::uint8_t* line = nullptr;
          std::uint32_t length = 0;
          ASSERT_EQ(engine->decode_row(&line, &length), 0) << what;
          ASSERT_TRUE(std::equal(line, line + length, whole.lines.begin() + static_cast<std::ptrdiff_t>(y * row_bytes)))
              << what << ": line " << y;
        }
        engine.reset();
        stream.reset();
        memory.reset();
        EXPECT_EQ(difference(whole, decode_by_rows(bytes, threads)), "") << "the decode after " << what;
      }
    }
  }
}

// The image layer decodes on the process's default thread count from
// whichever threads its callers load on, so many decodes may want the
// workers at once, far more than the pool has: most find none free and
// decode alone, the others borrow what is left. Each must still come out as
// on one thread.
TEST_F(JpegThreads, DecodesFromManyMoreCallersThanWorkers) {
  const char* names[] = {"fank", "murv", "egyenlo", "function0", "kick2", "murvhat"};
  std::vector<byte_string> pictures;
  std::vector<row_decode> one;
  for (const char* name : names) {
    pictures.push_back(read_file(std::string(PROJECT_ROOT) + "/data/" + name + ".jpg"));
    one.push_back(decode_by_rows(pictures.back(), 1));
  }
  constexpr int callers = 16;
  std::vector<std::vector<row_decode>> got(callers);
  std::vector<std::thread> threads;
  for (int c = 0; c < callers; ++c) {
    threads.emplace_back([&, c] {
      for (std::size_t i = 0; i < pictures.size(); ++i) {
        got[c].push_back(decode_by_rows(pictures[(i + c) % pictures.size()], c % 2 == 0 ? 2 : 8));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int c = 0; c < callers; ++c) {
    for (std::size_t i = 0; i < pictures.size(); ++i) {
      const std::size_t k = (i + c) % pictures.size();
      EXPECT_EQ(difference(one[k], got[c][i]), "") << names[k] << " from caller " << c;
    }
  }
}

// Runs body in a child process, which has a pool of its own with no thread
// started yet, and returns what it returned; a child that hangs is ended
// after two minutes.
std::string in_child(const std::function<std::string()>& body) {
  int out[2];
  if (pipe(out) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    alarm(120);
    const std::string said = body();
    if (write(out[1], said.data(), said.size())) {
    }
    _exit(0);
  }
  close(out[1]);
  std::string said;
  char buffer[256];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) said.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return said + " (the child ended on signal " + std::to_string(WTERMSIG(status)) + ")";
  return said;
}

std::vector<std::pair<std::string, byte_string>> sequential_and_progressive() {
  std::vector<std::pair<std::string, byte_string>> pictures;
  for (const char* name : {"fank", "murv", "function0", "egyenlo"})
    pictures.emplace_back(name, read_file(std::string(PROJECT_ROOT) + "/data/" + name + ".jpg"));
  return pictures;
}

// Every way the pool can fail to lend a worker: the system refuses a thread
// or the memory for one, no worker is free, fewer are free than asked for,
// a lent worker starts late (as on a machine whose cores are busy), and the
// second engine that reads a progressive picture's scans runs out of
// memory. The decode goes on with what it has and gives one thread's
// result; a worker that starts late finds the caller has done the work.
TEST_F(JpegThreads, APoolThatCannotLendLeavesOneThreadsResult) {
  auto& faults = jpeg::detail::injected_pool_faults;
  const std::string said = in_child([&] {
    std::string differences;
    const auto pictures = sequential_and_progressive();
    const auto check = [&](const std::string& how) {
      for (const auto& [name, bytes] : pictures) {
        const row_decode one = decode_by_rows(bytes, 1);
        for (input from : {input::chunks, input::memory}) {
          const std::string d = difference(one, decode_by_rows(bytes, 3, from));
          if (!d.empty()) differences += name + " when " + how + ": " + d + "\n";
        }
      }
    };
    faults.before_thread_start = [] {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    check("no thread can start");
    faults.before_thread_start = [] { throw std::bad_alloc(); };
    check("a thread has no memory to start");
    faults.before_thread_start = nullptr;
    faults.lend_at_most = 0;
    check("no worker is free");
    faults.lend_at_most = 1;
    check("one worker is free");
    faults.lend_at_most = INT_MAX;
    for (int late : {200, 20000}) {
      faults.late_start_microseconds = late;
      check("workers start " + std::to_string(late) + " us late");
    }
    faults.late_start_microseconds = 0;
    // The second engine that reads a progressive picture's scans.
    for (int allocations : {0, 1, 4, 12}) {
      faults.second_engine_allocations = allocations;
      check("a second engine's heap runs out after " + std::to_string(allocations) + " allocations");
    }
    faults.second_engine_allocations = -1;
    return differences;
  });
  EXPECT_EQ(said, "");
}

// A child forked while its parent's decodes are part way has none of the
// threads they had: a progressive picture's decode finishes on the child's
// own thread, a sequential one fails with a status, neither hangs; a
// decode the child starts has threads of its own.
TEST_F(JpegThreads, AForkChildFinishesOrFailsTheDecodesItInherits) {
  for (const auto& [name, bytes] : sequential_and_progressive()) {
    const row_decode whole = decode_by_rows(bytes, 1);
    ASSERT_EQ(whole.status, 0) << name;
    const std::size_t row_bytes = whole.lines.size() / static_cast<std::size_t>(whole.line_count);
    counting_stream stream(bytes);
    jpeg_decoder_engine engine(&stream, on(2));
    ASSERT_EQ(engine.start_decoding(), 0) << name;
    const std::uint8_t* line = nullptr;
    std::uint32_t length = 0;
    for (int y = 0; y < 40; ++y) ASSERT_EQ(engine.decode_row(&line, &length), 0) << name;
    const std::string said = in_child([&, name = name] {
      std::string problems;
      const std::uint8_t* line = nullptr;
      std::uint32_t length = 0;
      int y = 40;
      int result = 0;
      for (; (result = engine.decode_row(&line, &length)) == 0; ++y) {
        if (!std::equal(line, line + length, whole.lines.begin() + static_cast<std::ptrdiff_t>(y * row_bytes)))
          return "line " + std::to_string(y) + " differs";
      }
      const bool progressive = name == "egyenlo";
      if (progressive && (result != 1 || y != whole.line_count)) problems += "the inherited decode did not finish; ";
      if (!progressive && (result != -1 || engine.status() != jpeg::input_read_failed))
        problems += "the inherited decode gave " + std::to_string(result) + ", status " +
                    std::to_string(engine.status()) + "; ";
      return problems + difference(whole, decode_by_rows(bytes, 2));
    });
    EXPECT_EQ(said, "") << name;
    // The parent's decode goes on as before.
    int y = 40;
    while (engine.decode_row(&line, &length) == 0) ++y;
    EXPECT_EQ(y, whole.line_count) << name;
  }
}

}  // namespace
