// Driving the front end's event loop in-process: the events a user would make, an engine bound
// to the front end, and Run() on the test's thread while a script acts on a second one.
// Everything here calls SDL by its ordinary names, so a test program that interposes SDL calls
// gets its own versions here too, and this header defines no SDL function of its own.
#ifndef QUOLVANE_TESTS_LOOP_DRIVER_H
#define QUOLVANE_TESTS_LOOP_DRIVER_H

#include <gtest/gtest.h>

#include <SDL.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "if_sdlflat.h"
#include "wait.h"

// SDL's dummy video driver also when a test program is started by hand (CTest sets the same
// value). It is set before main, so before any test starts SDL.
struct HeadlessVideo {
    HeadlessVideo() { setenv("SDL_VIDEODRIVER", "dummy", 0); }
};
inline HeadlessVideo headlessVideo;

// --- Events ------------------------------------------------------------------------------------

inline SDL_Event Key(SDLKey sym, SDLMod mod = KMOD_NONE)
{
    SDL_Event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = SDL_KEYDOWN;
    ev.key.state = SDL_PRESSED;
    ev.key.keysym.sym = sym;
    ev.key.keysym.mod = mod;
    return ev;
}

// A key release, which the loop ignores.
inline SDL_Event KeyUp()
{
    SDL_Event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = SDL_KEYUP;
    ev.key.keysym.sym = SDLK_a;
    return ev;
}

// A button press whose own position differs from the cursor: the loop must not read it.
inline SDL_Event Click(Uint8 button = SDL_BUTTON_LEFT)
{
    SDL_Event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = SDL_MOUSEBUTTONDOWN;
    ev.button.button = button;
    ev.button.state = SDL_PRESSED;
    ev.button.x = 999;
    ev.button.y = 555;
    return ev;
}

inline SDL_Event OfType(Uint8 type, int code = 0)
{
    SDL_Event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = type;
    if (type == SDL_USEREVENT)
        ev.user.code = code;
    return ev;
}

// Appends the events to SDL's queue in order.
inline void Push(std::vector<SDL_Event> events)
{
    const int n = SDL_PeepEvents(events.data(), (int)events.size(), SDL_ADDEVENT, 0);
    EXPECT_EQ(n, (int)events.size()) << "SDL_PeepEvents queued " << n << " of " << events.size();
}

// Pushes key releases until SDL refuses one; returns how many it took.
inline int FillQueue()
{
    SDL_Event ev = KeyUp();
    int n = 0;
    while (n < 100000 && SDL_PushEvent(&ev) == 0)
        ++n;
    return n;
}

// --- The loop ----------------------------------------------------------------------------------

// Sets up an engine for a world of the given size with six players, as the program has, and
// binds the front end to it.
inline void Configure(Engine& engine, Iface_SDLFlat& iface, unsigned int width, unsigned int height,
                      unsigned int fillMode)
{
    engine.preSetWorldSize(width, height);
    engine.preSetPlayerCount(6);
    engine.preSetFillMode(fillMode);
    iface.SetEngine(&engine);
    ASSERT_EQ(iface.InitEngine(), 0);
}

// Runs iface.Run() with standard output captured; returns its result and the output.
inline int RunCapturing(Iface_SDLFlat& iface, std::string* out)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    const int rc = iface.Run();
    fflush(stdout);
    *out = testing::internal::GetCapturedStdout();
    return rc;
}

// Whether Run has opened its window.
inline bool WindowOpen()
{
    return SDL_GetVideoSurface() != nullptr;
}

// Runs iface.Run() on this thread while `script` runs on a second thread once `ready()` holds;
// if Run returns first (a start-up failure), the script does not run. With `out`, standard output
// is captured there as RunCapturing does. If the loop has not ended 30 s after the script,
// SDL_QUIT is pushed until it does, so a broken loop fails the test instead of hanging it.
template <class Script, class Ready = bool (*)()>
int RunWithScript(Iface_SDLFlat& iface, Script script, Ready ready = WindowOpen,
                  std::string* out = nullptr)
{
    using namespace std::chrono_literals;
    std::atomic<bool> ended{false};
    std::thread driver([&] {
        if (!WaitFor([&] { return ended.load() || ready(); }, 20s))
            ADD_FAILURE() << "the loop was not ready for the script within 20 s";
        else if (!ended.load())
            script();
        if (!WaitFor([&] { return ended.load(); }, 30s)) {
            ADD_FAILURE() << "the loop did not end within 30 s; pushing SDL_QUIT";
            while (!ended.load()) {
                SDL_Event quit = OfType(SDL_QUIT);
                SDL_PushEvent(&quit);
                std::this_thread::sleep_for(100ms);
            }
        }
    });
    const int rc = out != nullptr ? RunCapturing(iface, out) : iface.Run();
    ended = true;
    driver.join();
    return rc;
}

// Runs `during` while the loop waits for the engine lock in the placement of a click, and so is
// inside no SDL call. Only then is the mouse moved from the script's thread: SDL's warp takes its
// event locks in the opposite order to the loop's polling.
template <class F>
void WhileClickWaits(Engine& engine, F during,
                     std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    engine.Lock();
    Push({Click()});
    EXPECT_TRUE(WaitFor(
        [] {
            SDL_Event ev;
            return SDL_PeepEvents(&ev, 1, SDL_PEEKEVENT, SDL_MOUSEBUTTONDOWNMASK) == 0;
        },
        limit))
        << "the loop took no click within " << limit.count() << " ms";
    during();
    engine.Unlock();
}

#endif
