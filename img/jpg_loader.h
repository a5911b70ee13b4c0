// Internal to img/ and its tests: the JPEG loader, told how to recognise the
// memory streams it may read in place.
#ifndef IMG_JPG_LOADER_H
#define IMG_JPG_LOADER_H

#include <SDL.h>

namespace img {

// IMG_LoadJPG_RW. Classic SDL 1.2 keeps a memory stream's bytes in
// hidden.mem, and its memory streams are told apart by their functions: a
// stream with the functions of `memory_stream` is read in place from there.
// Null `memory_stream`: every stream is read into a buffer.
SDL_Surface* load_jpg(SDL_RWops* src, const SDL_RWops* memory_stream);

}  // namespace img

#endif
