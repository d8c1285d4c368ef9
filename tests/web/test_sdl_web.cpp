// Tests of the SDL calls the WebAssembly build supplies itself (src/platform/web/sdl_threads.cpp),
// under node: threads and their results, the recursive lock, the counting semaphores and their
// timed waits, and the clock and sleep that work on any thread.
#include <gtest/gtest.h>

#include <SDL.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "platform/web/canvas_order.h"
#include "wait.h"

namespace {

using Ms = std::chrono::milliseconds;

const int ADDS = 200000;

struct Shared {
    SDL_mutex* mutex;
    long counter;
    int parties;               // the threads that add at once
    std::atomic<int> arrived;  // how many of them are ready to start
};

// Once all parties have arrived, adds to the counter ADDS times, each under the lock, read and
// written apart so that an unlocked interleaving loses additions.
int AddUnderLock(void* data)
{
    Shared* s = static_cast<Shared*>(data);
    ++s->arrived;
    while (s->arrived < s->parties) {
    }
    for (int i = 0; i < ADDS; ++i) {
        SDL_mutexP(s->mutex);
        const long seen = s->counter;
        s->counter = seen + 1;
        SDL_mutexV(s->mutex);
    }
    return 7;
}

TEST(SdlWebThread, RunsTheFunctionWithItsDataAndHandsBackItsResult)
{
    Shared s = {SDL_CreateMutex(), 0, 1, {0}};
    ASSERT_NE(s.mutex, nullptr);
    SDL_Thread* t = SDL_CreateThread(AddUnderLock, &s);
    ASSERT_NE(t, nullptr);
    int status = 0;
    SDL_WaitThread(t, &status);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(s.counter, ADDS);
    SDL_WaitThread(nullptr, &status);  // no thread: nothing happens
    SDL_DestroyMutex(s.mutex);
}

TEST(SdlWebMutex, ExcludesOtherThreads)
{
    Shared s = {SDL_CreateMutex(), 0, 3, {0}};
    SDL_Thread* a = SDL_CreateThread(AddUnderLock, &s);
    SDL_Thread* b = SDL_CreateThread(AddUnderLock, &s);
    AddUnderLock(&s);
    SDL_WaitThread(a, nullptr);
    SDL_WaitThread(b, nullptr);
    EXPECT_EQ(s.counter, 3 * ADDS) << "additions were lost: the lock let two threads in at once";
    SDL_DestroyMutex(s.mutex);
}

int LockOnce(void* data)
{
    Shared* s = static_cast<Shared*>(data);
    SDL_mutexP(s->mutex);
    s->counter = 1;
    SDL_mutexV(s->mutex);
    return 0;
}

TEST(SdlWebMutex, IsRecursiveAndReleasedByTheLastUnlock)
{
    Shared s = {SDL_CreateMutex(), 0, 1, {0}};
    ASSERT_EQ(SDL_mutexP(s.mutex), 0);
    ASSERT_EQ(SDL_mutexP(s.mutex), 0) << "a second hold by the same thread";
    SDL_Thread* other = SDL_CreateThread(LockOnce, &s);
    ASSERT_EQ(SDL_mutexV(s.mutex), 0);
    // Still held once: the other thread cannot have run its critical section.
    SDL_mutexP(s.mutex);
    EXPECT_EQ(s.counter, 0);
    SDL_mutexV(s.mutex);
    ASSERT_EQ(SDL_mutexV(s.mutex), 0);
    SDL_WaitThread(other, nullptr);
    EXPECT_EQ(s.counter, 1);
    SDL_DestroyMutex(s.mutex);
}

TEST(SdlWebMutex, NullHandlesFail)
{
    EXPECT_EQ(SDL_mutexP(nullptr), -1);
    EXPECT_EQ(SDL_mutexV(nullptr), -1);
    SDL_DestroyMutex(nullptr);
}

TEST(SdlWebSemaphore, CountsUnitsAndTryWaitNeverBlocks)
{
    SDL_sem* sem = SDL_CreateSemaphore(2);
    ASSERT_NE(sem, nullptr);
    EXPECT_EQ(SDL_SemValue(sem), 2u);
    EXPECT_EQ(SDL_SemTryWait(sem), 0);
    EXPECT_EQ(SDL_SemTryWait(sem), 0);
    EXPECT_EQ(SDL_SemTryWait(sem), SDL_MUTEX_TIMEDOUT);
    EXPECT_EQ(SDL_SemWaitTimeout(sem, 0), SDL_MUTEX_TIMEDOUT);
    EXPECT_EQ(SDL_SemValue(sem), 0u);
    EXPECT_EQ(SDL_SemPost(sem), 0);
    EXPECT_EQ(SDL_SemPost(sem), 0);
    EXPECT_EQ(SDL_SemValue(sem), 2u);
    EXPECT_EQ(SDL_SemWait(sem), 0);
    EXPECT_EQ(SDL_SemWaitTimeout(sem, 0), 0);
    SDL_DestroySemaphore(sem);
}

TEST(SdlWebSemaphore, TimedWaitNeverEndsEarly)
{
    SDL_sem* sem = SDL_CreateSemaphore(0);
    for (Uint32 ms : {1u, 30u, 120u}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(SDL_SemWaitTimeout(sem, ms), SDL_MUTEX_TIMEDOUT);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, Ms(ms)) << "a wait of " << ms << " ms ended early";
    }
    SDL_DestroySemaphore(sem);
}

struct Waiter {
    SDL_sem* sem;
    std::atomic<bool> waiting;
};

int WaitAnHour(void* data)
{
    Waiter* w = static_cast<Waiter*>(data);
    w->waiting = true;
    return SDL_SemWaitTimeout(w->sem, 3600 * 1000);
}

TEST(SdlWebSemaphore, APostEndsAWaitAtOnce)
{
    Waiter w = {SDL_CreateSemaphore(0), {false}};
    const auto start = std::chrono::steady_clock::now();
    SDL_Thread* t = SDL_CreateThread(WaitAnHour, &w);
    ASSERT_TRUE(WaitFor([&] { return w.waiting.load(); }));
    EXPECT_EQ(SDL_SemPost(w.sem), 0);
    int status = -2;
    SDL_WaitThread(t, &status);
    EXPECT_EQ(status, 0) << "the waiter did not take the posted unit";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(SDL_SemValue(w.sem), 0u);
    SDL_DestroySemaphore(w.sem);
}

TEST(SdlWebSemaphore, NullHandlesFail)
{
    EXPECT_EQ(SDL_SemPost(nullptr), -1);
    EXPECT_EQ(SDL_SemTryWait(nullptr), -1);
    EXPECT_EQ(SDL_SemWaitTimeout(nullptr, 10), -1);
    EXPECT_EQ(SDL_SemValue(nullptr), 0u);
    SDL_DestroySemaphore(nullptr);
}

struct Clock {
    Uint32 ticks;
    Uint32 slept;
};

int ReadTicksAndSleep(void* data)
{
    Clock* c = static_cast<Clock*>(data);
    c->ticks = SDL_GetTicks();
    SDL_Delay(40);
    c->slept = SDL_GetTicks() - c->ticks;
    return 0;
}

// The worker paces itself with SDL_GetTicks and SDL_Delay on its own thread: both must work
// there, on the same clock as the main thread's.
TEST(SdlWebTime, TicksAndDelayWorkOnAnyThreadOnOneClock)
{
    Clock c = {0, 0};
    const Uint32 before = SDL_GetTicks();
    SDL_Thread* t = SDL_CreateThread(ReadTicksAndSleep, &c);
    SDL_WaitThread(t, nullptr);
    const Uint32 after = SDL_GetTicks();
    EXPECT_LE(before, c.ticks);
    EXPECT_LE(c.ticks, after);
    EXPECT_GE(c.slept, 40u) << "SDL_Delay(40) on a worker thread";
    EXPECT_GE(after - before, 40u);
}

// The surface the front end paints, turned on unlock: a frame that paints part of it (none of it,
// where there is no world) must leave the rest in the canvas's order, as the last frame left it.
TEST(SdlWebCanvasOrder, TurnsWhatWasPaintedOnceAndLeavesTheRestAsItWas)
{
    const int w = 7, h = 3, pitch = 8 * 4;  // rows longer than the surface is wide
    uint32_t pixels[3 * 8];
    for (int i = 0; i < 3 * 8; ++i)
        pixels[i] = 0x00C0A0B0u + (uint32_t)i;  // a frame that paints every pixel
    ToCanvasOrder(reinterpret_cast<uint8_t*>(pixels), w, h, pitch);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < 8; ++x) {
            const uint32_t painted = 0x00C0A0B0u + (uint32_t)(y * 8 + x);
            const uint32_t want = x < w ? 0xFF000000u | (painted & 0xFF) << 16 | 0xA000u | 0xC0u
                                        : painted;  // past the row's end: not the surface's
            EXPECT_EQ(pixels[y * 8 + x], want) << "pixel (" << x << ", " << y << ")";
        }
    }
    uint32_t shown[3 * 8];
    memcpy(shown, pixels, sizeof shown);
    ToCanvasOrder(reinterpret_cast<uint8_t*>(pixels), w, h, pitch);  // a frame without a world
    EXPECT_EQ(memcmp(shown, pixels, sizeof shown), 0) << "an unpainted frame turned the colours";
    pixels[8 + 2] = 0x00112233u;  // the preview alone, painted over the last frame
    ToCanvasOrder(reinterpret_cast<uint8_t*>(pixels), w, h, pitch);
    shown[8 + 2] = 0xFF332211u;
    EXPECT_EQ(memcmp(shown, pixels, sizeof shown), 0);
}

}  // namespace
