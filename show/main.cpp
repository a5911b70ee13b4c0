// The picture show: plays "data/lofasz.xm" once and shows the pictures of
// data/ in step with it. Takes no options; paths are relative to the working
// directory.
#include "driver.h"

#include <SDL.h>

int main(int, char**) {
  show::standard_random random;
  return show::run_show(show::real_platform(), random);
}
