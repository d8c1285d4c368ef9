/* A probe preloaded into quolvane by bench/cpu.sh: counts the frames shown (calls of SDL_Flip),
 * times the library's share of each (CPU and wall time spent inside SDL_Flip), and at exit writes
 * those figures and every thread's CPU time to the file named by QUOLVANE_FRAME_PROBE. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef struct SDL_Surface SDL_Surface;
typedef int (*flip_fn)(SDL_Surface*);

static long long frames;
static double flip_cpu_s, flip_wall_s;

static double seconds(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int SDL_Flip(SDL_Surface* screen)
{
    static flip_fn real;
    if (real == NULL)
        real = (flip_fn)dlsym(RTLD_NEXT, "SDL_Flip");
    double c0 = seconds(CLOCK_THREAD_CPUTIME_ID), w0 = seconds(CLOCK_MONOTONIC);
    int r = real(screen);
    flip_cpu_s += seconds(CLOCK_THREAD_CPUTIME_ID) - c0;
    flip_wall_s += seconds(CLOCK_MONOTONIC) - w0;
    frames++;
    return r;
}

__attribute__((destructor)) static void report(void)
{
    const char* path = getenv("QUOLVANE_FRAME_PROBE");
    FILE* out = path ? fopen(path, "w") : NULL;
    if (out == NULL)
        return;
    fprintf(out, "frames %lld\nflip_cpu_s %.6f\nflip_wall_s %.6f\n", frames, flip_cpu_s,
            flip_wall_s);
    long tick = sysconf(_SC_CLK_TCK);
    DIR* d = opendir("/proc/self/task");
    struct dirent* e;
    while (d && (e = readdir(d)) != NULL) {
        if (e->d_name[0] == '.')
            continue;
        char p[320], buf[1024], name[64] = "?";
        snprintf(p, sizeof p, "/proc/self/task/%s/comm", e->d_name);
        FILE* f = fopen(p, "r");
        if (f) {
            if (fgets(name, sizeof name, f))
                name[strcspn(name, "\n")] = 0;
            fclose(f);
        }
        snprintf(p, sizeof p, "/proc/self/task/%s/stat", e->d_name);
        f = fopen(p, "r");
        if (f == NULL)
            continue;
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        buf[n] = 0;
        /* Fields after the parenthesised name: state is field 3, utime 14, stime 15. */
        char* q = strrchr(buf, ')');
        unsigned long ut = 0, st = 0;
        if (q &&
            sscanf(q + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) == 2)
            fprintf(out, "thread %s %s %.3f\n", e->d_name, name, (double)(ut + st) / tick);
    }
    if (d)
        closedir(d);
    fclose(out);
}
