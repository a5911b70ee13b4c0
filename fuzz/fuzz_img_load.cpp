// Hostile bytes through the image layer: by content (JPEG) and as TGA, on SDL
// memory streams and on streams of the caller's own that can or cannot seek,
// plus the JPEG signature walk on its own. The walk must leave the stream
// where it was, a stream handed over with the close flag is closed exactly
// once, and a seekable stream of the caller's gives the same picture as a
// memory stream.
#include "img.h"
#include "jpeg_decoder.h"
#include "jpeg_mutator.h"
#include "own_stream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool same_picture(const SDL_Surface* a, const SDL_Surface* b) {
  if (!a || !b) return a == b;
  if (a->w != b->w || a->h != b->h || a->pitch != b->pitch || a->format->BitsPerPixel != b->format->BitsPerPixel)
    return false;
  const std::size_t bytes = static_cast<std::size_t>(a->pitch) * a->h;
  return bytes == 0 || std::memcmp(a->pixels, b->pixels, bytes) == 0;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned seed) {
  return fuzz::mutate_jpeg(data, size, max_size, seed);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // SDL makes no memory stream of nothing.
  if (size == 0 || size > (1u << 20)) return 0;
  {
    // The image layer sets no pixel limit, and a large picture costs a large
    // surface and a long decode: they only slow the fuzzer down.
    jpeg::jpeg_decoder_mem_stream header(data, static_cast<std::uint32_t>(size));
    jpeg::jpeg_decoder_engine engine(&header);
    if (engine.status() == 0 && static_cast<std::int64_t>(engine.width()) * engine.height() > 512 * 512) return 0;
  }
  const int n = static_cast<int>(size);
  // A TGA header's size is taken at its word: SDL clears the whole surface
  // before a pixel is read. Large ones only slow the fuzzer down.
  auto tga_small_at = [&](std::size_t at) {
    const std::uint8_t* h = data + at;
    return size < at + 16 || std::int64_t{h[12] | h[13] << 8} * (h[14] | h[15] << 8) <= 512 * 512;
  };
  const bool tga_small = tga_small_at(0);

  // SDL memory streams: by content, as TGA, and the walk on its own, which
  // leaves the stream where it found it.
  SDL_Surface* by_content = IMG_Load_RW(SDL_RWFromConstMem(data, n), 1);
  SDL_Surface* as_tga = tga_small ? IMG_LoadTyped_RW(SDL_RWFromConstMem(data, n), 1, "TGA") : nullptr;
  SDL_RWops* rw = SDL_RWFromConstMem(data, n);
  const int middle = n / 2;
  SDL_RWseek(rw, middle, RW_SEEK_SET);
  IMG_isJPG(rw);
  check(SDL_RWseek(rw, 0, RW_SEEK_CUR) == middle);
  SDL_RWseek(rw, 0, RW_SEEK_SET);
  IMG_isJPG(rw);
  check(SDL_RWseek(rw, 0, RW_SEEK_CUR) == 0);
  SDL_RWclose(rw);

  // A seekable stream of the caller's is read into a buffer instead of being
  // decoded in place; the pictures are the same.
  own_stream own;
  SDL_Surface* s = IMG_Load_RW(own.open(data, static_cast<int>(size)), 1);
  check(own.closes == 1 && same_picture(s, by_content));
  if (s) SDL_FreeSurface(s);
  if (tga_small) {
    own = {};
    s = IMG_LoadTyped_RW(own.open(data, static_cast<int>(size)), 1, "TGA");
    check(own.closes == 1 && same_picture(s, as_tga));
    if (s) SDL_FreeSurface(s);
  }
  if (by_content) SDL_FreeSurface(by_content);
  if (as_tga) SDL_FreeSurface(as_tga);

  // A stream that cannot seek: the layer refuses it and closes it; the
  // loaders called directly make what they can of it.
  own = {};
  own.seekable = false;
  check(IMG_LoadTyped_RW(own.open(data, static_cast<int>(size)), 1, "TGA") == nullptr && own.closes == 1);
  own = {};
  own.seekable = false;
  rw = own.open(data, static_cast<int>(size));
  IMG_isJPG(rw);
  if ((s = IMG_LoadJPG_RW(rw))) SDL_FreeSurface(s);
  // The TGA loader reads its header where the others left the stream.
  if (tga_small_at(static_cast<std::size_t>(SDL_RWtell(own.inner))) && (s = IMG_LoadTGA_RW(rw))) SDL_FreeSurface(s);
  SDL_RWclose(rw);
  return 0;
}
