// The step's speed in the WebAssembly build, under node: the settled 640 x 360 world that
// bench_world.cpp's BM_Step times natively, stepped with the build QUOLVANE_STEP_ISA asks for
// (the widest this program has without it). Prints the median of five runs of 200 generations,
// in microseconds per generation. Run by scripts/test-web.sh for each build of the step.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "engine.h"

int main()
{
    const int SETTLE_GENERATIONS = 200;
    const int TIMED_GENERATIONS = 200;
    const int RUNS = 5;
    Engine e;
    e.preSetWorldSize(640, 360);
    e.preSetPlayerCount(6);
    e.preSetFillMode(1);
    srand(1);
    if (e.Init() != ENGINE_OK)
        return 1;
    for (int i = 0; i < SETTLE_GENERATIONS; ++i)
        e.Step();
    double us[RUNS];
    for (int run = 0; run < RUNS; ++run) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < TIMED_GENERATIONS; ++i)
            e.world->Step();
        const std::chrono::duration<double, std::micro> took =
            std::chrono::steady_clock::now() - start;
        us[run] = took.count() / TIMED_GENERATIONS;
    }
    std::sort(us, us + RUNS);
    printf("step, %s build: %.1f us per generation of 640 x 360 cells (median of %d runs)\n",
           StepIsaName(), us[RUNS / 2], RUNS);
    return 0;
}
