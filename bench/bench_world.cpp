// Benchmarks of the world and the frame: the step on settled worlds (fast and through the tests'
// slow model, for the ratio), the frame's world pass, a whole frame, and pricing and placing the
// glider. Run with `make bench`, which reports medians over repetitions.
#include <benchmark/benchmark.h>

#include <SDL.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine.h"
#include "if_sdlflat.h"
#include "model.h"
#include "plain_life.h"
#include "snapshot.h"

namespace {

const int SETTLE_GENERATIONS = 200;

// A world as the game has it after a while: the random fill of six players, then 200
// generations, by when about 5 to 8 % of the cells live and over 80 % are owned.
Engine* SettledEngine(unsigned int w, unsigned int h)
{
    Engine* e = new Engine();
    e->preSetWorldSize(w, h);
    e->preSetPlayerCount(6);
    e->preSetFillMode(1);
    srand(1);
    e->Init();
    for (int i = 0; i < SETTLE_GENERATIONS; ++i)
        e->Step();
    return e;
}

// Left to itself a world's economy runs down: after some 3,000 generations of this one most
// balances sit at or near 0. The step is timed on the settled world as it is after 200
// generations, six players with healthy balances, put back every STEPS_PER_RESTORE steps
// (untimed); BM_StepRunDown times the world after RUN_DOWN_GENERATIONS, balances near 0.
const int STEPS_PER_RESTORE = 50;
const int RUN_DOWN_GENERATIONS = 5000;

void TimeSteps(benchmark::State& state, Engine* e)
{
    const Snapshot start(*e->world);
    int sinceRestore = 0;
    for (auto _ : state) {
        if (++sinceRestore == STEPS_PER_RESTORE) {
            state.PauseTiming();
            start.RestoreInto(*e->world);
            sinceRestore = 0;
            state.ResumeTiming();
        }
        e->world->Step();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)e->world->cellCount);
    state.SetLabel(StepIsaName());  // QUOLVANE_STEP_ISA picks a narrower or the portable build
}

void BM_Step(benchmark::State& state)
{
    Engine* e = SettledEngine((unsigned)state.range(0), (unsigned)state.range(1));
    TimeSteps(state, e);
    delete e;
}
BENCHMARK(BM_Step)->Args({640, 360})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Step)->Args({4096, 4096})->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_StepRunDown(benchmark::State& state)
{
    Engine* e = SettledEngine((unsigned)state.range(0), (unsigned)state.range(1));
    for (int i = SETTLE_GENERATIONS; i < RUN_DOWN_GENERATIONS; ++i)
        e->Step();
    TimeSteps(state, e);
    delete e;
}
BENCHMARK(BM_StepRunDown)->Args({640, 360})->Unit(benchmark::kMicrosecond);

// The yardstick: the plain alive-only Life compiled with the flags of the step build this process
// runs (QUOLVANE_STEP_ISA picks it, as for BM_Step), on the live cells of the same settled world.
// The step does far more per cell (owners, the newborn's owner, decay, credits), but this is what
// the same instructions do on the Life rule alone.
void BM_PlainLife(benchmark::State& state)
{
    struct Build {
        const char* name;
        void (*life)(const uint8_t*, uint8_t*, unsigned int, unsigned int);
    };
    const Build builds[] = {
#define QUOLVANE_STEP_BUILD(name, runsHere) {#name, PlainLife_##name},
#include "step_builds.inc"
#undef QUOLVANE_STEP_BUILD
    };
    void (*life)(const uint8_t*, uint8_t*, unsigned int, unsigned int) = nullptr;
    for (const Build& b : builds)
        if (strcmp(b.name, StepIsaName()) == 0)
            life = b.life;
    const unsigned int W = (unsigned)state.range(0), H = (unsigned)state.range(1);
    Engine* e = SettledEngine(W, H);
    std::vector<uint8_t> a(e->world->cellCount), b(e->world->cellCount);
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = e->world->currentMap[i].alive;
    delete e;
    for (auto _ : state) {
        life(a.data(), b.data(), W, H);
        a.swap(b);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)a.size());
    state.SetLabel(StepIsaName());
}
BENCHMARK(BM_PlainLife)->Args({640, 360})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainLife)->Args({4096, 4096})->Unit(benchmark::kMillisecond)->Iterations(20);

// The same workload through the plain model the tests trust.
void BM_ModelStep(benchmark::State& state)
{
    Engine* e = SettledEngine((unsigned)state.range(0), (unsigned)state.range(1));
    model::World m;
    model::CopyFrom(m, *e->world);
    for (auto _ : state) {
        m.Step();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)e->world->cellCount);
    delete e;
}
BENCHMARK(BM_ModelStep)->Args({640, 360})->Unit(benchmark::kMicrosecond);

// A settled 640 x 360 world and a 1280 x 720 32-bit surface from SDL's dummy video driver, as
// the window would have. `surface` is null (and the benchmark skipped) if SDL cannot make one.
struct FrameScene {
    Engine* engine = SettledEngine(640, 360);
    SDL_Surface* surface = nullptr;

    explicit FrameScene(benchmark::State& state)
    {
        setenv("SDL_VIDEODRIVER", "dummy", 0);
        if (SDL_WasInit(SDL_INIT_VIDEO) != 0 || SDL_Init(SDL_INIT_VIDEO) == 0)
            surface = SDL_SetVideoMode(1280, 720, 32, SDL_SWSURFACE);
        if (surface == nullptr)
            state.SkipWithError("no dummy video surface");
    }
    ~FrameScene() { delete engine; }
};

void BM_WorldPass(benchmark::State& state)
{
    FrameScene scene(state);
    SDL_Surface* s = scene.surface;
    for (auto _ : state) {
        SDL_LockSurface(s);
        PaintCells(scene.engine->GetCurrentCells(), 640, 360, (Uint8*)s->pixels, s->pitch);
        SDL_UnlockSurface(s);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_WorldPass)->Unit(benchmark::kMicrosecond);

// The world pass written the plain way, four 32-bit stores per cell, for comparison.
void BM_WorldPassFourStores(benchmark::State& state)
{
    FrameScene scene(state);
    SDL_Surface* s = scene.surface;
    for (auto _ : state) {
        SDL_LockSurface(s);
        const Cell* map = scene.engine->GetCurrentCells();
        for (unsigned int y = 0; y < 360; ++y)
            for (unsigned int x = 0; x < 640; ++x) {
                const Cell& c = map[y * 640 + x];
                const Uint32 col = playercolors[c.owner * 2 + c.alive];
                Uint32* p = (Uint32*)((Uint8*)s->pixels + 2 * y * s->pitch) + 2 * x;
                Uint32* q = (Uint32*)((Uint8*)p + s->pitch);
                p[0] = col;
                p[1] = col;
                q[0] = col;
                q[1] = col;
            }
        SDL_UnlockSurface(s);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_WorldPassFourStores)->Unit(benchmark::kMicrosecond);

// A whole frame as the front end draws it (world pass, preview, price, balance, caption, flip)
// on the dummy driver; BM_FlipOnly is the library's part of it.
void BM_Frame(benchmark::State& state)
{
    FrameScene scene(state);
    Iface_SDLFlat f;
    f.SetEngine(scene.engine);
    f.screen = scene.surface;
    for (auto _ : state) {
        f.draw();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Frame)->Unit(benchmark::kMicrosecond);

void BM_FlipOnly(benchmark::State& state)
{
    FrameScene scene(state);
    for (auto _ : state)
        SDL_Flip(scene.surface);
}
BENCHMARK(BM_FlipOnly)->Unit(benchmark::kMicrosecond);

void BM_GetBuildCost(benchmark::State& state)
{
    Engine* e = SettledEngine(640, 360);
    pattern glider = {pt_glider_x, pt_glider_y, 0, pt_glider};
    unsigned int x = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(e->GetBuildCost(1, x, x / 3, &glider));
        x = (x + 7) % 640;
        glider.rotation++;
    }
    delete e;
}
BENCHMARK(BM_GetBuildCost);

void BM_PlacePattern(benchmark::State& state)
{
    Engine* e = SettledEngine(640, 360);
    pattern glider = {pt_glider_x, pt_glider_y, 0, pt_glider};
    unsigned int x = 0;
    for (auto _ : state) {
        e->world->credits[1] = 1e30f;  // always affordable: time the whole placement
        benchmark::DoNotOptimize(e->PlacePattern(1, x, x / 3, &glider));
        x = (x + 7) % 640;
        glider.rotation++;
    }
    delete e;
}
BENCHMARK(BM_PlacePattern);

}  // namespace
