// Benchmarks of the world: the step on settled worlds, pricing and placing the glider.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "engine.h"

namespace {

// A world as the game has it after a while: the random fill of six players, then 200
// generations, by when about 5 % of the cells live and about 80 % are owned.
Engine* SettledEngine(unsigned int w, unsigned int h)
{
    Engine* e = new Engine();
    e->preSetWorldSize(w, h);
    e->preSetPlayerCount(6);
    e->preSetFillMode(1);
    srand(1);
    e->Init();
    for (int i = 0; i < 200; ++i)
        e->Step();
    return e;
}

void BM_Step(benchmark::State& state)
{
    Engine* e = SettledEngine((unsigned)state.range(0), (unsigned)state.range(1));
    for (auto _ : state) {
        e->world->Step();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)e->world->cellCount);
    delete e;
}
BENCHMARK(BM_Step)->Args({640, 360})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Step)->Args({4096, 4096})->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
