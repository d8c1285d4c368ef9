// The SDL calls that emscripten's SDL 1.2 lacks, for the threaded WebAssembly build: threads, a
// recursive mutex, counting semaphores and a blocking SDL_WaitEvent, over pthreads (which the
// browser runs as Web Workers, sharing the program's memory) and ASYNCIFY. Everything else of SDL
// (the canvas, input, timers) is emscripten's own. Built into the engine's library only for that
// build; sdl_tasks.cpp supplies the same calls where the page has no shared memory.
//
// Emscripten's SDL 1.2 defines CreateThread to throw and the mutex calls as stubs that return 0;
// functions defined here take precedence over those JavaScript ones at link time.
#include <SDL.h>
#include <emscripten.h>
#include <emscripten/threading.h>
#include <pthread.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <new>
#include <unistd.h>

#include "page_sleep.h"

// --- Threads -----------------------------------------------------------------------------------

struct SDL_Thread {
    pthread_t id;
    SDL_ThreadFunction fn;
    void* data;
    int status;  // the function's result, for SDL_WaitThread
};

namespace {
void* RunThread(void* arg)
{
    SDL_Thread* t = static_cast<SDL_Thread*>(arg);
    t->status = t->fn(t->data);
    return nullptr;
}
}  // namespace

SDL_Thread* SDL_CreateThread(SDL_ThreadFunction fn, void* data)
{
    SDL_Thread* t = new (std::nothrow) SDL_Thread{pthread_t(), fn, data, 0};
    if (t == nullptr)
        return nullptr;
    if (pthread_create(&t->id, nullptr, RunThread, t) != 0) {
        SDL_SetError("pthread_create failed");
        delete t;
        return nullptr;
    }
    return t;
}

void SDL_WaitThread(SDL_Thread* thread, int* status)
{
    if (thread == nullptr)
        return;
    pthread_join(thread->id, nullptr);
    if (status != nullptr)
        *status = thread->status;
    delete thread;
}

// --- The mutex: recursive, as SDL's is ------------------------------------------------------

struct SDL_mutex {
    pthread_mutex_t m;
};

SDL_mutex* SDL_CreateMutex(void)
{
    SDL_mutex* mutex = new (std::nothrow) SDL_mutex;
    if (mutex == nullptr)
        return nullptr;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    const int made = pthread_mutex_init(&mutex->m, &attr);
    pthread_mutexattr_destroy(&attr);
    if (made != 0) {
        SDL_SetError("pthread_mutex_init failed");
        delete mutex;
        return nullptr;
    }
    return mutex;
}

void SDL_DestroyMutex(SDL_mutex* mutex)
{
    if (mutex == nullptr)
        return;
    pthread_mutex_destroy(&mutex->m);
    delete mutex;
}

int SDL_mutexP(SDL_mutex* mutex)
{
    if (mutex == nullptr || pthread_mutex_lock(&mutex->m) != 0)
        return -1;
    return 0;
}

int SDL_mutexV(SDL_mutex* mutex)
{
    if (mutex == nullptr || pthread_mutex_unlock(&mutex->m) != 0)
        return -1;
    return 0;
}

// --- Counting semaphores -------------------------------------------------------------------

struct SDL_semaphore {
    pthread_mutex_t m;
    pthread_cond_t raised;
    Uint32 count;
};

SDL_sem* SDL_CreateSemaphore(Uint32 initial)
{
    SDL_sem* sem = new (std::nothrow) SDL_sem;
    if (sem == nullptr)
        return nullptr;
    sem->count = initial;
    if (pthread_mutex_init(&sem->m, nullptr) != 0) {
        delete sem;
        SDL_SetError("pthread_mutex_init failed");
        return nullptr;
    }
    // Timed waits measure against the monotonic clock, so a change of the wall clock can neither
    // cut a wait short nor stretch it.
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    const int made = pthread_cond_init(&sem->raised, &attr);
    pthread_condattr_destroy(&attr);
    if (made != 0) {
        pthread_mutex_destroy(&sem->m);
        delete sem;
        SDL_SetError("pthread_cond_init failed");
        return nullptr;
    }
    return sem;
}

void SDL_DestroySemaphore(SDL_sem* sem)
{
    if (sem == nullptr)
        return;
    pthread_cond_destroy(&sem->raised);
    pthread_mutex_destroy(&sem->m);
    delete sem;
}

int SDL_SemPost(SDL_sem* sem)
{
    if (sem == nullptr)
        return -1;
    pthread_mutex_lock(&sem->m);
    ++sem->count;
    pthread_cond_signal(&sem->raised);
    pthread_mutex_unlock(&sem->m);
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
int SDL_SemWaitTimeout(SDL_sem* sem, Uint32 ms)
{
    if (sem == nullptr)
        return -1;
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (long)(ms % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    int result = 0;
    pthread_mutex_lock(&sem->m);
    while (sem->count == 0) {
        if (ms == 0) {
            result = SDL_MUTEX_TIMEDOUT;
            break;
        }
        const int waited = ms == SDL_MUTEX_MAXWAIT
                               ? pthread_cond_wait(&sem->raised, &sem->m)
                               : pthread_cond_timedwait(&sem->raised, &sem->m, &deadline);
        if (waited == ETIMEDOUT) {
            result = sem->count > 0 ? 0 : SDL_MUTEX_TIMEDOUT;
            break;
        }
        if (waited != 0) {
            result = -1;
            break;
        }
    }
    if (result == 0)
        --sem->count;
    pthread_mutex_unlock(&sem->m);
    return result;
}

Uint32 SDL_SemValue(SDL_sem* sem)
{
    if (sem == nullptr)
        return 0;
    pthread_mutex_lock(&sem->m);
    const Uint32 count = sem->count;
    pthread_mutex_unlock(&sem->m);
    return count;
}

// --- Time -----------------------------------------------------------------------------------

// Emscripten's SDL_Delay runs on the browser's main thread only: called from the worker, it would
// suspend the worker's stack as if it were the main thread's. This one works on any thread.
void SDL_Delay(Uint32 ms)
{
    if (emscripten_is_main_browser_thread())
        emscripten_sleep(ms);  // hands the thread back to the browser meanwhile
    else
        usleep((useconds_t)ms * 1000);
}

// --- Waiting for events ---------------------------------------------------------------------

// Blocks until an event is queued, the main thread sleeping meanwhile (page_sleep.h). With a null
// event it leaves the event queued, as SDL's own does; otherwise it takes it.
int SDL_WaitEvent(SDL_Event* event)
{
    while (!SDL_PollEvent(event))
        quolvane_sleep_until_event(INFINITY);
    return 1;
}
