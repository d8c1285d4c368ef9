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

// What a position did to one owner's balance besides the plain "upkeep, then clamp" (or, for
// owners 0 and 7, only the clamp) that every other position of that owner does.
enum : uint8_t {
    EV_DEATH_UPKEEP = 0,  // death bonus, then upkeep and clamp: the cell died and kept its owner
    EV_DEATH_ONLY = 1,    // death bonus alone: the cell died and lost its owner by decay
    EV_BIRTH_UPKEEP = 2,  // birth cost, then upkeep and clamp
};

// 2^e as a double, for e within the normal double range.
inline double PowerOfTwo(int e)
{
    const uint64_t bits = (uint64_t)(e + 1023) << 52;
    double r;
    memcpy(&r, &bits, 8);
    return r;
}

// Fills `j` for the binade [lo, 2 lo) of x > 0: the float grid there has spacing u, and while the
// exact result x - d stays >= lo the rounded sum is x - s, with s = d rounded to a multiple of u.
// Where d / u lies exactly half-way, ties to even alternate the step: such a binade gets an
// empty range, as do subnormals.
inline void PrepareJump(UpkeepJump& j, float x, float d)
{
    uint32_t bits;
    memcpy(&bits, &x, 4);
    const int exp = (int)(bits >> 23);
    j.thresh = 1.0;
    j.hi = 0.0;
    if (exp == 0)
        return;
    const double lo = PowerOfTwo(exp - 127);
    const double u = PowerOfTwo(exp - 150);
    const double q = (double)d / u;  // exact: u is a power of two
    const double fl = std::floor(q);
    if (q - fl == 0.5)
        return;
    j.s = ((q - fl > 0.5) ? fl + 1.0 : fl) * u;
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

// Replays the recorded events into the balances, in visiting order; each first catches up on
// the plain positions of its owner before it.
inline void ReplayEvents(StepWork& w, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        const StepEvent& ev = w.events[i];
        const unsigned int o = ev.owner;
        float x = PlainRun(w.bal[o], ev.before, o, w.upkeep, w.jump[o]);
        if (ev.type == EV_DEATH_ONLY) {
            x = x + w.death;
        } else {
            x = x + (ev.type == EV_BIRTH_UPKEEP ? w.birth : w.death);
            if (o >= 1 && o <= 6)
                x = x + w.upkeep;
            if (!(x > 0.0f))
                x = 0.0f;
        }
        w.bal[o] = x;
    }
}

// Splits one row of cells into its alive, owner and age planes, with column W-1 copied before
// column 0 and column 0 after column W-1, so the kernel's neighbours never wrap.
template <class V>
inline void SplitRow(const Cell* row, unsigned int W, uint8_t* alive, uint8_t* owner, uint8_t* age)
{
    unsigned int x = 0;
    for (; x + 16 <= W; x += 16)
        V::split16(row + x, alive + 1 + x, owner + 1 + x, age + 1 + x);
    for (; x < W; ++x) {
        alive[1 + x] = row[x].alive;
        owner[1 + x] = row[x].owner;
        age[1 + x] = row[x].age;
    }
    alive[0] = alive[W];
    owner[0] = owner[W];
    age[0] = age[W];
    alive[W + 1] = alive[1];
    owner[W + 1] = owner[1];
    age[W + 1] = age[1];
}

// Runs the whole step over the rows with vector type V (N byte lanes, N a multiple of 16 and at
// most 64). V provides, as static members: the vector type T; load (unaligned) and store (to
// 64-byte aligned memory); set1; per-lane add (wrapping), eq (all ones where equal, else 0),
// and_, or_, andnot (~a & b) and maxu (unsigned); mask (bit i = top bit of lane i) and eqmask
// (mask of eq); and split16 / join16, which turn 16 cells into their alive, owner and age bytes
// and back (spare byte 0).
//
// Per block of N cells the rule is evaluated branch-free on the byte planes of the rows above,
// at and below: nine unaligned loads per plane give the neighbourhood in scan order, sums and
// compares give life, death, birth, the count k of differently owned neighbours and the new
// age. Only births (their owner needs the scan order) and the credit bookkeeping of positions
// that are not plain are handled lane by lane; a settled world has few of those.
//
// Credits: every position either is plain for its final owner (upkeep then clamp, or clamp
// alone for owners 0 and 7) or records an event. Different owners' balances never interact, so
// plain positions are only counted per owner, and the balances are replayed per owner in
// visiting order, with exactly the same single-precision additions and clamps.
template <class V> void RunStep(StepWork& w)
{
    typedef typename V::T T;
    const unsigned int N = V::N;
    const unsigned int W = w.W, H = w.H;
    const size_t P = w.planeBytes;
    uint8_t* slot[3] = {w.slot[0], w.slot[1], w.slot[2]};

    const T one = V::set1(1), two = V::set1(2), three = V::set1(3), eight = V::set1(8);
    const T zero = V::set1(0), ones = V::eq(zero, zero), limit = V::set1(w.ageLimit);
    // The age increment as a function of k, as (k, increment) pairs for the k that age at all.
    T ageK[9], ageAdd[9];
    int ageKinds = 0;
    for (int k = 0; k < 9; ++k)
        if (w.addAge[k]) {
            ageK[ageKinds] = V::set1((uint8_t)k);
            ageAdd[ageKinds++] = V::set1(w.addAge[k]);
        }
    T ownerVec[8];
    for (int o = 0; o < 8; ++o)
        ownerVec[o] = V::set1((uint8_t)o);
    // Plain positions of each owner since its last event.
    uint64_t pending[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int o = 0; o < 8; ++o)
        w.jump[o] = UpkeepJump{1.0, 0.0, 0.0, 0.0};

    alignas(64) uint8_t nAlive[V::N], nOwner[V::N], nAge[V::N];
    uint32_t evCount = 0;

    SplitRow<V>(w.old + (size_t)(H - 1) * W, W, slot[0], slot[0] + P, slot[0] + 2 * P);
    SplitRow<V>(w.old, W, slot[1], slot[1] + P, slot[1] + 2 * P);
    SplitRow<V>(w.old + (size_t)(1 % H) * W, W, slot[2], slot[2] + P, slot[2] + 2 * P);

    for (unsigned int y = 0; y < H; ++y) {
        const uint8_t* A[3] = {slot[0], slot[1], slot[2]};
        const uint8_t* O[3] = {slot[0] + P, slot[1] + P, slot[2] + P};
        const uint8_t* G = slot[1] + 2 * P;
        Cell* outRow = w.out + (size_t)y * W;

        for (unsigned int x0 = 0; x0 < W; x0 += N) {
            const unsigned int lanes = W - x0 < N ? W - x0 : N;
            const uint64_t valid = lanes == 64 ? ~0ull : ((1ull << lanes) - 1);
            const size_t p = x0;  // plane index of the west neighbours; centre is p + 1

            // The eight neighbours in scan order: NW N NE, W E, SW S SE.
            const size_t at[8] = {p, p + 1, p + 2, p, p + 2, p, p + 1, p + 2};
            const int row[8] = {0, 0, 0, 1, 1, 2, 2, 2};
            T nA[8], nO[8];
            for (int i = 0; i < 8; ++i) {
                nA[i] = V::load(A[row[i]] + at[i]);
                nO[i] = V::load(O[row[i]] + at[i]);
            }
            const T aC = V::load(A[1] + p + 1);
            const T oC = V::load(O[1] + p + 1);
            const T gC = V::load(G + p + 1);

            const T live = V::add(V::add(V::add(nA[0], nA[1]), V::add(nA[2], nA[3])),
                                  V::add(V::add(nA[4], nA[5]), V::add(nA[6], nA[7])));
            // Each neighbour owned like the centre adds -1 (0xFF), so k = 8 + the sum.
            const T same = V::add(V::add(V::add(V::eq(nO[0], oC), V::eq(nO[1], oC)),
                                         V::add(V::eq(nO[2], oC), V::eq(nO[3], oC))),
                                  V::add(V::add(V::eq(nO[4], oC), V::eq(nO[5], oC)),
                                         V::add(V::eq(nO[6], oC), V::eq(nO[7], oC))));
            const T k = V::add(eight, same);

            const T wasAlive = V::eq(aC, one);
            const T is3 = V::eq(live, three);
            const T nowAlive = V::or_(is3, V::and_(wasAlive, V::eq(live, two)));
            const T birth = V::andnot(wasAlive, is3);
            const T death = V::andnot(nowAlive, wasAlive);

            T add = zero;
            for (int j = 0; j < ageKinds; ++j)
                add = V::or_(add, V::and_(V::eq(k, ageK[j]), ageAdd[j]));
            // Dead owned cells below the age limit age; at or past it (a cell re-owned by a
            // stamp right after it lost its owner) the age drops to 0.
            const T deadOwned = V::andnot(nowAlive, V::andnot(V::eq(oC, zero), ones));
            const T overLimit = V::eq(V::maxu(gC, limit), gC);
            const T aging = V::andnot(overLimit, deadOwned);
            const T aged = V::add(gC, add);
            const T lose = V::and_(aging, V::eq(V::maxu(aged, limit), aged));
            const T newAge = V::or_(V::and_(lose, limit), V::and_(V::andnot(lose, aging), aged));
            T newOwner = V::andnot(lose, oC);

            const uint64_t birthM = V::mask(birth) & valid;
            const uint64_t deathM = V::mask(death) & valid;
            const uint64_t loseM = V::mask(lose) & valid;
            const uint64_t plainM = valid & ~birthM & ~(deathM & ~loseM);

            if (birthM != 0) {
                // A newborn's owner from its three parents in scan order (f1, f2, f3): the
                // owner two of them share, else f1; a candidate of 0 keeps the cell's owner.
                T f1 = zero, f2 = zero, f3 = zero, seen = zero;
                for (int i = 0; i < 8; ++i) {
                    const T isLive = V::eq(nA[i], one);
                    f1 = V::or_(f1, V::and_(V::and_(isLive, V::eq(seen, zero)), nO[i]));
                    f2 = V::or_(f2, V::and_(V::and_(isLive, V::eq(seen, one)), nO[i]));
                    f3 = V::or_(f3, V::and_(V::and_(isLive, V::eq(seen, two)), nO[i]));
                    seen = V::add(seen, nA[i]);
                }
                const T firstShared = V::or_(V::eq(f1, f2), V::eq(f1, f3));
                const T lastShared = V::andnot(firstShared, V::eq(f2, f3));
                const T cand = V::or_(V::and_(lastShared, f2), V::andnot(lastShared, f1));
                const T keep = V::eq(cand, zero);
                const T newborn = V::or_(V::and_(keep, oC), V::andnot(keep, cand));
                newOwner = V::or_(V::and_(birth, newborn), V::andnot(birth, newOwner));
            }

            V::store(nAlive, V::and_(nowAlive, one));
            V::store(nOwner, newOwner);
            V::store(nAge, newAge);

            if ((birthM | deathM) == 0) {
                // The common case: every position plain, only counted per final owner.
                for (int o = 0; o < 8; ++o)
                    pending[o] +=
                        (uint64_t)__builtin_popcountll(V::eqmask(newOwner, ownerVec[o]) & plainM);
            } else {
                // Events in lane order; each takes the plain positions of its owner before it.
                uint64_t byOwner[8];
                for (int o = 0; o < 8; ++o)
                    byOwner[o] = V::eqmask(newOwner, ownerVec[o]) & plainM;
                if (evCount + N > w.eventCap) {
                    ReplayEvents(w, evCount);
                    evCount = 0;
                }
                for (uint64_t ev = birthM | deathM; ev; ev &= ev - 1) {
                    const unsigned int i = (unsigned int)__builtin_ctzll(ev);
                    const uint64_t bit = 1ull << i;
                    const uint8_t o = (birthM & bit) ? nOwner[i] : O[1][p + 1 + i];
                    const uint64_t earlier = byOwner[o] & (bit - 1);
                    StepEvent& e = w.events[evCount++];
                    e.before = (uint32_t)(pending[o] + (uint64_t)__builtin_popcountll(earlier));
                    e.owner = o;
                    e.type = (birthM & bit)  ? EV_BIRTH_UPKEEP
                             : (loseM & bit) ? EV_DEATH_ONLY
                                             : EV_DEATH_UPKEEP;
                    pending[o] = 0;
                    byOwner[o] &= ~(bit | (bit - 1));
                }
                for (int o = 0; o < 8; ++o)
                    pending[o] += (uint64_t)__builtin_popcountll(byOwner[o]);
            }

            if (lanes == N) {
                for (unsigned int q = 0; q < N; q += 16)
                    V::join16(nAlive + q, nOwner + q, nAge + q, outRow + x0 + q);
            } else {
                Cell tmp[V::N];
                for (unsigned int q = 0; q < N; q += 16)
                    V::join16(nAlive + q, nOwner + q, nAge + q, tmp + q);
                memcpy(outRow + x0, tmp, lanes * sizeof(Cell));
            }
        }

        // Roll the three row buffers down one row.
        uint8_t* spent = slot[0];
        slot[0] = slot[1];
        slot[1] = slot[2];
        slot[2] = spent;
        if (y + 1 < H) {
            const unsigned int next = (y + 2) % H;
            SplitRow<V>(w.old + (size_t)next * W, W, spent, spent + P, spent + 2 * P);
        }
    }
    // The last events, then every owner's plain positions after its last event.
    ReplayEvents(w, evCount);
    for (int o = 0; o < 8; ++o)
        w.bal[o] = PlainRun(w.bal[o], pending[o], (unsigned int)o, w.upkeep, w.jump[o]);
}

}  // namespace

#endif
