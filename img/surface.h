// Internal to img/: used by the loaders (TGA, JPEG) to make the surfaces they
// write their pixels into.
#ifndef IMG_SURFACE_H
#define IMG_SURFACE_H

#include <SDL.h>

namespace img {

// A new software surface (SDL_CreateRGBSurface, flags 0) whose rows really
// hold width pixels of depth bits, or null. SDL 1.2 keeps the pitch in 16 bits
// and sizes the pixel memory with int arithmetic, so a surface that is too wide
// or too large would come back with a wrapped pitch or a short buffer; such a
// size is refused instead. Width and height may be 0 (an empty surface whose
// pixel pointer may be null). Sets no error text.
SDL_Surface* create_surface(int width, int height, int depth, Uint32 rmask, Uint32 gmask, Uint32 bmask, Uint32 amask);

}  // namespace img

#endif
