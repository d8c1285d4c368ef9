// The page thread's sleep until the next event or a time (page_sleep.h), and the clock, for both
// kinds of WebAssembly build.
#include <SDL.h>
#include <emscripten.h>

#include <cstdint>

#include "page_sleep.h"

// Every event reaches emscripten's SDL queue on the page's thread (the browser's input handlers,
// and the timers, whose callbacks push from there too), so the queue's push wakes the sleep: in
// a task of its own, after the pushing code has returned. A push while nothing sleeps costs one
// test. The body is JavaScript, laid out as such.
// clang-format off
EM_JS(void, quolvane_sleep_until_event, (double ms), {
    // A program that uses none of SDL's events (a test) has no SDL object: it sleeps for the
    // time alone, its timer kept as SDL's would be.
    if (typeof SDL !== "object" && !Module.quolvaneNoSdl)
        Module.quolvaneNoSdl = { events: [], quolvaneWatched: true };
    var sdl = typeof SDL === "object" ? SDL : Module.quolvaneNoSdl;
    if (!sdl.quolvaneWatched) {
        sdl.quolvaneWatched = true;
        sdl.quolvaneWake = null;
        var watch = function(queue) {
            queue.push = function() {
                var length = Array.prototype.push.apply(queue, arguments);
                var wake = sdl.quolvaneWake;
                if (wake) {
                    sdl.quolvaneWake = null;
                    queueMicrotask(wake);
                }
                return length;
            };
            return queue;
        };
        // SDL replaces its queue when it overflows: the new one is watched as well.
        var queue = watch(sdl.events);
        Object.defineProperty(sdl, "events", {
            configurable: true,
            get: function() { return queue; },
            set: function(replaced) { queue = watch(replaced); }
        });
    }
    // As emscripten_sleep does: the runtime is kept alive while the thread sleeps, and the wake
    // runs as a callback of the program's, so that the runtime exits (and the page learns the
    // exit status) once SDL_main has returned after it. Whichever of an event and a timer comes
    // first takes the wake. A timer stays armed when an event wakes the thread first: the next
    // sleep, which mostly waits for the same time (a task's deadline), reuses it rather than
    // arming another each time, and a timer that fires early only wakes the thread to sleep on.
    // (The caller sleeps again until its time has come: a wake never means the time is up.)
    Asyncify.handleSleep(function(wakeUp) {
        runtimeKeepalivePush();
        var wake = function() {
            runtimeKeepalivePop();
            callUserCallback(wakeUp);
        };
        if (sdl.events.length > 0) {
            setTimeout(wake, 0);
            return;
        }
        sdl.quolvaneWake = wake;
        // Browsers keep short timers to the millisecond but may fire a long one several
        // milliseconds late (Chromium: about 9 ms for a 100 ms timer), which would stretch every
        // period of a task that paces itself. So a long sleep's timer fires SHORT_MS early, and
        // the sleep that follows waits out the rest on a short one.
        var SHORT_MS = 12;
        var at = performance.now() + ms;
        var fireAt = ms > SHORT_MS ? at - SHORT_MS : at;
        if (ms !== Infinity && !(sdl.quolvaneTimerAt <= fireAt)) {
            sdl.quolvaneTimerAt = fireAt;
            setTimeout(function() {
                if (sdl.quolvaneTimerAt === fireAt)
                    sdl.quolvaneTimerAt = Infinity;
                var woken = sdl.quolvaneWake;
                if (woken) {
                    sdl.quolvaneWake = null;
                    woken();
                }
            }, Math.min(Math.max(0, Math.ceil(fireAt - (at - ms))), 0x7FFFFFFF));
        }
    });
});
// clang-format on

// Emscripten's SDL_GetTicks runs on the browser's main thread only: called from a worker thread,
// it would wait for the main thread to answer (which may itself be waiting to join the worker).
// This works on any thread: the clock is the page's monotonic one, which emscripten keeps in step
// across threads.
Uint32 SDL_GetTicks(void)
{
    return (Uint32)(uint64_t)emscripten_get_now();
}
