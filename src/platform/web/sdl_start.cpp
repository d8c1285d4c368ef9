// The start-up module of the WebAssembly build: the page's entry, which calls SDL_main and makes
// its result the exit status, and how the window surface, the caption and the pointer the frame
// was drawn for reach the page.
#include <SDL.h>
#include <emscripten.h>

#include <cstddef>
#include <cstdint>

extern "C" int SDL_main(int argc, char* argv[]);

// Emscripten's own SDL_UnlockSurface, which copies the surface's pixels onto the canvas (the link
// wraps every call, so the front end's reaches the one below first).
extern "C" void __real_SDL_UnlockSurface(SDL_Surface* surface);

// The front end stores colours as 0x00RRGGBB, red in bits 16-23, as the desktop's surface lays
// them out; the canvas takes its bytes in the order red, green, blue, alpha. So the window
// surface's pixels are turned into the canvas's order, fully opaque, just before emscripten
// copies them out. Every frame repaints every pixel before it unlocks, so nothing is ever turned
// twice.
extern "C" void __wrap_SDL_UnlockSurface(SDL_Surface* surface)
{
    if (surface != nullptr && surface == SDL_GetVideoSurface() && surface->pixels != nullptr) {
        // The sizes are read once: a pixel store could alias the surface's own fields as far as
        // the compiler knows, and re-reading the width after every store would keep the row
        // loop from being vectorised.
        const int w = surface->w;
        const int h = surface->h;
        const int pitch = surface->pitch;
        uint8_t* row = static_cast<uint8_t*>(surface->pixels);
        for (int y = 0; y < h; ++y, row += pitch) {
            uint32_t* p = reinterpret_cast<uint32_t*>(row);
            for (int x = 0; x < w; ++x) {
                const uint32_t c = p[x];
                p[x] = 0xFF000000u | (c & 0x0000FF00u) | (c >> 16 & 0xFFu) | (c & 0xFFu) << 16;
            }
        }
    }
    __real_SDL_UnlockSurface(surface);
}

// Emscripten's SDL writes the caption into the page's title at once, which costs the browser more
// than the frame itself when it comes with every frame. The page takes it instead
// (Module.onCaption in web/index.html), and shows it in the title and the line above the canvas
// when it has changed and the page can show it. Without such a page the title takes it as before.
extern "C" void __wrap_SDL_WM_SetCaption(const char* title, const char* icon)
{
    (void)icon;
    if (title == nullptr)
        return;
    EM_ASM(
        {
            var text = UTF8ToString($0);
            if (Module["onCaption"])
                Module["onCaption"](text);
            else
                document.title = text;
        },
        title);
}

// The pointer position each frame is drawn for: the front end reads it once per frame, just
// before it draws the preview there. The page learns it (Module.onFrameMouse), so that a tap on
// a touch screen can wait for the frame that shows the preview under the finger before it
// clicks, as a click places where the last drawn frame showed the preview.
extern "C" Uint8 __real_SDL_GetMouseState(int* x, int* y);
extern "C" Uint8 __wrap_SDL_GetMouseState(int* x, int* y)
{
    int mx = 0;
    int my = 0;
    const Uint8 buttons = __real_SDL_GetMouseState(&mx, &my);
    if (x != nullptr)
        *x = mx;
    if (y != nullptr)
        *y = my;
    EM_ASM(
        {
            if (Module["onFrameMouse"])
                Module["onFrameMouse"]($0, $1);
        },
        mx, my);
    return buttons;
}

// Emscripten's SDL hides the pointer only in full screen; on the page the canvas hides it instead
// while the game asks it to. Returns the state in force, as SDL does.
int SDL_ShowCursor(int toggle)
{
    if (toggle == SDL_ENABLE || toggle == SDL_DISABLE)
        EM_ASM({ Module["canvas"].style.cursor = $0 ? "" : "none"; }, toggle == SDL_ENABLE);
    return EM_ASM_INT({ return Module['canvas'].style.cursor == 'none' ? 0 : 1; });
}

int main(int argc, char* argv[])
{
    // Every frame repaints the whole window surface, so locking it never needs the canvas's
    // current pixels read back into memory, and the alpha is set above: emscripten may skip both.
    EM_ASM({
        SDL.defaults.copyOnLock = false;
        SDL.defaults.discardOnLock = true;
        SDL.defaults.opaqueFrontBuffer = false;
    });
    return SDL_main(argc, argv);
}
