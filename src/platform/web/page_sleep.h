// How the WebAssembly build's page thread waits: by handing the thread back to the browser until
// an event is queued or a time has passed. Shared by both kinds of browser build.
#ifndef QUOLVANE_PLATFORM_WEB_PAGE_SLEEP_H
#define QUOLVANE_PLATFORM_WEB_PAGE_SLEEP_H

// Sleeps the page's thread (under ASYNCIFY: its stack is unwound and later rewound) until SDL's
// event queue holds an event or `ms` milliseconds have passed, whichever comes first; returns
// at once, in a task of its own, when an event is queued already. An infinite `ms` waits for an
// event alone. Only the page's main thread may call it.
extern "C" void quolvane_sleep_until_event(double ms);

#endif
