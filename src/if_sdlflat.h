// The SDL front end: the window, the only event loop, the redraw timer and frame drawing.
#ifndef QUOLVANE_IF_SDLFLAT_H
#define QUOLVANE_IF_SDLFLAT_H

#include <SDL.h>

#include "engine.h"

// Return codes of Iface_SDLFlat::Run.
enum : int {
    IFACE_OK = 0,
    // There is no engine (Run, InitEngine).
    IFACE_NO_ENGINE = -1,
    // SDL_Init failed.
    IFACE_SDL_INIT_FAILED = -1,
    // No display could be opened: SDL fell back to a windowless video driver nobody asked for.
    IFACE_NO_DISPLAY = -1,
    // SDL_SetVideoMode failed.
    IFACE_NO_VIDEO_MODE = -2,
    // Arming the first redraw timer failed.
    IFACE_NO_TIMER = -3,
    // The engine's worker (its thread, lock or semaphores) could not be started, at start-up or
    // when Space restarted the world.
    IFACE_ENGINE_NOT_STARTED = -4,
};

// The caption shown until the first frame, and the one every frame formats.
extern const char* const IFACE_CAPTION;
extern const char* const IFACE_COST_CAPTION_FORMAT;

// Colours 0x00RRGGBB indexed by owner * 2 + alive: even entries dead, odd entries live.
extern const Uint32 playercolors[14];

// SDL's timer callback: pushes one redraw event (SDL_USEREVENT, code 1) and returns 0, which
// ends the timer after this one shot. If the queue is full it returns a short retry interval
// instead, so a redraw event is still delivered for this arming.
Uint32 CellStepCallback(Uint32 interval, void* param);

// Paints the first width x height cells of a map whose rows hold mapWidth cells (0: width) into
// 32-bit pixels, each cell a 2 x 2 block in its colour. Owners 7 and above paint as nobody's,
// and only the alive byte's low bit counts.
void PaintCells(const Cell* map, unsigned int width, unsigned int height, Uint8* pixels,
                size_t pitch, size_t mapWidth = 0);

class Iface_SDLFlat {
public:
    Engine* engine;        // the engine driven; not owned
    unsigned int width;    // world columns, copied from the engine
    unsigned int height;   // world rows, copied from the engine
    SDL_Surface* screen;   // the window surface, set by Run; owned by SDL
    unsigned int player;   // the player acted for
    unsigned int cursorX;  // mouse x in window pixels, clamped, as of the last drawn frame
    unsigned int cursorY;  // mouse y likewise
    pattern brush;         // previewed, priced and placed; its cells are the glider

    // Player 1, no engine, the glider as brush in its stored orientation.
    Iface_SDLFlat();
    ~Iface_SDLFlat();

    // Binds the engine and copies its world size.
    void SetEngine(Engine* engine);
    // Creates and fills the engine's world. Returns -1 without an engine, else Engine::Init's code.
    int InitEngine();
    // Opens the window, starts the engine's worker and runs the event loop until q, Escape or
    // closing the window. Returns 0, or an IFACE_* code if start-up failed or a restart could
    // not start the worker again (one line printed either way).
    int Run();
    // Paints one frame: the world, the brush preview at the mouse, and the cost caption.
    void draw();
    // Unused text output hook; does nothing.
    void textout(char* text, unsigned int x, unsigned int y, unsigned int colour);

private:
    // The event loop's state, which lives for one Run.
    struct Loop {
        bool running;       // cleared by q, Escape, closing the window or a failed restart
        int intervalMs;     // the redraw interval; Left and Right change it
        SDL_TimerID timer;  // the armed redraw timer, or null if the last arming failed
        int status;         // what Run returns
    };

    // SDL, the window, the first redraw timer and the engine's worker, in that order. Returns
    // IFACE_OK, or the code of the step that failed after printing its line.
    int StartUp(Loop& loop);
    // Re-arms the redraw timer after a failed arming, or queues a redraw event directly.
    void RetryRedrawTimer(Loop& loop);
    // Handles one event of a drain; any event type.
    void HandleEvent(const SDL_Event& ev, Loop& loop);
    // Handles one key press.
    void HandleKey(SDLKey key, Loop& loop);
    // Restarts the world (Space): a new random world and a new worker.
    void RestartWorld(Loop& loop);
};

#endif
