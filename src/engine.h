// The simulation engine: world settings and lifecycle, placements against a player's balance,
// and the worker thread that steps the world under one recursive lock.
#ifndef QUOLVANE_ENGINE_H
#define QUOLVANE_ENGINE_H

#include <SDL.h>

#include <atomic>

#include "cellauto.h"

// Return codes of the engine's integer operations.
enum : int {
    ENGINE_OK = 0,
    // Wrong state: Init with a world present; Close or Step without one; Run while running.
    ENGINE_WRONG_STATE = -1,
    // An SDL lock call failed (Lock, Unlock).
    ENGINE_LOCK_FAILED = -2,
    // Init could not allocate the world's maps; `world` stays null.
    ENGINE_NO_MEMORY = -4,
    // Run could not create a semaphore, the mutex or the thread; nothing was left behind.
    ENGINE_START_FAILED = -5,
    // The engine is not running: there is no lock or stop signal (Lock, Unlock, Stop).
    ENGINE_NOT_RUNNING = -23,
};

// The glider, the default brush: 3 x 3 bytes, rows 1 1 1 / 1 0 0 / 0 1 0.
extern unsigned char pt_glider[9];
extern unsigned int pt_glider_x;  // its width, 3
extern unsigned int pt_glider_y;  // its height, 3

// The worker thread's entry: runs ((Engine*)data)->_thread() and returns its result.
int __quolvane_engine_thread(void* data);

class Engine {
public:
    unsigned int fillMode;      // 1 = random fill on Init; anything else leaves the world empty
    unsigned int width;         // world columns
    unsigned int height;        // world rows
    unsigned int cellCount;     // width * height
    unsigned char playerCount;  // owners the random fill hands out, 1..playerCount
    CellAuto* world;            // the world, between Init and Close
    SDL_Thread* thread;         // the worker, while running
    SDL_sem* updatedSem;        // raised (to at most 1) after each generation
    SDL_sem* stopSem;           // raised once by Stop to end the worker
    SDL_mutex* mutex;           // the engine lock, recursive; guards the world
    unsigned int stepPeriod;    // the worker's pace in milliseconds
    // Set by Stop beside the stop signal, so the worker ends even if raising that signal or
    // waiting on it fails.
    std::atomic<bool> stopping;

    // Defaults: 256 x 256 cells, 2 players, fill mode 0 (empty), 100 ms per generation.
    Engine();
    // Stops the worker if it runs (as Stop does), then deletes the world if there is one. Must
    // not run while this thread holds the lock.
    ~Engine();

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Sets the world size. Ignored once the world exists, or if either value is below 2 or
    // above 65535.
    void preSetWorldSize(unsigned int width, unsigned int height);
    // Sets the number of players (1..6). Ignored once the world exists or outside 1..6.
    void preSetPlayerCount(unsigned char count);
    // Sets the fill mode. Ignored once the world exists.
    void preSetFillMode(unsigned int mode);
    // Writes the configured size to each pointer that is not null. Takes no lock.
    void GetWorldSize(unsigned int* width, unsigned int* height);

    // Creates a width x height world and fills it (two rand() draws per cell in random mode, for
    // at most cellCount cells and never past the map). Returns 0, ENGINE_WRONG_STATE if a world
    // exists, or ENGINE_NO_MEMORY if its maps cannot be allocated.
    int Init();
    // Deletes the world. Returns 0, or ENGINE_WRONG_STATE without a world. Meant to follow Stop;
    // while the worker runs the world is detached under the lock, so the worker steps nothing.
    int Close();
    // The current generation's cells, or null without a world. Fetch and use under one Lock.
    Cell* GetCurrentCells();
    // Advances the world one generation without locking. Returns 0, or ENGINE_WRONG_STATE
    // without a world.
    int Step();

    // Takes the engine lock (recursive). Returns 0, ENGINE_NOT_RUNNING, or ENGINE_LOCK_FAILED.
    int Lock();
    // Releases one hold of the engine lock. Returns 0, ENGINE_NOT_RUNNING, or ENGINE_LOCK_FAILED.
    int Unlock();

    // The price of stamping `pat` at (x, y) for `player`, priced under the lock; 0 without a world
    // or without a pattern.
    float GetBuildCost(unsigned char player, unsigned int x, unsigned int y, pattern* pat);
    // Prices, checks the player's balance, stamps and debits, as one critical section. Places
    // only if the balance covers the price; a player above 6 or a missing pattern places nothing.
    // Returns the code of the final Unlock, so 0 while running whether or not it placed;
    // ENGINE_WRONG_STATE without a world.
    int PlacePattern(unsigned char player, unsigned int x, unsigned int y, pattern* pat);

    // Creates the semaphores, the lock and the worker. Returns 0, ENGINE_WRONG_STATE if already
    // running, or ENGINE_START_FAILED (with everything made undone) if SDL cannot create one.
    int Run();
    // Signals the worker, joins it and destroys the lock and semaphores. Returns the worker's
    // status (0), or ENGINE_NOT_RUNNING. Must be called without holding the lock.
    int Stop();
    // True exactly once per poll after one or more generations completed since the last true.
    bool isUpdated();
    // The worker loop: steps once per stepPeriod until stopped. Returns 0. A wait that fails
    // (rather than timing out) is replaced by a plain sleep, so the pace holds.
    int _thread();
};

#endif
