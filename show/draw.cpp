#include "draw.h"

namespace show {

void draw_frame(SDL_Surface* screen, SDL_Surface* const* pictures, const frame_plan& plan) {
  if (plan.fill) SDL_FillRect(screen, nullptr, plan.fill_value);
  if (!plan.blit) return;
  SDL_Surface* source = pictures[static_cast<int>(plan.pic)];
  if (!source) return;  // a picture that failed to load is simply not drawn
  // Clipped to the screen; the shaking picture may start off its edges.
  SDL_Rect at;
  at.x = static_cast<Sint16>(plan.x);
  at.y = static_cast<Sint16>(plan.y);
  at.w = screen_width;
  at.h = screen_height;
  SDL_UpperBlit(source, nullptr, screen, &at);
}

}  // namespace show
