// The SDL front end: start-up, the event loop, the redraw timer and the frame.
#include "if_sdlflat.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const IFACE_CAPTION = "RUD EZARAR EROV IZAZODER";
const char* const IFACE_COST_CAPTION_FORMAT = "RUD EZARAR EROV IZAZODER! Build cost: %f (%f)";

const Uint32 playercolors[14] = {
    0x000000, 0x808080,  // nobody
    0x400000, 0xC0A0A0,  // player 1
    0x004000, 0xA0C0A0,  // player 2
    0x000040, 0xA0A0C0,  // player 3
    0x404000, 0xC0C0A0,  // player 4
    0x400040, 0xC0A0C0,  // player 5
    0x004040, 0xA0C0C0,  // player 6
};

namespace {
const Uint32 FIRST_REDRAW_MS = 10;
const int REDRAW_STEP_MS = 10;     // Left and Right change the interval by this much
const int MIN_REDRAW_MS = 10;      // and Left never takes it below this
const Uint32 PUSH_RETRY_MS = 5;    // a full event queue is tried again after this
const Uint32 REARM_RETRY_MS = 20;  // a timer that cannot be armed is tried again after this
const int REDRAW_EVENT_CODE = 1;
const size_t CAPTION_BYTES = 255;

// Pushes one redraw event; returns SDL_PushEvent's result (0 on success).
int PushRedrawEvent()
{
    SDL_Event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = SDL_USEREVENT;
    ev.user.code = REDRAW_EVENT_CODE;
    ev.user.data1 = nullptr;
    ev.user.data2 = nullptr;
    return SDL_PushEvent(&ev);
}

// Video drivers that show no window: SDL 2's offscreen and dummy, and the classic SDL 1.2's
// text-art drivers, which draw into the terminal through libcaca or AAlib.
const char* const WINDOWLESS_DRIVERS[] = {"offscreen", "dummy", "caca", "aalib"};

// Whether the user chose a video driver through SDL_VIDEODRIVER.
bool VideoDriverRequested()
{
    const char* requested = getenv("SDL_VIDEODRIVER");
    return requested != nullptr && requested[0] != '\0';
}

// SDL falls back to a windowless video driver when no display can be opened. The game would
// then run unseen, with no way to quit it, so such a driver is taken only when SDL_VIDEODRIVER
// asks for it. Returns the unrequested driver's name, or null.
const char* UnrequestedWindowlessDriver()
{
    static char name[64];
    if (VideoDriverRequested() || SDL_VideoDriverName(name, sizeof name) == nullptr)
        return nullptr;
    for (const char* windowless : WINDOWLESS_DRIVERS)
        if (strcmp(name, windowless) == 0)
            return name;
    return nullptr;
}

// Ends the session with SDL so that no redraw callback runs while SDL shuts down. SDL_Quit
// tears the event queue down before it stops the timer thread, and a callback that fired in
// between would push into a dead queue and block for ever, and SDL_Quit with it, waiting for
// that thread. So the armed timer is removed and the timer part shut down first: that waits
// for the timer thread, after which no callback can run.
void EndSdl(SDL_TimerID timer)
{
    SDL_ShowCursor(SDL_ENABLE);
    if (timer)
        SDL_RemoveTimer(timer);
    SDL_QuitSubSystem(SDL_INIT_TIMER);
    SDL_Quit();
}
}  // namespace

Uint32 CellStepCallback(Uint32, void*)
{
    // 0 ends the timer after this shot: one redraw event per arming. A push that failed
    // (queue full) keeps the timer alive for one more try instead of losing the redraw.
    return PushRedrawEvent() == 0 ? 0 : PUSH_RETRY_MS;
}

Iface_SDLFlat::Iface_SDLFlat()
    : engine(nullptr), width(0), height(0), screen(nullptr), player(1), cursorX(0), cursorY(0)
{
    brush.width = pt_glider_x;
    brush.height = pt_glider_y;
    brush.rotation = 0;
    brush.cells = pt_glider;
}

Iface_SDLFlat::~Iface_SDLFlat() {}

void Iface_SDLFlat::SetEngine(Engine* e)
{
    engine = e;
    engine->GetWorldSize(&width, &height);
}

int Iface_SDLFlat::InitEngine()
{
    if (engine == nullptr)
        return IFACE_NO_ENGINE;
    return engine->Init();
}

void Iface_SDLFlat::textout(char*, unsigned int, unsigned int, unsigned int) {}

int Iface_SDLFlat::Run()
{
    if (engine == nullptr)
        return IFACE_NO_ENGINE;
    Loop loop = {true, (int)FIRST_REDRAW_MS, SDL_TimerID(), IFACE_OK};
    const int started = StartUp(loop);
    if (started != IFACE_OK)
        return started;
    SDL_ShowCursor(SDL_DISABLE);

    // Wait for an event, then handle every queued one, even after the running flag clears:
    // the loop ends only at the end of the drain in which it cleared.
    do {
        if (!loop.timer)
            RetryRedrawTimer(loop);
        SDL_WaitEvent(nullptr);
        SDL_Event ev;
        while (SDL_PollEvent(&ev))
            HandleEvent(ev, loop);
    } while (loop.running);

    EndSdl(loop.timer);
    return loop.status;
}

int Iface_SDLFlat::StartUp(Loop& loop)
{
    // Through sdl12-compat, SDL 2 would show each frame through an OpenGL renderer, which on a
    // machine without a GPU (llvmpipe) costs about 2 ms of CPU per frame; its software renderer
    // into the X11 framebuffer shows the same pixels for under half of that. The classic SDL 1.2
    // ignores both. A value the user has set is left alone.
    setenv("SDL_RENDER_DRIVER", "software", 0);
    setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 0);
    // The classic SDL 1.2 falls back to its libcaca driver when no display can be opened, and
    // libcaca starts drawing into the terminal as soon as SDL initialises it, before the
    // driver can be refused below. Unless the user asked for a driver, libcaca is pointed at
    // its silent null output, so that the refusal is the only thing printed.
    if (!VideoDriverRequested())
        setenv("CACA_DRIVER", "null", 0);
    if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO) < 0) {
        printf("SDL_Init failed: %s\n", SDL_GetError());
        return IFACE_SDL_INIT_FAILED;
    }
    if (const char* driver = UnrequestedWindowlessDriver()) {
        printf("SDL_Init failed: no display could be opened (SDL fell back to the windowless "
               "'%s' video driver)\n",
               driver);
        return IFACE_NO_DISPLAY;
    }
    screen = SDL_SetVideoMode(width * 2, height * 2, 32, SDL_SWSURFACE);
    if (screen == nullptr) {
        printf("SDL_SetVideoMode failed: %s\n", SDL_GetError());
        return IFACE_NO_VIDEO_MODE;
    }
    SDL_WM_SetCaption(IFACE_CAPTION, nullptr);
    // A timer id is a pointer in SDL 1.2 and a number in emscripten's SDL for the browser;
    // either way it reads false when no timer was armed.
    loop.timer = SDL_AddTimer(FIRST_REDRAW_MS, CellStepCallback, nullptr);
    if (!loop.timer) {
        printf("SDL_AddTimer failed: %s\n", SDL_GetError());
        return IFACE_NO_TIMER;
    }
    // Without its worker the world never changes and the window would stay black for good:
    // said, and ended, like the other start-up failures. (An engine whose worker already runs
    // is fine as it is.)
    if (engine->Run() == ENGINE_START_FAILED) {
        printf("Engine::Run failed: %s\n", SDL_GetError());
        EndSdl(loop.timer);
        return IFACE_ENGINE_NOT_STARTED;
    }
    return IFACE_OK;
}

// The last re-arming failed. Never wait with no redraw to come: try again after a moment, and
// if SDL still refuses, queue the redraw event directly; its handling tries once more. (If even
// that push fails, the queue is full and the loop's wait returns at once, bringing it back here.)
void Iface_SDLFlat::RetryRedrawTimer(Loop& loop)
{
    SDL_Delay(REARM_RETRY_MS);
    loop.timer = SDL_AddTimer((Uint32)loop.intervalMs, CellStepCallback, nullptr);
    if (!loop.timer)
        PushRedrawEvent();
}

void Iface_SDLFlat::HandleEvent(const SDL_Event& ev, Loop& loop)
{
    switch (ev.type) {
    case SDL_MOUSEBUTTONDOWN:
        // Placed where the last drawn frame previewed it, not where the event says.
        engine->PlacePattern((unsigned char)player, cursorX / 2, cursorY / 2, &brush);
        break;
    case SDL_KEYDOWN: HandleKey(ev.key.keysym.sym, loop); break;
    case SDL_QUIT:
        engine->Stop();
        SDL_RemoveTimer(loop.timer);
        loop.running = false;
        break;
    case SDL_USEREVENT:
        if (engine->isUpdated())
            draw();
        // The spent one-shot timer is already gone; removing it is harmless.
        SDL_RemoveTimer(loop.timer);
        loop.timer = SDL_AddTimer((Uint32)loop.intervalMs, CellStepCallback, nullptr);
        break;
    default: break;
    }
}

void Iface_SDLFlat::HandleKey(SDLKey key, Loop& loop)
{
    switch (key) {
    case SDLK_q:
    case SDLK_ESCAPE: loop.running = false; break;
    case SDLK_SPACE: RestartWorld(loop); break;
    case SDLK_RIGHT: loop.intervalMs += REDRAW_STEP_MS; break;
    case SDLK_LEFT:
        if (loop.intervalMs > MIN_REDRAW_MS)
            loop.intervalMs -= REDRAW_STEP_MS;
        break;
    case SDLK_r: brush.rotation += 1; break;
    default: break;
    }
}

void Iface_SDLFlat::RestartWorld(Loop& loop)
{
    engine->Stop();
    engine->Close();
    engine->Init();
    if (engine->Run() == ENGINE_START_FAILED) {
        // A restart that cannot step its new world ends the game, as a start-up that cannot
        // would.
        printf("Engine::Run failed: %s\n", SDL_GetError());
        loop.status = IFACE_ENGINE_NOT_STARTED;
        loop.running = false;
    }
}

// The world pass. It runs with the engine lock held, so the simulation waits on it: one straight
// loop that per cell looks up its colour already doubled into a pixel pair and writes the cell's
// 2 x 2 block as two 64-bit stores (both pixels of a row at once), with no calls and no colour
// conversion. The lookup covers every byte a cell can hold: an owner without a colour (7, which
// no player has, and above, which the world refuses but the map itself does not) shows as nobody's,
// and of the alive byte, 0 or 1 wherever the world wrote it, only the low bit counts.
void PaintCells(const Cell* map, unsigned int width, unsigned int height, Uint8* pixels,
                size_t pitch, size_t mapWidth)
{
    // Built once, not under the lock of every frame.
    struct PixelPairs {
        Uint64 of[256 * 2];
        PixelPairs()
        {
            const unsigned int COLOURED_OWNERS = sizeof playercolors / sizeof playercolors[0] / 2;
            for (unsigned int i = 0; i < 256 * 2; ++i) {
                const unsigned int o = i / 2;
                const Uint32 c = playercolors[(o < COLOURED_OWNERS ? i : i % 2)];
                of[i] = (Uint64)c << 32 | c;
            }
        }
    };
    static const PixelPairs table;
    const Uint64* const pairs = table.of;
    if (mapWidth == 0)
        mapWidth = width;
    for (unsigned int y = 0; y < height; ++y) {
        const Cell* row = map + (size_t)y * mapWidth;
        Uint8* top = pixels + (size_t)2 * y * pitch;
        Uint8* bottom = top + pitch;
        for (unsigned int x = 0; x < width; ++x) {
            const Uint64 pair = pairs[row[x].owner * 2 + (row[x].alive & 1)];
            memcpy(top + (size_t)x * 8, &pair, 8);
            memcpy(bottom + (size_t)x * 8, &pair, 8);
        }
    }
}

// The frame: the world under the engine lock, then the preview, price and caption. The surface
// lock is taken inside the engine lock and held through the preview.
void Iface_SDLFlat::draw()
{
    engine->Lock();
    const Cell* map = engine->GetCurrentCells();
    // Pixels of a surface that SDL would not lock may not be written: the frame is skipped
    // whole (the cursor keeps the position the last drawn frame previewed) until a later
    // generation brings the next try.
    if (SDL_LockSurface(screen) != 0) {
        engine->Unlock();
        return;
    }
    Uint8* pixels = (Uint8*)screen->pixels;
    const size_t pitch = screen->pitch;
    // The cells painted: the world's own size as the map has it, cut to what the surface holds.
    // Both are the front end's width x height unless the engine's size was changed after
    // SetEngine copied it; then neither the map nor the surface is overrun.
    const unsigned int surfaceW = (unsigned int)screen->w / 2;
    const unsigned int surfaceH = (unsigned int)screen->h / 2;
    unsigned int cols = width < surfaceW ? width : surfaceW;
    unsigned int rows = height < surfaceH ? height : surfaceH;
    if (map != nullptr) {
        const CellAuto& world = *engine->world;
        cols = world.width < surfaceW ? world.width : surfaceW;
        rows = world.height < surfaceH ? world.height : surfaceH;
        PaintCells(map, cols, rows, pixels, pitch, world.width);
    }
    engine->Unlock();

    int mx = 0, my = 0;
    SDL_GetMouseState(&mx, &my);
    const unsigned int maxX = (unsigned int)screen->w - 2 * brush.width - 2;
    const unsigned int maxY = (unsigned int)screen->h - 2 * brush.height - 2;
    cursorX = (unsigned int)mx < maxX ? (unsigned int)mx : maxX;
    cursorY = (unsigned int)my < maxY ? (unsigned int)my : maxY;
    const unsigned int cx = cursorX / 2, cy = cursorY / 2;

    // The preview: the brush's live cells, where a click would stamp them, in the player's live
    // colour. The clamp keeps it inside the window; the bounds test only guards odd brushes and
    // worlds smaller than the window.
    const Uint64 c = playercolors[player * 2 + 1];
    const Uint64 pair = c | (c << 32);
    for (unsigned int i = 0; i < brush.height; ++i)
        for (unsigned int j = 0; j < brush.width; ++j) {
            if (brush.cells[(size_t)i * brush.width + j] == 0)
                continue;
            unsigned int X, Y;
            PatternCellTarget(brush.rotation, cx, cy, brush.width, brush.height, i, j, &X, &Y);
            if (X >= cols || Y >= rows)
                continue;
            Uint8* top = pixels + (size_t)2 * Y * pitch + (size_t)X * 8;
            memcpy(top, &pair, 8);
            memcpy(top + pitch, &pair, 8);
        }
    SDL_UnlockSurface(screen);

    const float cost = engine->GetBuildCost((unsigned char)player, cx, cy, &brush);
    float credit = 0.0f;
    engine->Lock();
    if (engine->world != nullptr)
        credit = engine->world->credits[player];
    engine->Unlock();

    char caption[CAPTION_BYTES];
    snprintf(caption, sizeof caption, IFACE_COST_CAPTION_FORMAT, (double)cost, (double)credit);
    SDL_WM_SetCaption(caption, nullptr);
    SDL_Flip(screen);
}
