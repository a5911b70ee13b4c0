#include "driver.h"

#include "draw.h"
#include "img.h"
#include "music.h"

#include <SDL.h>

#include <cstdio>

namespace show {

namespace {

class sdl_platform final : public platform {
 public:
  void audio_init() override { ::audio_init(-1, music_rate, 0); }
  void start_music() override {
    music_ = music_load(false, module_file, 0, 0, music_flags, 0);
    music_set_attribute(music_, MUSIC_ATTRIB_POSITION_SCALER, position_scaler);
    music_play(music_, false);
  }
  bool music_playing() override { return music_is_active(music_) == MUSIC_ACTIVE_PLAYING; }
  std::uint64_t music_position() override { return music_get_position(music_, MUSIC_POSITION_ORDER); }
  void audio_free() override { ::audio_free(); }
  void sleep_ms(int ms) override { SDL_Delay(static_cast<Uint32>(ms)); }

 private:
  music_handle music_ = 0;
};

}  // namespace

platform& real_platform() {
  static sdl_platform p;
  return p;
}

position split_position(std::uint64_t value) {
  return {
      .order = static_cast<int>(value & 0xFFFF),
      .row = static_cast<int>(static_cast<std::uint32_t>(value >> 24)),
      .fine_position = static_cast<int>(static_cast<std::uint32_t>(value >> 16)),
  };
}

std::array<SDL_Surface*, picture_count> load_pictures() {
  std::array<SDL_Surface*, picture_count> pictures;
  for (int i = 0; i < picture_count; ++i) {
    pictures[i] = IMG_Load(picture_files[i]);
    // Every pixel of a decoded picture is opaque: blit it as a plain copy
    // rather than alpha-blending it, which costs a quarter of the frame rate.
    if (pictures[i]) SDL_SetAlpha(pictures[i], 0, 255);
  }
  return pictures;
}

int run_show(platform& world, random_source& random) {
  world.audio_init();
  SDL_Init(SDL_INIT_VIDEO);
  SDL_Surface* screen = SDL_SetVideoMode(1024, 768, 32, SDL_FULLSCREEN | SDL_DOUBLEBUF);
  if (!screen) {
    // Nothing can be drawn without a screen: stop in order instead.
    std::fprintf(stderr, "show: cannot set a 1024x768 32-bit video mode: %s\n", SDL_GetError());
    world.audio_free();
    SDL_Quit();
    return 1;
  }
  SDL_ShowCursor(SDL_DISABLE);
  IMG_Init(IMG_INIT_JPG);

  // Decoded once, before the music starts; kept until the process ends.
  const std::array<SDL_Surface*, picture_count> pictures = load_pictures();

  world.start_music();
  // The music position is the only clock: nothing is paced or summed here.
  while (world.music_playing()) {
    position at = split_position(world.music_position());
    draw_frame(screen, pictures.data(), plan_frame(at.order, at.row, at.fine_position, random));
    SDL_Flip(screen);
    world.sleep_ms(1);
  }

  draw_frame(screen, pictures.data(), final_frame);
  SDL_Flip(screen);
  world.sleep_ms(2000);
  world.audio_free();
  SDL_Quit();
  return 0;
}

}  // namespace show
