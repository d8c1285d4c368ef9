// Both maps and all balances of a world: to prove an operation changed nothing, or to put a world
// back as it was.
#ifndef QUOLVANE_TESTS_SNAPSHOT_H
#define QUOLVANE_TESTS_SNAPSHOT_H

#include <cstring>
#include <vector>

#include "cellauto.h"

struct Snapshot {
    std::vector<Cell> current, next;
    float credits[8];

    explicit Snapshot(const CellAuto& w)
        : current(w.currentMap, w.currentMap + w.cellCount),
          next(w.nextMap, w.nextMap + w.cellCount)
    {
        memcpy(credits, w.credits, sizeof credits);
    }
    bool Same(const CellAuto& w) const
    {
        return memcmp(current.data(), w.currentMap, current.size() * sizeof(Cell)) == 0 &&
               memcmp(next.data(), w.nextMap, next.size() * sizeof(Cell)) == 0 &&
               memcmp(credits, w.credits, sizeof credits) == 0;  // bitwise, so NaN == NaN
    }
    void RestoreInto(CellAuto& w) const
    {
        memcpy(w.currentMap, current.data(), current.size() * sizeof(Cell));
        memcpy(w.nextMap, next.data(), next.size() * sizeof(Cell));
        memcpy(w.credits, credits, sizeof credits);
    }
};

#endif
