// The front end and the engine when SDL calls fail or race them. Several SDL functions are
// interposed here (this executable's definitions win over the library's): a test can make them
// fail on demand, count the frames the loop shows, and stretch SDL_Quit to watch what the redraw
// timer does while SDL shuts down.
#include <gtest/gtest.h>

#include <SDL.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "if_sdlflat.h"
#include "loop_driver.h"
#include "wait.h"

namespace {
std::atomic<int> failNextArmings{0};           // this many coming SDL_AddTimer calls fail
std::atomic<int> armings{0};                   // SDL_AddTimer calls seen
std::atomic<int> flips{0};                     // frames shown
std::atomic<int> failNextThreads{0};           // this many coming SDL_CreateThread calls fail
std::atomic<int> failNextSurfaceLocks{0};      // this many coming SDL_LockSurface calls fail
std::atomic<SDL_sem*> refusePostsTo{nullptr};  // SDL_SemPost on this semaphore fails
std::atomic<SDL_sem*> refuseWaitsOn{nullptr};  // SDL_SemWaitTimeout on this one fails
std::atomic<int> quitDelayMs{0};               // SDL_Quit waits this long before it begins its work
std::atomic<bool> quitting{false};             // inside SDL_Quit
std::atomic<int> redrawsWhileQuitting{0};
std::atomic<bool> holdRedrawPushes{false};  // redraw pushes wait here until this clears
std::atomic<int> redrawPushesHeld{0};       // redraw pushes that reached the hold
std::atomic<int> redrawPushesRefused{0};    // redraw pushes SDL itself refused

// A fake clock for the engine's worker: while `fakeClock` is set, SDL_GetTicks on any thread
// but the test's own returns `fakeNow`, each SDL_mutexP there first moves it on by the next of
// `lockDelaysMs` (a step that waited that long for its lock), SDL_SemWaitTimeout there records
// the wait asked for and returns at once, and once the delays are used up, waits for real.
std::atomic<bool> fakeClock{false};
std::atomic<Uint32> fakeNow{0};
std::thread::id testThread;
std::vector<Uint32> lockDelaysMs;
std::atomic<size_t> locksTaken{0};
std::vector<Uint32> waitsAskedMs;  // written by the worker only, read after it has stopped
std::atomic<size_t> waitsAsked{0};

bool OnFakeClock()
{
    return fakeClock && std::this_thread::get_id() != testThread;
}

template <class F> F Real(const char* name)
{
    return (F)dlsym(RTLD_NEXT, name);
}

bool IsRedraw(const SDL_Event* ev)
{
    return ev->type == SDL_USEREVENT && ev->user.code == 1;
}
}  // namespace

extern "C" SDL_TimerID SDL_AddTimer(Uint32 interval, SDL_NewTimerCallback callback, void* param)
{
    static auto real = Real<SDL_TimerID (*)(Uint32, SDL_NewTimerCallback, void*)>("SDL_AddTimer");
    armings++;
    if (failNextArmings > 0) {
        failNextArmings--;
        return nullptr;
    }
    return real(interval, callback, param);
}

extern "C" int SDL_Flip(SDL_Surface* screen)
{
    static auto real = Real<int (*)(SDL_Surface*)>("SDL_Flip");
    flips++;
    return real(screen);
}

extern "C" SDL_Thread* SDL_CreateThread(int (*fn)(void*), void* data)
{
    static auto real = Real<SDL_Thread* (*)(int (*)(void*), void*)>("SDL_CreateThread");
    if (failNextThreads > 0) {
        failNextThreads--;
        SDL_SetError("refused by the test");
        return nullptr;
    }
    return real(fn, data);
}

extern "C" int SDL_LockSurface(SDL_Surface* surface)
{
    static auto real = Real<int (*)(SDL_Surface*)>("SDL_LockSurface");
    if (failNextSurfaceLocks > 0) {
        failNextSurfaceLocks--;
        return -1;
    }
    return real(surface);
}

extern "C" int SDL_SemPost(SDL_sem* sem)
{
    static auto real = Real<int (*)(SDL_sem*)>("SDL_SemPost");
    return sem != nullptr && sem == refusePostsTo ? -1 : real(sem);
}

extern "C" int SDL_SemWaitTimeout(SDL_sem* sem, Uint32 ms)
{
    static auto real = Real<int (*)(SDL_sem*, Uint32)>("SDL_SemWaitTimeout");
    if (sem != nullptr && sem == refuseWaitsOn)
        return -1;
    if (OnFakeClock()) {
        waitsAskedMs.push_back(ms);
        waitsAsked = waitsAskedMs.size();
        if (locksTaken < lockDelaysMs.size())
            return SDL_SemTryWait(sem) == 0 ? 0 : SDL_MUTEX_TIMEDOUT;
        return real(sem, 60 * 60 * 1000);  // until Stop
    }
    return real(sem, ms);
}

extern "C" Uint32 SDL_GetTicks(void)
{
    static auto real = Real<Uint32 (*)(void)>("SDL_GetTicks");
    return OnFakeClock() ? fakeNow.load() : real();
}

extern "C" int SDL_mutexP(SDL_mutex* mutex)
{
    static auto real = Real<int (*)(SDL_mutex*)>("SDL_mutexP");
    if (OnFakeClock() && locksTaken < lockDelaysMs.size())
        fakeNow += lockDelaysMs[locksTaken++];
    return real(mutex);
}

// A redraw pushed while SDL shuts down is counted and refused: once SDL's event queue is being
// torn down, the real push may block for ever.
extern "C" int SDL_PushEvent(SDL_Event* ev)
{
    static auto real = Real<int (*)(SDL_Event*)>("SDL_PushEvent");
    if (!IsRedraw(ev))
        return real(ev);
    if (quitting) {
        redrawsWhileQuitting++;
        return -1;
    }
    if (holdRedrawPushes) {
        redrawPushesHeld++;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (holdRedrawPushes && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int rc = real(ev);
    if (rc != 0)
        redrawPushesRefused++;
    return rc;
}

extern "C" void SDL_Quit(void)
{
    static auto real = Real<void (*)(void)>("SDL_Quit");
    quitting = true;
    if (quitDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(quitDelayMs.load()));
    real();
    quitting = false;
}

namespace {
using namespace std::chrono_literals;

const unsigned int W = 64;  // a small world, in cells
const unsigned int H = 36;

// A script starts once the loop has shown its first frame.
bool FirstFrameShown()
{
    return flips >= 1;
}

// The script of a run that is to fail before its first frame.
void Nothing() {}

// Every test starts with no faults armed and the counters at zero, so --gtest_repeat works.
class SdlFaults : public testing::Test {
protected:
    void SetUp() override
    {
        failNextArmings = 0;
        armings = 0;
        flips = 0;
        failNextThreads = 0;
        failNextSurfaceLocks = 0;
        refusePostsTo = nullptr;
        refuseWaitsOn = nullptr;
        quitDelayMs = 0;
        redrawsWhileQuitting = 0;
        holdRedrawPushes = false;
        redrawPushesHeld = 0;
        redrawPushesRefused = 0;
    }
    void TearDown() override { SetUp(); }

    Engine engine;
    Iface_SDLFlat iface;
};

TEST_F(SdlFaults, FirstTimerRefusedFailsStartUpWithMinusThree)
{
    Configure(engine, iface, W, H, 1);
    failNextArmings = 1;
    std::string out;
    const int rc = RunWithScript(iface, Nothing, FirstFrameShown, &out);
    EXPECT_EQ(rc, IFACE_NO_TIMER) << "Run with the first timer refused";
    EXPECT_EQ(out.rfind("SDL_AddTimer failed: ", 0), 0u) << "got output \"" << out << "\"";
    EXPECT_EQ(engine.thread, nullptr) << "the worker must not start when start-up fails";
    SDL_Quit();
}

TEST_F(SdlFaults, RefusedReArmingsDoNotStopTheRedraws)
{
    Configure(engine, iface, W, H, 1);
    std::atomic<bool> redrewAfterFaults{false};
    std::string out;
    const int rc = RunWithScript(
        iface,
        [&] {
            // Refuse the next five armings (the loop's own re-armings and its retries), then
            // require further frames before quitting.
            const int armedBefore = armings;
            failNextArmings = 5;
            const bool refused = WaitFor([&] { return failNextArmings == 0; }, 20s);
            const int shown = flips;
            redrewAfterFaults = refused && WaitFor([&] { return flips >= shown + 3; }, 20s);
            EXPECT_GE(armings - armedBefore, 6) << "every refusal must be followed by another try";
            Push({Key(SDLK_q)});
        },
        FirstFrameShown, &out);
    EXPECT_EQ(rc, IFACE_OK);
    EXPECT_EQ(engine.Stop(), 0);
    EXPECT_TRUE(redrewAfterFaults) << "got " << flips << " frames; the loop stopped redrawing "
                                   << "after SDL refused to arm its timer";
}

// The redraw timer fires into a full event queue: its push fails, and redraws must still go
// on once the queue has room. The timer's push is held back until the loop is busy with a
// click (waiting for the engine lock, which the test holds) and the queue has been filled.
TEST_F(SdlFaults, RedrawsGoOnAfterTheTimerFoundTheQueueFull)
{
    Configure(engine, iface, W, H, 1);
    std::string out;
    bool refused = false, redrew = false;
    const int rc = RunWithScript(
        iface,
        [&] {
            holdRedrawPushes = true;
            EXPECT_TRUE(WaitFor([] { return redrawPushesHeld >= 1; }, 20s)) << "no timer fired";
            WhileClickWaits(
                engine,
                [&] {
                    FillQueue();
                    holdRedrawPushes = false;
                    refused = WaitFor([] { return redrawPushesRefused >= 1; }, 20s);
                },
                20s);
            const int shown = flips;
            redrew = WaitFor([&] { return flips >= shown + 3; }, 20s);
            Push({Key(SDLK_q)});
        },
        FirstFrameShown, &out);
    EXPECT_EQ(rc, IFACE_OK);
    EXPECT_EQ(engine.Stop(), 0);
    EXPECT_TRUE(refused) << "the timer's push never met the full queue";
    EXPECT_TRUE(redrew) << "no redraws after the queue had been full";
}

// The loop always ends with a redraw timer armed. SDL_Quit takes 30 ms here before it does
// anything, so a timer still alive when it is called fires inside it.
TEST_F(SdlFaults, NoRedrawIsPushedWhileSdlShutsDown)
{
    const struct {
        SDL_Event event;
        const char* name;
    } endings[] = {
        {Key(SDLK_q), "q"}, {Key(SDLK_ESCAPE), "Escape"}, {OfType(SDL_QUIT), "closing the window"}};
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.name);
        SetUp();
        Engine engine;
        Iface_SDLFlat iface;
        ASSERT_NO_FATAL_FAILURE(Configure(engine, iface, W, H, 0));
        quitDelayMs = 30;
        const auto end = [&] { Push({ending.event}); };
        EXPECT_EQ(RunWithScript(iface, end, [] { return flips >= 2; }), IFACE_OK);
        EXPECT_EQ(redrawsWhileQuitting, 0) << "redraw events pushed after SDL_Quit began";
        engine.Stop();
    }
}

TEST_F(SdlFaults, AWorkerThatCannotStartEndsStartUpWithOneLine)
{
    Configure(engine, iface, W, H, 1);
    failNextThreads = 1;
    std::string out;
    EXPECT_EQ(RunWithScript(iface, Nothing, FirstFrameShown, &out), IFACE_ENGINE_NOT_STARTED);
    EXPECT_EQ(out, "Engine::Run failed: refused by the test\n");
    EXPECT_EQ(engine.thread, nullptr);
    EXPECT_EQ(engine.mutex, nullptr);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_EVERYTHING), 0u) << "SDL is left running";
}

TEST_F(SdlFaults, ARestartWhoseWorkerCannotStartEndsTheLoopWithOneLine)
{
    Configure(engine, iface, W, H, 1);
    std::string out;
    const int rc = RunWithScript(
        iface,
        [] {
            failNextThreads = 1;
            // Queued behind the failing restart in the same drain: the loop still ends.
            Push({Key(SDLK_SPACE), Click()});
        },
        FirstFrameShown, &out);
    EXPECT_EQ(rc, IFACE_ENGINE_NOT_STARTED);
    EXPECT_EQ(out, "Engine::Run failed: refused by the test\n");
    EXPECT_EQ(engine.thread, nullptr);
    EXPECT_NE(engine.world, nullptr) << "the new world is made before its worker";
}

TEST_F(SdlFaults, AFrameWhoseSurfaceCannotBeLockedIsSkippedWhole)
{
    ASSERT_EQ(SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO), 0) << SDL_GetError();
    Configure(engine, iface, W, H, 1);
    iface.screen = SDL_SetVideoMode(128, 72, 32, SDL_SWSURFACE);
    ASSERT_NE(iface.screen, nullptr) << SDL_GetError();
    const Uint32 sentinel = 0x123456;
    SDL_FillRect(iface.screen, nullptr, sentinel);
    SDL_WM_SetCaption("before", nullptr);
    SDL_WarpMouse(40, 30);
    auto pixel = [&] { return *static_cast<const Uint32*>(iface.screen->pixels); };
    auto caption = [] {
        char* title = nullptr;
        SDL_WM_GetCaption(&title, nullptr);
        return std::string(title ? title : "");
    };

    failNextSurfaceLocks = 1;
    iface.draw();
    EXPECT_EQ(pixel(), sentinel) << "pixels written without the surface lock";
    EXPECT_EQ(caption(), "before");
    EXPECT_EQ(flips, 0);
    EXPECT_EQ(iface.cursorX, 0u) << "the cursor moved without a frame previewing it there";

    iface.draw();  // the next frame is drawn as usual
    EXPECT_NE(pixel(), sentinel);
    EXPECT_EQ(caption().rfind("RUD EZARAR EROV IZAZODER! Build cost: ", 0), 0u) << caption();
    EXPECT_EQ(flips, 1);
    EXPECT_EQ(iface.cursorX, 40u);
    SDL_Quit();
}

// The worker's pace on a fake clock that starts just before the 32-bit tick counter wraps.
// Each step here waits for its lock as long as the script says: a wait for the lock counts as
// step time, a step that took less than the period is followed by a wait for the rest, one that
// took the period or longer by none, and the first generation comes without a wait.
TEST_F(SdlFaults, TheWorkerWaitsOutTheRestOfEachPeriodAcrossTheTickWrap)
{
    Engine engine;
    engine.preSetWorldSize(16, 16);
    ASSERT_EQ(engine.Init(), ENGINE_OK);
    testThread = std::this_thread::get_id();
    lockDelaysMs = {30, 150, 100, 101, 0, 99};
    locksTaken = 0;
    waitsAskedMs.clear();
    waitsAskedMs.reserve(64);
    waitsAsked = 0;
    fakeNow = 0xFFFFFFFFu - 40;
    fakeClock = true;
    ASSERT_EQ(engine.Run(), ENGINE_OK);
    const bool paced = WaitFor([] { return waitsAsked >= 7; }, 20s);
    EXPECT_EQ(engine.Stop(), 0);
    fakeClock = false;
    ASSERT_TRUE(paced) << "the worker asked for " << waitsAsked << " waits, expected 7";
    const std::vector<Uint32> expected = {0, 70, 0, 0, 0, 100, 1};
    EXPECT_EQ(std::vector<Uint32>(waitsAskedMs.begin(), waitsAskedMs.begin() + 7), expected)
        << "waits asked for after steps whose lock took 30, 150, 100, 101, 0 and 99 ms";
}

// Stop raises the stop signal and joins the worker. If SDL fails to raise it, or every wait on
// it fails, the worker must still end instead of keeping Stop (and the program) waiting for ever.
TEST_F(SdlFaults, TheWorkerStopsWhenItsStopSignalFails)
{
    for (bool failWaits : {false, true}) {
        SCOPED_TRACE(failWaits ? "every wait fails" : "raising the stop signal fails");
        Engine engine;
        engine.preSetWorldSize(16, 16);
        ASSERT_EQ(engine.Init(), ENGINE_OK);
        ASSERT_EQ(engine.Run(), ENGINE_OK);
        ASSERT_TRUE(WaitFor([&] { return engine.isUpdated(); }, 20s));
        (failWaits ? refuseWaitsOn : refusePostsTo) = engine.stopSem;
        if (failWaits) {
            // The worker goes on at its pace: failed waits are slept, not stepped through.
            ASSERT_TRUE(WaitFor([&] { return engine.isUpdated(); }, 20s));
        }
        std::atomic<bool> stopped{false};
        int rc = -99;
        std::thread stopper([&] {
            rc = engine.Stop();
            stopped = true;
        });
        if (!WaitFor([&] { return stopped.load(); }, 20s)) {
            fprintf(stderr, "Stop did not return within 20 s\n");
            _exit(1);  // the stopper cannot be joined; end here rather than hang the suite
        }
        stopper.join();
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(engine.thread, nullptr);
        refusePostsTo = nullptr;
        refuseWaitsOn = nullptr;
    }
}
}  // namespace
