// The SDL calls that emscripten's SDL 1.2 lacks, for the WebAssembly build without shared memory:
// every SDL thread runs as a task on the page's own thread (an emscripten fiber, switched by
// ASYNCIFY), and every blocking call hands the thread to another task until what it waits for is
// there or its time has come. When no task can go on, the page sleeps until the earliest time
// any of them waits for, or until an event is queued. A task is never interrupted between two
// calls, so the recursive mutex and the semaphores are plain counters. Built into the engine's
// library only for that build; sdl_threads.cpp supplies the same calls over real threads.
//
// Only the page's first task (the one that runs main) sleeps the page or starts other tasks: a
// task that must wait always hands the thread back to it, and it picks which task goes next.
#include <SDL.h>
#include <emscripten.h>
#include <emscripten/fiber.h>

#include <cmath>
#include <cstdlib>
#include <new>

#include "page_sleep.h"

namespace {

// A thread's own C stack: as much as the threaded build gives each of its threads.
const size_t TASK_STACK_BYTES = 2 * 1024 * 1024;
// Where ASYNCIFY keeps a suspended task's call chain (its frames' locals and the calls to resume
// through): a few frames deep in the program's worker, deeper under a test framework.
const size_t TASK_CALLS_BYTES = 64 * 1024;

// What a task waits for: `ready(arg)` to hold, or the page's clock to reach `deadlineMs`.
typedef bool (*Ready)(const void* arg);

}  // namespace

struct SDL_Thread {
    emscripten_fiber_t fiber;
    SDL_ThreadFunction fn;
    void* data;
    int status;     // the function's result, for SDL_WaitThread
    bool finished;  // the function has returned: the task never runs again
    bool waiting;   // suspended in a blocking call, until ready(arg) or the deadline
    Ready ready;
    const void* arg;
    double deadlineMs;
    SDL_Thread* next;  // the next task started and not yet waited for
    void* stack;
    alignas(16) unsigned char calls[TASK_CALLS_BYTES];
};

namespace {

SDL_Thread mainTask;              // the page's own task, which runs main
SDL_Thread* current = &mainTask;  // the task that runs now
SDL_Thread* others = nullptr;     // every other task not yet waited for
bool mainTaskMade = false;

// Hands the page's thread to `to`; returns when some task hands it back to the caller.
void SwitchTo(SDL_Thread* to)
{
    SDL_Thread* from = current;
    current = to;
    emscripten_fiber_swap(&from->fiber, &to->fiber);
}

bool CanGoOn(const SDL_Thread* t)
{
    return !t->finished && t->waiting &&
           (t->ready(t->arg) || emscripten_get_now() >= t->deadlineMs);
}

// The page's task lets every other task that can go on run until it waits again, and again,
// until none can: a task that frees another (a post, an unlock, its end) lets it go on first.
void RunOthers()
{
    bool ran = true;
    while (ran) {
        ran = false;
        for (SDL_Thread* t = others; t != nullptr; t = t->next) {
            if (CanGoOn(t)) {
                SwitchTo(t);
                ran = true;
            }
        }
    }
}

// The earliest time any other task waits for, or infinity.
double EarliestDeadline()
{
    double earliest = INFINITY;
    for (SDL_Thread* t = others; t != nullptr; t = t->next) {
        if (!t->finished && t->waiting && t->deadlineMs < earliest)
            earliest = t->deadlineMs;
    }
    return earliest;
}

// Blocks the running task until `ready(arg)` holds or the page's clock reaches `deadlineMs`;
// returns whether `ready` held. The page's task first lets the other tasks go on, then sleeps
// the page until the earliest deadline of all or an event; any other task hands the thread back
// to the page's task, which runs it again once it can go on.
bool WaitUntil(Ready ready, const void* arg, double deadlineMs)
{
    SDL_Thread* self = current;
    for (;;) {
        if (self == &mainTask)
            RunOthers();
        if (ready(arg))
            return true;
        const double now = emscripten_get_now();
        if (now >= deadlineMs)
            return false;
        if (self != &mainTask) {
            self->ready = ready;
            self->arg = arg;
            self->deadlineMs = deadlineMs;
            self->waiting = true;
            SwitchTo(&mainTask);
            self->waiting = false;
            continue;
        }
        const double earliest = EarliestDeadline();
        quolvane_sleep_until_event((earliest < deadlineMs ? earliest : deadlineMs) - now);
    }
}

bool Never(const void*)
{
    return false;
}

double DeadlineAfter(Uint32 ms)
{
    return ms == SDL_MUTEX_MAXWAIT ? INFINITY : emscripten_get_now() + ms;
}

}  // namespace

// --- Threads -----------------------------------------------------------------------------------

// Where each task starts: runs the thread's function, then hands the thread back for good (a
// fiber's entry must never return). Named and kept apart for ASYNCIFY, which must be able to
// suspend it through the indirect call to the function.
extern "C" void quolvane_task_entry(void* arg)
{
    // Emscripten counts every switch away from a task as a sleep that keeps the runtime alive
    // until that task is resumed; a task that starts afresh is entered, not resumed, so its start
    // is counted off here. Left standing, the count would keep the runtime from exiting after
    // main returns, and the page would never learn that the game has ended.
    EM_ASM({ runtimeKeepalivePop(); });
    SDL_Thread* t = static_cast<SDL_Thread*>(arg);
    t->status = t->fn(t->data);
    t->finished = true;
    for (;;)
        SwitchTo(&mainTask);
}

namespace {
bool AlwaysReady(const void*)
{
    return true;
}
}  // namespace

SDL_Thread* SDL_CreateThread(SDL_ThreadFunction fn, void* data)
{
    if (!mainTaskMade) {
        emscripten_fiber_init_from_current_context(&mainTask.fiber, mainTask.calls,
                                                   sizeof mainTask.calls);
        mainTaskMade = true;
    }
    SDL_Thread* t = new (std::nothrow) SDL_Thread();
    void* stack = t ? std::malloc(TASK_STACK_BYTES) : nullptr;
    if (stack == nullptr) {
        delete t;
        SDL_SetError("Out of memory for a thread");
        return nullptr;
    }
    t->fn = fn;
    t->data = data;
    t->stack = stack;
    emscripten_fiber_init(&t->fiber, quolvane_task_entry, t, stack, TASK_STACK_BYTES, t->calls,
                          sizeof t->calls);
    // Ready to start, at the page's task's next wait.
    t->waiting = true;
    t->ready = AlwaysReady;
    t->arg = nullptr;
    t->deadlineMs = INFINITY;
    t->next = others;
    others = t;
    return t;
}

namespace {
bool Finished(const void* arg)
{
    return static_cast<const SDL_Thread*>(arg)->finished;
}
}  // namespace

void SDL_WaitThread(SDL_Thread* thread, int* status)
{
    if (thread == nullptr || thread == current)
        return;
    WaitUntil(Finished, thread, INFINITY);
    if (status != nullptr)
        *status = thread->status;
    for (SDL_Thread** link = &others; *link != nullptr; link = &(*link)->next) {
        if (*link == thread) {
            *link = thread->next;
            break;
        }
    }
    std::free(thread->stack);
    delete thread;
}

// --- The mutex: recursive, as SDL's is ------------------------------------------------------

struct SDL_mutex {
    SDL_Thread* owner;  // null while free
    unsigned depth;     // how many times the owner holds it
};

namespace {
bool Free(const void* arg)
{
    return static_cast<const SDL_mutex*>(arg)->owner == nullptr;
}
}  // namespace

SDL_mutex* SDL_CreateMutex(void)
{
    SDL_mutex* mutex = new (std::nothrow) SDL_mutex{nullptr, 0};
    if (mutex == nullptr)
        SDL_SetError("Out of memory for a mutex");
    return mutex;
}

void SDL_DestroyMutex(SDL_mutex* mutex)
{
    delete mutex;
}

int SDL_mutexP(SDL_mutex* mutex)
{
    if (mutex == nullptr)
        return -1;
    if (mutex->owner != current)
        WaitUntil(Free, mutex, INFINITY);
    mutex->owner = current;
    ++mutex->depth;
    return 0;
}

// -1, as SDL's, when the running task does not hold the mutex.
int SDL_mutexV(SDL_mutex* mutex)
{
    if (mutex == nullptr || mutex->owner != current)
        return -1;
    if (--mutex->depth == 0)
        mutex->owner = nullptr;
    return 0;
}

// --- Counting semaphores -------------------------------------------------------------------

struct SDL_semaphore {
    Uint32 count;
};

namespace {
bool HasUnit(const void* arg)
{
    return static_cast<const SDL_sem*>(arg)->count > 0;
}
}  // namespace

SDL_sem* SDL_CreateSemaphore(Uint32 initial)
{
    SDL_sem* sem = new (std::nothrow) SDL_sem{initial};
    if (sem == nullptr)
        SDL_SetError("Out of memory for a semaphore");
    return sem;
}

void SDL_DestroySemaphore(SDL_sem* sem)
{
    delete sem;
}

int SDL_SemPost(SDL_sem* sem)
{
    if (sem == nullptr)
        return -1;
    ++sem->count;
    return 0;
}

int SDL_SemTryWait(SDL_sem* sem)
{
    return SDL_SemWaitTimeout(sem, 0);
}

int SDL_SemWait(SDL_sem* sem)
{
    return SDL_SemWaitTimeout(sem, SDL_MUTEX_MAXWAIT);
}

// 0 when a unit was taken within `ms`, SDL_MUTEX_TIMEDOUT when none came in time, -1 on error.
// A wait of 0 never hands the thread on.
int SDL_SemWaitTimeout(SDL_sem* sem, Uint32 ms)
{
    if (sem == nullptr)
        return -1;
    if (sem->count == 0 && (ms == 0 || !WaitUntil(HasUnit, sem, DeadlineAfter(ms))))
        return SDL_MUTEX_TIMEDOUT;
    --sem->count;
    return 0;
}

Uint32 SDL_SemValue(SDL_sem* sem)
{
    return sem == nullptr ? 0 : sem->count;
}

// --- Time and events ------------------------------------------------------------------------

// Hands the thread on for `ms` milliseconds at least.
void SDL_Delay(Uint32 ms)
{
    WaitUntil(Never, nullptr, DeadlineAfter(ms));
}

namespace {
bool EventQueued(const void*)
{
    return SDL_PollEvent(nullptr) != 0;
}
}  // namespace

// Blocks until an event is queued, the other tasks going on meanwhile: those that can go on do
// so first even when an event is queued already, so a busy window never holds the worker up.
// With a null event it leaves the event queued, as SDL's own does; otherwise it takes it.
int SDL_WaitEvent(SDL_Event* event)
{
    do
        WaitUntil(EventQueued, nullptr, INFINITY);
    while (!SDL_PollEvent(event));
    return 1;
}
