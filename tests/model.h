// A slow, plain model of the cell world, written to be read against the rule rather than to run
// fast. The tests, the fuzzer and the benchmark's self-check compare CellAuto with it bit for bit.
// It shares no code with CellAuto: not even the pattern mapping, so the two check each other.
#ifndef QUOLVANE_TESTS_MODEL_H
#define QUOLVANE_TESTS_MODEL_H

#include "cellauto.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace model {

class World {
public:
    unsigned int width = 0;
    unsigned int height = 0;
    std::vector<Cell> current;  // the present generation, row-major
    std::vector<Cell> next;     // the previous generation; the target of the next step
    float credits[8] = {};

    // The tuning values of a fresh CellAuto.
    unsigned int ageLimit = 128;
    unsigned int decayThreshold = 4;
    float decayFactor = 1.25f;
    float creditUpkeep = -0.1f;
    float creditBirth = -1.0f;
    float creditDeath = 5.0f;
    float costOwn = 1000.0f;
    float costNeutral = 5000.0f;
    float costEnemy = 17000.0f;

    World() = default;
    World(unsigned int w, unsigned int h)
        : width(w), height(h), current((size_t)w * h, Cell{0, 0, 0, 0}),
          next((size_t)w * h, Cell{0, 0, 0, 0})
    {
    }

    bool HasMaps() const { return !current.empty(); }

    // The present cell at (x mod width, y mod height).
    Cell& At(unsigned int x, unsigned int y)
    {
        return current[(size_t)(y % height) * width + (x % width)];
    }

    void SetCell(unsigned int x, unsigned int y, unsigned char alive, unsigned char owner)
    {
        if (!HasMaps())
            return;
        At(x, y).alive = alive;
        At(x, y).owner = owner;
    }

    Cell* GetCell(unsigned int x, unsigned int y) { return HasMaps() ? &At(x, y) : nullptr; }

    // The world cell that block cell (row i, column j) lands on, copied from the mapping table:
    //   rotation 0: (x + j,          y + i)
    //   rotation 1: (x + i,          y + width - j)
    //   rotation 2: (x + width - j,  y + height - i)
    //   rotation 3: (x + height - i, y + j)
    // in unsigned 32-bit arithmetic; only the two low bits of the rotation count.
    static void Target(unsigned int rotation, unsigned int x, unsigned int y, unsigned int width,
                       unsigned int height, unsigned int i, unsigned int j, unsigned int* tx,
                       unsigned int* ty)
    {
        const unsigned int r = rotation % 4;
        if (r == 0) {
            *tx = x + j;
            *ty = y + i;
        } else if (r == 1) {
            *tx = x + i;
            *ty = y + width - j;
        } else if (r == 2) {
            *tx = x + width - j;
            *ty = y + height - i;
        } else {
            *tx = x + height - i;
            *ty = y + j;
        }
    }

    // Writes every block cell, zero bytes too, rows outer and columns inner.
    int PutPattern(unsigned char player, unsigned int x, unsigned int y, unsigned int width,
                   unsigned int height, const unsigned char* cells, unsigned char rotation)
    {
        for (unsigned int i = 0; i < height; ++i)
            for (unsigned int j = 0; j < width; ++j) {
                unsigned int tx, ty;
                Target(rotation, x, y, width, height, i, j, &tx, &ty);
                SetCell(tx, ty, cells[(size_t)i * width + j], player);
            }
        return 0;
    }

    // What stamping the pattern at (x, y) would cost the player: every live cell of the block
    // costs the weight of the ground it lands on, an empty one nothing. The weights of each kind
    // of ground are added up on their own, in double: a subtotal is a multiple of one float, exact
    // for any block of fewer than 2^29 cells. The subtotals then meet once, in the rule's order
    // (own, neutral, enemy), and the total is rounded to float once. A single running sum would
    // round where small and large weights meet (0.1 and 17000 over thousands of cells, say).
    // One corner differs from pricing by counts: a weight that is infinite or NaN but that no
    // cell pays makes count x weight NaN (0 x inf) there and adds nothing here. No tuning under
    // test has such a weight.
    float GetBuildCost(unsigned char player, unsigned int x, unsigned int y, const pattern* pat)
    {
        if (!HasMaps())
            return 0.0f;
        double subtotal[GROUND_KINDS] = {};
        for (unsigned int i = 0; i < pat->height; ++i)
            for (unsigned int j = 0; j < pat->width; ++j) {
                if (pat->cells[(size_t)i * pat->width + j] == 0)
                    continue;
                unsigned int tx, ty;
                Target(pat->rotation, x, y, pat->width, pat->height, i, j, &tx, &ty);
                const Ground ground = GroundUnder(At(tx, ty), player);
                subtotal[ground] += Weight(ground);
            }
        return (float)(subtotal[OWN_DEAD] + subtotal[NOBODYS] + subtotal[OTHER_PLAYERS]);
    }

    // One generation: exchange the maps, then visit every position in row-major order, carrying
    // out the life, age, upkeep and clamp stages for it before going on to the next.
    // A world narrower or lower than 2 cells is left as it is.
    void Step()
    {
        if (width < 2 || height < 2 || !HasMaps())
            return;
        current.swap(next);
        for (unsigned int y = 0; y < height; ++y)
            for (unsigned int x = 0; x < width; ++x)
                StepPosition(x, y);
    }

private:
    // The ground under a live block cell, as the price table tells its kinds apart.
    enum Ground { OWN_LIVE, OWN_DEAD, NOBODYS, OTHER_PLAYERS, GROUND_KINDS };

    // Nobody's ground first: for a player 0, an unowned cell is nobody's, not its own.
    static Ground GroundUnder(const Cell& target, unsigned char player)
    {
        if (target.owner == 0)
            return NOBODYS;
        if (target.owner != player)
            return OTHER_PLAYERS;
        return target.alive != 0 ? OWN_LIVE : OWN_DEAD;
    }

    // The price of one live block cell on that ground.
    double Weight(Ground ground) const
    {
        switch (ground) {
        case OWN_LIVE: return 0.0;
        case OWN_DEAD: return costOwn;
        case NOBODYS: return costNeutral;
        default: return costEnemy;
        }
    }

    // The neighbourhood of (x, y) in the old generation, in scan order:
    // NW N NE / W centre E / SW S SE, every coordinate wrapped around the torus.
    void Neighbourhood(unsigned int x, unsigned int y, Cell out[9]) const
    {
        int k = 0;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                unsigned int nx = (x + width + dx) % width;
                unsigned int ny = (y + height + dy) % height;
                out[k++] = next[(size_t)ny * width + nx];
            }
    }

    void StepPosition(unsigned int x, unsigned int y)
    {
        Cell hood[9];
        Neighbourhood(x, y, hood);
        const Cell old = hood[4];
        Cell& cell = current[(size_t)y * width + x];  // its spare byte is not written
        unsigned char alive;
        unsigned char owner;

        // Life stage.
        if (old.alive == 1) {
            int s = 0;
            for (int p = 0; p < 9; ++p)
                s += hood[p].alive;
            if (s == 3 || s == 4) {
                alive = 1;
                owner = old.owner;
            } else {
                alive = 0;
                owner = old.owner;
                credits[old.owner] += creditDeath;
            }
        } else {
            unsigned char parents[4];
            int found = 0;
            int p = 0;
            for (; p < 9; ++p) {
                if (hood[p].alive != 0) {
                    parents[found] = hood[p].owner;
                    found += 1;
                    if (found == 4)
                        break;
                }
            }
            if (found == 3 && p == 9) {
                alive = 1;
                owner = NewbornOwner(parents, old.owner);
                credits[owner] += creditBirth;
            } else {
                alive = 0;
                owner = old.owner;
            }
        }

        // Age stage.
        unsigned char age;
        if (alive == 1 || owner == 0) {
            age = 0;
        } else if (old.age >= ageLimit) {
            age = 0;
        } else {
            unsigned int k = 0;
            for (int q = 0; q < 9; ++q)
                if (q != 4 && hood[q].owner != owner)
                    k += 1;
            if (k < decayThreshold) {
                age = old.age;
            } else {
                const int t = TruncatedAmount((float)(k - decayThreshold) * decayFactor);
                // In unsigned arithmetic, so an amount that drives the age below 0 wraps past
                // any limit and the owner is lost.
                const unsigned int a = old.age + 1u + (unsigned int)t;
                if (a < ageLimit) {
                    age = (unsigned char)a;
                } else {
                    owner = 0;
                    age = (unsigned char)ageLimit;
                }
            }
        }

        // Upkeep stage.
        if (owner >= 1 && owner <= 6)
            credits[owner] += creditUpkeep;

        // Clamp stage.
        if (!(credits[owner] > 0.0f))
            credits[owner] = 0.0f;

        cell.alive = alive;
        cell.owner = owner;
        cell.age = age;
    }

    // The decay amount t, the product truncated toward zero to an int. The rule has no integer
    // for a product past the int range or not a number, so the world defines one: past the
    // range the nearest int (so the age passes any limit, or wraps below 0, at once), and for
    // NaN (a NaN factor, or an infinite one times 0) no extra ageing.
    static int TruncatedAmount(float product)
    {
        if (std::isnan(product))
            return 0;
        const double t = std::trunc((double)product);
        if (t > (double)INT32_MAX)
            return INT32_MAX;
        if (t < (double)INT32_MIN)
            return INT32_MIN;
        return (int)t;
    }

    // The owner two of the three parents share, else the first parent's; a candidate of 0
    // leaves the dead cell's former owner.
    static unsigned char NewbornOwner(const unsigned char parents[3], unsigned char former)
    {
        unsigned char candidate;
        if (parents[0] == parents[1] || parents[0] == parents[2])
            candidate = parents[0];
        else if (parents[1] == parents[2])
            candidate = parents[1];
        else
            candidate = parents[0];
        return candidate != 0 ? candidate : former;
    }
};

// Makes `m` an exact copy of the world's size, both maps and balances. The tuning values stay the
// model's own defaults.
inline void CopyFrom(World& m, const CellAuto& w)
{
    m.width = w.width;
    m.height = w.height;
    const size_t n = w.currentMap ? (size_t)w.cellCount : 0;
    m.current.assign(w.currentMap, w.currentMap + n);
    m.next.assign(w.nextMap, w.nextMap + n);
    std::memcpy(m.credits, w.credits, sizeof m.credits);
}

inline uint32_t FloatBits(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

inline std::string DescribeCell(const Cell& c)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "{alive %u owner %u age %u spare %u}", c.alive, c.owner, c.age,
                  c.spare);
    return buf;
}

inline std::string DescribeFloat(float f)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g (0x%08x)", (double)f, (unsigned)FloatBits(f));
    return buf;
}

// Two balances or prices agree when their bits do, or when both are NaN. Which NaN an operation
// on two NaNs returns is left open by IEEE 754: x86 and AArch64 both return the first operand,
// but compilers treat + as commutative and swap operands as register allocation suits them, so
// the world and the model (built from different source) may carry different NaN payloads for
// the same sequence of sums. Everything else, signed zeros and infinities included, is exact.
inline bool SameFloat(float a, float b)
{
    return FloatBits(a) == FloatBits(b) || (std::isnan(a) && std::isnan(b));
}

inline bool SameCell(const Cell& a, const Cell& b)
{
    return std::memcmp(&a, &b, sizeof(Cell)) == 0;
}

// Compares the world with the model bit for bit: size, every byte of both maps, and the eight
// balances by bit pattern (any NaN equals any NaN, see SameFloat). Returns "" when they agree,
// otherwise a description of the first difference as "got <world> expected <model>".
inline std::string Compare(const CellAuto& w, const World& m)
{
    char buf[160];
    if (w.width != m.width || w.height != m.height) {
        std::snprintf(buf, sizeof buf, "size: got %ux%u expected %ux%u", w.width, w.height, m.width,
                      m.height);
        return buf;
    }
    const size_t n = m.current.size();
    if (n != 0 && (w.currentMap == nullptr || w.nextMap == nullptr))
        return "maps: got null expected " + std::to_string(n) + " cells";
    const struct {
        const char* name;
        const Cell* got;
        const std::vector<Cell>* expected;
    } maps[2] = {{"currentMap", w.currentMap, &m.current}, {"nextMap", w.nextMap, &m.next}};
    for (const auto& mp : maps) {
        // The whole map at once first; the search cell by cell only finds what to report.
        if (n == 0 || std::memcmp(mp.got, mp.expected->data(), n * sizeof(Cell)) == 0)
            continue;
        for (size_t i = 0; i < n; ++i)
            if (!SameCell(mp.got[i], (*mp.expected)[i])) {
                std::snprintf(buf, sizeof buf, "%s cell (%u,%u): got ", mp.name,
                              (unsigned)(i % m.width), (unsigned)(i / m.width));
                return buf + DescribeCell(mp.got[i]) + " expected " +
                       DescribeCell((*mp.expected)[i]);
            }
    }
    for (int o = 0; o < 8; ++o)
        if (!SameFloat(w.credits[o], m.credits[o]))
            return "credits[" + std::to_string(o) + "]: got " + DescribeFloat(w.credits[o]) +
                   " expected " + DescribeFloat(m.credits[o]);
    return "";
}

}  // namespace model

#endif
