// The simulation engine: settings, the world's lifecycle, locked placements and the worker.
#include "engine.h"

#include <cstdlib>
#include <new>

// clang-format off
unsigned char pt_glider[9] = {
    1, 1, 1,
    1, 0, 0,
    0, 1, 0,
};
// clang-format on
unsigned int pt_glider_x = 3;
unsigned int pt_glider_y = 3;

namespace {
const unsigned int MAX_WORLD_SIDE_CELLS = 65535;
const unsigned int MIN_WORLD_SIDE_CELLS = 2;
const unsigned char MAX_PLAYERS = 6;
const unsigned int FILL_RANDOM = 1;
}  // namespace

int __quolvane_engine_thread(void* data)
{
    return static_cast<Engine*>(data)->_thread();
}

Engine::Engine()
    : fillMode(0), width(256), height(256), cellCount(65536), playerCount(2), world(nullptr),
      thread(nullptr), updatedSem(nullptr), stopSem(nullptr), mutex(nullptr), stepPeriod(100),
      stopping(false)
{
}

Engine::~Engine()
{
    // A worker still running would step the deleted world and wait on destroyed handles: it is
    // stopped first (Stop does nothing if it is not running).
    Stop();
    delete world;
}

void Engine::preSetWorldSize(unsigned int w, unsigned int h)
{
    if (world != nullptr || w > MAX_WORLD_SIDE_CELLS || h > MAX_WORLD_SIDE_CELLS ||
        w < MIN_WORLD_SIDE_CELLS || h < MIN_WORLD_SIDE_CELLS)
        return;
    width = w;
    height = h;
    cellCount = w * h;
}

void Engine::preSetPlayerCount(unsigned char count)
{
    // A world of 0 players would have no owner for its live cells; above 6 the owners would run
    // past the colour table and, above 7, past the credit table.
    if (world != nullptr || count < 1 || count > MAX_PLAYERS)
        return;
    playerCount = count;
}

void Engine::preSetFillMode(unsigned int mode)
{
    if (world != nullptr)
        return;
    fillMode = mode;
}

void Engine::GetWorldSize(unsigned int* w, unsigned int* h)
{
    if (w != nullptr)
        *w = width;
    if (h != nullptr)
        *h = height;
}

int Engine::Init()
{
    if (world != nullptr)
        return ENGINE_WRONG_STATE;
    CellAuto* w = new (std::nothrow) CellAuto(width, height);
    if (w == nullptr)
        return ENGINE_NO_MEMORY;
    Cell* map = w->GetCurrentMap();
    if (map == nullptr) {
        delete w;
        return ENGINE_NO_MEMORY;
    }
    if (fillMode == FILL_RANDOM) {
        // Two draws per cell, always both and in this order, so the sequence a world consumes
        // depends only on its size: the first decides life (one in five), the second the owner.
        // The fields are public, so they are not trusted: the fill stays inside the map made
        // from width x height whatever cellCount says, and a player count the pre-setter would
        // refuse hands out no owners above 6 (0 players: live cells stay unowned).
        const unsigned int cells = cellCount < w->cellCount ? cellCount : w->cellCount;
        const unsigned int players = playerCount < MAX_PLAYERS ? playerCount : MAX_PLAYERS;
        for (unsigned int i = 0; i < cells; ++i) {
            int life = rand();
            int who = rand();
            unsigned char alive = (life % 5 == 1) ? 1 : 0;
            map[i].alive = alive;
            map[i].owner = alive && players != 0 ? (unsigned char)(who % players + 1) : 0;
        }
    }
    // Published under the lock: if a worker is already running it steps `world` under the
    // same lock, so it sees either no world or the filled one. Without a worker Lock does
    // nothing.
    Lock();
    world = w;
    Unlock();
    return ENGINE_OK;
}

int Engine::Close()
{
    if (world == nullptr)
        return ENGINE_WRONG_STATE;
    // Unpublished under the lock, so a worker still running never steps a deleted world; it
    // finds no world and steps nothing.
    Lock();
    CellAuto* w = world;
    world = nullptr;
    Unlock();
    delete w;
    return ENGINE_OK;
}

Cell* Engine::GetCurrentCells()
{
    return world != nullptr ? world->GetCurrentMap() : nullptr;
}

int Engine::Step()
{
    if (world == nullptr)
        return ENGINE_WRONG_STATE;
    world->Step();
    return ENGINE_OK;
}

int Engine::Lock()
{
    if (mutex == nullptr)
        return ENGINE_NOT_RUNNING;
    return SDL_mutexP(mutex) != 0 ? ENGINE_LOCK_FAILED : ENGINE_OK;
}

int Engine::Unlock()
{
    if (mutex == nullptr)
        return ENGINE_NOT_RUNNING;
    return SDL_mutexV(mutex) != 0 ? ENGINE_LOCK_FAILED : ENGINE_OK;
}

float Engine::GetBuildCost(unsigned char player, unsigned int x, unsigned int y, pattern* pat)
{
    if (world == nullptr || pat == nullptr || pat->cells == nullptr)
        return 0.0f;
    Lock();
    float cost = world->GetBuildCost(player, x, y, pat);
    Unlock();
    return cost;
}

int Engine::PlacePattern(unsigned char player, unsigned int x, unsigned int y, pattern* pat)
{
    // One critical section: the world cannot step between the price, the balance test, the
    // stamp and the debit. The balance is read under a second, nested hold.
    if (world == nullptr)
        return ENGINE_WRONG_STATE;
    // A player the credit and colour tables cannot hold, or no pattern, places nothing, like
    // a placement the player cannot pay for: the result still reports only the lock.
    if (player > MAX_PLAYERS || pat == nullptr || pat->cells == nullptr) {
        Lock();
        return Unlock();
    }
    Lock();
    float cost = world->GetBuildCost(player, x, y, pat);
    Lock();
    float balance = world->credits[player];
    Unlock();
    if (balance >= cost) {  // false when either side is NaN
        world->PutPattern(player, x, y, pat->width, pat->height, pat->cells,
                          (unsigned char)pat->rotation);
        world->credits[player] = world->credits[player] - cost;
    }
    return Unlock();
}

int Engine::Run()
{
    if (thread != nullptr)
        return ENGINE_WRONG_STATE;
    updatedSem = SDL_CreateSemaphore(0);
    stopSem = updatedSem ? SDL_CreateSemaphore(0) : nullptr;
    mutex = stopSem ? SDL_CreateMutex() : nullptr;
    stopping = false;
    thread = mutex ? SDL_CreateThread(__quolvane_engine_thread, this) : nullptr;
    if (thread != nullptr)
        return ENGINE_OK;
    // Undo whatever was made, in reverse order, so the engine is cleanly not running.
    if (mutex != nullptr)
        SDL_DestroyMutex(mutex);
    if (stopSem != nullptr)
        SDL_DestroySemaphore(stopSem);
    if (updatedSem != nullptr)
        SDL_DestroySemaphore(updatedSem);
    mutex = nullptr;
    stopSem = nullptr;
    updatedSem = nullptr;
    return ENGINE_START_FAILED;
}

int Engine::Stop()
{
    if (stopSem == nullptr)
        return ENGINE_NOT_RUNNING;
    stopping = true;
    SDL_SemPost(stopSem);
    int status = 0;
    SDL_WaitThread(thread, &status);
    SDL_DestroyMutex(mutex);
    SDL_DestroySemaphore(updatedSem);
    SDL_DestroySemaphore(stopSem);
    thread = nullptr;
    mutex = nullptr;
    stopSem = nullptr;
    updatedSem = nullptr;
    return status;
}

bool Engine::isUpdated()
{
    if (updatedSem == nullptr)
        return false;
    return SDL_SemTryWait(updatedSem) == 0;
}

int Engine::_thread()
{
    // The timed wait on the stop signal is both the pacing sleep and the stop check, so the
    // worker never spins and a stop cuts the wait short. Elapsed time is unsigned so it stays
    // right across the wrap of the tick counter. The `stopping` flag backs the signal up: if
    // SDL fails to raise it or to wait on it, the worker still ends within one period, and a
    // failing wait is replaced by a plain sleep rather than stepping flat out.
    Uint32 waitMs = 0;
    for (;;) {
        const int woke = SDL_SemWaitTimeout(stopSem, waitMs);
        if (woke == 0 || stopping)
            return 0;
        if (woke < 0) {
            SDL_Delay(waitMs);
            if (stopping)
                return 0;
        }
        Uint32 start = SDL_GetTicks();
        SDL_mutexP(mutex);
        Step();
        SDL_mutexV(mutex);
        if (SDL_SemValue(updatedSem) == 0)
            SDL_SemPost(updatedSem);
        Uint32 elapsed = SDL_GetTicks() - start;
        waitMs = elapsed <= stepPeriod ? stepPeriod - elapsed : 0;
    }
}
