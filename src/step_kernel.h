// The fast generation step, written once over a vector of byte lanes and compiled once per
// build in the list of step builds (CMakeLists.txt): each build's generated source includes this
// file and its vector wrapper and instantiates RunStep for it. Internal to the world:
// CellAuto::Step prepares a StepWork (step_builds.h) and runs the build it chose.
//
// Everything here has internal linkage on purpose: each translation unit that includes this file
// is compiled for its own instruction set and must keep its own copy of every function.
#ifndef QUOLVANE_STEP_KERNEL_H
#define QUOLVANE_STEP_KERNEL_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cellauto.h"
#include "step_builds.h"

// Every build splits and joins cells as four bytes in this order.
static_assert(sizeof(Cell) == 4 && offsetof(Cell, alive) == 0 && offsetof(Cell, owner) == 1 &&
                  offsetof(Cell, age) == 2,
              "a cell is the bytes alive, owner, age, spare");

namespace {

// 2^e as a double, for e within the normal double range.
inline double PowerOfTwo(int e)
{
    const uint64_t bits = (uint64_t)(e + 1023) << 52;
    double r;
    memcpy(&r, &bits, 8);
    return r;
}

// The binade [lo, 2 lo) of a positive, normal, finite x and the float grid's spacing u there;
// false for any other x.
inline bool BinadeOf(float x, double* lo, double* u)
{
    uint32_t bits;
    memcpy(&bits, &x, 4);
    const int exp = (int)(bits >> 23);
    if (!(x > 0.0f) || exp == 0 || exp >= 255)
        return false;  // zero, negative, subnormal, infinite or not a number
    *lo = PowerOfTwo(exp - 127);
    *u = PowerOfTwo(exp - 150);
    return true;
}

// c rounded to the multiple of u (a power of two) that fl(x + c) gives for x in the binade; false
// for a tie or a value that is not finite.
inline bool RoundToGrid(float c, double u, double* r)
{
    if (!std::isfinite(c))
        return false;
    const double q = (double)c / u;  // exact: u is a power of two
    const double fl = std::floor(q);
    if (q - fl == 0.5)
        return false;
    *r = ((q - fl > 0.5) ? fl + 1.0 : fl) * u;
    return true;
}

// Fills `j` for the binade [lo, 2 lo) of x > 0: the float grid there has spacing u, and while the
// exact result x - d stays >= lo the rounded sum is x - s, with s = d rounded to a multiple of u.
// Where d / u lies exactly half-way, ties to even alternate the step: such a binade gets an
// empty range, as do subnormals.
inline void PrepareJump(UpkeepJump& j, float x, float d)
{
    j.thresh = 1.0;
    j.hi = 0.0;
    double lo, u;
    if (!BinadeOf(x, &lo, &u) || !RoundToGrid(d, u, &j.s))
        return;
    j.invS = j.s != 0.0 ? 1.0 / j.s : 0.0;
    j.thresh = lo + (double)d;
    j.hi = 2.0 * lo;
}

// Applies n plain positions to balance x of owner o: each is "add the upkeep, clamp" for a
// player and "clamp" alone for owners 0 and 7.
//
// A player's balance runs through thousands of upkeeps per step, so instead of adding them one
// by one this jumps through each binade of x: k constant steps equal one exact subtraction of
// k * s (exact because every value involved is a multiple of u below 2 lo). `j` caches the
// owner's current binade between calls.
inline float PlainRun(float x, uint64_t n, unsigned int o, float up, UpkeepJump& j)
{
    if (n == 0)
        return x;
    if (o == 0 || o == 7)
        return x > 0.0f ? x : 0.0f;
    const float d = -up;
    if (!(d > 0.0f) || std::isinf(d)) {
        for (; n; --n) {
            x = x + up;
            if (!(x > 0.0f))
                x = 0.0f;
        }
        return x;
    }
    if (!(x > 0.0f))
        return 0.0f;  // with a negative upkeep a clamped balance stays at 0
    if (std::isinf(x))
        return x;
    // A small balance that the run certainly takes to 0: below 2^20 d every rounded sum x + up is
    // within d/16 of x - d, so each takes at least 15/16 d off, and n of them more than x.
    if ((double)x <= 1048576.0 * d && (double)x < 0.9 * d * (double)n)
        return 0.0f;
    const uint64_t SHORT_RUN = 3;
    while (n) {
        if (n > SHORT_RUN) {
            if (!((double)x >= j.thresh && (double)x < j.hi))
                PrepareJump(j, x, d);
            if ((double)x >= j.thresh && (double)x < j.hi) {
                if (j.s == 0.0)
                    return x;  // every further sum rounds back to x
                // Steps 0 .. k-1 start at x - i s >= thresh. The floor of the product is at
                // most the exact bound, so the reciprocal's rounding can only cost a step.
                const double kd = std::floor(((double)x - j.thresh) * j.invS);
                if (kd >= 1.0) {
                    const uint64_t k = kd > (double)n ? n : (uint64_t)kd;
                    x = (float)((double)x - (double)k * j.s);
                    n -= k;
                    continue;
                }
            }
        }
        x = x + up;
        if (!(x > 0.0f))
            return 0.0f;
        --n;
    }
    return x;
}

// Splits one row of cells into its alive, owner and age planes, with column W-1 copied before
// column 0 and column 0 after column W-1, so the kernel's neighbours never wrap. The alive plane
// holds minus the alive byte: all ones for a live cell, 0 for a dead one, ready to be used as a
// lane mask and summed into minus the count of live neighbours.
template <class V>
inline void SplitRow(const Cell* row, unsigned int W, uint8_t* alive, uint8_t* owner, uint8_t* age)
{
    const unsigned int N = V::N;
    if (W >= N) {
        unsigned int x = 0;
        for (; x + N <= W; x += N)
            V::split(row + x, alive + 1 + x, owner + 1 + x, age + 1 + x);
        // The last cells: one more split ending at the row's end, overlapping the one before,
        // whose bytes it writes again unchanged.
        if (x < W)
            V::split(row + W - N, alive + 1 + W - N, owner + 1 + W - N, age + 1 + W - N);
    } else {
        for (unsigned int x = 0; x < W; ++x) {
            alive[1 + x] = (uint8_t)(0u - row[x].alive);
            owner[1 + x] = row[x].owner;
            age[1 + x] = row[x].age;
        }
    }
    alive[0] = alive[W];
    owner[0] = owner[W];
    age[0] = age[W];
    alive[W + 1] = alive[1];
    owner[W + 1] = owner[1];
    age[W + 1] = age[1];
}

// ---------------------------------------------------------------------------------------------
// Balances in bulk
//
// Inside one binade [lo, 2 lo) of a positive balance x the float grid has a fixed spacing u. An
// addition x + c whose exact result stays inside the binade (and, for c < 0, at or above lo)
// rounds to x + r(c), where r(c) is c rounded to a multiple of u, unless c / u lies exactly
// half-way (ties to even then depend on x). So while a balance stays inside its binade, every
// upkeep, birth cost and death bonus of its owner moves it by a fixed r, the clamp never fires,
// and any sequence of them is one exact sum: x + U r(upkeep) + B r(birth) + D r(death), whatever
// their order. The kernel therefore only counts, per band of rows, the upkeeps, births and
// deaths of each player whose balance is in such a binade, and checks at the end of the band,
// from the counts alone, that no order of them could have left the binade: its lowest possible
// value minus the largest negative addition stays at or above lo, and its highest plus the
// largest positive addition below 2 lo. If the check fails the band is run again with that
// player kept exactly. Balances that are 0, tiny, huge or not a number and tunings that round
// to ties are always kept exactly. Owners 0 and 7 pay no upkeep (their
// positions only clamp): they go in bulk only at +0, which a band without births or deaths of
// theirs leaves as it is, and such births and deaths are rare.

// One owner's binade and the exact offsets of its three kinds of addition there.
struct Binade {
    bool zero;                    // owner 0 or 7 at +0: no binade, its band must be quiet
    double lo, hi;                // the binade [lo, hi) of the balance
    double up, birth, death;      // r(c) for each addition
    double negMargin, posMargin;  // the largest negative and positive addition, as magnitudes
};

// Whether owner o's balance x can be kept in bulk, and its binade if so.
inline bool PrepareBinade(Binade& b, float x, unsigned int o, const StepWork& w)
{
    if (o == 0 || o == 7) {
        uint32_t bits;
        memcpy(&bits, &x, 4);
        b.zero = bits == 0;
        return b.zero;
    }
    b.zero = false;
    double u;
    if (!BinadeOf(x, &b.lo, &u))
        return false;
    b.hi = 2.0 * b.lo;
    if (!RoundToGrid(w.upkeep, u, &b.up) || !RoundToGrid(w.birth, u, &b.birth) ||
        !RoundToGrid(w.death, u, &b.death))
        return false;
    const double c[3] = {w.upkeep, w.birth, w.death};
    b.negMargin = 0.0;
    b.posMargin = 0.0;
    for (double v : c) {
        b.negMargin = v < -b.negMargin ? -v : b.negMargin;
        b.posMargin = v > b.posMargin ? v : b.posMargin;
    }
    return true;
}

// Balance x after `upkeeps` upkeeps, `births` births and `deaths` deaths in bulk, if no order of
// them can leave the binade; returns false, leaving `settled` alone, otherwise.
inline bool SettleInBulk(float x, const Binade& b, uint64_t upkeeps, uint64_t births,
                         uint64_t deaths, float* settled)
{
    if (b.zero) {
        *settled = x;
        return births == 0 && deaths == 0;
    }
    const double n[3] = {(double)upkeeps, (double)births, (double)deaths};
    const double r[3] = {b.up, b.birth, b.death};
    double neg = 0.0, pos = 0.0, sum = 0.0;
    for (int i = 0; i < 3; ++i) {
        neg += r[i] < 0.0 ? -r[i] * n[i] : 0.0;
        pos += r[i] > 0.0 ? r[i] * n[i] : 0.0;
        sum += r[i] * n[i];
    }
    // All of these are multiples of u far below 2^53 u whenever the test passes, so exact.
    if (!((double)x - neg >= b.lo + b.negMargin && (double)x + pos + b.posMargin < b.hi))
        return false;
    *settled = (float)((double)x + sum);
    return true;
}

// ---------------------------------------------------------------------------------------------
// The phases of one block of N cells

#if defined(__GNUC__)
#define STEP_INLINE inline __attribute__((always_inline))
#else
#define STEP_INLINE inline
#endif

// acc + v in the lanes where a equals b.
template <class V>
STEP_INLINE typename V::T AddIfEq(typename V::T acc, typename V::T a, typename V::T b,
                                  typename V::T v)
{
    if constexpr (V::hasAddIfEq)
        return V::addIfEq(acc, a, b, v);
    else
        return V::add(acc, V::and_(V::eq(a, b), v));
}

// acc - 1 (wrapping) in the lanes where a equals b.
template <class V>
STEP_INLINE typename V::T DownWhereEq(typename V::T acc, typename V::T a, typename V::T b)
{
    if constexpr (V::hasAddIfEq)
        return V::addIfEq(acc, a, b, V::set1(0xFF));
    else
        return V::add(acc, V::eq(a, b));
}

// The constants of the rule as vectors, made once per step.
template <class V> struct RuleVectors {
    typedef typename V::T T;
    T zero, one, minusTwo, minusThree, eight, sixteen, ones, limit;
    T ageTable;            // the age increment for each k, for wrappers with a byte lookup
    T ageK[9], ageAdd[9];  // (k, age increment) for each k that ages at all, for the others
    int ageKinds;
    T ownerVec[8];

    explicit RuleVectors(const StepWork& w)
    {
        zero = V::set1(0);
        one = V::set1(1);
        minusTwo = V::set1(0xFE);
        minusThree = V::set1(0xFD);
        eight = V::set1(8);
        sixteen = V::set1(16);
        ones = V::eq(zero, zero);
        limit = V::set1(w.ageLimit);
        ageKinds = 0;
        if constexpr (V::hasLookup16) {
            uint8_t table[16] = {0};
            memcpy(table, w.addAge, sizeof w.addAge);
            ageTable = V::table16(table);
        } else {
            for (int k = 0; k < 9; ++k)
                if (w.addAge[k]) {
                    ageK[ageKinds] = V::set1((uint8_t)k);
                    ageAdd[ageKinds++] = V::set1(w.addAge[k]);
                }
        }
        for (int o = 0; o < 8; ++o)
            ownerVec[o] = V::set1((uint8_t)o);
    }
};

// What a block's old neighbourhood adds up to, from the byte planes of the rows above, at and
// below: enough for the rule, its decay and the newborn's owner.
template <class V> struct NeighbourSums {
    typename V::T aC, oC, gC;   // the centre's alive (all ones or zero), owner and age
    typename V::T minusLive;    // minus the count of live neighbours (each live one adds 0xFF)
    typename V::T k;            // the count of differently owned neighbours
    typename V::T first, last;  // the owners of the first and last live neighbour in scan order
    typename V::T ownerSum;     // the sum of the live neighbours' owners
};

// One pass over the eight neighbours, NW N NE W E SW S SE: nine unaligned loads per plane, each
// used at once. (Loading all sixteen first and working on them afterwards keeps more vectors
// alive than a 16-register file holds, and the compiler then spills freshly loaded vectors to
// the stack and reads them back, where loading the plane again is cheaper.) The first owner
// runs the same chain backwards, from the last neighbour. In a lane where a newborn needs them
// some neighbour lives, so both chains may start from a neighbour's owner rather than "none".
template <class V>
STEP_INLINE void SumNeighbourhood(NeighbourSums<V>& s, const uint8_t* const A[3],
                                  const uint8_t* const O[3], const uint8_t* G, size_t p,
                                  const RuleVectors<V>& c)
{
    // p is the plane index of the west neighbours; the centre is p + 1.
    const size_t at[8] = {p, p + 1, p + 2, p, p + 2, p, p + 1, p + 2};
    const int row[8] = {0, 0, 0, 1, 1, 2, 2, 2};
    s.aC = V::load(A[1] + p + 1);
    s.oC = V::load(O[1] + p + 1);
    s.gC = V::load(G + p + 1);
    typename V::T a = V::load(A[row[0]] + at[0]), o = V::load(O[row[0]] + at[0]);
    s.minusLive = a;
    s.k = DownWhereEq<V>(c.eight, o, s.oC);  // from 8, each neighbour owned alike takes 1
    s.last = o;
    s.ownerSum = V::and_(a, o);
    s.first = V::load(O[row[7]] + at[7]);
    for (int i = 1; i < 8; ++i) {
        a = V::load(A[row[i]] + at[i]);
        o = V::load(O[row[i]] + at[i]);
        s.minusLive = V::add(s.minusLive, a);
        s.k = DownWhereEq<V>(s.k, o, s.oC);
        s.last = V::select(a, o, s.last);
        s.ownerSum = V::add(s.ownerSum, V::and_(a, o));
        const int j = 7 - i;
        s.first = V::select(V::load(A[row[j]] + at[j]), V::load(O[row[j]] + at[j]), s.first);
    }
}

// What the rule makes of a block: lanes all ones or zero, except the new age and owner.
template <class V> struct NextBlock {
    typename V::T nowAlive, birth, death, lose;  // lose: a dead owned cell loses its owner
    typename V::T age, owner;
};

// Life and age: births, survivals and deaths from the live neighbours, the count k of
// differently owned neighbours and from it the decay of dead owned cells. The owner is the old
// one (0 where decay took it); a newborn's owner comes from NewbornOwner.
template <class V>
STEP_INLINE void LifeAndAge(NextBlock<V>& x, const NeighbourSums<V>& n, const RuleVectors<V>& c)
{
    typedef typename V::T T;
    const T minusLive = n.minusLive, k = n.k;

    const T wasAlive = n.aC;
    const T is3 = V::eq(minusLive, c.minusThree);
    x.nowAlive = V::or_(is3, V::and_(wasAlive, V::eq(minusLive, c.minusTwo)));
    x.birth = V::andnot(wasAlive, is3);
    x.death = V::andnot(x.nowAlive, wasAlive);

    // The age increment for k (0..8): one byte lookup where the instruction set has one, else a
    // compare per k that ages at all.
    T add = c.zero;
    if constexpr (V::hasLookup16) {
        add = V::lookup16(c.ageTable, k);
    } else {
        for (int j = 0; j < c.ageKinds; ++j)
            add = V::or_(add, V::and_(V::eq(k, c.ageK[j]), c.ageAdd[j]));
    }
    // Dead owned cells below the age limit age; at or past it (a cell re-owned by a stamp right
    // after it lost its owner) the age drops to 0.
    const T deadOwned = V::andnot(x.nowAlive, V::andnot(V::eq(n.oC, c.zero), c.ones));
    const T overLimit = V::eq(V::minu(n.gC, c.limit), c.limit);
    const T aging = V::andnot(overLimit, deadOwned);
    // The new age is the aged one, or the limit where it reaches the limit and the cell loses
    // its owner: their minimum either way.
    const T capped = V::minu(V::add(n.gC, add), c.limit);
    x.lose = V::and_(aging, V::eq(capped, c.limit));
    x.age = V::and_(aging, capped);
    x.owner = V::andnot(x.lose, n.oC);
}

// The newborn's owner from its three parents (a, b, c in scan order): the owner two of them share,
// else a; that is, c where b equals c and a otherwise. A candidate of 0 keeps the cell's owner.
// a is the owner of the first live neighbour and c of the last; b == c exactly when the three
// owners add up to a + 2c.
template <class V>
STEP_INLINE void NewbornOwner(NextBlock<V>& x, const NeighbourSums<V>& n, const RuleVectors<V>& c)
{
    typedef typename V::T T;
    const T first = n.first, last = n.last;
    const T bIsC = V::eq(n.ownerSum, V::add(first, V::add(last, last)));
    const T cand = V::select(bIsC, last, first);
    const T newborn = V::select(V::eq(cand, c.zero), n.oC, cand);
    x.owner = V::select(x.birth, newborn, x.owner);
}

// ---------------------------------------------------------------------------------------------
// The credit books of one step

// Per owner: kept in bulk (counted, settled per band) or exactly (block by block, in order).
struct CreditBooks {
    unsigned int exact;                         // bit o: owner o is kept exactly
    unsigned int binadeKnown;                   // bit o: binade[o] holds an exact owner's balance
    Binade binade[8];                           // the balance's binade, for either kind
    uint64_t upkeeps[8], births[8], deaths[8];  // this band's counts of every owner
    uint64_t pending[8];  // an exact owner's plain positions not yet applied to its balance
    double blockFloor;    // below this a balance's binade is too narrow to hold a block in bulk
};

// Applies an exact owner's pending plain positions to its balance.
inline void ApplyPending(StepWork& w, CreditBooks& b, unsigned int o)
{
    w.bal[o] = PlainRun(w.bal[o], b.pending[o], o, w.upkeep, w.jump[o]);
    b.pending[o] = 0;
}

// The players' counts of a few blocks, lane by lane: minus the positions owned (wrapping), and
// births + 16 deaths. Emptied into the books every BLOCKS_PER_FLUSH blocks, before a lane can
// overflow its nibble.
template <class V> struct BulkLanes {
    typename V::T owned[7], events[7];  // index 1..6
    unsigned int blocks;
};

const unsigned int BLOCKS_PER_FLUSH = 15;

template <class V>
STEP_INLINE void FlushBulkLanes(BulkLanes<V>& l, CreditBooks& b, const RuleVectors<V>& c)
{
    typedef typename V::T T;
    const T lowNibble = V::set1(0x0F), highNibble = V::set1(0xF0);
    for (unsigned int o = 1; o <= 6; ++o) {
        // Minus the count, wrapped: the count is its two's complement, ~v + 1, lane by lane.
        b.upkeeps[o] += V::sum(V::add(V::andnot(l.owned[o], c.ones), c.one));
        b.births[o] += V::sum(V::and_(l.events[o], lowNibble));
        b.deaths[o] += V::sum(V::and_(l.events[o], highNibble)) >> 4;
        l.owned[o] = c.zero;
        l.events[o] = c.zero;
    }
    l.blocks = 0;
}

// Cells per band of rows.
const unsigned int BAND_CELLS = 4096;

// Owner o's balance x after `plain` plain positions and then one birth or death: the birth cost
// or death bonus, then, unless the cell lost its owner by decay (the death bonus alone), a
// player's upkeep and the clamp at 0.
inline float RunToEvent(StepWork& w, float x, uint64_t plain, unsigned int o, bool birth,
                        bool lostOwner)
{
    x = PlainRun(x, plain, o, w.upkeep, w.jump[o]);
    x = x + (birth ? w.birth : w.death);
    if (lostOwner)
        return x;
    if (o >= 1 && o <= 6)
        x = x + w.upkeep;
    return x > 0.0f ? x : 0.0f;
}

// Runs one block's positions of an owner kept exactly, with its waiting plain positions, one
// by one in lane order with exactly the model's additions and clamps, plain runs jumping through
// each binade (PlainRun). The plain positions after the last birth or death wait again. Kept
// out of line: the step's main loop stays small, and this runs for few blocks.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void RunPositions(StepWork& w, CreditBooks& b, unsigned int o, uint64_t mine, uint64_t births,
                  uint64_t deaths, uint64_t lost)
{
    float x = w.bal[o];
    uint64_t plain = mine & ~births & ~deaths;  // the plain positions not yet run
    uint64_t waiting = b.pending[o];
    for (uint64_t ev = births | deaths | lost; ev; ev &= ev - 1) {
        const uint64_t at = ev & (~ev + 1), before = at - 1;
        x = RunToEvent(w, x, waiting + (uint64_t)__builtin_popcountll(plain & before), o,
                       (births & at) != 0, (lost & at) != 0);
        waiting = 0;
        plain &= ~before;
    }
    w.bal[o] = x;
    b.pending[o] = (uint64_t)__builtin_popcountll(plain);
}

// Applies one block's positions of an owner kept exactly to its balance, in lane order. `mine`
// holds the lanes whose final owner is o, and of them `births` and `deaths` those with a birth
// or with a death that kept the owner; `lost` the lanes where o's cell died and lost its owner
// by decay (the death bonus alone); the block has at least one of these. (Blocks without them
// only add their positions to the waiting ones.) Where the waiting positions and the block's
// counts cannot leave a wide binade they are settled in one exact sum, as for the owners in
// bulk: near a binade's edge that spares most blocks the position-by-position path.
inline void ApplyBlock(StepWork& w, CreditBooks& b, unsigned int o, uint64_t mine, uint64_t births,
                       uint64_t deaths, uint64_t lost)
{
    const unsigned int bit = 1u << o;
    const float x = w.bal[o];
    if (!(b.binadeKnown & bit) && (double)x >= b.blockFloor && PrepareBinade(b.binade[o], x, o, w))
        b.binadeKnown |= bit;
    if (b.binadeKnown & bit) {
        const uint64_t upkeeps =
            o >= 1 && o <= 6 ? b.pending[o] + (uint64_t)__builtin_popcountll(mine) : 0;
        float settled;
        if (SettleInBulk(x, b.binade[o], upkeeps, (uint64_t)__builtin_popcountll(births),
                         (uint64_t)__builtin_popcountll(deaths | lost), &settled)) {
            w.bal[o] = settled;  // still inside the binade, which stays known
            b.pending[o] = 0;
            return;
        }
        b.binadeKnown &= ~bit;
    }
    RunPositions(w, b, o, mine, births, deaths, lost);
}

// The blocks of a row whose positions the owners kept exactly have yet to apply: the blocks'
// final owners (8 in lanes past the row's end) and their births, deaths paid to the new owner
// and deaths by decay (lanes whose old owner, in `oldOwner`, gets the bonus). Emptied by
// ApplyChunk when full and at the end of each row, while the row's old owner plane is intact.
const unsigned int CHUNK_BLOCKS = 16;

template <class V> struct ExactChunk {
    alignas(64) uint8_t owner[CHUNK_BLOCKS][V::N];
    uint64_t birth[CHUNK_BLOCKS], kept[CHUNK_BLOCKS], lost[CHUNK_BLOCKS];
    const uint8_t* oldOwner[CHUNK_BLOCKS];
    unsigned int blocks;
};

// With every owner kept exactly (balances run down to near 0, where few blocks could be settled
// in one sum) the chunk goes in lane order for all eight owners at once: each birth or death is
// noted with its owner's plain positions before it, then the notes are run in order. Two tight
// loops mispredict far less than a pass per owner whose branches follow each block's events.
template <class V>
inline void ApplyChunkAllExact(ExactChunk<V>& ch, CreditBooks& b, StepWork& w,
                               const RuleVectors<V>& c)
{
    struct Note {
        uint64_t before;     // the owner's plain positions since its last note
        unsigned int owner;  // whose balance
        bool birth;          // a birth, else a death
        bool lostOwner;      // a death by decay: the old owner's death bonus alone
    };
    Note notes[CHUNK_BLOCKS * V::N];
    unsigned int count = 0;
    for (unsigned int k = 0; k < ch.blocks; ++k) {
        const typename V::T owner = V::load(ch.owner[k]);
        uint64_t byOwner[8];  // each owner's lanes not yet noted
        for (unsigned int o = 0; o < 8; ++o)
            byOwner[o] = V::eqmask(owner, c.ownerVec[o]);
        const uint64_t plain = ~(ch.birth[k] | ch.kept[k]);
        for (uint64_t m = ch.birth[k] | ch.kept[k] | ch.lost[k]; m; m &= m - 1) {
            const unsigned int i = (unsigned int)__builtin_ctzll(m);
            const uint64_t bit = 1ull << i, before = bit - 1;
            Note& n = notes[count++];
            n.lostOwner = (ch.lost[k] & bit) != 0;
            n.owner = n.lostOwner ? ch.oldOwner[k][i] : ch.owner[k][i];
            n.birth = (ch.birth[k] & bit) != 0;
            n.before = b.pending[n.owner] +
                       (uint64_t)__builtin_popcountll(byOwner[n.owner] & plain & before);
            b.pending[n.owner] = 0;
            byOwner[n.owner] &= ~(bit | before);
        }
        for (unsigned int o = 0; o < 8; ++o)
            b.pending[o] += (uint64_t)__builtin_popcountll(byOwner[o] & plain);
    }
    for (unsigned int i = 0; i < count; ++i) {
        const Note& n = notes[i];
        w.bal[n.owner] = RunToEvent(w, w.bal[n.owner], n.before, n.owner, n.birth, n.lostOwner);
    }
    ch.blocks = 0;
}

// Applies the chunk's positions of each owner kept exactly to its balance (ApplyBlock), block
// by block in visiting order. Different owners' balances never interact, so each owner runs
// through the whole chunk in turn. Blocks with neither birth nor death of the owner only add
// their positions to the waiting ones: they are found first, without a branch per block, and
// only the others are visited. Kept out of line, so that the step's main loop, where every
// owner is usually in bulk, keeps its registers for itself.
template <class V>
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void ApplyChunk(ExactChunk<V>& ch, CreditBooks& b, StepWork& w, const RuleVectors<V>& c)
{
    if (b.exact == 0xFF) {
        ApplyChunkAllExact<V>(ch, b, w, c);
        return;
    }
    const unsigned int n = ch.blocks;
    for (unsigned int m = b.exact; m; m &= m - 1) {
        const unsigned int o = (unsigned int)__builtin_ctz(m);
        uint64_t mine[CHUNK_BLOCKS], lost[CHUNK_BLOCKS];
        // quiet[k]: the positions of the blocks before k that have no birth or death of o.
        uint64_t quiet[CHUNK_BLOCKS + 1];
        uint32_t busy = 0;
        quiet[0] = 0;
        // Straight arithmetic: whether a block has events is as good as random.
        for (unsigned int k = 0; k < n; ++k) {
            mine[k] = V::eqmask(V::load(ch.owner[k]), c.ownerVec[o]);
            lost[k] = V::eqmask(V::load(ch.oldOwner[k]), c.ownerVec[o]) & ch.lost[k];
            const uint64_t events = ((mine[k] & (ch.birth[k] | ch.kept[k])) | lost[k]) != 0;
            busy |= (uint32_t)events << k;
            quiet[k + 1] = quiet[k] + ((uint64_t)__builtin_popcountll(mine[k]) & (events - 1));
        }
        uint64_t added = 0;  // quiet positions already added to the waiting ones
        for (; busy; busy &= busy - 1) {
            const unsigned int k = (unsigned int)__builtin_ctz(busy);
            b.pending[o] += quiet[k] - added;
            added = quiet[k];
            ApplyBlock(w, b, o, mine[k], mine[k] & ch.birth[k], mine[k] & ch.kept[k], lost[k]);
        }
        b.pending[o] += quiet[n] - added;
    }
    ch.blocks = 0;
}

// Books the block's credits. Unless every owner is kept exactly, every owner is counted, whether
// its counts are used or not (they also guess the next band's bulk owners): every position whose
// final owner is a player pays its upkeep there, births are charged to the new owner and deaths
// paid to the old, which is the new one too but where the cell lost its owner by decay (those
// few are counted lane by lane). For the owners kept exactly the block is noted in the row's
// chunk, whose positions ApplyChunk applies when it fills and at the row's end.
template <class V>
STEP_INLINE void BookBlock(BulkLanes<V>& l, ExactChunk<V>& ch, CreditBooks& b, StepWork& w,
                           const NextBlock<V>& x, const uint8_t* oldOwner, unsigned int lanes,
                           typename V::T tailLanes, const RuleVectors<V>& c)
{
    typedef typename V::T T;
    // The lanes past the end of a row count for nobody: owner 8 there.
    const T owner = lanes == V::N
                        ? x.owner
                        : V::or_(V::and_(tailLanes, x.owner), V::andnot(tailLanes, c.eight));
    const T kept = V::andnot(x.lose, x.death);  // deaths paid to the new owner
    const T code = V::or_(V::and_(x.birth, c.one), V::and_(kept, c.sixteen));
    const uint64_t valid = lanes == 64 ? ~0ull : ((1ull << lanes) - 1);
    if (b.exact != 0xFF) {
        for (unsigned int o = 1; o <= 6; ++o) {
            l.owned[o] = DownWhereEq<V>(l.owned[o], owner, c.ownerVec[o]);
            l.events[o] = AddIfEq<V>(l.events[o], owner, c.ownerVec[o], code);
        }
        if (++l.blocks == BLOCKS_PER_FLUSH)
            FlushBulkLanes(l, b, c);
        // Births and deaths of owners 0 and 7, for when they are in bulk: rare, so counted lane
        // by lane.
        const T zeroOrSeven = V::or_(V::eq(owner, c.zero), V::eq(owner, c.ownerVec[7]));
        const uint64_t unowned = V::mask(V::and_(V::or_(x.birth, kept), zeroOrSeven)) & valid;
        if (unowned) {
            alignas(64) uint8_t newOwner[V::N];
            V::store(newOwner, x.owner);
            const uint64_t births = V::mask(x.birth);
            for (uint64_t m = unowned; m; m &= m - 1) {
                const unsigned int i = (unsigned int)__builtin_ctzll(m);
                ++((births >> i) & 1 ? b.births : b.deaths)[newOwner[i]];
            }
        }
    }

    // Deaths by decay are paid to the old owner, whose lane now holds owner 0: counted here for
    // an owner in bulk, applied below for one kept exactly.
    const uint64_t lostM = V::mask(V::and_(x.lose, x.death)) & valid;
    for (uint64_t m = lostM; m; m &= m - 1) {
        const unsigned int o = oldOwner[__builtin_ctzll(m)];
        if (!((b.exact >> o) & 1))
            ++b.deaths[o];
    }
    if (b.exact == 0)
        return;

    const unsigned int k = ch.blocks;
    V::store(ch.owner[k], owner);
    ch.birth[k] = V::mask(x.birth) & valid;
    ch.kept[k] = V::mask(kept) & valid;
    ch.lost[k] = lostM;
    ch.oldOwner[k] = oldOwner;
    if (++ch.blocks == CHUNK_BLOCKS)
        ApplyChunk<V>(ch, b, w, c);
}

// New maps of this size and more are streamed past the caches (where the wrapper can and every
// full block's cells are aligned to its vectors): the next step would not find such a map
// cached anyway, and streaming spares reading each line of it before it is overwritten.
const size_t STREAM_MAP_BYTES = (size_t)16 << 20;

template <class V> inline bool StreamsNewMap(const StepWork& w)
{
    return V::hasStream && (size_t)w.W * w.H * sizeof(Cell) >= STREAM_MAP_BYTES &&
           (uintptr_t)w.out % V::N == 0 && (w.W * sizeof(Cell)) % V::N == 0;
}

// Joins the block's new alive, owner and age into cells.
template <class V>
STEP_INLINE void JoinBlock(Cell* out, unsigned int lanes, bool stream, const NextBlock<V>& x,
                           const RuleVectors<V>& c)
{
    const typename V::T alive = V::and_(x.nowAlive, c.one);
    if (lanes == V::N) {
        if constexpr (V::hasStream) {
            if (stream) {
                V::template join<true>(alive, x.owner, x.age, out);
                return;
            }
        }
        V::join(alive, x.owner, x.age, out);
    } else {
        Cell tmp[V::N];
        V::join(alive, x.owner, x.age, tmp);
        memcpy(out, tmp, lanes * sizeof(Cell));
    }
}

// Runs rows y0 .. y1-1. On entry the three row buffers hold the split rows y0-1, y0 and y0+1; on
// return y1-1, y1 and y1+1 (as far as the world has them).
template <class V>
STEP_INLINE void RunRows(StepWork& w, CreditBooks& books, const RuleVectors<V>& c, uint8_t* slot[3],
                         bool stream, unsigned int y0, unsigned int y1)
{
    BulkLanes<V> lanesCount;
    for (unsigned int o = 1; o <= 6; ++o)
        lanesCount.owned[o] = lanesCount.events[o] = c.zero;
    lanesCount.blocks = 0;
    ExactChunk<V> chunk;
    chunk.blocks = 0;
    typedef typename V::T T;
    const unsigned int N = V::N, W = w.W, H = w.H;
    const size_t P = w.planeBytes;
    // All ones in the lanes of a row's last block that hold cells of the row.
    alignas(64) uint8_t tail[V::N];
    for (unsigned int i = 0; i < N; ++i)
        tail[i] = i < W % N ? 0xFF : 0;
    const T tailLanes = V::load(tail);

    for (unsigned int y = y0; y < y1; ++y) {
        const uint8_t* const A[3] = {slot[0], slot[1], slot[2]};
        const uint8_t* const O[3] = {slot[0] + P, slot[1] + P, slot[2] + P};
        Cell* outRow = w.out + (size_t)y * W;

        for (unsigned int x0 = 0; x0 < W; x0 += N) {
            const unsigned int lanes = W - x0 < N ? W - x0 : N;
            NeighbourSums<V> n;
            SumNeighbourhood<V>(n, A, O, slot[1] + 2 * P, x0, c);
            NextBlock<V> x;
            LifeAndAge<V>(x, n, c);
            // Always, though most lanes have no newborn: on a busy world most blocks have one,
            // and a branch on it costs more in mispredictions than the work it skips.
            NewbornOwner<V>(x, n, c);
            BookBlock<V>(lanesCount, chunk, books, w, x, O[1] + x0 + 1, lanes, tailLanes, c);
            JoinBlock<V>(outRow + x0, lanes, stream, x, c);
        }
        // The exact owners' positions of the row, before its old owner plane is reused.
        if (chunk.blocks)
            ApplyChunk<V>(chunk, books, w, c);

        // Roll the three row buffers down one row.
        uint8_t* spent = slot[0];
        slot[0] = slot[1];
        slot[1] = slot[2];
        slot[2] = spent;
        if (y + 1 < H)
            SplitRow<V>(w.old + (size_t)((y + 2) % H) * W, W, spent, spent + P, spent + 2 * P);
    }
    FlushBulkLanes(lanesCount, books, c);
}

// Splits the rows around row y into the three row buffers.
template <class V> inline void SplitRowsAround(const StepWork& w, uint8_t* slot[3], unsigned int y)
{
    const unsigned int W = w.W, H = w.H;
    const size_t P = w.planeBytes;
    const unsigned int rows[3] = {(y + H - 1) % H, y, (y + 1) % H};
    for (int i = 0; i < 3; ++i)
        SplitRow<V>(w.old + (size_t)rows[i] * W, W, slot[i], slot[i] + P, slot[i] + 2 * P);
}

// Runs the whole step over the rows with vector type V (N byte lanes, N a multiple of 16 and at
// most 64). V provides, as static members: the vector type T; load (unaligned) and store (to
// 64-byte aligned memory); set1; per-lane add (wrapping), eq (all ones where equal, else 0),
// and_, or_, andnot (~a & b), minu (unsigned) and select (m ? a : b, m all ones or zero per
// lane); mask (bit i = top bit of lane i), eqmask (mask of eq) and sum (of all lanes, unsigned);
// where hasLookup16, table16 (a 16-byte table in every 16 lanes) and lookup16 (each lane's
// entry of that table, index 0..15); where hasAddIfEq, addIfEq (acc + v where a == b); split, which
// turns N cells into their minus-alive, owner and age bytes, and join, which turns three vectors of
// alive, owner and age back into N cells (spare byte 0); where hasStream, join<true>, which
// streams the cells to N-byte aligned memory past the caches, and fence, which orders such stores.
//
// Per block of N cells the rule is evaluated branch-free on the byte planes of the rows above,
// at and below: one pass over the neighbours in scan order, nine unaligned loads per plane, sums
// up what the rule needs (SumNeighbourhood); compares give life and age (LifeAndAge), then the
// newborns' owners (NewbornOwner). The credits are booked per owner (BookBlock): owners whose
// balance sits well inside a binade are only counted and settled per band of rows in one exact
// sum; the others' positions are applied per chunk of a row's blocks (ApplyChunk), block by
// block in visiting order, in one exact sum where the block cannot leave a wide binade, else
// position by position with exactly the model's single-precision additions and clamps
// (ApplyBlock); with every owner exact, in one lane-order pass (ApplyChunkAllExact). Different
// owners' balances never interact, so each owner's own order is all that matters. The new
// cells are joined and stored (JoinBlock), past the caches where the maps are too large for
// them.
//
// Where the time goes (settled 640 x 360 world of six players, per step; perf samples by the
// phase they fall in, AVX2 / AVX-512): counting the books 24 / 29 % and emptying the counts
// 5 / 6 %, one player kept exactly at a power of two (ApplyChunk) 9 %, SumNeighbourhood 25 / 13 %,
// LifeAndAge and NewbornOwner 15 / 18 %, the split 10 / 13 %, the join 3 %, the row and band
// loops 9 / 10 %. The step was 535 us (AVX2) when every event was replayed; 145 us now, 2.5
// times a plain Life.
template <class V> void RunStep(StepWork& w)
{
    const unsigned int W = w.W, H = w.H;
    const RuleVectors<V> c(w);
    const bool stream = StreamsNewMap<V>(w);
    uint8_t* slot[3] = {w.slot[0], w.slot[1], w.slot[2]};
    // Bands of about 4096 cells: small enough that a balance's changes over one are small
    // against its binade, large enough that settling them costs little.
    const unsigned int bandRows = W < BAND_CELLS ? BAND_CELLS / W : 1;

    CreditBooks books;
    books.exact = 0xFF;
    // A block moves a balance by at most N times the largest addition; a binade narrower than
    // twice that rarely holds it, and the balances of a world run down (near 0) are not tried.
    books.blockFloor =
        2.0 * V::N *
        (std::fabs((double)w.upkeep) + std::fabs((double)w.birth) + std::fabs((double)w.death));
    for (int o = 0; o < 8; ++o) {
        books.pending[o] = 0;
        books.upkeeps[o] = w.history->upkeeps[o];
        books.births[o] = w.history->births[o];
        books.deaths[o] = w.history->deaths[o];
        w.jump[o] = UpkeepJump{1.0, 0.0, 0.0, 0.0};
    }

    unsigned int stuck = 0;  // owners that failed in bulk this step: exact from then on
    SplitRowsAround<V>(w, slot, 0);
    for (unsigned int y0 = 0; y0 < H; y0 += bandRows) {
        const unsigned int y1 = H - y0 < bandRows ? H : y0 + bandRows;
        // Owners whose balance allows it go in bulk, unless the last band's counts, twice over
        // and a little more, could already leave the binade, or it has failed once this step;
        // one leaving the exact books first applies its waiting plain positions. Owners 0 and 7
        // go in bulk only beside a player: with every player exact the books take the straight
        // path.
        const unsigned int order[8] = {1, 2, 3, 4, 5, 6, 0, 7};
        for (unsigned int o : order) {
            const unsigned int bit = 1u << o;
            Binade& bin = books.binade[o];
            float unused;
            bool bulk = !(stuck & bit) && PrepareBinade(bin, w.bal[o], o, w);
            if (bulk && (o == 0 || o == 7) && (books.exact & 0x7E) == 0x7E)
                bulk = false;
            const uint64_t slack = bin.zero ? 0 : 16;
            if (bulk && !(books.exact & bit))
                bulk =
                    SettleInBulk(w.bal[o], bin, 2 * books.upkeeps[o] + slack,
                                 2 * books.births[o] + slack, 2 * books.deaths[o] + slack, &unused);
            if (bulk && (books.exact & bit) && books.pending[o]) {
                ApplyPending(w, books, o);
                bulk = PrepareBinade(bin, w.bal[o], o, w);
            }
            books.exact = bulk ? books.exact & ~bit : books.exact | bit;
        }
        // The exact owners' books as the band starts, for a band that must run again. (The upkeep
        // jumps need no copy: each holds for any balance inside its range.)
        float balAtStart[8];
        uint64_t pendingAtStart[8];
        memcpy(balAtStart, w.bal, sizeof balAtStart);
        memcpy(pendingAtStart, books.pending, sizeof pendingAtStart);
        for (;;) {
            books.binadeKnown = 0;
            // With every owner kept exactly nothing is counted, and the last counts stay.
            if (books.exact != 0xFF)
                for (unsigned int o = 0; o < 8; ++o)
                    books.upkeeps[o] = books.births[o] = books.deaths[o] = 0;
            RunRows<V>(w, books, c, slot, stream, y0, y1);
            // Settle the owners in bulk. If one's band might have left its binade, the band runs
            // again with that owner kept exactly, and nothing of this run is kept.
            float settled[8];
            unsigned int failed = 0;
            for (unsigned int o = 0; o < 8; ++o)
                if (!(books.exact & (1u << o)) &&
                    !SettleInBulk(w.bal[o], books.binade[o], books.upkeeps[o], books.births[o],
                                  books.deaths[o], &settled[o]))
                    failed |= 1u << o;
            if (failed == 0) {
                for (unsigned int o = 0; o < 8; ++o)
                    if (!(books.exact & (1u << o)))
                        w.bal[o] = settled[o];
                break;
            }
            books.exact |= failed;
            stuck |= failed;
            memcpy(books.pending, pendingAtStart, sizeof pendingAtStart);
            memcpy(w.bal, balAtStart, sizeof balAtStart);
            SplitRowsAround<V>(w, slot, y0);
        }
    }
    // Streamed stores are weakly ordered: make them visible before the step returns.
    if constexpr (V::hasStream)
        if (stream)
            V::fence();
    // The exact owners' plain positions after their last birth or death.
    for (unsigned int o = 0; o < 8; ++o)
        if (books.pending[o])
            ApplyPending(w, books, o);
    for (int o = 0; o < 8; ++o) {
        w.history->upkeeps[o] = books.upkeeps[o];
        w.history->births[o] = books.births[o];
        w.history->deaths[o] = books.deaths[o];
    }
}

}  // namespace

#endif
