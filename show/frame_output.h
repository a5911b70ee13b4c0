// Where a recording of the show goes: numbered PNG frames and a WAV file in a
// folder, or a video file encoded by ffmpeg. Internal to show/: used by the
// recorder.
#ifndef SHOW_FRAME_OUTPUT_H
#define SHOW_FRAME_OUTPUT_H

#include <SDL.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace show {

class frame_output {
 public:
  virtual ~frame_output() = default;
  // The next frame: a 32-bit surface whose bytes are red, green, blue and one
  // unused byte per pixel. `unchanged`: it holds exactly the previous frame.
  // False once anything has failed (already reported on stderr).
  virtual bool write_frame(const SDL_Surface* frame, bool unchanged) = 0;
  // Completes the recording; false if anything failed.
  virtual bool finish() = 0;
};

// The sound of a recording is interleaved 16-bit stereo at `rate` Hz.

// frame_000000.png, frame_000001.png, ... and audio.wav in `folder`, which is
// created if needed. Null (reported on stderr) when it cannot be written.
std::unique_ptr<frame_output> open_folder_output(const std::string& folder, const std::vector<std::int16_t>& samples,
                                                 std::uint32_t rate);

// A Matroska (.mkv: H.264 and FLAC) or MP4 (.mp4: H.264 and AAC) file written
// by ffmpeg from frames of `width` x `height` at `fps` frames per second,
// scaled to `out_width` x `out_height`. An empty audio track leaves out the
// sound. Null (reported on stderr) when ffmpeg cannot be started. `samples`
// must outlive the output.
std::unique_ptr<frame_output> open_video_output(const std::string& path, int width, int height, int fps, int out_width,
                                                int out_height, const std::vector<std::int16_t>& samples,
                                                std::uint32_t rate);

// Converts a frame of even width and height to the planes of 4:2:0 video:
// BT.709 at limited range (Y 16..235, Cb and Cr 16..240), each chroma sample
// from the mean of its 2x2 block of pixels. y holds w x h samples, cb and cr
// w/2 x h/2 each.
void rgb_to_yuv420(const SDL_Surface* frame, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);

}  // namespace show

#endif
