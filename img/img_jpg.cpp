// The JPEG entry of the format table: the signature walk and the loader that
// has the decoder write straight into a new surface's pixels.
#include "img.h"
#include "surface.h"

#include "jpeg_decoder.h"

#include <cstdlib>
#include <cstring>

namespace img {

namespace {

// The image layer's one way into the decoder.
unsigned char* decode_jpeg(const unsigned char* data, int size, int* width, int* height, int* components,
                           int requested, unsigned char* destination) {
  return jpeg::decode_jpeg_from_memory(data, size, width, height, components, requested, destination);
}

// Classic SDL 1.2 keeps a memory stream's bytes in hidden.mem; its memory
// streams are told apart by their functions. Compatibility builds of the 1.2
// API (version 1.2.50 and later) wrap every stream alike and keep their data
// elsewhere, so there every stream is read into a buffer.
const unsigned char* memory_of(SDL_RWops* src) {
  const SDL_version* v = SDL_Linked_Version();
  if (!v || v->major != 1 || v->minor != 2 || v->patch >= 50) return nullptr;
  static char probe_byte;
  SDL_RWops* fresh = SDL_RWFromMem(&probe_byte, 1);
  if (!fresh) return nullptr;
  bool is_memory = src->seek == fresh->seek && src->read == fresh->read && src->close == fresh->close;
  SDL_RWclose(fresh);
  return is_memory ? src->hidden.mem.base : nullptr;
}

}  // namespace

}  // namespace img

extern "C" {

int IMG_isJPG(SDL_RWops* src) {
  if (!src) return 0;
  int start = SDL_RWseek(src, 0, RW_SEEK_CUR);
  int result = 0;
  bool inside_scan = false;
  unsigned char b[2];
  if (SDL_RWread(src, b, 2, 1) == 1 && b[0] == 0xFF && b[1] == 0xD8) {
    result = 1;
    while (result == 1) {
      if (SDL_RWread(src, b, 1, 2) != 2) {
        result = 0;  // the data ended before an end-of-image marker
      } else if (b[0] != 0xFF && !inside_scan) {
        result = 0;  // bytes between segments that are not a marker
      } else if (b[0] != 0xFF || b[1] == 0xFF) {
        // Entropy-coded data one byte at a time, or a fill byte before a marker.
        SDL_RWseek(src, -1, RW_SEEK_CUR);
      } else if (b[1] == 0xD9) {
        break;
      } else if (inside_scan && b[1] == 0x00) {
        // A stuffed 0xFF data byte.
      } else if (b[1] >= 0xD0 && b[1] <= 0xD8) {
        // Restart markers and a repeated start of image carry no length.
      } else {
        unsigned char len[2];
        if (SDL_RWread(src, len, 1, 2) != 2) {
          result = 0;
        } else {
          int inner = SDL_RWseek(src, 0, RW_SEEK_CUR);
          int length = len[0] * 256 + len[1];
          int end = SDL_RWseek(src, length - 2, RW_SEEK_CUR);
          if (end != inner + length - 2) result = 0;  // the segment runs past the data
          if (b[1] == 0xDA) inside_scan = true;
        }
      }
    }
  }
  SDL_RWseek(src, start, RW_SEEK_SET);
  return result;
}

SDL_Surface* IMG_LoadJPG_RW(SDL_RWops* src) {
  if (!src) return nullptr;
  int start = SDL_RWseek(src, 0, RW_SEEK_CUR);
  int end = SDL_RWseek(src, 0, RW_SEEK_END);
  if (start < 0 || end < start) return nullptr;
  int size = end - start;

  const unsigned char* data = img::memory_of(src);
  unsigned char* copy = nullptr;
  if (data) {
    data += start;
  } else {
    SDL_RWseek(src, start, RW_SEEK_SET);
    copy = static_cast<unsigned char*>(std::malloc(size > 0 ? size : 1));
    if (!copy) {
      SDL_SetError("Out of memory");
      return nullptr;
    }
    if (SDL_RWread(src, copy, 1, size) != size) {
      std::free(copy);
      SDL_SetError("Error reading JPEG data");
      return nullptr;
    }
    data = copy;
  }

  SDL_Surface* surface = nullptr;
  int width = 0, height = 0, components = 0;
  // Size query first; the decoder then writes the rows straight into the surface.
  if (img::decode_jpeg(data, size, &width, &height, &components, 4, reinterpret_cast<unsigned char*>(1))) {
    surface = img::create_surface(width, height, 32, 0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000);
    if (surface && surface->pitch != 4 * width) {
      // Rows must be packed: the decoder writes height * 4 * width bytes in one run.
      SDL_FreeSurface(surface);
      surface = nullptr;
    }
    if (!surface) {
      SDL_SetError("Out of memory");  // as the TGA loader says for a surface SDL cannot hold
    } else {
      SDL_LockSurface(surface);
      // A decode that fails part way leaves the remaining rows as the surface was made.
      img::decode_jpeg(data, size, &width, &height, &components, 4, static_cast<unsigned char*>(surface->pixels));
      SDL_UnlockSurface(surface);
    }
  }
  std::free(copy);
  return surface;
}

}  // extern "C"
