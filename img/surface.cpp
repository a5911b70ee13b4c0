// Surface creation shared by the loaders, with the size checks SDL 1.2 lacks.
#include "surface.h"

#include <climits>
#include <cstdint>

namespace img {

SDL_Surface* create_surface(int width, int height, int depth, Uint32 rmask, Uint32 gmask, Uint32 bmask, Uint32 amask) {
  if (width < 0 || height < 0 || depth < 1 || depth > 32) return nullptr;
  // Depths of 8 and more take whole bytes per pixel (15 bits take 2); smaller
  // ones pack pixels into bytes.
  const std::int64_t row_bytes =
      depth >= 8 ? std::int64_t{width} * ((depth + 7) / 8) : (std::int64_t{width} * depth + 7) / 8;
  // SDL pads rows to 4 bytes, stores the pitch as Uint16 and allocates
  // height × pitch computed in int.
  const std::int64_t pitch = (row_bytes + 3) & ~std::int64_t{3};
  if (pitch > 0xFFFF || pitch * height > INT_MAX) return nullptr;

  SDL_Surface* surface = SDL_CreateRGBSurface(0, width, height, depth, rmask, gmask, bmask, amask);
  if (!surface) return nullptr;
  // Whatever SDL implementation we run on, trust only what the surface got.
  const bool empty = width == 0 || height == 0;
  if (surface->w != width || surface->h != height || surface->pitch < row_bytes || (!empty && !surface->pixels)) {
    SDL_FreeSurface(surface);
    return nullptr;
  }
  return surface;
}

}  // namespace img
