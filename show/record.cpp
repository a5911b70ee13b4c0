// show-record: renders the show offline, faster than real time, into a video
// file with its music, or into numbered PNG frames and a WAV file. The module
// is rendered once by the music layer's player; a virtual clock steps at the
// frame rate and each frame is drawn for the position heard at its time, as
// the live show would draw it, followed by the two-second hold.
#include "draw.h"
#include "driver.h"
#include "frame_output.h"
#include "img.h"
#include "music.h"
#include "timeline.h"

#include <SDL.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

struct options {
  int fps = 60;
  int width = show::screen_width;
  int height = show::screen_height;
  bool sized = false;
  std::string out;
  bool folder = false;
};

bool parse_int(const char* text, int low, int high, int& value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  value = static_cast<int>(v);
  return true;
}

bool parse_size(const char* text, int& width, int& height) {
  const char* x = std::strchr(text, 'x');
  if (!x) return false;
  const std::string w(text, x);
  // Even sizes only: the video's chroma is subsampled 2x2.
  return parse_int(w.c_str(), 2, 8192, width) && parse_int(x + 1, 2, 8192, height) && width % 2 == 0 && height % 2 == 0;
}

bool ends_with(const std::string& s, const char* tail) {
  const std::size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool parse_options(int argc, char** argv, options& o) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--fps") == 0 && i + 1 < argc) {
      if (!parse_int(argv[++i], 1, 1000, o.fps)) return false;
    } else if (std::strcmp(a, "--size") == 0 && i + 1 < argc) {
      if (!parse_size(argv[++i], o.width, o.height)) return false;
      o.sized = true;
    } else if (a[0] == '-' || !o.out.empty()) {
      return false;
    } else {
      o.out = a;
    }
  }
  if (o.out.empty()) return false;
  o.folder = o.out.back() == '/' || std::filesystem::is_directory(o.out);
  // PNG frames are the frames as drawn; only a video is scaled.
  if (o.folder) return !o.sized;
  return ends_with(o.out, ".mkv") || ends_with(o.out, ".mp4");
}

std::string clock_text(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

// A one-line bar on stderr, redrawn a few times a second, only on a terminal.
class progress_bar {
 public:
  explicit progress_bar(std::size_t total) : total_(total), shown_(isatty(STDERR_FILENO) != 0) {}

  void update(std::size_t done) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (done < total_ && now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    // The first frame's write also waits for ffmpeg to start up, which
    // would inflate the estimate many times over: the rate comes from the
    // frames after it.
    if (done <= 1) first_ = now;
    const std::size_t measured = done > 1 ? done - 1 : 0;
    const double elapsed = std::chrono::duration<double>(now - first_).count();
    const std::string left =
        measured ? clock_text(elapsed / static_cast<double>(measured) * static_cast<double>(total_ - done)) : "-:--";
    constexpr int width = 30;
    const int filled = static_cast<int>(width * done / total_);
    std::fprintf(stderr, "\r[%s%s] %zu/%zu frames, %s left ", std::string(filled, '#').c_str(),
                 std::string(width - filled, '-').c_str(), done, total_, left.c_str());
    if (done == total_) std::fputc('\n', stderr);
  }

 private:
  std::size_t total_;
  bool shown_;
  std::chrono::steady_clock::time_point first_{};
  std::chrono::steady_clock::time_point last_{};
};

// The command line's help, on a misuse.
int usage() {
  std::fprintf(stderr,
               "usage: show-record [--fps N] [--size WxH] OUT.mkv|OUT.mp4|DIR/\n"
               "  Records the show in the working directory's data/ to a video (through ffmpeg),\n"
               "  or to DIR/frame_NNNNNN.png and DIR/audio.wav at %dx%d.\n"
               "  --fps N     frames per second, 1 to 1000 (default 60)\n"
               "  --size WxH  size of a video, even numbers (default %dx%d)\n",
               show::screen_width, show::screen_height, show::screen_width, show::screen_height);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (!parse_options(argc, argv, o)) return usage();
  // A failed ffmpeg shows up as a failed write, not as a signal.
  std::signal(SIGPIPE, SIG_IGN);
  const auto start = std::chrono::steady_clock::now();

  music_recording music;
  if (!music_record(show::module_file, show::music_flags, show::music_rate, show::position_scaler,
                    static_cast<std::uint32_t>(o.fps), music))
    std::fprintf(stderr, "show-record: cannot load %s: recording the final hold only\n", show::module_file);

  IMG_Init(IMG_INIT_JPG);
  const auto pictures = show::load_pictures();
  // The pictures' own layout, so that drawing them is a plain copy; its bytes
  // are red, green, blue and one that ffmpeg and the PNG frames ignore.
  SDL_Surface* frame = SDL_CreateRGBSurface(SDL_SWSURFACE, show::screen_width, show::screen_height, 32, 0x000000FF,
                                            0x0000FF00, 0x00FF0000, 0xFF000000);
  if (!frame) {
    std::fprintf(stderr, "show-record: cannot create a frame: %s\n", SDL_GetError());
    return 1;
  }
  std::unique_ptr<show::frame_output> out =
      o.folder ? show::open_folder_output(o.out, music.samples, show::music_rate)
               : show::open_video_output(o.out, show::screen_width, show::screen_height, o.fps, o.width, o.height,
                                         music.samples, show::music_rate);
  if (!out) return 1;

  const std::size_t playing = music.positions.size();
  const std::size_t total = playing + 2 * static_cast<std::size_t>(o.fps);
  progress_bar bar(total);
  // The live show's generator, unseeded: one frame here is one pass of its loop.
  show::standard_random random;
  show::frame_plan drawn;
  bool ok = true;
  for (std::size_t k = 0; k < total && ok; ++k) {
    show::frame_plan plan = show::final_frame;
    if (k < playing) {
      const show::position at = show::split_position(music.positions[k]);
      plan = show::plan_frame(at.order, at.row, at.fine_position, random);
    }
    // Fills and plain-copy blits give the same pixels when drawn again, so a
    // repeated plan, like one that draws nothing, leaves the frame as it was.
    const bool unchanged = k > 0 && (plan == drawn || (!plan.fill && !plan.blit));
    if (!unchanged) {
      show::draw_frame(frame, pictures.data(), plan);
      drawn = plan;
    }
    ok = out->write_frame(frame, unchanged);
    bar.update(k + 1);
  }
  ok = out->finish() && ok;
  if (!ok) return 1;

  const double seconds = static_cast<double>(total) / o.fps;
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "show-record: wrote %s: %zu frames, %.2f s of show in %.1f s (%.1fx real time)\n", o.out.c_str(),
               total, seconds, took, seconds / took);
  return 0;
}
