// The recorder's two outputs: PNG frames and a WAV file, or ffmpeg fed
// through pipes.
#include "frame_output.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace show {

namespace {

using bytes = std::vector<unsigned char>;

void put_be32(bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

void put_le(bytes& out, std::uint32_t v, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void put_chunk(bytes& out, const char* type, const unsigned char* data, std::size_t size) {
  put_be32(out, static_cast<std::uint32_t>(size));
  const std::size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data, data + size);
  put_be32(out, static_cast<std::uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

// 8-bit RGB, no filtering: the frames are flat fills or photographs, and the
// fastest deflate level keeps a frame well under the time ffmpeg would take.
bytes encode_png(const SDL_Surface* frame) {
  const int w = frame->w;
  const int h = frame->h;
  const std::size_t line = 1 + 3 * static_cast<std::size_t>(w);
  bytes raw(line * static_cast<std::size_t>(h));
  for (int y = 0; y < h; ++y) {
    const auto* in = static_cast<const unsigned char*>(frame->pixels) + static_cast<std::size_t>(y) * frame->pitch;
    unsigned char* out = raw.data() + line * static_cast<std::size_t>(y);
    *out++ = 0;  // filter type None
    for (int x = 0; x < w; ++x, in += 4, out += 3) {
      out[0] = in[0];
      out[1] = in[1];
      out[2] = in[2];
    }
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  bytes packed(packed_size);
  if (compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), Z_BEST_SPEED) != Z_OK)
    return {};

  bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  bytes header;
  put_be32(header, static_cast<std::uint32_t>(w));
  put_be32(header, static_cast<std::uint32_t>(h));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // depth 8, RGB, deflate, no filter set, not interlaced
  put_chunk(png, "IHDR", header.data(), header.size());
  put_chunk(png, "IDAT", packed.data(), packed_size);
  put_chunk(png, "IEND", nullptr, 0);
  return png;
}

bytes encode_wav(const std::vector<std::int16_t>& samples, std::uint32_t rate) {
  const std::uint32_t data_size = static_cast<std::uint32_t>(samples.size() * 2);
  bytes wav = {'R', 'I', 'F', 'F'};
  put_le(wav, 36 + data_size, 4);
  wav.insert(wav.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  put_le(wav, 16, 4);  // format chunk size
  put_le(wav, 1, 2);   // PCM
  put_le(wav, 2, 2);   // channels
  put_le(wav, rate, 4);
  put_le(wav, rate * 4, 4);  // bytes per second
  put_le(wav, 4, 2);         // bytes per frame
  put_le(wav, 16, 2);        // bits per sample
  wav.insert(wav.end(), {'d', 'a', 't', 'a'});
  put_le(wav, data_size, 4);
  for (std::int16_t s : samples) put_le(wav, static_cast<std::uint16_t>(s), 2);
  return wav;
}

bool write_file(const std::filesystem::path& path, const bytes& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  bool ok = f && std::fwrite(data.data(), 1, data.size(), f) == data.size();
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok) std::fprintf(stderr, "show-record: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
  return ok;
}

class folder_output final : public frame_output {
 public:
  explicit folder_output(std::filesystem::path folder) : folder_(std::move(folder)) {}

  bool write_frame(const SDL_Surface* frame, bool unchanged) override {
    if (failed_) return false;
    if (!unchanged || png_.empty()) png_ = encode_png(frame);
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06d.png", count_++);
    failed_ = png_.empty() || !write_file(folder_ / name, png_);
    return !failed_;
  }

  bool finish() override { return !failed_; }

 private:
  std::filesystem::path folder_;
  bytes png_;  // the previous frame, encoded
  int count_ = 0;
  bool failed_ = false;
};

bool write_all(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A close-on-exec pipe whose ends lie above the standard streams and fd 3,
// so that placing them there in the child cannot clobber one another.
bool high_pipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    if (fds[i] > 3) continue;
    const int moved = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 4);
    ::close(fds[i]);
    fds[i] = moved;
  }
  return fds[0] >= 0 && fds[1] >= 0;
}

// ffmpeg reads the frames, already in the encoder's layout, from its
// standard input and the sound from fd 3, each written by a thread of its own
// so that neither waits on the other. A frame that repeats the previous one
// (most do: a row of the module lasts several frames) is not converted again.
class video_output final : public frame_output {
 public:
  video_output(pid_t ffmpeg, int video_fd, int audio_fd, const std::vector<std::int16_t>& samples)
      : ffmpeg_(ffmpeg), video_fd_(video_fd) {
    if (audio_fd < 0) return;
    audio_writer_ = std::thread([audio_fd, &samples] {
      write_all(audio_fd, samples.data(), samples.size() * sizeof samples[0]);
      ::close(audio_fd);
    });
  }
  ~video_output() override { finish(); }

  bool write_frame(const SDL_Surface* frame, bool unchanged) override {
    if (failed_) return false;
    if (!unchanged || planes_.empty()) {
      const std::size_t luma = static_cast<std::size_t>(frame->w) * static_cast<std::size_t>(frame->h);
      planes_.resize(luma * 3 / 2);
      rgb_to_yuv420(frame, planes_.data(), planes_.data() + luma, planes_.data() + luma * 5 / 4);
    }
    failed_ = !write_all(video_fd_, planes_.data(), planes_.size());
    return !failed_;
  }

  bool finish() override {
    if (ffmpeg_ < 0) return !failed_;
    ::close(video_fd_);
    if (audio_writer_.joinable()) audio_writer_.join();
    int status = 0;
    while (::waitpid(ffmpeg_, &status, 0) < 0 && errno == EINTR) {
    }
    ffmpeg_ = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "show-record: ffmpeg failed\n");
      failed_ = true;
    }
    return !failed_;
  }

 private:
  pid_t ffmpeg_;
  int video_fd_;
  bytes planes_;  // the previous frame: Y, then Cb, then Cr
  std::thread audio_writer_;
  bool failed_ = false;
};

constexpr int fixed16(double c) { return static_cast<int>(c * 65536.0 + (c < 0 ? -0.5 : 0.5)); }

// BT.709 (Kr 0.2126, Kb 0.0722), scaled to 219 steps of luma and 224 of
// chroma, in 16 fraction bits.
constexpr double kr = 0.2126, kb = 0.0722, kg = 1.0 - kr - kb;
constexpr int y_r = fixed16(kr * 219 / 255), y_g = fixed16(kg * 219 / 255), y_b = fixed16(kb * 219 / 255);
constexpr int cb_r = fixed16(-kr / (2 * (1 - kb)) * 224 / 255), cb_g = fixed16(-kg / (2 * (1 - kb)) * 224 / 255),
              cb_b = fixed16(0.5 * 224 / 255);
constexpr int cr_r = fixed16(0.5 * 224 / 255), cr_g = fixed16(-kg / (2 * (1 - kr)) * 224 / 255),
              cr_b = fixed16(-kb / (2 * (1 - kr)) * 224 / 255);

std::uint8_t luma(const std::uint8_t* p) {
  return static_cast<std::uint8_t>((y_r * p[0] + y_g * p[1] + y_b * p[2] + (16 << 16) + (1 << 15)) >> 16);
}

}  // namespace

void rgb_to_yuv420(const SDL_Surface* frame, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  const int w = frame->w;
  const auto* pixels = static_cast<const std::uint8_t*>(frame->pixels);
  for (int row = 0; row < frame->h; row += 2) {
    const std::uint8_t* top = pixels + static_cast<std::size_t>(row) * frame->pitch;
    const std::uint8_t* bottom = top + frame->pitch;
    std::uint8_t* y_top = y + static_cast<std::size_t>(row) * w;
    std::uint8_t* y_bottom = y_top + w;
    const std::size_t chroma = static_cast<std::size_t>(row / 2) * (w / 2);
    for (int x = 0; x < w; x += 2) {
      const std::uint8_t* a = top + 4 * x;
      const std::uint8_t* b = bottom + 4 * x;
      y_top[x] = luma(a);
      y_top[x + 1] = luma(a + 4);
      y_bottom[x] = luma(b);
      y_bottom[x + 1] = luma(b + 4);
      // Sums of four: the mean's quarter goes into the shift. Chroma is never
      // negative after the offset of 128, so the shift rounds as intended.
      const int r = a[0] + a[4] + b[0] + b[4];
      const int g = a[1] + a[5] + b[1] + b[5];
      const int bl = a[2] + a[6] + b[2] + b[6];
      cb[chroma + x / 2] = static_cast<std::uint8_t>((cb_r * r + cb_g * g + cb_b * bl + (128 << 18) + (1 << 17)) >> 18);
      cr[chroma + x / 2] = static_cast<std::uint8_t>((cr_r * r + cr_g * g + cr_b * bl + (128 << 18) + (1 << 17)) >> 18);
    }
  }
}

std::unique_ptr<frame_output> open_folder_output(const std::string& folder, const std::vector<std::int16_t>& samples,
                                                 std::uint32_t rate) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    std::fprintf(stderr, "show-record: cannot create %s: %s\n", folder.c_str(), error.message().c_str());
    return nullptr;
  }
  if (samples.size() * 2 > 0xFFFFFFFFu - 36) {
    std::fprintf(stderr, "show-record: the sound is too long for a WAV file\n");
    return nullptr;
  }
  if (!write_file(std::filesystem::path(folder) / "audio.wav", encode_wav(samples, rate))) return nullptr;
  return std::make_unique<folder_output>(folder);
}

namespace {

// ffmpeg's command line: raw frames on its standard input, the sound (if
// any) on descriptor 3, H.264 into `path`.
std::vector<std::string> ffmpeg_arguments(const std::string& path, int width, int height, int fps, int out_width,
                                          int out_height, bool sound, std::uint32_t rate) {
  const bool mp4 = path.size() >= 4 && path.compare(path.size() - 4, 4, ".mp4") == 0;
  std::vector<std::string> args = {
      "ffmpeg",     "-hide_banner",      "-loglevel",
      "error",      "-nostdin",          "-y",
      "-f",         "rawvideo",          "-pixel_format",
      "yuv420p",    "-video_size",       std::to_string(width) + "x" + std::to_string(height),
      "-framerate", std::to_string(fps), "-i",
      "pipe:0"};
  if (sound) {
    for (const char* a : {"-f", "s16le", "-ar"}) args.push_back(a);
    args.push_back(std::to_string(rate));
    for (const char* a : {"-ac", "2", "-i", "pipe:3", "-c:a"}) args.push_back(a);
    args.push_back(mp4 ? "aac" : "flac");
  }
  if (out_width != width || out_height != height) {
    args.push_back("-vf");
    args.push_back("scale=" + std::to_string(out_width) + ":" + std::to_string(out_height) + ":flags=bicubic");
  }
  // The fastest preset: most frames repeat the one before, and at this
  // quality a slower one only makes the file smaller. Tagged as converted, so
  // that players do not guess the colours.
  for (const char* a :
       {"-c:v", "libx264", "-preset", "ultrafast", "-crf", "18", "-colorspace", "bt709", "-color_primaries", "bt709",
        "-color_trc", "bt709", "-color_range", "tv", "-chroma_sample_location", "center"})
    args.push_back(a);
  args.push_back(path);
  return args;
}

}  // namespace

std::unique_ptr<frame_output> open_video_output(const std::string& path, int width, int height, int fps, int out_width,
                                                int out_height, const std::vector<std::int16_t>& samples,
                                                std::uint32_t rate) {
  const bool sound = !samples.empty();
  std::vector<std::string> args = ffmpeg_arguments(path, width, height, fps, out_width, out_height, sound, rate);

  int video[2];
  int audio[2] = {-1, -1};
  if (!high_pipe(video) || (sound && !high_pipe(audio))) {
    std::fprintf(stderr, "show-record: cannot create a pipe: %s\n", std::strerror(errno));
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, video[0], 0);
  if (sound) posix_spawn_file_actions_adddup2(&actions, audio[0], 3);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(video[0]);
  if (sound) ::close(audio[0]);
  if (spawned != 0) {
    std::fprintf(stderr, "show-record: cannot run ffmpeg (%s); tools/install-deps.sh --record installs it\n",
                 std::strerror(spawned));
    ::close(video[1]);
    if (sound) ::close(audio[1]);
    return nullptr;
  }
  return std::make_unique<video_output>(pid, video[1], audio[1], samples);
}

}  // namespace show
