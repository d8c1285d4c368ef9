// The start-up module of the WebAssembly build: the page's entry, which calls SDL_main and makes
// its result the exit status, and how the window surface, the caption and the pointer the frame
// was drawn for reach the page.
#include <SDL.h>
#include <emscripten.h>

#include <cstddef>
#include <cstdint>

#include "canvas_order.h"

extern "C" int SDL_main(int argc, char* argv[]);

// Emscripten's own SDL_UnlockSurface, which copies the surface's pixels onto the canvas (the link
// wraps every call, so the front end's reaches the one below first).
extern "C" void __real_SDL_UnlockSurface(SDL_Surface* surface);

// The window surface's pixels are turned into the canvas's order (canvas_order.h) just before
// emscripten copies them out.
extern "C" void __wrap_SDL_UnlockSurface(SDL_Surface* surface)
{
    if (surface != nullptr && surface == SDL_GetVideoSurface() && surface->pixels != nullptr)
        ToCanvasOrder(static_cast<uint8_t*>(surface->pixels), surface->w, surface->h,
                      surface->pitch);
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
    // The surface's memory keeps what was last shown, so locking it never needs the canvas's
    // current pixels read back into it, and the alpha is set on unlock: emscripten may skip both.
    EM_ASM({
        SDL.defaults.copyOnLock = false;
        SDL.defaults.discardOnLock = true;
        SDL.defaults.opaqueFrontBuffer = false;
    });
    return SDL_main(argc, argv);
}
