// The image layer on the show's thirteen pictures: the JPEG signature walk
// alone, and whole IMG_Load calls, each over all thirteen files.
#include "img.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const char* const pictures[] = {"fank",        "sun",       "kick1",     "kick2",     "murvhat",   "egyenlo",  "murv",
                                "murvparaszt", "murvtabla", "function0", "function1", "function2", "function3"};

std::string path_of(const char* name) { return std::string(PROJECT_ROOT "/data/") + name + ".jpg"; }

void signature_walks(benchmark::State& state) {
  for (auto _ : state) {
    for (const char* name : pictures) {
      SDL_RWops* src = SDL_RWFromFile(path_of(name).c_str(), "rb");
      if (!src || IMG_isJPG(src) != 1) state.SkipWithError("not recognised");
      SDL_RWclose(src);
    }
  }
}
BENCHMARK(signature_walks)->Unit(benchmark::kMillisecond);

void img_load(benchmark::State& state) {
  for (auto _ : state) {
    for (const char* name : pictures) {
      SDL_Surface* s = IMG_Load(path_of(name).c_str());
      if (!s) state.SkipWithError("not loaded");
      SDL_FreeSurface(s);
    }
  }
}
BENCHMARK(img_load)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
