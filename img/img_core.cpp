// The front of the image layer: format table, dispatch, init flags, version.
#include "format_table.h"
#include "img.h"

#include <array>
#include <cctype>
#include <cstring>

namespace img {

namespace {

// Tried in this order. TGA has no signature and is reached by its type name
// only; JPEG is recognised by content alone.
constexpr std::array<format_entry, 2> formats{{
    {"TGA", nullptr, IMG_LoadTGA_RW},
    {"JPG", IMG_isJPG, IMG_LoadJPG_RW},
}};

int initialized_flags = 0;
SDL_version linked_version;

}  // namespace

std::span<const format_entry> format_table() { return formats; }

bool type_names_equal(const char* a, const char* b) {
  while (*a && *b) {
    if (std::toupper(static_cast<unsigned char>(*a)) != std::toupper(static_cast<unsigned char>(*b))) break;
    ++a;
    ++b;
  }
  return *a == 0 && *b == 0;
}

SDL_Surface* load_typed(SDL_RWops* src, int freesrc, const char* type, std::span<const format_entry> table) {
  if (!src) {
    SDL_SetError("Passed a NULL data source");
    return nullptr;
  }
  if (SDL_RWseek(src, 0, RW_SEEK_CUR) < 0) {
    if (freesrc) SDL_RWclose(src);
    SDL_SetError("Can't seek in this data source");
    return nullptr;
  }
  for (const format_entry& f : table) {
    // A format with a signature is recognised by content alone, whatever the type says.
    bool match = f.detect ? f.detect(src) != 0 : type && type_names_equal(type, f.type_name);
    if (!match) continue;
    // The first match decides, even when its loader fails.
    SDL_Surface* surface = f.load(src);
    if (freesrc) SDL_RWclose(src);
    return surface;
  }
  if (freesrc) SDL_RWclose(src);
  SDL_SetError("Unsupported image format");
  return nullptr;
}

}  // namespace img

extern "C" {

const SDL_version* IMG_Linked_Version(void) {
  img::linked_version.major = 1;
  img::linked_version.minor = 2;
  img::linked_version.patch = 13;
  return &img::linked_version;
}

int IMG_Init(int flags) {
  int result = 0;
  // JPEG support is built in: its initialisation cannot fail.
  if (flags & IMG_INIT_JPG) result |= IMG_INIT_JPG;
  img::initialized_flags |= result;
  return img::initialized_flags;
}

void IMG_Quit(void) { img::initialized_flags = 0; }

SDL_Surface* IMG_Load(const char* file) {
  SDL_RWops* src = SDL_RWFromFile(file, "rb");
  if (!src) return nullptr;  // SDL's open has set the error
  // The last '.' of the whole path: "dir.d/name" gives the type "d/name".
  const char* dot = std::strrchr(file, '.');
  return IMG_LoadTyped_RW(src, 1, dot ? dot + 1 : nullptr);
}

SDL_Surface* IMG_Load_RW(SDL_RWops* src, int freesrc) { return IMG_LoadTyped_RW(src, freesrc, nullptr); }

SDL_Surface* IMG_LoadTyped_RW(SDL_RWops* src, int freesrc, const char* type) {
  return img::load_typed(src, freesrc, type, img::format_table());
}

int IMG_InvertAlpha(int) { return 1; }

}  // extern "C"
