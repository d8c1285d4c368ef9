/* Fault injection for the real program: preloaded (LD_PRELOAD), it makes one SDL function fail
 * on its Nth call, once or from then on, as QUOLVANE_FAULT=NAME:N:once|always says. Only calls
 * made by the program itself count: the caller's address must lie in the main executable, so
 * the SDL library's own calls of the same names (it pushes key events through SDL_PushEvent,
 * for one) pass untouched and uncounted. A failing call sets SDL's error, returns what SDL
 * returns on that failure, and the first one says so on standard error. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <SDL.h>
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char target[64]; /* the function to fail, empty for none */
static long failAt;     /* its call that fails first, counting from 1 */
static int always;      /* whether every later call fails too */
static long calls;      /* the program's calls of the target so far */
static long injected;   /* failures injected so far */

/* The main executable's loaded segments. */
#define MAX_SEGMENTS 16
static struct {
    uintptr_t lo, hi;
} segments[MAX_SEGMENTS];
static int segmentCount;

static int FindMainSegments(struct dl_phdr_info* info, size_t size, void* data)
{
    (void)size;
    (void)data;
    for (int i = 0; i < info->dlpi_phnum && segmentCount < MAX_SEGMENTS; ++i) {
        const ElfW(Phdr)* ph = &info->dlpi_phdr[i];
        if (ph->p_type != PT_LOAD)
            continue;
        segments[segmentCount].lo = info->dlpi_addr + ph->p_vaddr;
        segments[segmentCount].hi = info->dlpi_addr + ph->p_vaddr + ph->p_memsz;
        ++segmentCount;
    }
    return 1; /* the first object listed is the main program: stop there */
}

__attribute__((constructor)) static void ReadFaultRequest(void)
{
    const char* fault = getenv("QUOLVANE_FAULT");
    char mode[16] = "";
    dl_iterate_phdr(FindMainSegments, NULL);
    if (fault == NULL || fault[0] == '\0')
        return;
    if (sscanf(fault, "%63[^:]:%ld:%15s", target, &failAt, mode) != 3 || failAt < 1 ||
        (strcmp(mode, "once") != 0 && strcmp(mode, "always") != 0)) {
        fprintf(stderr, "sdl_fault_shim: QUOLVANE_FAULT=\"%s\" is not NAME:N:once|always\n", fault);
        exit(97);
    }
    always = strcmp(mode, "always") == 0;
}

__attribute__((destructor)) static void ReportFaults(void)
{
    if (target[0] != '\0')
        fprintf(stderr, "sdl_fault_shim: %s: %ld calls by the program, %ld failed\n", target, calls,
                injected);
}

static int FromProgram(const void* caller)
{
    for (int i = 0; i < segmentCount; ++i)
        if ((uintptr_t)caller >= segments[i].lo && (uintptr_t)caller < segments[i].hi)
            return 1;
    return 0;
}

/* Whether this call of `name`, made from `caller`, is to fail. Calls may come from several
 * threads (the timer's and the worker's), hence the atomic count. */
static int ShouldFail(const char* name, const void* caller)
{
    if (strcmp(name, target) != 0 || !FromProgram(caller))
        return 0;
    const long n = __atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST);
    if (n != failAt && !(always && n > failAt))
        return 0;
    if (__atomic_add_fetch(&injected, 1, __ATOMIC_SEQ_CST) == 1)
        fprintf(stderr, "sdl_fault_shim: failing %s call %ld%s\n", name, n,
                always ? " and every later one" : "");
    SDL_SetError("injected failure of %s", name);
    return 1;
}

/* Defines NAME with the given signature: it fails with FAILED when ShouldFail says so, and
 * otherwise calls the library's NAME. __builtin_return_address must be taken here, in the
 * interposed function itself. */
#define INTERPOSE(ret, name, params, args, failed)                                                 \
    ret name params                                                                                \
    {                                                                                              \
        static ret(*real) params;                                                                  \
        if (ShouldFail(#name, __builtin_return_address(0)))                                        \
            return failed;                                                                         \
        if (real == NULL)                                                                          \
            *(void**)&real = dlsym(RTLD_NEXT, #name);                                              \
        return real args;                                                                          \
    }

INTERPOSE(int, SDL_Init, (Uint32 flags), (flags), -1)
INTERPOSE(SDL_Surface*, SDL_SetVideoMode, (int w, int h, int bpp, Uint32 flags), (w, h, bpp, flags),
          NULL)
INTERPOSE(SDL_TimerID, SDL_AddTimer, (Uint32 ms, SDL_NewTimerCallback cb, void* param),
          (ms, cb, param), NULL)
INTERPOSE(SDL_Thread*, SDL_CreateThread, (int (*fn)(void*), void* data), (fn, data), NULL)
INTERPOSE(SDL_mutex*, SDL_CreateMutex, (void), (), NULL)
INTERPOSE(SDL_sem*, SDL_CreateSemaphore, (Uint32 value), (value), NULL)
INTERPOSE(int, SDL_PushEvent, (SDL_Event * ev), (ev), -1)
INTERPOSE(int, SDL_LockSurface, (SDL_Surface * s), (s), -1)
INTERPOSE(int, SDL_Flip, (SDL_Surface * s), (s), -1)
INTERPOSE(int, SDL_WaitEvent, (SDL_Event * ev), (ev), 0)
INTERPOSE(int, SDL_SemTryWait, (SDL_sem * sem), (sem), -1)
INTERPOSE(int, SDL_SemWaitTimeout, (SDL_sem * sem, Uint32 ms), (sem, ms), -1)
INTERPOSE(int, SDL_SemPost, (SDL_sem * sem), (sem), -1)
