// The drawing rules of the show, keyed by order and row of the module.
#include "timeline.h"

namespace show {

const char* const picture_files[picture_count] = {
    "data/fank.jpg",      "data/sun.jpg",       "data/kick1.jpg",       "data/kick2.jpg",     "data/murvhat.jpg",
    "data/egyenlo.jpg",   "data/murv.jpg",      "data/murvparaszt.jpg", "data/murvtabla.jpg", "data/function0.jpg",
    "data/function1.jpg", "data/function2.jpg", "data/function3.jpg",
};

namespace {

constexpr frame_plan nothing() { return {}; }
constexpr frame_plan fill(std::uint32_t value) { return {.fill = true, .fill_value = value}; }
constexpr frame_plan draw(picture p) { return {.blit = true, .pic = p}; }

constexpr picture title_pictures[3] = {picture::murv, picture::murvparaszt, picture::murvtabla};

// Fine position by which the shake of a row has died away.
int shake_end(int row) {
  if (row < 40) return 0x2400;
  if (row < 48) return 0x2C00;
  if (row < 52) return 0x3200;
  if (row < 56) return 0x3600;
  if (row < 60) return 0x3A00;
  return 0x3E00;
}

frame_plan shaking_picture(int row, int fine_position, random_source& random) {
  if (row < 32) return fill(black);
  // Signed 32-bit difference; both operands are at most 16 bits wide.
  int amplitude = shake_end(row) - fine_position;
  if (amplitude < 0) return fill(black);
  int dx = shake_offset(random.next(), amplitude);  // x always takes the first number
  int dy = shake_offset(random.next(), amplitude);
  return {.fill = true, .fill_value = white, .blit = true, .pic = picture::murvhat, .x = dx, .y = dy};
}

frame_plan functions_and_kicks(int order, int row) {
  constexpr picture functions[4] = {picture::function0, picture::function1, picture::function2, picture::function3};
  if (row < 16) return draw(functions[order - 10]);
  if (order < 13) return 56 < row && row < 60 ? draw(picture::kick1) : draw(picture::kick2);
  if (row > 60) return draw(picture::egyenlo);
  if (row > 56) return draw(picture::function0);
  return draw(picture::kick2);
}

}  // namespace

std::int16_t shake_offset(int random_value, int amplitude) {
  const double factor = static_cast<double>(0.1f);
  double offset = (static_cast<double>(random_value - 16384) / 16384.0) * amplitude * factor;
  // |offset| < 0.1 * 2^16, so the truncated value fits in 16 bits.
  return static_cast<std::int16_t>(static_cast<int>(offset));
}

namespace {

// Orders 2 to 5: a grey ramp on even rows; odd rows black, or in order 5
// the shaking picture.
frame_plan ramp_and_shake(int order, int row, int fine_position, random_source& random) {
  if ((row & 1) == 0) {
    // Halved as unsigned: v rises by one every second row over orders 2 to 5.
    std::uint32_t v = static_cast<std::uint32_t>((order - 2) * 64 + row) >> 1;
    return fill(v * 0x01010101u);
  }
  if (order == 5) return shaking_picture(row, fine_position, random);
  return fill(black);
}

// Orders 6 to 9: kick1, kick1, white, kick2 on every four rows.
frame_plan kick_beat(int row) {
  switch (row & 3) {
    case 0:
    case 1: return draw(picture::kick1);
    case 2: return fill(white);
    default: return draw(picture::kick2);
  }
}

// Orders 14 to 17: the sun and fank pictures, with white between them in
// order 17.
frame_plan sun_and_fank(int order, int row) {
  if (order <= 16) return draw((row >> 2) & 1 ? picture::sun : picture::fank);
  int k = (row >> (row <= 31 ? 1 : 0)) & 3;
  return k == 0 ? draw(picture::fank) : k == 2 ? draw(picture::sun) : fill(white);
}

}  // namespace

frame_plan plan_frame(int order, int row, int fine_position, random_source& random) {
  // Rows outside 0..255 only come from a corrupt position: draw nothing.
  if (order < 0 || row < 0 || row > 255) return nothing();
  if (order <= 1) return draw(title_pictures[row >> 1 < 2 ? row >> 1 : 2]);
  if (order <= 5) return ramp_and_shake(order, row, fine_position, random);
  if (order <= 9) return kick_beat(row);
  if (order <= 13) return functions_and_kicks(order, row);
  if (order <= 17) return sun_and_fank(order, row);
  return nothing();
}

}  // namespace show
