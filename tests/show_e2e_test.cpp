// Runs the real show binary headless with short modules and the bundled
// pictures: it must play the module through, hold for two seconds and exit 0,
// and stop at once when asked to by a signal.
// Then the recorder over the same data: every frame as the timeline draws it
// for its time, the module's sound, and a valid video file.
#include <gtest/gtest.h>

#include <libopenmpt/libopenmpt.h>
#include <zlib.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "draw.h"
#include "driver.h"
#include "frame_output.h"
#include "img.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

double module_seconds(const fs::path& path) {
  const byte_string bytes = read_file(path);
  openmpt_module* mod = openmpt_module_create_from_memory2(bytes.data(), bytes.size(), nullptr, nullptr, nullptr,
                                                           nullptr, nullptr, nullptr, nullptr);
  if (!mod) return -1;
  double seconds = openmpt_module_get_duration_seconds(mod);
  openmpt_module_destroy(mod);
  return seconds;
}

// A working directory holding data/ with the given module and, unless told
// otherwise, the bundled pictures.
fs::path stage(const fs::path& module, bool pictures = true) {
  fs::path dir = fs::temp_directory_path() / ("show-e2e-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "data");
  for (const auto& entry : fs::directory_iterator(fs::path(PROJECT_ROOT) / "data"))
    if (pictures && entry.path().extension() == ".jpg")
      fs::copy_file(entry.path(), dir / "data" / entry.path().filename());
  if (!module.empty()) fs::copy_file(module, dir / "data" / "lofasz.xm");
  return dir;
}

using clock_type = std::chrono::steady_clock;

// A program of ours started in `dir`, headless, with the ready shim preloaded;
// its standard error goes to `errors` when one is named.
class process {
 public:
  process(const fs::path& dir, std::vector<std::string> args, const char* audio_driver = "dummy",
          const fs::path& errors = {}) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      if (::chdir(dir.c_str()) != 0) ::_exit(126);
      ::setenv("SDL_VIDEODRIVER", "dummy", 1);
      ::setenv("SDL_AUDIODRIVER", audio_driver, 1);
      if (!errors.empty() && !std::freopen(errors.c_str(), "w", stderr)) ::_exit(126);
      // The programs keep their pictures until the process ends, by design: a
      // leak check of a sanitizer build would report them. The shim comes
      // before the sanitizer's runtime in the list of libraries.
      ::setenv("ASAN_OPTIONS", "detect_leaks=0:verify_asan_link_order=0", 1);
      ::setenv("LD_PRELOAD", READY_SHIM, 1);
      ::setenv("SHOW_READY_FD", std::to_string(fds[1]).c_str(), 1);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    ready_ = fds[0];
  }
  ~process() {
    if (ready_ >= 0) ::close(ready_);
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }

  // The time of the first frame on screen; nullopt when the program ended
  // without drawing one.
  std::optional<clock_type::time_point> first_frame() {
    std::int64_t ns = 0;
    if (::read(ready_, &ns, sizeof ns) != sizeof ns) return std::nullopt;
    return clock_type::time_point(std::chrono::nanoseconds(ns));
  }

  // Waits for the end: the exit code, or -1 when a signal ended the process.
  int exit_code() {
    int status = 0;
    waited_ = pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_;
    ended_ = clock_type::now();
    return waited_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  clock_type::time_point ended() const { return ended_; }

 private:
  pid_t pid_ = -1;
  int ready_ = -1;
  bool waited_ = false;
  clock_type::time_point ended_;
};

double seconds_between(clock_type::time_point from, clock_type::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Seconds from the show's first frame to its exit with code 0.
double seconds_shown(const fs::path& dir, const char* audio_driver = "dummy", const fs::path& errors = {}) {
  process show(dir, {SHOW_BINARY}, audio_driver, errors);
  const auto first = show.first_frame();
  EXPECT_EQ(show.exit_code(), 0);
  return first ? seconds_between(*first, show.ended()) : -1;
}

TEST(show_end_to_end, plays_a_brief_module_then_holds_two_seconds_and_exits_0) {
  fs::path module = fs::path(MUSIC_TEST_MODULES) / "brief.xm";
  double length = module_seconds(module);
  ASSERT_GT(length, 0.5);
  fs::path dir = stage(module);
  // The music's end is detected within a buffer.
  EXPECT_GT(seconds_shown(dir), length + 2.0 - 0.2);
  fs::remove_all(dir);
}

// A sound output that fails to open, as one without a device does: SDL's
// file output aimed into a folder that does not exist. One warning names the
// cause and the variable that chooses another output, then the whole module
// plays in silence at its own pace.
TEST(show_end_to_end, without_a_sound_output_warns_once_and_plays_the_module_in_silence) {
  fs::path module = fs::path(MUSIC_TEST_MODULES) / "brief.xm";
  fs::path dir = stage(module, false);
  const fs::path output = dir / "no-such-folder" / "sound.raw";
  ::setenv("SDL_DISKAUDIOFILE", output.c_str(), 1);
  EXPECT_GT(seconds_shown(dir, "disk", dir / "errors.txt"), module_seconds(module) + 2.0 - 0.2);
  std::ifstream in(dir / "errors.txt");
  const std::string errors{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  EXPECT_NE(errors.find(output.string()), std::string::npos) << errors;
  EXPECT_NE(errors.find("SDL_AUDIODRIVER"), std::string::npos) << errors;
  fs::remove_all(dir);
}

TEST(show_end_to_end, without_a_module_holds_two_seconds_and_exits_0) {
  fs::path dir = stage({});
  EXPECT_GT(seconds_shown(dir), 1.9);
  fs::remove_all(dir);
}

// SIGINT (Ctrl-C) and SIGTERM (kill) sent to two shows playing an 11.5 s
// module once each draws frames: each leaves at once with 128 + the signal
// number. The bound is generous, yet below the two-second hold that a show
// which let the signal only end its music would still wait for.
TEST(show_end_to_end, stops_at_once_on_sigint_or_sigterm) {
  fs::path dir = stage(fs::path(MUSIC_TEST_MODULES) / "fast.xm", false);
  const int signals[] = {SIGINT, SIGTERM};
  std::vector<std::unique_ptr<process>> shows;
  for (int i = 0; i < 2; ++i) {
    shows.push_back(std::make_unique<process>(dir, std::vector<std::string>{SHOW_BINARY}));
    ASSERT_TRUE(shows[i]->first_frame()) << "no frame drawn";
  }
  for (int i = 0; i < 2; ++i) {
    const auto sent = clock_type::now();
    ASSERT_EQ(::kill(shows[i]->pid(), signals[i]), 0);
    EXPECT_EQ(shows[i]->exit_code(), 128 + signals[i]) << "signal " << signals[i];
    const double seconds = seconds_between(sent, shows[i]->ended());
    EXPECT_LT(seconds, 1.5) << "signal " << signals[i];
    std::printf("signal %d: exit after %.3f s\n", signals[i], seconds);
  }
  fs::remove_all(dir);
}

// The show's own platform over the real music layer, with the eight rows of
// delay.xm as the show's module: it plays once to its end, in order mode,
// with the fine position in the timeline's units (row * 256 + fraction),
// looked at a frame's display time ahead as the driver does.
TEST(show_platform, plays_the_shows_module_once_in_the_timelines_units) {
  const fs::path dir = stage(fs::path(MUSIC_TEST_MODULES) / "delay.xm", false);
  const fs::path here = fs::current_path();
  fs::current_path(dir);
  show::platform& world = show::real_platform();
  ASSERT_TRUE(world.audio_init());
  world.load_music();
  world.play_music();
  for (int row = 0; world.music_playing(); world.sleep_ms(1)) {
    const show::position at = show::split_position(world.music_position(std::chrono::milliseconds{20}));
    EXPECT_EQ(at.order, 0);
    EXPECT_EQ(at.fine_position >> 8, at.row);
    ASSERT_GE(at.row, row) << "the module started over";
    row = at.row;
  }
  const show::position end = show::split_position(world.music_position(std::chrono::milliseconds{20}));
  EXPECT_EQ(end.order, 0);
  EXPECT_EQ(end.fine_position, 7 * 256 + 255);
  world.audio_free();
  fs::current_path(here);
  fs::remove_all(dir);
}

// ---------------------------------------------------------------------------
// show-record

std::uint32_t be32(const unsigned char* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24; }

// The RGB bytes of an 8-bit RGB PNG whose lines are unfiltered, as the
// recorder writes them; empty for anything else.
std::vector<unsigned char> decode_png(const fs::path& path, std::uint32_t& width, std::uint32_t& height) {
  const std::vector<unsigned char> file = read_file(path);
  if (file.size() < 8 || std::memcmp(file.data(), "\x89PNG\r\n\x1a\n", 8) != 0) return {};
  std::vector<unsigned char> packed;
  width = height = 0;
  for (std::size_t at = 8; at + 12 <= file.size();) {
    const std::uint32_t size = be32(&file[at]);
    if (size > file.size() - at - 12) return {};
    const unsigned char* data = &file[at + 8];
    if (std::memcmp(&file[at + 4], "IHDR", 4) == 0) {
      if (data[8] != 8 || data[9] != 2 || data[12] != 0) return {};
      width = be32(data);
      height = be32(data + 4);
    } else if (std::memcmp(&file[at + 4], "IDAT", 4) == 0) {
      packed.insert(packed.end(), data, data + size);
    }
    at += 12 + size;
  }
  const std::size_t line = 1 + 3 * std::size_t{width};
  std::vector<unsigned char> raw(line * height);
  uLongf size = raw.size();
  if (raw.empty() || uncompress(raw.data(), &size, packed.data(), packed.size()) != Z_OK || size != raw.size())
    return {};
  std::vector<unsigned char> rgb;
  for (std::size_t y = 0; y < height; ++y) {
    if (raw[y * line] != 0) return {};
    rgb.insert(rgb.end(), raw.begin() + y * line + 1, raw.begin() + (y + 1) * line);
  }
  return rgb;
}

TEST(show_record, records_each_frame_as_the_timeline_draws_it_for_its_time) {
  // tour.xm: speed 1 at 250 BPM, one row per 441 output frames, 100 rows:
  // rows 0-3 of every order but order 5, which plays rows 32-63 instead.
  constexpr std::uint64_t module_frames = 441u * 100u;
  const auto heard = [](std::uint64_t i) -> std::pair<int, int> {
    const int n = static_cast<int>(i);
    return n < 20 ? std::pair{n / 4, n % 4} : n < 52 ? std::pair{5, n + 12} : std::pair{6 + (n - 52) / 4, (n - 52) % 4};
  };
  // At 30 frames per second the frames fall on three parts of a row, and on a
  // few rows where the picture shakes.
  constexpr std::uint64_t fps = 30;
  const fs::path dir = stage(fs::path(MUSIC_TEST_MODULES) / "tour.xm");
  ASSERT_EQ(process(dir, {RECORD_BINARY, "--fps", "30", "frames/"}).exit_code(), 0);

  const std::vector<unsigned char> wav = read_file(dir / "frames" / "audio.wav");
  ASSERT_EQ(wav.size(), 44 + 4 * module_frames);  // the whole module once, 16-bit stereo
  EXPECT_EQ(le32(&wav[24]), 44100u);
  EXPECT_EQ(le32(&wav[40]), 4 * module_frames);

  // Every frame whose time lies inside the module, then two seconds of hold.
  const std::uint64_t total = (module_frames * fps + 44099) / 44100 + 2 * fps;
  std::uint64_t files = 0;
  for (const auto& entry : fs::directory_iterator(dir / "frames")) files += entry.path().extension() == ".png";
  EXPECT_EQ(files, total);

  const fs::path here = fs::current_path();
  fs::current_path(dir);
  IMG_Init(IMG_INIT_JPG);
  const auto pictures = show::load_pictures();
  fs::current_path(here);
  // Drawn by SDL straight into the PNG's byte order: red, green, blue.
  SDL_Surface* screen = SDL_CreateRGBSurface(0, 1024, 768, 24, 0x000000FF, 0x0000FF00, 0x00FF0000, 0);
  show::standard_random random;  // the live show's: two draws per shaking frame, in frame order
  int shaking = 0;
  for (std::uint64_t k = 0; k < total; ++k) {
    show::frame_plan plan = show::final_frame;
    const std::uint64_t t = k * 44100 / fps;  // in output frames
    if (t < module_frames) {
      const auto [order, row] = heard(t / 441);
      const int fraction = static_cast<int>(t % 441 * 256 / 441);
      plan = show::plan_frame(order, row, row * 256 + fraction, random);
      shaking += plan.fill && plan.blit;
    }
    show::draw_frame(screen, pictures.data(), plan);
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06llu.png", static_cast<unsigned long long>(k));
    std::uint32_t width = 0, height = 0;
    const std::vector<unsigned char> rgb = decode_png(dir / "frames" / name, width, height);
    ASSERT_EQ(width, 1024u) << name;
    ASSERT_EQ(height, 768u) << name;
    ASSERT_EQ(rgb.size(), 1024u * 768u * 3u) << name;
    const auto* pixels = static_cast<const unsigned char*>(screen->pixels);
    for (std::size_t y = 0; y < 768; ++y)
      ASSERT_EQ(std::memcmp(&rgb[3 * 1024 * y], pixels + y * screen->pitch, 3 * 1024), 0) << name << ", line " << y;
  }
  EXPECT_GT(shaking, 0);
  SDL_FreeSurface(screen);
  for (SDL_Surface* p : pictures) SDL_FreeSurface(p);
  fs::remove_all(dir);
}

TEST(show_record, writes_a_video_with_picture_and_sound) {
  if (std::system("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null") != 0)
    GTEST_SKIP() << "ffmpeg is not installed (tools/install-deps.sh --record)";
  const fs::path dir = stage(fs::path(MUSIC_TEST_MODULES) / "tour.xm");
  ASSERT_EQ(process(dir, {RECORD_BINARY, "--fps", "30", "--size", "512x384", "show.mp4"}).exit_code(), 0);
  const fs::path report = dir / "probe.txt";
  ASSERT_EQ(std::system(("ffprobe -v error -show_entries stream=codec_type,width,height:format=duration -of flat '" +
                         (dir / "show.mp4").string() + "' > '" + report.string() + "'")
                            .c_str()),
            0);
  std::ifstream in(report);
  const std::string probe{std::istreambuf_iterator<char>(in), {}};
  EXPECT_NE(probe.find("streams.stream.0.codec_type=\"video\""), std::string::npos) << probe;
  EXPECT_NE(probe.find("streams.stream.0.width=512"), std::string::npos) << probe;
  EXPECT_NE(probe.find("streams.stream.0.height=384"), std::string::npos) << probe;
  EXPECT_NE(probe.find("streams.stream.1.codec_type=\"audio\""), std::string::npos) << probe;
  const std::size_t at = probe.find("format.duration=\"");
  ASSERT_NE(at, std::string::npos) << probe;
  // The module (1 s) and the two-second hold.
  EXPECT_NEAR(std::stod(probe.substr(at + 17)), 3.0, 0.05);
  fs::remove_all(dir);
}

TEST(show_record, converts_frames_to_4_2_0_by_the_bt709_formula) {
  SDL_Surface* frame = SDL_CreateRGBSurface(0, 64, 32, 32, 0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000);
  auto* pixels = static_cast<unsigned char*>(frame->pixels);
  std::mt19937 rng(12);
  for (int i = 0; i < 64 * 32 * 4; ++i) pixels[i] = static_cast<unsigned char>(rng());
  // Corners of the colour cube at the first two blocks: white and black.
  for (int i : {0, 1, 64, 65}) std::memset(pixels + 4 * i, 255, 4), std::memset(pixels + 4 * (i + 2), 0, 4);
  std::vector<std::uint8_t> planes(64 * 32 * 3 / 2);
  show::rgb_to_yuv420(frame, planes.data(), planes.data() + 64 * 32, planes.data() + 64 * 32 * 5 / 4);

  const double kr = 0.2126, kb = 0.0722, kg = 1 - kr - kb;
  const auto at = [&](int x, int y, int c) { return static_cast<double>(pixels[(y * 64 + x) * 4 + c]); };
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 64; ++x) {
      const double luma = 16 + 219 * (kr * at(x, y, 0) + kg * at(x, y, 1) + kb * at(x, y, 2)) / 255;
      ASSERT_LE(std::abs(planes[y * 64 + x] - luma), 0.5 + 1e-9) << x << "," << y;
    }
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 32; ++x) {
      double r = 0, g = 0, b = 0;
      for (int i = 0; i < 4; ++i) {
        r += at(2 * x + i % 2, 2 * y + i / 2, 0) / 4;
        g += at(2 * x + i % 2, 2 * y + i / 2, 1) / 4;
        b += at(2 * x + i % 2, 2 * y + i / 2, 2) / 4;
      }
      const double l = kr * r + kg * g + kb * b;
      const double cb = 128 + 224 * (b - l) / (2 * (1 - kb)) / 255;
      const double cr = 128 + 224 * (r - l) / (2 * (1 - kr)) / 255;
      ASSERT_LE(std::abs(planes[64 * 32 + y * 32 + x] - cb), 0.5 + 1e-9) << x << "," << y;
      ASSERT_LE(std::abs(planes[64 * 32 * 5 / 4 + y * 32 + x] - cr), 0.5 + 1e-9) << x << "," << y;
    }
  EXPECT_EQ(planes[0], 235);  // white
  EXPECT_EQ(planes[2], 16);   // black
  EXPECT_EQ(planes[64 * 32], 128);
  EXPECT_EQ(planes[64 * 32 + 1], 128);
  SDL_FreeSurface(frame);
}

}  // namespace
