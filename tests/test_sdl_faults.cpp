// The event loop when SDL refuses a redraw timer. SDL_AddTimer and SDL_Flip are interposed
// here (this executable's definitions win over the library's), so a test can make arming fail
// on demand and count the frames the loop shows.
#include <gtest/gtest.h>

#include <SDL.h>
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "engine.h"
#include "if_sdlflat.h"

namespace {
std::atomic<int> failNextArmings{0};  // this many coming SDL_AddTimer calls fail
std::atomic<int> armings{0};          // SDL_AddTimer calls seen
std::atomic<int> flips{0};            // frames shown
}  // namespace

extern "C" SDL_TimerID SDL_AddTimer(Uint32 interval, SDL_NewTimerCallback callback, void* param)
{
    typedef SDL_TimerID (*AddTimer)(Uint32, SDL_NewTimerCallback, void*);
    static AddTimer real = (AddTimer)dlsym(RTLD_NEXT, "SDL_AddTimer");
    armings++;
    if (failNextArmings > 0) {
        failNextArmings--;
        return nullptr;
    }
    return real(interval, callback, param);
}

extern "C" int SDL_Flip(SDL_Surface* screen)
{
    typedef int (*Flip)(SDL_Surface*);
    static Flip real = (Flip)dlsym(RTLD_NEXT, "SDL_Flip");
    flips++;
    return real(screen);
}

namespace {
using namespace std::chrono_literals;

struct Headless {
    Headless() { setenv("SDL_VIDEODRIVER", "dummy", 0); }
} headless;

// Polls until `cond` holds or 20 s have passed.
template <class F> bool WaitFor(F cond)
{
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

void PushKey(SDLKey key)
{
    SDL_Event ev = {};
    ev.type = SDL_KEYDOWN;
    ev.key.keysym.sym = key;
    SDL_PushEvent(&ev);
}

TEST(TimerFaults, FirstTimerRefusedFailsStartUpWithMinusThree)
{
    Engine engine;
    engine.preSetWorldSize(64, 36);
    Iface_SDLFlat iface;
    iface.SetEngine(&engine);
    ASSERT_EQ(iface.InitEngine(), ENGINE_OK);
    failNextArmings = 1;
    EXPECT_EQ(iface.Run(), IFACE_NO_TIMER) << "Run with the first timer refused";
    EXPECT_EQ(engine.thread, nullptr) << "the worker must not start when start-up fails";
    failNextArmings = 0;
    SDL_Quit();
}

TEST(TimerFaults, RefusedReArmingsDoNotStopTheRedraws)
{
    Engine engine;
    engine.preSetWorldSize(64, 36);
    engine.preSetFillMode(1);
    Iface_SDLFlat iface;
    iface.SetEngine(&engine);
    ASSERT_EQ(iface.InitEngine(), ENGINE_OK);

    std::atomic<bool> redrewAfterFaults{false};
    std::thread driver([&] {
        // Once the loop draws, refuse the next five armings (the loop's own re-armings and
        // its retries), then require further frames before quitting.
        if (!WaitFor([] { return flips >= 1; })) {
            PushKey(SDLK_q);
            return;
        }
        const int armedBefore = armings;
        failNextArmings = 5;
        const bool refused = WaitFor([&] { return failNextArmings == 0; });
        const int shown = flips;
        redrewAfterFaults = refused && WaitFor([&] { return flips >= shown + 3; });
        EXPECT_GE(armings - armedBefore, 6) << "every refusal must be followed by another try";
        PushKey(SDLK_q);
    });
    EXPECT_EQ(iface.Run(), IFACE_OK);
    driver.join();
    engine.Stop();
    EXPECT_TRUE(redrewAfterFaults) << "got " << flips << " frames; the loop stopped redrawing "
                                   << "after SDL refused to arm its timer";
}
}  // namespace
