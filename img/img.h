// Image loading layer: loads pictures from files or SDL read streams into new
// SDL 1.2 surfaces. Every function is exported with C linkage under its IMG_
// name. Loaders return a new surface (owned by the caller) or null with SDL's
// error string set.
#ifndef IMG_IMG_H
#define IMG_IMG_H

#include <SDL.h>

// Marks the exported functions: the shared library exports these and hides
// everything else it is built from.
#if defined(__GNUC__)
#define IMG_API __attribute__((visibility("default")))
#else
#define IMG_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Flag accepted by IMG_Init: JPEG support (needs no outside library).
#define IMG_INIT_JPG 0x00000001

// The layer's version record; set to 1.2.13 on every call.
IMG_API const SDL_version* IMG_Linked_Version(void);

// Initialises the formats named in flags (only IMG_INIT_JPG is known) and
// returns every format initialised so far. Loading works without it.
IMG_API int IMG_Init(int flags);
IMG_API void IMG_Quit(void);

// Opens file, takes its type from the text after the last '.', and loads it.
IMG_API SDL_Surface* IMG_Load(const char* file);
// Loads by content only (formats with a signature test).
IMG_API SDL_Surface* IMG_Load_RW(SDL_RWops* src, int freesrc);
// Loads by signature test, or by type name (any letter case) for formats that
// have no signature. Closes src when freesrc is non-zero (unless src is null).
IMG_API SDL_Surface* IMG_LoadTyped_RW(SDL_RWops* src, int freesrc, const char* type);
// Kept for compatibility: changes nothing and returns 1.
IMG_API int IMG_InvertAlpha(int on);

// JPEG: signature walk (restores the stream position) and loader.
IMG_API int IMG_isJPG(SDL_RWops* src);
IMG_API SDL_Surface* IMG_LoadJPG_RW(SDL_RWops* src);

// Truevision TGA (no signature; reached by type name only).
IMG_API SDL_Surface* IMG_LoadTGA_RW(SDL_RWops* src);

#ifdef __cplusplus
}
#endif

#endif
