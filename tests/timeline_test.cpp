#include "timeline.h"
#include "driver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <utility>
#include <vector>

namespace {

using show::frame_plan;
using show::picture;

// Hands out a fixed sequence and counts what was drawn.
class scripted_random final : public show::random_source {
 public:
  explicit scripted_random(std::vector<int> values = {}) : values_(std::move(values)) {}
  int next() override {
    ++drawn;
    return values_.empty() ? 16384 : values_[(drawn - 1) % values_.size()];
  }
  int drawn = 0;

 private:
  std::vector<int> values_;
};

frame_plan at(int order, int row, int fraction = 0) {
  scripted_random r;
  return show::plan_frame(order, row, row * 256 + fraction, r);
}

frame_plan drawn(picture p) { return {.blit = true, .pic = p}; }
frame_plan filled(std::uint32_t v) { return {.fill = true, .fill_value = v}; }
const frame_plan nothing{};

TEST(timeline, title_orders_step_through_three_pictures_and_stay_on_the_last) {
  for (int order : {0, 1}) {
    EXPECT_EQ(at(order, 0), drawn(picture::murv));
    EXPECT_EQ(at(order, 1), drawn(picture::murv));
    EXPECT_EQ(at(order, 2), drawn(picture::murvparaszt));
    EXPECT_EQ(at(order, 3), drawn(picture::murvparaszt));
    for (int row : {4, 7, 63, 255}) EXPECT_EQ(at(order, row), drawn(picture::murvtabla));
  }
}

TEST(timeline, grey_ramp_rises_on_even_rows_with_black_between) {
  int previous = -1;
  for (int order = 2; order <= 5; ++order) {
    for (int row = 0; row < 64; row += 2) {
      frame_plan f = at(order, row);
      ASSERT_TRUE(f.fill && !f.blit);
      std::uint32_t v = f.fill_value & 0xFF;
      EXPECT_EQ(f.fill_value, v * 0x01010101u) << "all four bytes carry the grey";
      EXPECT_EQ(static_cast<int>(v), previous + 1);
      previous = static_cast<int>(v);
    }
  }
  EXPECT_EQ(at(2, 0), filled(0));
  EXPECT_EQ(at(5, 62), filled(0x7F7F7F7F));
  EXPECT_EQ(at(5, 32), filled(0x70707070));
  EXPECT_EQ(at(5, 254), filled(0xDFDFDFDF));  // the largest grey, 223
  for (int order = 2; order <= 4; ++order)
    for (int row : {1, 33, 35, 255}) EXPECT_EQ(at(order, row), filled(show::black));
}

TEST(timeline, kicks_alternate_with_white_every_row) {
  for (int order = 6; order <= 9; ++order) {
    EXPECT_EQ(at(order, 0), drawn(picture::kick1));
    EXPECT_EQ(at(order, 1), drawn(picture::kick1));
    EXPECT_EQ(at(order, 2), filled(show::white));
    EXPECT_EQ(at(order, 3), drawn(picture::kick2));
    EXPECT_EQ(at(order, 63), drawn(picture::kick2));
  }
}

TEST(timeline, function_orders_follow_the_rule_list_at_its_borders) {
  const picture functions[] = {picture::function0, picture::function1, picture::function2, picture::function3};
  for (int order = 10; order <= 13; ++order) {
    EXPECT_EQ(at(order, 0), drawn(functions[order - 10]));
    EXPECT_EQ(at(order, 15), drawn(functions[order - 10]));
    EXPECT_EQ(at(order, 16), drawn(picture::kick2));
    EXPECT_EQ(at(order, 56), drawn(picture::kick2));
  }
  for (int order = 10; order <= 12; ++order) {
    for (int row : {57, 58, 59}) EXPECT_EQ(at(order, row), drawn(picture::kick1));
    EXPECT_EQ(at(order, 60), drawn(picture::kick2));
    EXPECT_EQ(at(order, 63), drawn(picture::kick2));
  }
  for (int row : {57, 58, 59, 60}) EXPECT_EQ(at(13, row), drawn(picture::function0));
  for (int row : {61, 63, 255}) EXPECT_EQ(at(13, row), drawn(picture::egyenlo));
}

TEST(timeline, closing_orders_alternate_fank_and_sun) {
  for (int order = 14; order <= 16; ++order) {
    for (int row = 0; row < 64; ++row)
      EXPECT_EQ(at(order, row), drawn((row / 4) % 2 ? picture::sun : picture::fank)) << order << ":" << row;
  }
  // Order 17: two rows per step up to row 31, one row per step from row 32.
  const frame_plan cycle[4] = {drawn(picture::fank), filled(show::white), drawn(picture::sun), filled(show::white)};
  for (int row = 0; row < 32; ++row) EXPECT_EQ(at(17, row), cycle[(row / 2) % 4]) << row;
  for (int row = 32; row < 256; ++row) EXPECT_EQ(at(17, row), cycle[row % 4]) << row;
  EXPECT_EQ(at(17, 31), filled(show::white));
  EXPECT_EQ(at(17, 32), drawn(picture::fank));
}

TEST(timeline, positions_past_the_last_order_or_corrupt_draw_nothing) {
  for (int order : {18, 19, 100, 65535}) {
    EXPECT_EQ(at(order, 0), nothing);
    EXPECT_EQ(at(order, 33), nothing);
  }
  // A failed position query: all ones.
  show::position p = show::split_position(~std::uint64_t{0});
  EXPECT_EQ(p.order, 65535);
  scripted_random r;
  EXPECT_EQ(show::plan_frame(p.order, p.row, p.fine_position, r), nothing);
  EXPECT_EQ(at(0, -1), nothing);
  EXPECT_EQ(at(1, 256), nothing);
}

TEST(timeline, position_splits_into_order_row_and_fine_position) {
  show::position p = show::split_position((std::uint64_t{33} * 256 + 200) << 16 | 5);
  EXPECT_EQ(p.order, 5);
  EXPECT_EQ(p.row, 33);
  EXPECT_EQ(p.fine_position, 33 * 256 + 200);
}

TEST(timeline, each_picture_slot_names_its_own_file) {
  const std::pair<picture, const char*> slots[] = {
      {picture::fank, "data/fank.jpg"},           {picture::sun, "data/sun.jpg"},
      {picture::kick1, "data/kick1.jpg"},         {picture::kick2, "data/kick2.jpg"},
      {picture::murvhat, "data/murvhat.jpg"},     {picture::egyenlo, "data/egyenlo.jpg"},
      {picture::murv, "data/murv.jpg"},           {picture::murvparaszt, "data/murvparaszt.jpg"},
      {picture::murvtabla, "data/murvtabla.jpg"}, {picture::function0, "data/function0.jpg"},
      {picture::function1, "data/function1.jpg"}, {picture::function2, "data/function2.jpg"},
      {picture::function3, "data/function3.jpg"}};
  ASSERT_EQ(std::size(slots), static_cast<std::size_t>(show::picture_count));
  for (int i = 0; i < show::picture_count; ++i) {
    EXPECT_EQ(static_cast<int>(slots[i].first), i) << "load order";
    EXPECT_STREQ(show::picture_files[i], slots[i].second) << i;
  }
}

TEST(shake, rows_before_32_and_rows_past_their_end_stay_black_without_drawing_numbers) {
  for (int row : {1, 31, 37, 39, 45, 47, 51, 55, 59, 63}) {
    scripted_random r;
    EXPECT_EQ(show::plan_frame(5, row, row * 256, r), filled(show::black)) << row;
    EXPECT_EQ(r.drawn, 0) << row;
  }
}

TEST(shake, amplitude_falls_through_the_row_and_dies_exactly_at_its_end) {
  // Row 33 shakes 768 down to 513, rows 35 to 61 (every other in the list) 256 down to 1.
  struct {
    int row, first, last;
  } rows[] = {{33, 768, 513}, {41, 768, 513}, {35, 256, 1}, {43, 256, 1},
              {49, 256, 1},   {53, 256, 1},   {57, 256, 1}, {61, 256, 1}};
  for (auto r : rows) {
    // The largest random number 32767 gives an offset just below +amplitude / 10.
    scripted_random top({32767});
    frame_plan f = show::plan_frame(5, r.row, r.row * 256, top);
    EXPECT_EQ(f.x, show::shake_offset(32767, r.first));
    scripted_random low({0});
    EXPECT_EQ(show::plan_frame(5, r.row, r.row * 256 + 255, low).x, show::shake_offset(0, r.last));
  }
  // Past the end of a shake (row 35 ends at fine position 9216) the frame is black.
  scripted_random r;
  EXPECT_EQ(show::plan_frame(5, 35, 9217, r), filled(show::black));
  EXPECT_EQ(show::plan_frame(5, 35, 9216, r).fill_value, show::white);  // amplitude 0 still shakes (by 0)
}

TEST(shake, offsets_use_the_first_number_for_x_and_draw_on_white) {
  scripted_random r({0, 32767, 24576, 8192});
  frame_plan f = show::plan_frame(5, 33, 33 * 256, r);  // amplitude 768
  EXPECT_EQ(r.drawn, 2);
  EXPECT_TRUE(f.fill && f.blit);
  EXPECT_EQ(f.fill_value, show::white);
  EXPECT_EQ(f.pic, picture::murvhat);
  EXPECT_EQ(f.x, -76);  // -1 * 768 * 0.1000000015 = -76.8..., toward zero
  EXPECT_EQ(f.y, 76);   // 0.99993896 * 768 * 0.1000000015 = 76.795...
  f = show::plan_frame(5, 33, 33 * 256, r);
  EXPECT_EQ(f.x, 38);  // 0.5 * 768 * 0.1000000015 = 38.400000...
  EXPECT_EQ(f.y, -38);
}

TEST(shake, offset_is_computed_in_double_with_the_widened_single_precision_factor) {
  // With f = 0.1 exactly, 0.5 * 10 * 0.1 would give 0.5 as well; pick cases where
  // the widened factor 0.10000000149011612 tips the truncation over an integer.
  const double f = static_cast<double>(0.1f);
  for (int amplitude = 0; amplitude <= 15872; amplitude += 7) {
    for (int rv : {0, 1, 8191, 16383, 16384, 16385, 24576, 32767}) {
      double exact = (static_cast<double>(rv - 16384) / 16384.0) * amplitude * f;
      ASSERT_EQ(show::shake_offset(rv, amplitude), static_cast<std::int16_t>(std::trunc(exact)));
    }
  }
  EXPECT_EQ(show::shake_offset(32767, 10), 0);  // 0.0999... * ... < 1
  EXPECT_EQ(show::shake_offset(0, 10), -1);     // -1.0000000149 truncates to -1
  EXPECT_EQ(show::shake_offset(0, 9), 0);       // -0.9000000134 truncates to 0
}

TEST(shake, the_standard_generator_repeats_the_classic_sequence) {
  show::standard_random r;
  // The sequence of the C library's example generator, seeded with 1.
  EXPECT_EQ(r.next(), 16838);
  EXPECT_EQ(r.next(), 5758);
  EXPECT_EQ(r.next(), 10113);
  for (int i = 0; i < 100000; ++i) {
    int v = r.next();
    ASSERT_GE(v, 0);
    ASSERT_LE(v, 32767);
  }
}

}  // namespace
