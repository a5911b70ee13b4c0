// sync_recorder: how late the show's pictures change against the sound a
// listener hears. bench/sync.sh sets up the sound server, the X screen and
// the working directory and describes the method; this program does the
// listening, the looking and the sums.
//
// usage: sync_recorder SINK SHOW [ARGS...]
//   In the show's working directory, with PULSE_SERVER and DISPLAY set.
//   Records SINK's monitor and watches the screen while it plays clicks,
//   runs SHOW, plays clicks again, then prints the lag of every picture
//   change behind the sound that goes with it.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "music.h"
#include "timeline.h"

namespace {

constexpr std::uint32_t rate = show::music_rate;
constexpr pa_sample_spec sample_format{PA_SAMPLE_S16LE, rate, 2};

// CLOCK_MONOTONIC in seconds: the clock of every time stamp here, and the
// one PulseAudio times its streams with.
double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "sync_recorder: %s\n", what.c_str());
  std::exit(1);
}

double quantile(std::vector<double> v, double q) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const double at = q * static_cast<double>(v.size() - 1);
  const std::size_t i = static_cast<std::size_t>(at);
  const double f = at - static_cast<double>(i);
  return i + 1 < v.size() ? v[i] * (1 - f) + v[i + 1] * f : v[i];
}

// The sink's monitor, read without a gap on a thread of its own, so that the
// recording runs at the pace the sink plays.
class monitor_recording {
 public:
  explicit monitor_recording(const std::string& sink) {
    const std::string source = sink + ".monitor";
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = 441 * 4;  // 10 ms
    int error = 0;
    stream_ = pa_simple_new(nullptr, "sync_recorder", PA_STREAM_RECORD, source.c_str(), "monitor", &sample_format,
                            nullptr, &attr, &error);
    if (!stream_) fail("cannot record " + source + ": " + pa_strerror(error));
    thread_ = std::thread([this] { run(); });
  }
  ~monitor_recording() { stop(); }

  void stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    thread_.join();
    pa_simple_free(stream_);
  }
  std::size_t frames() const { return frames_.load(); }
  // Left channel, frame by frame (the show's sound and the clicks are found
  // in it); only after stop().
  const std::vector<std::int16_t>& left() const { return left_; }

 private:
  void run() {
    std::vector<std::int16_t> block(2 * 441);
    while (!stopping_) {
      int error = 0;
      if (pa_simple_read(stream_, block.data(), block.size() * 2, &error) < 0)
        fail(std::string("recording failed: ") + pa_strerror(error));
      for (std::size_t i = 0; i < block.size(); i += 2) left_.push_back(block[i]);
      frames_ = left_.size();
    }
  }
  pa_simple* stream_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> frames_{0};
  std::vector<std::int16_t> left_;
};

// Clicks played through a stream of their own, each with the time the server
// says it is heard. After every 10 ms written, the stream's latency (until
// the last frame written is heard) dates what was written; a click is dated
// by the median of the reports made while it waited in the stream's 50 ms
// buffer, when no underrun can come between it and its being heard.
struct clicks {
  std::vector<double> heard;  // per click
  double spread = 0;          // largest interquartile range of one click's dates, seconds
};

constexpr int click_count = 8;
constexpr std::uint32_t click_gap = rate / 4;
constexpr std::int16_t click_level = 30000;

clicks play_clicks(const std::string& sink) {
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = 441 * 4 * 5;
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(-1);
  int error = 0;
  pa_simple* out = pa_simple_new(nullptr, "sync_recorder", PA_STREAM_PLAYBACK, sink.c_str(), "clicks", &sample_format,
                                 nullptr, &attr, &error);
  if (!out) fail("cannot play to " + sink + ": " + pa_strerror(error));
  const std::uint64_t total = (click_count + 1) * std::uint64_t{click_gap};
  std::vector<std::int16_t> chunk(2 * 441);
  std::vector<std::vector<double>> dates(click_count);
  for (std::uint64_t written = 0; written < total; written += 441) {
    for (std::size_t i = 0; i < 441; ++i) {
      const std::uint64_t frame = written + i;
      const bool click = frame % click_gap == 0 && frame > 0;
      chunk[2 * i] = chunk[2 * i + 1] = click ? click_level : 0;
    }
    if (pa_simple_write(out, chunk.data(), chunk.size() * 2, &error) < 0)
      fail(std::string("cannot write clicks: ") + pa_strerror(error));
    const double before = now();
    const pa_usec_t latency = pa_simple_get_latency(out, &error);
    const double end_heard = (before + now()) / 2 + latency * 1e-6;
    // Frames written up to now, the click among them, before it is heard.
    const std::uint64_t end = written + 441;
    const std::uint64_t k = (end - 1) / click_gap;
    if (k >= 1 && k <= click_count && end - k * click_gap <= 441 * 3) {
      const double heard = end_heard - double(end - k * click_gap) / rate;
      if (heard > now()) dates[k - 1].push_back(heard);
    }
  }
  pa_simple_drain(out, &error);
  pa_simple_free(out);
  clicks c;
  for (const auto& d : dates) {
    if (d.empty()) fail("a click was heard before the server could date it");
    c.heard.push_back(quantile(d, 0.5));
    c.spread = std::max(c.spread, quantile(d, 0.75) - quantile(d, 0.25));
  }
  return c;
}

// Recording frames of the clicks in [from, to): the first frame of each
// burst above half the click's level.
std::vector<std::size_t> find_clicks(const std::vector<std::int16_t>& left, std::size_t from, std::size_t to) {
  std::vector<std::size_t> found;
  to = std::min(to, left.size());
  for (std::size_t i = from; i < to; ++i) {
    if (std::abs(left[i]) < click_level / 2) continue;
    found.push_back(i);
    i += click_gap / 2;
  }
  return found;
}

// The screen, watched through a one-pixel-high strip across it (every
// picture, fill and grey level of the show differs there): each time the
// strip differs from the look before, a change is noted at the midpoint
// between the two looks, each of which is dated at the middle of its request.
class screen_watch {
 public:
  screen_watch() {
    display_ = XOpenDisplay(nullptr);
    if (!display_) fail("cannot open the display");
    thread_ = std::thread([this] { run(); });
  }
  ~screen_watch() { stop(); }
  void stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    thread_.join();
    XCloseDisplay(display_);
  }
  const std::vector<double>& changes() const { return changes_; }
  double mean_interval() const { return looks_ > 1 ? (last_ - first_) / static_cast<double>(looks_ - 1) : NAN; }

 private:
  void run() {
    const Window root = DefaultRootWindow(display_);
    const int width = DisplayWidth(display_, DefaultScreen(display_));
    std::vector<char> seen, strip;
    double before_look = 0;
    while (!stopping_) {
      const double a = now();
      XImage* image = XGetImage(display_, root, 0, 100, static_cast<unsigned>(width), 1, AllPlanes, ZPixmap);
      const double at = (a + now()) / 2;
      if (!image) fail("cannot read the screen");
      strip.assign(image->data, image->data + image->bytes_per_line);
      XDestroyImage(image);
      if (looks_ > 0 && strip != seen) changes_.push_back((before_look + at) / 2);
      seen.swap(strip);
      if (looks_++ == 0) first_ = at;
      last_ = before_look = at;
      // About one look per millisecond, leaving the X server to the show.
      timespec pause{0, 500000};
      nanosleep(&pause, nullptr);
    }
  }
  Display* display_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::vector<double> changes_;
  std::size_t looks_ = 0;
  double first_ = 0, last_ = 0;
};

int run(char** argv) {
  const pid_t child = fork();
  if (child < 0) fail("cannot fork");
  if (child == 0) {
    execv(argv[0], argv);
    std::perror("sync_recorder: cannot run the show");
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

// The module's frames at which the picture changes, as the timeline draws
// it for the position heard at each frame; only changes with none in the
// 90 ms before them and no shaking picture just before them, which are the
// ones that can be told apart on screen.
std::vector<std::uint64_t> due_changes(const music_recording& music) {
  // A fixed random value: the shake's offsets do not matter here, only that
  // it is the shaking picture, which changes on every frame.
  struct fixed_random final : show::random_source {
    int next() override { return 0; }
  } random;
  std::vector<std::uint64_t> due;
  std::optional<show::frame_plan> shown;
  std::uint64_t last_change = 0;
  for (std::uint64_t k = 0; k < music.positions.size(); ++k) {
    const show::position at = show::split_position(music.positions[k]);
    show::frame_plan plan = show::plan_frame(at.order, at.row, at.fine_position, random);
    if (!plan.fill && !plan.blit) continue;  // the screen keeps what it held
    const bool shaking = plan.blit && plan.pic == show::picture::murvhat;
    if (shaking) plan.x = plan.y = 0;
    if (shown && plan == *shown) continue;
    const bool after_shake = shown && shown->blit && shown->pic == show::picture::murvhat;
    if (shown && !after_shake && k - last_change >= rate * 90 / 1000) due.push_back(k);
    shown = plan;
    last_change = k;
  }
  return due;
}

// Where module frame `at` lies in the recording: the offset from module
// frames to recording frames, among [guess - back, guess + ahead], at which
// the two agree best over `window` frames around it. `residual` is the
// difference left, relative to the sound's level.
std::optional<std::int64_t> best_offset(const std::vector<std::int16_t>& render_left,
                                        const std::vector<std::int16_t>& left, std::size_t at, std::size_t window,
                                        std::int64_t guess, std::int64_t back, std::int64_t ahead, double& residual) {
  if (at < window / 2 || at + window / 2 > render_left.size()) return std::nullopt;
  const std::size_t from = at - window / 2;
  double energy = 0;
  for (std::size_t i = from; i < from + window; ++i) energy += double(render_left[i]) * render_left[i];
  double best = INFINITY;
  std::int64_t found = guess;
  // The guess first: most often right, and then every other offset is
  // given up after a few frames.
  for (std::int64_t step = 0; step <= back + ahead; ++step) {
    const std::int64_t offset = step == 0 ? guess : step <= back ? guess - step : guess + (step - back);
    const std::int64_t first = static_cast<std::int64_t>(from) + offset;
    if (first < 0 || first + static_cast<std::int64_t>(window) > static_cast<std::int64_t>(left.size())) continue;
    double sum = 0;
    for (std::size_t i = 0; i < window && sum < best; ++i) {
      const double d = double(left[static_cast<std::size_t>(first) + i]) - render_left[from + i];
      sum += d * d;
    }
    if (sum < best) best = sum, found = offset;
  }
  if (best == INFINITY) return std::nullopt;
  residual = std::sqrt(best / std::max(energy, 1.0));
  return found;
}

std::optional<std::size_t> first_sound(const std::vector<std::int16_t>& v, std::size_t from) {
  for (std::size_t i = from; i < v.size(); ++i)
    if (std::abs(v[i]) > 64) return i;
  return std::nullopt;
}

void print_stats(const char* what, const std::vector<double>& v) {
  std::printf("%s: n %zu, median %+.1f ms, IQR %+.1f to %+.1f ms, 5-95 %% %+.1f to %+.1f ms, range %+.1f to %+.1f ms\n",
              what, v.size(), quantile(v, 0.5), quantile(v, 0.25), quantile(v, 0.75), quantile(v, 0.05),
              quantile(v, 0.95), quantile(v, 0), quantile(v, 1));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: sync_recorder SINK SHOW [ARGS...]   (see bench/sync.sh)\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string sink = argv[1];
  monitor_recording monitor(sink);
  screen_watch screen;
  usleep(500000);

  // Clicks before and after the show date the recording at both ends.
  const std::size_t before_from = monitor.frames();
  const clicks before = play_clicks(sink);
  usleep(300000);
  const std::size_t show_from = monitor.frames();
  const int status = run(argv + 2);
  const std::size_t after_from = monitor.frames();
  usleep(300000);
  const clicks after = play_clicks(sink);
  usleep(1500000);
  monitor.stop();
  screen.stop();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("the show did not exit with 0");

  // Dating the recording: each click set gives the time one of its frames was
  // heard (their medians), and the frames between are dated on the line
  // through the two. It should run at the nominal rate; a server whose sink
  // does not keeps its own rate, between the clicks, in the line.
  const auto& left = monitor.left();
  struct anchor {
    double frame, heard;
  };
  auto date = [&](const clicks& c, std::size_t from, std::size_t to, const char* when) {
    const std::vector<std::size_t> found = find_clicks(left, from, to);
    if (found.size() != c.heard.size())
      fail(std::string("found ") + std::to_string(found.size()) + " of the clicks " + when);
    std::vector<double> d;  // the time frame 0 was heard, by each click
    for (std::size_t k = 0; k < found.size(); ++k) d.push_back(c.heard[k] - double(found[k]) / rate);
    std::printf("clicks %s: their dates of the recording agree within %.3f ms (one click's dates: IQR %.3f ms)\n", when,
                1e3 * (quantile(d, 1) - quantile(d, 0)), 1e3 * c.spread);
    const double middle = double(found[found.size() / 2]);
    return anchor{middle, quantile(d, 0.5) + middle / rate};
  };
  const anchor first = date(before, before_from, show_from, "before the show");
  const anchor last = date(after, after_from, left.size(), "after the show");
  const double seconds_per_frame = (last.heard - first.heard) / (last.frame - first.frame);
  auto heard_at = [&](double frame) { return first.heard + (frame - first.frame) * seconds_per_frame; };
  std::printf("the recording runs %+.0f ppm from its nominal rate between the clicks (%+.3f ms over the show)\n",
              1e6 * (seconds_per_frame * rate - 1),
              1e3 * ((last.heard - first.heard) - (last.frame - first.frame) / rate));

  // The module as the show plays it, and its picture changes.
  music_recording music;
  if (!music_record(show::module_file, show::music_flags, rate, show::position_scaler, rate, music))
    fail(std::string("cannot render ") + show::module_file);
  std::vector<std::int16_t> render_left(music.samples.size() / 2);
  for (std::size_t i = 0; i < render_left.size(); ++i) render_left[i] = music.samples[2 * i];
  // Where the show's sound lies in the recording: near where the first sound
  // of each says, and then around each change: an underrun of the show's
  // stream puts silence into what is heard and moves the rest later. The
  // sound passes the server's resampler twice, which leaves a difference of
  // about a tenth of its level; a wrong place leaves more than its level.
  constexpr double max_residual = 0.3;
  double residual = 0;
  const auto r = first_sound(render_left, 0), m = first_sound(left, show_from);
  if (!r || !m) fail("the show's sound is not in the recording");
  std::int64_t offset = static_cast<std::int64_t>(*m) - static_cast<std::int64_t>(*r);
  std::optional<std::int64_t> start_offset;

  const std::vector<std::uint64_t> due = due_changes(music);
  const std::vector<double>& seen = screen.changes();
  std::vector<double> lags;
  std::size_t unaligned = 0, unaligned_in_a_row = 0, moves = 0;
  for (const std::uint64_t frame : due) {
    // The sound of the 100 ms around the change; quiet or broken up by an
    // underrun, it cannot be placed. From the last place found, an underrun
    // moves it later, never earlier.
    // After a change that could not be placed, the sound may have moved
    // far: up to a second.
    const bool lost = !start_offset || unaligned_in_a_row > 0;
    const auto here = best_offset(render_left, left, frame, rate / 10, offset, start_offset ? 50 : rate,
                                  lost ? rate : rate / 5, residual);
    if (!here || residual > max_residual) {
      ++unaligned;
      ++unaligned_in_a_row;
      continue;
    }
    unaligned_in_a_row = 0;
    if (start_offset && *here != offset) ++moves;
    if (!start_offset) start_offset = here;
    offset = *here;
    const double heard = heard_at(double(static_cast<std::int64_t>(frame) + offset));
    // The first change on screen from 45 ms before the sound to 55 ms after.
    auto it = std::lower_bound(seen.begin(), seen.end(), heard - 0.045);
    if (it != seen.end() && *it < heard + 0.055) lags.push_back(1e3 * (*it - heard));
  }
  std::printf(
      "the show's sound: heard %.1f ms later at its end than at its start (%zu moves); %zu changes not placed in it\n",
      start_offset ? 1e3 * double(offset - *start_offset) / rate : NAN, moves, unaligned);
  std::printf("screen looked at every %.2f ms; %zu picture changes due, %zu found on screen\n",
              1e3 * screen.mean_interval(), due.size(), lags.size());
  print_stats("picture behind the heard sound", lags);
  return lags.size() * 10 < due.size() * 9 ? 1 : 0;
}
