#include "driver.h"
#include "draw.h"
#include "img.h"
#include "music.h"

#include <gtest/gtest.h>

#include <SDL.h>

#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

// A stand-in for the music layer: the linker finds these definitions first and
// never takes the real layer's object from its library. It answers from a
// script, so that the states the real layer reaches only on a failing device
// can be played to the show's platform. The real layer under the show's
// platform is tested end to end.
namespace fake_music {
std::uint32_t active = MUSIC_ACTIVE_STOPPED;
}  // namespace fake_music

bool audio_init(int, std::uint32_t, std::uint32_t) { return true; }
music_handle music_load(bool, const void*, std::uint64_t, std::uint32_t, std::uint32_t, std::uint32_t) { return 7; }
bool music_set_attribute(music_handle, std::uint32_t, float) { return true; }
bool music_play(music_handle, bool) { return true; }
std::uint32_t music_is_active(music_handle) { return fake_music::active; }
std::uint64_t music_get_position(music_handle, std::uint32_t) { return 0; }
std::uint64_t music_get_position_ahead(music_handle, std::uint32_t, std::uint32_t) { return 0; }
bool audio_free() { return true; }

namespace {

Uint32 pixel(SDL_Surface* s, int x, int y) { return static_cast<Uint32*>(s->pixels)[y * s->pitch / 4 + x]; }

SDL_Surface* solid(int w, int h, Uint32 value) {
  SDL_Surface* s = SDL_CreateRGBSurface(0, w, h, 32, 0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000);
  SDL_FillRect(s, nullptr, value);
  return s;
}

class draw_step : public ::testing::Test {
 protected:
  void SetUp() override {
    screen = solid(1024, 768, 0x11111111);
    for (auto& p : pictures) p = nullptr;
  }
  void TearDown() override {
    SDL_FreeSurface(screen);
    for (auto* p : pictures) SDL_FreeSurface(p);
  }
  SDL_Surface* screen = nullptr;
  SDL_Surface* pictures[show::picture_count];
};

TEST_F(draw_step, shaking_picture_is_clipped_on_a_white_background) {
  pictures[static_cast<int>(show::picture::murvhat)] = solid(1024, 768, 0xFF0000FF);
  show::draw_frame(
      screen, pictures,
      {.fill = true, .fill_value = show::white, .blit = true, .pic = show::picture::murvhat, .x = -76, .y = 25});
  EXPECT_EQ(pixel(screen, 0, 0), 0xFFFFFFFFu);                // above the picture
  EXPECT_EQ(pixel(screen, 0, 25), 0xFF0000FFu);               // its left edge is off screen
  EXPECT_EQ(pixel(screen, 1024 - 76 - 1, 767), 0xFF0000FFu);  // its right edge
  EXPECT_EQ(pixel(screen, 1024 - 76, 767), 0xFFFFFFFFu);
}

TEST_F(draw_step, missing_picture_draws_nothing_and_nothing_keeps_the_screen) {
  show::draw_frame(screen, pictures, {.blit = true, .pic = show::picture::kick1});
  EXPECT_EQ(pixel(screen, 10, 10), 0x11111111u);
  show::draw_frame(screen, pictures, {});
  EXPECT_EQ(pixel(screen, 10, 10), 0x11111111u);
  show::draw_frame(screen, pictures,
                   {.fill = true, .fill_value = show::white, .blit = true, .pic = show::picture::murvhat});
  EXPECT_EQ(pixel(screen, 10, 10), 0xFFFFFFFFu);  // the shake without its picture leaves white
}

TEST(load_pictures, each_file_lands_in_its_own_slot_and_a_missing_one_leaves_it_empty) {
  // The show's files in reverse, with a missing one in the middle.
  std::vector<std::string> names;
  for (int i = show::picture_count - 1; i >= 0; --i)
    names.push_back(std::string(PROJECT_ROOT "/") + show::picture_files[i]);
  names.insert(names.begin() + 5, PROJECT_ROOT "/data/missing.jpg");
  std::vector<const char*> files;
  for (const std::string& n : names) files.push_back(n.c_str());
  std::vector<SDL_Surface*> slots(files.size(), nullptr);
  show::load_pictures(files, slots.data());
  for (std::size_t i = 0; i < files.size(); ++i) {
    SDL_Surface* want = IMG_Load(files[i]);
    if (!want) {
      EXPECT_EQ(slots[i], nullptr) << files[i];
      continue;
    }
    ASSERT_NE(slots[i], nullptr) << files[i];
    ASSERT_EQ(slots[i]->h * slots[i]->pitch, want->h * want->pitch) << files[i];
    EXPECT_EQ(std::memcmp(slots[i]->pixels, want->pixels, static_cast<std::size_t>(want->h) * want->pitch), 0)
        << files[i];
    SDL_FreeSurface(want);
    SDL_FreeSurface(slots[i]);
  }
  EXPECT_EQ(slots[5], nullptr);
}

// A music layer that plays a fixed list of positions, one per poll, and
// records what the screen showed at each frame's sleep.
class scripted_world final : public show::platform {
 public:
  explicit scripted_world(std::vector<std::uint64_t> positions, bool loads = true)
      : positions_(std::move(positions)), loads_(loads) {}
  bool audio_init() override {
    calls.push_back("init");
    return true;
  }
  void load_music() override { calls.push_back("load"); }
  void play_music() override { calls.push_back("play"); }
  bool music_playing() override { return loads_ && next_ < positions_.size(); }
  std::uint64_t music_position(std::chrono::microseconds) override { return positions_[next_++]; }
  void audio_free() override { calls.push_back("free"); }
  void sleep_ms(int ms) override {
    sleeps.push_back(ms);
    SDL_Surface* screen = SDL_GetVideoSurface();
    shown.push_back(pixel(screen, 512, 100));
  }

  std::vector<const char*> calls;
  std::vector<int> sleeps;
  std::vector<Uint32> shown;

 private:
  std::vector<std::uint64_t> positions_;
  std::size_t next_ = 0;
  bool loads_;
};

std::uint64_t pos(int order, int row, int fraction = 0) {
  return static_cast<std::uint64_t>(row * 256 + fraction) << 16 | static_cast<std::uint64_t>(order);
}

class driver : public ::testing::Test {
 protected:
  // No pictures can be found here: the show runs with fills only.
  void SetUp() override {
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(std::filesystem::temp_directory_path());
  }
  void TearDown() override { std::filesystem::current_path(old_); }
  std::filesystem::path old_;
};

TEST_F(driver, draws_each_polled_position_then_holds_for_two_seconds) {
  scripted_world world({pos(2, 10), pos(6, 2), pos(19, 0), pos(3, 1), ~std::uint64_t{0}});
  show::standard_random random;
  EXPECT_EQ(show::run_show(world, random), 0);
  EXPECT_EQ(world.sleeps, (std::vector<int>{1, 1, 1, 1, 1, 2000}));
  // grey 5, white, unchanged, black, unchanged (failed query), final hold of a missing picture.
  EXPECT_EQ(world.shown, (std::vector<Uint32>{0x05050505, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0, 0}));
  EXPECT_EQ(world.calls, (std::vector<const char*>{"init", "load", "play", "free"}));
}

TEST(driver_with_pictures, blits_the_bundled_pictures_in_step_with_the_position) {
  namespace fs = std::filesystem;
  fs::path old = fs::current_path();
  fs::path dir = fs::temp_directory_path() / ("driver-pictures-" + std::to_string(::getpid()));
  fs::create_directories(dir / "data");
  for (const char* name : {"murv.jpg", "kick2.jpg", "murvtabla.jpg"})
    fs::copy_file(fs::path(PROJECT_ROOT) / "data" / name, dir / "data" / name, fs::copy_options::overwrite_existing);
  fs::current_path(dir);

  // A pixel of each picture's pattern (the centre holds its label), as the
  // blit converts it to the screen's format.
  SDL_Init(SDL_INIT_VIDEO);
  SDL_Surface* screen = SDL_SetVideoMode(1024, 768, 32, 0);
  auto centre_of = [&](const char* file) {
    SDL_Surface* p = IMG_Load(file);
    EXPECT_NE(p, nullptr) << file;
    if (!p) return Uint32{0};
    Uint8 r, g, b;
    SDL_GetRGB(pixel(p, 512, 100), p->format, &r, &g, &b);
    SDL_FreeSurface(p);
    return SDL_MapRGB(screen->format, r, g, b);
  };
  Uint32 murv = centre_of("data/murv.jpg"), kick2 = centre_of("data/kick2.jpg"),
         murvtabla = centre_of("data/murvtabla.jpg");
  SDL_Quit();
  EXPECT_NE(murv, kick2);

  scripted_world world({pos(0, 1), pos(6, 3), pos(6, 4)});
  show::standard_random random;
  EXPECT_EQ(show::run_show(world, random), 0);
  // murv.jpg, kick2.jpg, kick1.jpg is missing here (unchanged), the final hold.
  for (Uint32& v : world.shown) v &= 0x00FFFFFF;  // the screen's unused byte
  EXPECT_EQ(world.shown, (std::vector<Uint32>{murv, kick2, kick2, murvtabla}));
  fs::current_path(old);
  fs::remove_all(dir);
}

// Only "playing" keeps the show going; stopped, stalled and paused end it.
TEST(real_platform, only_a_playing_module_keeps_the_show_going) {
  show::platform& world = show::real_platform();
  world.load_music();
  for (std::uint32_t active : {0u, 1u, 2u, 3u, 4u}) {
    fake_music::active = active;
    EXPECT_EQ(world.music_playing(), active == 1) << active;
  }
}

// A stop signal arriving while the show plays: the frame in progress ends, and
// the show frees the audio and quits at once, with no final hold.
TEST_F(driver, stop_signal_ends_the_show_at_once_with_128_plus_the_signal) {
  for (int signal : {SIGINT, SIGTERM}) {
    class signalled_world final : public show::platform {
     public:
      explicit signalled_world(int signal) : signal_(signal) {}
      bool audio_init() override {
        calls.push_back("init");
        return true;
      }
      void load_music() override { calls.push_back("load"); }
      void play_music() override { calls.push_back("play"); }
      bool music_playing() override { return true; }  // the module never ends
      std::uint64_t music_position(std::chrono::microseconds) override {
        if (++polls == 3) std::raise(signal_);
        return pos(3, 1);
      }
      void audio_free() override { calls.push_back("free"); }
      void sleep_ms(int ms) override { sleeps.push_back(ms); }
      std::vector<const char*> calls;
      std::vector<int> sleeps;
      int polls = 0;

     private:
      int signal_;
    } world(signal);
    show::standard_random random;
    EXPECT_EQ(show::run_show(world, random), 128 + signal);
    EXPECT_EQ(world.polls, 3);
    EXPECT_EQ(world.sleeps, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(world.calls, (std::vector<const char*>{"init", "load", "play", "free"}));
    EXPECT_EQ(SDL_WasInit(SDL_INIT_EVERYTHING), 0u) << "SDL quit";
  }
}

// Each frame asks for the position heard when it will be on screen: its
// measured drawing and flip plus half a frame period on, which follows the
// show's pace and is not thrown far ahead by one stall.
TEST_F(driver, aims_each_frame_at_its_measured_display_moment) {
  using namespace std::chrono_literals;
  class timed_world final : public show::platform {
   public:
    // Frame i takes draw_and_flip[i] from its position read to its flip's
    // return, and then sleeps 1 ms.
    explicit timed_world(std::vector<std::chrono::microseconds> draw_and_flip) : take_(std::move(draw_and_flip)) {}
    bool audio_init() override { return true; }
    void load_music() override {}
    void play_music() override {}
    bool music_playing() override { return asked.size() < take_.size(); }
    std::uint64_t music_position(std::chrono::microseconds ahead) override {
      pending_ = take_[asked.size()];
      asked.push_back(ahead);
      return pos(3, 1);
    }
    void audio_free() override {}
    void sleep_ms(int ms) override { now_ += std::chrono::milliseconds(ms); }
    std::chrono::steady_clock::time_point now() override {
      now_ += std::exchange(pending_, {});
      return now_;
    }
    std::vector<std::chrono::microseconds> asked;

   private:
    std::vector<std::chrono::microseconds> take_;
    std::chrono::microseconds pending_{};
    std::chrono::steady_clock::time_point now_{};
  };
  std::vector<std::chrono::microseconds> take(100, 10ms);
  take.push_back(2s);
  take.resize(200, 2ms);
  timed_world world(take);
  show::standard_random random;
  EXPECT_EQ(show::run_show(world, random), 0);
  ASSERT_EQ(world.asked.size(), 200u);
  EXPECT_EQ(world.asked[0], 0us);                            // nothing measured yet
  EXPECT_NEAR(world.asked[100].count(), 10000 + 5500, 300);  // 10 ms, then on screen for 11 ms
  EXPECT_LT(*std::max_element(world.asked.begin() + 101, world.asked.begin() + 110), 20ms);  // after the stall
  EXPECT_NEAR(world.asked[199].count(), 2000 + 1500, 300);
  for (auto ahead : world.asked) EXPECT_LE(ahead, show::slowest_frame * 3 / 2);
}

TEST_F(driver, module_that_does_not_load_goes_straight_to_the_end) {
  scripted_world world({pos(0, 0)}, false);
  show::standard_random random;
  EXPECT_EQ(show::run_show(world, random), 0);
  EXPECT_EQ(world.sleeps, std::vector<int>{2000});
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  return RUN_ALL_TESTS();
}
