// Hostile bytes through the image layer: by content (JPEG) and as TGA, plus
// the JPEG signature walk on its own.
#include "img.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  const char* const types[] = {nullptr, "TGA"};
  for (const char* type : types) {
    SDL_RWops* rw = SDL_RWFromConstMem(data, static_cast<int>(size));
    SDL_Surface* s = IMG_LoadTyped_RW(rw, 1, type);
    if (s) SDL_FreeSurface(s);
  }
  SDL_RWops* rw = SDL_RWFromConstMem(data, static_cast<int>(size));
  IMG_isJPG(rw);
  SDL_RWclose(rw);
  return 0;
}
