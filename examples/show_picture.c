/* show_picture PICTURE [SECONDS]: loads a picture with the picture show's
   image layer and shows it in a window of its size until a key is pressed or
   the window is closed, or for SECONDS at most (0: draw once and exit). */
#include <picshow/img.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: show_picture PICTURE [SECONDS]\n");
    return 2;
  }
  const double seconds = argc == 3 ? atof(argv[2]) : -1.0;
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    fprintf(stderr, "show_picture: %s\n", SDL_GetError());
    return 1;
  }
  SDL_Surface* picture = IMG_Load(argv[1]);
  SDL_Surface* screen = picture ? SDL_SetVideoMode(picture->w, picture->h, 32, SDL_SWSURFACE) : NULL;
  if (screen == NULL) {
    fprintf(stderr, "show_picture: %s: %s\n", argv[1], SDL_GetError());
    SDL_Quit();
    return 1;
  }
  SDL_WM_SetCaption(argv[1], NULL);
  SDL_BlitSurface(picture, NULL, screen, NULL);
  SDL_Flip(screen);
  printf("%s: %dx%d\n", argv[1], picture->w, picture->h);

  const Uint32 start = SDL_GetTicks();
  int open = 1;
  while (open) {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
      if (event.type == SDL_QUIT || event.type == SDL_KEYDOWN) open = 0;
    }
    if (seconds >= 0 && SDL_GetTicks() - start >= seconds * 1000) open = 0;
    if (open) SDL_Delay(10);
  }
  SDL_FreeSurface(picture);
  SDL_Quit();
  return 0;
}
