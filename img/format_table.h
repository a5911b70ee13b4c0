// Internal to img/: the ordered list of formats the core dispatches over.
#ifndef IMG_FORMAT_TABLE_H
#define IMG_FORMAT_TABLE_H

#include <SDL.h>

#include <span>

namespace img {

struct format_entry {
  const char* type_name;          // upper case
  int (*detect)(SDL_RWops* src);  // null: matched by type name only
  SDL_Surface* (*load)(SDL_RWops* src);
};

// Entries in the order they are tried.
std::span<const format_entry> format_table();

// IMG_LoadTyped_RW over the given table.
SDL_Surface* load_typed(SDL_RWops* src, int freesrc, const char* type, std::span<const format_entry> table);

// Case-insensitive comparison of a type name with an upper-case table name.
bool type_names_equal(const char* a, const char* b);

}  // namespace img

#endif
