// Applies a frame plan to the screen. Internal to show/.
#ifndef SHOW_DRAW_H
#define SHOW_DRAW_H

#include "timeline.h"

#include <SDL.h>

namespace show {

// The show's screen, and the frames the recorder draws: the pictures and the
// shake are made for this size.
constexpr int screen_width = 1024;
constexpr int screen_height = 768;

// pictures: picture_count surfaces, null where a load failed (drawn as nothing).
void draw_frame(SDL_Surface* screen, SDL_Surface* const* pictures, const frame_plan& plan);

}  // namespace show

#endif
