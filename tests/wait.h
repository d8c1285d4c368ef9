// Waiting for a condition, never for a fixed time: the in-process tests poll what they expect
// and give up only after a limit far beyond what a busy machine needs.
#ifndef QUOLVANE_TESTS_WAIT_H
#define QUOLVANE_TESTS_WAIT_H

#include <chrono>
#include <thread>

#ifdef QUOLVANE_WEB_TASKS
#include <SDL.h>
#endif

// Polls `cond` every millisecond until it holds or `limit` has passed; returns whether it held.
// Where SDL's threads are tasks on one thread, the pause is SDL_Delay's, so that they run.
template <class F> bool WaitFor(F cond, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
#ifdef QUOLVANE_WEB_TASKS
        SDL_Delay(1);
#else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
#endif
    }
    return true;
}

#endif
