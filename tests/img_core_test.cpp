#include "format_table.h"
#include "img.h"
#include "own_stream.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Fake formats: "AB" files are recognised by content, "RAW" by name only.
SDL_Surface* const loaded_ab = reinterpret_cast<SDL_Surface*>(0x1000);
SDL_Surface* const loaded_raw = reinterpret_cast<SDL_Surface*>(0x2000);
int detect_calls = 0;
long position_seen_by_loader = -1;

int detect_ab(SDL_RWops* src) {
  ++detect_calls;
  int start = SDL_RWseek(src, 0, RW_SEEK_CUR);
  char b[2] = {};
  int ok = SDL_RWread(src, b, 2, 1) == 1 && b[0] == 'A' && b[1] == 'B';
  SDL_RWseek(src, start, RW_SEEK_SET);
  return ok;
}
SDL_Surface* load_ab(SDL_RWops* src) {
  position_seen_by_loader = SDL_RWseek(src, 0, RW_SEEK_CUR);
  return loaded_ab;
}
SDL_Surface* load_raw(SDL_RWops*) { return loaded_raw; }
SDL_Surface* load_fails(SDL_RWops*) { return nullptr; }

constexpr img::format_entry fake_table[] = {
    {"RAW", nullptr, load_raw},
    {"AB", detect_ab, load_ab},
};

class dispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    SDL_ClearError();
    detect_calls = 0;
    position_seen_by_loader = -1;
  }
  SDL_Surface* load(const std::string& bytes, const char* type, int freesrc = 1) {
    SDL_RWops* rw = p.open(bytes.data(), static_cast<int>(bytes.size()));
    SDL_Surface* s = img::load_typed(rw, freesrc, type, fake_table);
    if (!freesrc) rw->close(rw);
    return s;
  }
  own_stream p;
};

TEST_F(dispatch, type_name_matches_in_any_letter_case_without_looking_at_content) {
  EXPECT_EQ(load("AB..", "raw"), loaded_raw);  // content says AB, but RAW comes first
  EXPECT_EQ(load("xx", "RaW"), loaded_raw);
  EXPECT_EQ(detect_calls, 0);
  EXPECT_EQ(p.closes, 2);  // once per load
}

TEST_F(dispatch, signature_decides_whatever_the_type_says) {
  EXPECT_EQ(load("AB", "png"), loaded_ab);
  EXPECT_EQ(load("AB", nullptr), loaded_ab);
  EXPECT_EQ(load("AB", "d/name"), loaded_ab);
}

TEST_F(dispatch, loader_starts_where_the_caller_left_the_stream) {
  const std::string bytes = "xxAB";  // the stream reads it in place
  SDL_RWops* rw = p.open(bytes.data(), static_cast<int>(bytes.size()));
  SDL_RWseek(rw, 2, RW_SEEK_SET);
  EXPECT_EQ(img::load_typed(rw, 1, nullptr, fake_table), loaded_ab);
  EXPECT_EQ(position_seen_by_loader, 2);
}

TEST_F(dispatch, unknown_content_and_type_is_unsupported_and_closed_once) {
  EXPECT_EQ(load("zz", "tg"), nullptr);
  EXPECT_STREQ(SDL_GetError(), "Unsupported image format");
  EXPECT_EQ(p.closes, 1);
  EXPECT_EQ(load("zz", nullptr, 0), nullptr);
  EXPECT_EQ(p.closes, 2);  // only the test's own close
}

TEST_F(dispatch, failing_loader_ends_the_search) {
  constexpr img::format_entry table[] = {{"RAW", nullptr, load_fails}, {"RAW", nullptr, load_raw}};
  const std::string bytes = "x";
  SDL_RWops* rw = p.open(bytes.data(), static_cast<int>(bytes.size()));
  EXPECT_EQ(img::load_typed(rw, 1, "RAW", table), nullptr);
  EXPECT_EQ(p.closes, 1);
}

TEST_F(dispatch, null_stream_sets_error_and_closes_nothing) {
  EXPECT_EQ(img::load_typed(nullptr, 1, "RAW", fake_table), nullptr);
  EXPECT_STREQ(SDL_GetError(), "Passed a NULL data source");
  EXPECT_EQ(IMG_LoadTyped_RW(nullptr, 1, "TGA"), nullptr);
  EXPECT_STREQ(SDL_GetError(), "Passed a NULL data source");
}

TEST_F(dispatch, unseekable_stream_is_closed_when_asked) {
  p.seekable = false;
  EXPECT_EQ(load("AB", "RAW"), nullptr);
  EXPECT_STREQ(SDL_GetError(), "Can't seek in this data source");
  EXPECT_EQ(p.closes, 1);
  EXPECT_EQ(load("AB", "RAW", 0), nullptr);
  EXPECT_EQ(p.closes, 2);  // only the test's own close
}

TEST(type_names_equal, compares_whole_names_ignoring_case) {
  EXPECT_TRUE(img::type_names_equal("tga", "TGA"));
  EXPECT_TRUE(img::type_names_equal("Tga", "TGA"));
  EXPECT_TRUE(img::type_names_equal("", ""));
  EXPECT_FALSE(img::type_names_equal("tg", "TGA"));
  EXPECT_FALSE(img::type_names_equal("tgax", "TGA"));
  EXPECT_FALSE(img::type_names_equal("", "TGA"));
  EXPECT_FALSE(img::type_names_equal("\xe9ga", "TGA"));  // bytes above 127 do not crash toupper
}

TEST(img_core, init_reports_all_formats_initialised_so_far) {
  IMG_Quit();
  EXPECT_EQ(IMG_Init(0), 0);
  EXPECT_EQ(IMG_Init(6), 0);
  EXPECT_EQ(IMG_Init(1), 1);
  EXPECT_EQ(IMG_Init(1), 1);
  EXPECT_EQ(IMG_Init(0), 1);
  IMG_Quit();
  EXPECT_EQ(IMG_Init(0), 0);
}

TEST(img_core, version_and_invert_alpha) {
  const SDL_version* v = IMG_Linked_Version();
  EXPECT_EQ(v->major, 1);
  EXPECT_EQ(v->minor, 2);
  EXPECT_EQ(v->patch, 13);
  EXPECT_EQ(IMG_InvertAlpha(0), 1);
  EXPECT_EQ(IMG_InvertAlpha(1), 1);
}

TEST(img_core, load_of_missing_file_keeps_the_open_error) {
  SDL_ClearError();
  EXPECT_EQ(IMG_Load("/nonexistent/x.jpg"), nullptr);
  EXPECT_STRNE(SDL_GetError(), "");
}

}  // namespace
