// The program: one engine with a 640 x 360 world for six players, shown by one SDL window.
#include "if_sdlflat.h"

namespace {
const unsigned int WORLD_WIDTH_CELLS = 640;
const unsigned int WORLD_HEIGHT_CELLS = 360;
const unsigned char PLAYERS = 6;
const unsigned int FILL_RANDOM = 1;
}  // namespace

// The arguments are ignored. The result is the exit status: 0, or a negative start-up code.
extern "C" int SDL_main(int, char*[])
{
    Engine* engine = new Engine();
    engine->preSetWorldSize(WORLD_WIDTH_CELLS, WORLD_HEIGHT_CELLS);
    engine->preSetPlayerCount(PLAYERS);
    engine->preSetFillMode(FILL_RANDOM);
    Iface_SDLFlat* iface = new Iface_SDLFlat();
    iface->SetEngine(engine);
    iface->InitEngine();
    // Both objects live until the loop has ended. After q or Escape the loop leaves the worker
    // stepping; it is stopped here, before the process exits, because exiting unloads the SDL
    // library under a worker that is still calling into it, which crashes now and then. With
    // the worker gone nothing uses them any more, so the world is freed here rather than left
    // unreferenced at exit.
    const int status = iface->Run();
    engine->Stop();
    delete iface;
    delete engine;
    return status;
}
