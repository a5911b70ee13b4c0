// What one frame of the show looks like, as a pure function of the music
// position. Internal to show/: used by the draw step, the driver and tests.
#ifndef SHOW_TIMELINE_H
#define SHOW_TIMELINE_H

#include <cstdint>

namespace show {

// The thirteen pictures, in load order.
enum class picture : int {
  fank,
  sun,
  kick1,
  kick2,
  murvhat,
  egyenlo,
  murv,
  murvparaszt,
  murvtabla,
  function0,
  function1,
  function2,
  function3,
  count
};

constexpr int picture_count = static_cast<int>(picture::count);

// File names relative to the working directory, indexed by picture.
extern const char* const picture_files[picture_count];

// The runtime library's classic generator: values 0..32767, never seeded
// (every run starts from the same state, so the shake repeats run to run).
class random_source {
 public:
  virtual ~random_source() = default;
  virtual int next() = 0;
};

class standard_random final : public random_source {
 public:
  int next() override {
    state_ = state_ * 1103515245u + 12345u;
    return static_cast<int>((state_ / 65536u) % 32768u);
  }

 private:
  std::uint32_t state_ = 1;
};

// A frame: optionally fill the whole screen, then optionally blit a picture
// with its top-left corner at (x, y). Neither: the screen keeps what it held.
struct frame_plan {
  bool fill = false;
  std::uint32_t fill_value = 0;
  bool blit = false;
  picture pic = picture::fank;
  int x = 0;
  int y = 0;

  bool operator==(const frame_plan&) const = default;
};

constexpr std::uint32_t white = 0xFFFFFFFFu;
constexpr std::uint32_t black = 0;

// Held for two seconds once the module has stopped.
constexpr frame_plan final_frame{.blit = true, .pic = picture::murvtabla};

// The frame for the position (order, row, fine_position = row * 256 +
// fraction of the row). Draws random numbers only for the shaking picture.
frame_plan plan_frame(int order, int row, int fine_position, random_source& random);

// The shake offset for one random number and amplitude, in double precision
// with the single-precision factor 0.1 widened, truncated to 16 bits.
std::int16_t shake_offset(int random_value, int amplitude);

}  // namespace show

#endif
