// The start-up module: where SDL's headers do not rename main (as on Linux), this is the process
// entry that calls SDL_main and makes its result the exit status.
#include <SDL.h>

#ifndef main
extern "C" int SDL_main(int argc, char* argv[]);

int main(int argc, char* argv[])
{
    return SDL_main(argc, argv);
}
#endif
