// The owned Life rule on vectors of byte lanes: a row split into byte planes, one block's
// neighbourhood summed, life, age and the newborn's owner decided without branches, and the new
// cells joined again. Internal to the step: every build's source includes it with its vector
// wrapper V (vector/<name>.h), which must provide, as static members:
//
//   T                      the vector type; N, its lane count (a multiple of 16, at most 64)
//   load(p), store(p, v)   unaligned load; store to N-byte aligned memory
//   set1(b)                every lane b
//   add(a, b)              per lane, wrapping
//   eq(a, b)               all ones where equal, else 0
//   and_, or_, andnot      per lane; andnot(a, b) is ~a & b
//   minu(a, b)             unsigned minimum
//   select(m, a, b)        m ? a : b, m all ones or zero per lane
//   mask(a), eqmask(a, b)  bit i = the top bit of lane i, of a or of eq(a, b); lane 0 lowest
//   sum(a)                 the sum of all lanes, unsigned, as an integer
//   hasAddIfEq             true where addIfEq(acc, a, b, v) (acc + v where a == b) is cheaper
//                          than add, and, eq; false otherwise, and then addIfEq is not needed
//   hasLookup16            true where table16(t) (the 16 bytes of t in every 16 lanes) and
//                          lookup16(table, i) (each lane's entry of that table, i 0..15) exist
//   split(cells, alive, owner, age)
//                          N cells into their minus-alive (all ones for a live cell), owner
//                          and age bytes, each stored unaligned (the planes start at byte 1)
//   join(alive, owner, age, cells)
//                          three vectors back into N cells (alive 0 or 1), spare byte 0
//   hasStream              true where join<true>(...) streams the cells to N-byte aligned
//                          memory past the caches and fence() orders such stores
//
// tests/test_step_vectors.cpp checks every one of them lane by lane, for every build the
// processor runs.
#ifndef QUOLVANE_STEP_RULE_H
#define QUOLVANE_STEP_RULE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cellauto.h"
#include "step.h"

// Every build splits and joins cells as four bytes in this order.
static_assert(sizeof(Cell) == 4 && offsetof(Cell, alive) == 0 && offsetof(Cell, owner) == 1 &&
                  offsetof(Cell, age) == 2,
              "a cell is the bytes alive, owner, age, spare");

namespace {

#if defined(__GNUC__)
#define STEP_INLINE inline __attribute__((always_inline))
#else
#define STEP_INLINE inline
#endif

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
    T zero, one, minusTwo, minusThree, eight, ones, limit;
    T ageTable;            // the age increment for each k, for wrappers with a byte lookup
    T ageK[9], ageAdd[9];  // (k, age increment) for each k that ages at all, for the others
    int ageKinds;

    explicit RuleVectors(const StepWork& w)
    {
        zero = V::set1(0);
        one = V::set1(1);
        minusTwo = V::set1(0xFE);
        minusThree = V::set1(0xFD);
        eight = V::set1(8);
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

// One pass over the eight neighbours, NW N NE W E SW S SE, each load used at once: the block
// issues 16 unaligned loads from the alive plane and 17 from the owner plane (the centre, each
// neighbour for the forward chains and again for the first owner's, which runs the same chain
// backwards from the last neighbour's owner) and one from the age plane. (Loading the sixteen
// neighbour vectors once and working on them afterwards keeps more vectors alive than a
// 16-register file holds, and the compiler then spills freshly loaded vectors to the stack and
// reads them back, where loading the plane again is cheaper.) In a lane where a newborn needs
// them some neighbour lives, so both chains may start from a neighbour's owner rather than
// "none".
template <class V>
STEP_INLINE void SumNeighbourhood(NeighbourSums<V>& sums, const uint8_t* const A[3],
                                  const uint8_t* const O[3], const uint8_t* G, size_t p,
                                  const RuleVectors<V>& rule)
{
    // p is the plane index of the west neighbours; the centre is p + 1.
    const size_t at[8] = {p, p + 1, p + 2, p, p + 2, p, p + 1, p + 2};
    const int row[8] = {0, 0, 0, 1, 1, 2, 2, 2};
    sums.aC = V::load(A[1] + p + 1);
    sums.oC = V::load(O[1] + p + 1);
    sums.gC = V::load(G + p + 1);
    typename V::T alive = V::load(A[row[0]] + at[0]), owner = V::load(O[row[0]] + at[0]);
    sums.minusLive = alive;
    sums.k = DownWhereEq<V>(rule.eight, owner, sums.oC);  // from 8, each one owned alike takes 1
    sums.last = owner;
    sums.ownerSum = V::and_(alive, owner);
    sums.first = V::load(O[row[7]] + at[7]);
    for (int i = 1; i < 8; ++i) {
        alive = V::load(A[row[i]] + at[i]);
        owner = V::load(O[row[i]] + at[i]);
        sums.minusLive = V::add(sums.minusLive, alive);
        sums.k = DownWhereEq<V>(sums.k, owner, sums.oC);
        sums.last = V::select(alive, owner, sums.last);
        sums.ownerSum = V::add(sums.ownerSum, V::and_(alive, owner));
        const int back = 7 - i;
        sums.first = V::select(V::load(A[row[back]] + at[back]), V::load(O[row[back]] + at[back]),
                               sums.first);
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
STEP_INLINE void LifeAndAge(NextBlock<V>& next, const NeighbourSums<V>& sums,
                            const RuleVectors<V>& rule)
{
    typedef typename V::T T;
    const T minusLive = sums.minusLive, k = sums.k;

    const T wasAlive = sums.aC;
    const T is3 = V::eq(minusLive, rule.minusThree);
    next.nowAlive = V::or_(is3, V::and_(wasAlive, V::eq(minusLive, rule.minusTwo)));
    next.birth = V::andnot(wasAlive, is3);
    next.death = V::andnot(next.nowAlive, wasAlive);

    // The age increment for k (0..8): one byte lookup where the instruction set has one, else a
    // compare per k that ages at all.
    T add = rule.zero;
    if constexpr (V::hasLookup16) {
        add = V::lookup16(rule.ageTable, k);
    } else {
        for (int j = 0; j < rule.ageKinds; ++j)
            add = V::or_(add, V::and_(V::eq(k, rule.ageK[j]), rule.ageAdd[j]));
    }
    // Dead owned cells below the age limit age; at or past it (a cell re-owned by a stamp right
    // after it lost its owner) the age drops to 0.
    const T deadOwned = V::andnot(next.nowAlive, V::andnot(V::eq(sums.oC, rule.zero), rule.ones));
    const T overLimit = V::eq(V::minu(sums.gC, rule.limit), rule.limit);
    const T aging = V::andnot(overLimit, deadOwned);
    // The new age is the aged one, or the limit where it reaches the limit and the cell loses
    // its owner: their minimum either way.
    const T capped = V::minu(V::add(sums.gC, add), rule.limit);
    next.lose = V::and_(aging, V::eq(capped, rule.limit));
    next.age = V::and_(aging, capped);
    next.owner = V::andnot(next.lose, sums.oC);
}

// The newborn's owner from its three parents (a, b, c in scan order): the owner two of them share,
// else a; that is, c where b equals c and a otherwise. A candidate of 0 keeps the cell's owner.
// a is the owner of the first live neighbour and c of the last; b == c exactly when the three
// owners add up to a + 2c.
template <class V>
STEP_INLINE void NewbornOwner(NextBlock<V>& next, const NeighbourSums<V>& sums,
                              const RuleVectors<V>& rule)
{
    typedef typename V::T T;
    const T first = sums.first, last = sums.last;
    const T bIsC = V::eq(sums.ownerSum, V::add(first, V::add(last, last)));
    const T cand = V::select(bIsC, last, first);
    const T newborn = V::select(V::eq(cand, rule.zero), sums.oC, cand);
    next.owner = V::select(next.birth, newborn, next.owner);
}

// Joins the block's new alive, owner and age into cells.
template <class V>
STEP_INLINE void JoinBlock(Cell* out, unsigned int lanes, bool stream, const NextBlock<V>& next,
                           const RuleVectors<V>& rule)
{
    const typename V::T alive = V::and_(next.nowAlive, rule.one);
    if (lanes == V::N) {
        if constexpr (V::hasStream) {
            if (stream) {
                V::template join<true>(alive, next.owner, next.age, out);
                return;
            }
        }
        V::join(alive, next.owner, next.age, out);
    } else {
        Cell tmp[V::N];
        V::join(alive, next.owner, next.age, tmp);
        memcpy(out, tmp, lanes * sizeof(Cell));
    }
}

}  // namespace

#endif
