// Tests of the SDL calls the cooperative WebAssembly build supplies (src/platform/web/
// sdl_tasks.cpp), under node: threads as tasks on one thread that hand it on only where they
// wait, in the order their waits allow; the recursive lock and the semaphores between tasks;
// timed waits that never end early; events that wake the page's task while a task paces itself;
// and the engine's worker stopped in the middle of a long wait.
#include <gtest/gtest.h>

#include <SDL.h>
#include <emscripten.h>

#include <string>

#include "engine.h"
#include "wait.h"

namespace {

// What a task does: records its steps in `trace`, and passes a unit back and forth with the
// page's task on the two semaphores.
struct PingPong {
    SDL_sem* ping;
    SDL_sem* pong;
    std::string trace;
};

int Pong(void* data)
{
    PingPong* p = static_cast<PingPong*>(data);
    for (int i = 0; i < 3; ++i) {
        SDL_SemWait(p->ping);
        p->trace += 'b';
        SDL_SemPost(p->pong);
    }
    return 42;
}

// What keeps emscripten's runtime from exiting once main returns.
int RuntimeKeepalives()
{
    return EM_ASM_INT({ return runtimeKeepaliveCounter; });
}

TEST(SdlTasks, ATaskRunsOnlyWhereTheOtherWaitsAndHandsBackItsResult)
{
    const int keepalives = RuntimeKeepalives();
    PingPong p = {SDL_CreateSemaphore(0), SDL_CreateSemaphore(0), ""};
    SDL_Thread* t = SDL_CreateThread(Pong, &p);
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < 3; ++i) {
        p.trace += 'a';  // the task cannot run between these two lines: nothing waits here
        p.trace += 'a';
        SDL_SemPost(p.ping);
        EXPECT_EQ(SDL_SemTryWait(p.pong), SDL_MUTEX_TIMEDOUT) << "a try-wait handed the thread on";
        ASSERT_EQ(SDL_SemWait(p.pong), 0);
    }
    int status = 0;
    SDL_WaitThread(t, &status);
    EXPECT_EQ(p.trace, "aabaabaab") << "got the order " << p.trace;
    EXPECT_EQ(status, 42);
    EXPECT_EQ(RuntimeKeepalives(), keepalives)
        << "a task that has ended still keeps the runtime from exiting after main";
    SDL_WaitThread(nullptr, &status);  // no thread: nothing happens
    SDL_DestroySemaphore(p.ping);
    SDL_DestroySemaphore(p.pong);
}

struct Locked {
    SDL_mutex* mutex;
    int entered;
};

int LockOnce(void* data)
{
    Locked* l = static_cast<Locked*>(data);
    EXPECT_EQ(SDL_mutexV(l->mutex), -1) << "a task released a lock it does not hold";
    SDL_mutexP(l->mutex);
    l->entered += 1;
    SDL_mutexV(l->mutex);
    return 0;
}

TEST(SdlTasks, TheLockIsRecursiveAndKeepsOtherTasksOutWhileItsHolderWaits)
{
    Locked l = {SDL_CreateMutex(), 0};
    ASSERT_EQ(SDL_mutexP(l.mutex), 0);
    ASSERT_EQ(SDL_mutexP(l.mutex), 0) << "a second hold by the same task";
    SDL_Thread* t = SDL_CreateThread(LockOnce, &l);
    SDL_Delay(30);  // the task runs meanwhile, and must stop at the lock
    ASSERT_EQ(SDL_mutexV(l.mutex), 0);
    SDL_Delay(30);
    EXPECT_EQ(l.entered, 0) << "the task got in while the lock was still held once";
    ASSERT_EQ(SDL_mutexV(l.mutex), 0);
    SDL_WaitThread(t, nullptr);
    EXPECT_EQ(l.entered, 1);
    EXPECT_EQ(SDL_mutexV(l.mutex), -1) << "released more often than held";
    EXPECT_EQ(SDL_mutexP(nullptr), -1);
    EXPECT_EQ(SDL_mutexV(nullptr), -1);
    SDL_DestroyMutex(l.mutex);
}

TEST(SdlTasks, SemaphoresCountAndTimedWaitsNeverEndEarly)
{
    SDL_sem* sem = SDL_CreateSemaphore(2);
    ASSERT_NE(sem, nullptr);
    EXPECT_EQ(SDL_SemValue(sem), 2u);
    EXPECT_EQ(SDL_SemTryWait(sem), 0);
    EXPECT_EQ(SDL_SemWaitTimeout(sem, 1000), 0);
    EXPECT_EQ(SDL_SemWaitTimeout(sem, 0), SDL_MUTEX_TIMEDOUT);
    for (Uint32 ms : {1u, 30u, 120u}) {
        const Uint32 start = SDL_GetTicks();
        EXPECT_EQ(SDL_SemWaitTimeout(sem, ms), SDL_MUTEX_TIMEDOUT);
        EXPECT_GE(SDL_GetTicks() - start, ms) << "a wait of " << ms << " ms ended early";
    }
    EXPECT_EQ(SDL_SemPost(sem), 0);
    EXPECT_EQ(SDL_SemValue(sem), 1u);
    EXPECT_EQ(SDL_SemPost(nullptr), -1);
    EXPECT_EQ(SDL_SemWaitTimeout(nullptr, 10), -1);
    EXPECT_EQ(SDL_SemValue(nullptr), 0u);
    SDL_DestroySemaphore(sem);
}

struct Sleeper {
    SDL_sem* sem;
    int result;
    Uint32 woke;  // when the hour-long wait ended
};

int WaitAnHour(void* data)
{
    Sleeper* s = static_cast<Sleeper*>(data);
    s->result = SDL_SemWaitTimeout(s->sem, 3600 * 1000);
    s->woke = SDL_GetTicks();
    return 0;
}

TEST(SdlTasks, APostEndsAnotherTasksWaitAtOnce)
{
    Sleeper s = {SDL_CreateSemaphore(0), -2, 0};
    SDL_Thread* t = SDL_CreateThread(WaitAnHour, &s);
    SDL_Delay(20);  // the task starts, and waits
    const Uint32 posted = SDL_GetTicks();
    EXPECT_EQ(SDL_SemPost(s.sem), 0);
    SDL_WaitThread(t, nullptr);
    EXPECT_EQ(s.result, 0) << "the waiting task did not take the posted unit";
    EXPECT_LT(s.woke - posted, 60000u) << "the post did not end the wait";
    EXPECT_EQ(SDL_SemValue(s.sem), 0u);
    SDL_DestroySemaphore(s.sem);
}

struct Pacer {
    int wakes;
    Uint32 early;  // the most any wake came before its time, in ms
    bool stop;
};

int Pace(void* data)
{
    Pacer* p = static_cast<Pacer*>(data);
    while (!p->stop) {
        const Uint32 due = SDL_GetTicks() + 25;
        SDL_Delay(25);
        const Uint32 now = SDL_GetTicks();
        if (now < due && due - now > p->early)
            p->early = due - now;
        p->wakes += 1;
    }
    return 0;
}

// SDL_PushEvent from a task, as a timer's callback pushes on the page.
int PushAfterDelay(void*)
{
    SDL_Delay(60);
    SDL_Event ev = {};
    ev.type = SDL_USEREVENT;
    ev.user.code = 7;
    return SDL_PushEvent(&ev);
}

TEST(SdlTasks, WhileThePageWaitsForAnEventOtherTasksKeepTheirPace)
{
    Pacer pacer = {0, 0, false};
    SDL_Thread* pace = SDL_CreateThread(Pace, &pacer);
    SDL_Thread* push = SDL_CreateThread(PushAfterDelay, nullptr);
    const Uint32 start = SDL_GetTicks();
    SDL_Event ev = {};
    ASSERT_EQ(SDL_WaitEvent(&ev), 1);
    EXPECT_EQ(ev.type, SDL_USEREVENT);
    EXPECT_EQ(ev.user.code, 7);
    EXPECT_GE(SDL_GetTicks() - start, 60u) << "the event came before it was pushed";
    EXPECT_GE(pacer.wakes, 1) << "the pacing task never ran while the page waited";
    EXPECT_EQ(pacer.early, 0u) << "a delay ended early";
    int status = -1;
    SDL_WaitThread(push, &status);
    EXPECT_EQ(status, 0);
    pacer.stop = true;
    SDL_WaitThread(pace, nullptr);
}

TEST(SdlTasks, StopEndsTheEnginesWorkerInTheMiddleOfAnHourLongWait)
{
    Engine e;
    e.preSetWorldSize(16, 16);
    e.preSetFillMode(0);
    ASSERT_EQ(e.Init(), ENGINE_OK);
    e.stepPeriod = 3600 * 1000;
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_EQ(e.Run(), ENGINE_OK);
        ASSERT_TRUE(WaitFor([&] { return e.isUpdated(); }, std::chrono::milliseconds(5000)))
            << "no generation within 5 s of Run";
        EXPECT_FALSE(e.isUpdated()) << "a second signal for one generation";
        const Uint32 before = SDL_GetTicks();
        EXPECT_EQ(e.Stop(), ENGINE_OK);
        EXPECT_LT(SDL_GetTicks() - before, 60000u) << "Stop sat out the worker's wait";
    }
    e.Close();
}

}  // namespace
