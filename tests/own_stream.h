// Shared by the image layer's tests and fuzz target: a stream of the caller's
// over memory, as a program would make with SDL_AllocRW. It counts how often
// it is closed and can be told to refuse every seek, as a pipe would, while
// its reads go on.
#ifndef TESTS_OWN_STREAM_H
#define TESTS_OWN_STREAM_H

#include <SDL.h>

struct own_stream {
  SDL_RWops* inner = nullptr;  // the memory stream it reads from
  bool seekable = true;
  int closes = 0;

  // A new stream over size bytes at data; closing it closes `inner` too.
  SDL_RWops* open(const void* data, int size) {
    inner = SDL_RWFromConstMem(data, size);
    SDL_RWops* rw = SDL_AllocRW();
    rw->hidden.unknown.data1 = this;
    rw->seek = [](SDL_RWops* ctx, int offset, int whence) {
      own_stream& s = of(ctx);
      return s.seekable ? SDL_RWseek(s.inner, offset, whence) : -1;
    };
    rw->read = [](SDL_RWops* ctx, void* ptr, int size, int n) { return SDL_RWread(of(ctx).inner, ptr, size, n); };
    rw->write = [](SDL_RWops*, const void*, int, int) { return -1; };
    rw->close = [](SDL_RWops* ctx) {
      own_stream& s = of(ctx);
      ++s.closes;
      SDL_RWclose(s.inner);
      SDL_FreeRW(ctx);
      return 0;
    };
    return rw;
  }

 private:
  static own_stream& of(SDL_RWops* ctx) { return *static_cast<own_stream*>(ctx->hidden.unknown.data1); }
};

#endif
