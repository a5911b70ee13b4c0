// Preloaded into the show and the recorder by the end-to-end tests. The show
// takes no options and reads no configuration, so it cannot be asked to say
// when it has started; this shim says it for it: at the first SDL_Flip it
// writes the monotonic time (nanoseconds) to the descriptor named by
// SHOW_READY_FD, then every flip goes on to SDL's own. A test waits for that
// instead of guessing how long start-up takes on a busy machine.
#include <SDL.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

extern "C" int SDL_Flip(SDL_Surface* screen) {
  static const auto real = reinterpret_cast<int (*)(SDL_Surface*)>(dlsym(RTLD_NEXT, "SDL_Flip"));
  static bool told = false;
  if (!told) {
    told = true;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t ns = std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
    if (const char* fd = std::getenv("SHOW_READY_FD")) {
      if (write(std::atoi(fd), &ns, sizeof ns) != sizeof ns) _exit(3);
      close(std::atoi(fd));
    }
  }
  return real(screen);
}
