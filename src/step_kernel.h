// The fast generation step, written once over a vector of byte lanes and compiled once per
// instruction set (SSE2 everywhere, AVX2 where the processor has it). Internal to the world.
//
// Everything here has internal linkage on purpose: each translation unit that includes this file
// is compiled for its own instruction set and must keep its own copy of every function.
#ifndef QUOLVANE_STEP_KERNEL_H
#define QUOLVANE_STEP_KERNEL_H

#include <emmintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "cellauto.h"

namespace {

// What a position did to one owner's balance besides the plain "upkeep, then clamp" (or, for
// owners 0 and 7, only the clamp) that every other position of that owner does.
enum : uint8_t {
    EV_DEATH_UPKEEP = 0,  // death bonus, then upkeep and clamp: the cell died and kept its owner
    EV_DEATH_ONLY = 1,    // death bonus alone: the cell died and lost its owner by decay
    EV_BIRTH_UPKEEP = 2,  // birth cost, then upkeep and clamp
};

struct StepEvent {
    uint32_t before;  // plain positions of this owner since its previous event
    uint8_t owner;
    uint8_t type;
};

// The buffers and settings of one fast step. The caller fills it; the kernel runs the rows.
struct StepWork {
    const Cell* old;        // the old generation
    Cell* out;              // the new generation
    unsigned int W, H;
    uint8_t* slot[3];       // three padded row buffers: alive, owner, age planes of one row each
    size_t planeBytes;      // bytes per plane: W + 2 + padding; byte 1 is column 0
    StepEvent* events;
    uint32_t eventCap;
    uint8_t addAge[9];      // age added to a dead owned cell with k differently owned neighbours
    uint8_t ageLimit;
    float upkeep, birth, death;
    float bal[8];           // the balances, replayed in visiting order per owner
    uint64_t pending[8];    // plain positions per owner not yet applied
};

// 2^e as a double, for e within the normal double range.
inline double PowerOfTwo(int e)
{
    const uint64_t bits = (uint64_t)(e + 1023) << 52;
    double r;
    memcpy(&r, &bits, 8);
    return r;
}

// Applies n plain positions to balance x of owner o: each is "add the upkeep, clamp" for a
// player and "clamp" alone for owners 0 and 7.
//
// A player's balance usually runs through thousands of upkeeps per step, so instead of adding
// one by one this jumps: within one binade [lo, 2 lo) of x the float grid has a fixed spacing u,
// and as long as the exact result x - d stays >= lo, the rounded sum is x - s with s = d rounded
// to a multiple of u (unless d / u is exactly half-way, where ties to even alternate; those
// binades are stepped one by one). k such steps equal one exact subtraction of k * s.
inline float PlainRun(float x, uint64_t n, unsigned int o, float up)
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
    const uint64_t SHORT_RUN = 4;
    while (n) {
        uint32_t bits;
        memcpy(&bits, &x, 4);
        const int exp = (int)(bits >> 23);
        double thresh = 0.0, s = 0.0;
        bool jump = false;
        if (n > SHORT_RUN && exp > 0) {
            const double lo = PowerOfTwo(exp - 127);
            const double u = PowerOfTwo(exp - 150);
            thresh = lo + (double)d;
            const double q = (double)d / u;  // exact: u is a power of two
            const double fl = std::floor(q);
            if ((double)x >= thresh && q - fl != 0.5) {
                const double r = (q - fl > 0.5) ? fl + 1.0 : fl;
                if (r == 0.0)
                    return x;  // every further sum rounds back to x
                s = r * u;
                jump = true;
            }
        }
        if (jump) {
            // Steps j = 0 .. k-1 start at x - j s >= thresh; one fewer than the bound is a
            // margin against the rounding of the quotient.
            const double kd = std::floor(((double)x - thresh) / s);
            if (kd >= 1.0) {
                uint64_t k = kd > (double)n ? n : (uint64_t)kd;
                x = (float)((double)x - (double)k * s);
                n -= k;
                continue;
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
        float x = PlainRun(w.bal[o], ev.before, o, w.upkeep);
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
inline void SplitRow(const Cell* row, unsigned int W, uint8_t* alive, uint8_t* owner, uint8_t* age)
{
    const __m128i lowByte = _mm_set1_epi32(0xFF);
    unsigned int x = 0;
    for (; x + 16 <= W; x += 16) {
        __m128i c[4];
        for (int q = 0; q < 4; ++q)
            c[q] = _mm_loadu_si128((const __m128i*)(row + x + 4 * q));
        __m128i a01 = _mm_packs_epi32(_mm_and_si128(c[0], lowByte), _mm_and_si128(c[1], lowByte));
        __m128i a23 = _mm_packs_epi32(_mm_and_si128(c[2], lowByte), _mm_and_si128(c[3], lowByte));
        _mm_storeu_si128((__m128i*)(alive + 1 + x), _mm_packus_epi16(a01, a23));
        __m128i o01 = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(c[0], 8), lowByte),
                                      _mm_and_si128(_mm_srli_epi32(c[1], 8), lowByte));
        __m128i o23 = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(c[2], 8), lowByte),
                                      _mm_and_si128(_mm_srli_epi32(c[3], 8), lowByte));
        _mm_storeu_si128((__m128i*)(owner + 1 + x), _mm_packus_epi16(o01, o23));
        __m128i g01 = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(c[0], 16), lowByte),
                                      _mm_and_si128(_mm_srli_epi32(c[1], 16), lowByte));
        __m128i g23 = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(c[2], 16), lowByte),
                                      _mm_and_si128(_mm_srli_epi32(c[3], 16), lowByte));
        _mm_storeu_si128((__m128i*)(age + 1 + x), _mm_packus_epi16(g01, g23));
    }
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

// Joins 16 cells' planes back into cells (the spare byte 0).
inline void JoinCells16(const uint8_t* alive, const uint8_t* owner, const uint8_t* age, Cell* out)
{
    const __m128i a = _mm_loadu_si128((const __m128i*)alive);
    const __m128i o = _mm_loadu_si128((const __m128i*)owner);
    const __m128i g = _mm_loadu_si128((const __m128i*)age);
    const __m128i z = _mm_setzero_si128();
    const __m128i aoLo = _mm_unpacklo_epi8(a, o), aoHi = _mm_unpackhi_epi8(a, o);
    const __m128i gzLo = _mm_unpacklo_epi8(g, z), gzHi = _mm_unpackhi_epi8(g, z);
    _mm_storeu_si128((__m128i*)(out + 0), _mm_unpacklo_epi16(aoLo, gzLo));
    _mm_storeu_si128((__m128i*)(out + 4), _mm_unpackhi_epi16(aoLo, gzLo));
    _mm_storeu_si128((__m128i*)(out + 8), _mm_unpacklo_epi16(aoHi, gzHi));
    _mm_storeu_si128((__m128i*)(out + 12), _mm_unpackhi_epi16(aoHi, gzHi));
}

// The owner of a newborn at plane index p (centre column), from its three live neighbours in
// scan order: the owner two of them share, else the first; 0 keeps the dead cell's owner.
inline uint8_t NewbornOwner(const uint8_t* const A[3], const uint8_t* const O[3], size_t p)
{
    const size_t col[8] = {p - 1, p, p + 1, p - 1, p + 1, p - 1, p, p + 1};
    const int row[8] = {0, 0, 0, 1, 1, 2, 2, 2};
    uint8_t found[3];
    int f = 0;
    for (int i = 0; i < 8 && f < 3; ++i)
        if (A[row[i]][col[i]])
            found[f++] = O[row[i]][col[i]];
    const uint8_t cand = (found[0] == found[1] || found[0] == found[2]) ? found[0]
                         : (found[1] == found[2])                        ? found[1]
                                                                         : found[0];
    return cand != 0 ? cand : O[1][p];
}

// Runs the whole step over the rows with vector type V (N byte lanes).
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
template <class V>
void RunStep(StepWork& w)
{
    typedef typename V::T T;
    const unsigned int N = V::N;
    const unsigned int W = w.W, H = w.H;
    const size_t P = w.planeBytes;
    uint8_t* slot[3] = {w.slot[0], w.slot[1], w.slot[2]};

    const T one = V::set1(1), two = V::set1(2), three = V::set1(3), eight = V::set1(8);
    const T zero = V::set1(0), limit = V::set1(w.ageLimit);
    T ageOfK[9];
    for (int k = 0; k < 9; ++k)
        ageOfK[k] = V::set1(w.addAge[k]);
    T ownerVec[8];
    for (int o = 0; o < 8; ++o)
        ownerVec[o] = V::set1((uint8_t)o);

    alignas(32) uint8_t nAlive[32], nOwner[32], nAge[32];
    uint32_t evCount = 0;

    SplitRow(w.old + (size_t)(H - 1) * W, W, slot[0], slot[0] + P, slot[0] + 2 * P);
    SplitRow(w.old, W, slot[1], slot[1] + P, slot[1] + 2 * P);
    SplitRow(w.old + (size_t)(1 % H) * W, W, slot[2], slot[2] + P, slot[2] + 2 * P);

    for (unsigned int y = 0; y < H; ++y) {
        const uint8_t* A[3] = {slot[0], slot[1], slot[2]};
        const uint8_t* O[3] = {slot[0] + P, slot[1] + P, slot[2] + P};
        const uint8_t* G = slot[1] + 2 * P;
        Cell* outRow = w.out + (size_t)y * W;

        for (unsigned int x0 = 0; x0 < W; x0 += N) {
            const unsigned int lanes = W - x0 < N ? W - x0 : N;
            const uint64_t valid = lanes == 64 ? ~0ull : ((1ull << lanes) - 1);
            const size_t p = x0;  // plane index of the west neighbours; centre is p + 1

            const T aC = V::load(A[1] + p + 1);
            const T oC = V::load(O[1] + p + 1);
            const T gC = V::load(G + p + 1);
            const T live = V::add(V::add(V::add(V::load(A[0] + p), V::load(A[0] + p + 1)),
                                         V::add(V::load(A[0] + p + 2), V::load(A[1] + p))),
                                  V::add(V::add(V::load(A[1] + p + 2), V::load(A[2] + p)),
                                         V::add(V::load(A[2] + p + 1), V::load(A[2] + p + 2))));
            // Each equal neighbour owner adds -1 (0xFF), so k = 8 + the sum.
            const T same = V::add(
                V::add(V::add(V::eq(V::load(O[0] + p), oC), V::eq(V::load(O[0] + p + 1), oC)),
                       V::add(V::eq(V::load(O[0] + p + 2), oC), V::eq(V::load(O[1] + p), oC))),
                V::add(V::add(V::eq(V::load(O[1] + p + 2), oC), V::eq(V::load(O[2] + p), oC)),
                       V::add(V::eq(V::load(O[2] + p + 1), oC), V::eq(V::load(O[2] + p + 2), oC))));
            const T k = V::add(eight, same);

            const T wasAlive = V::eq(aC, one);
            const T is3 = V::eq(live, three);
            const T nowAlive = V::or_(is3, V::and_(wasAlive, V::eq(live, two)));
            const T birth = V::andnot(wasAlive, is3);
            const T death = V::andnot(nowAlive, wasAlive);

            T add = zero;
            for (int j = 0; j < 9; ++j)
                if (w.addAge[j])
                    add = V::or_(add, V::and_(V::eq(k, V::set1((uint8_t)j)), ageOfK[j]));
            // Dead owned cells below the age limit age; at or past it (a cell re-owned by a
            // stamp right after it lost its owner) the age drops to 0.
            const T deadOwned = V::andnot(nowAlive, V::andnot(V::eq(oC, zero), V::eq(zero, zero)));
            const T overLimit = V::eq(V::maxu(gC, limit), gC);
            const T aging = V::andnot(overLimit, deadOwned);
            const T aged = V::add(gC, add);
            const T lose = V::and_(aging, V::eq(V::maxu(aged, limit), aged));
            const T newAge = V::or_(V::and_(lose, limit), V::and_(V::andnot(lose, aging), aged));
            const T newOwner = V::andnot(lose, oC);

            V::store(nAlive, V::and_(nowAlive, one));
            V::store(nOwner, newOwner);
            V::store(nAge, newAge);

            const uint64_t birthM = V::mask(birth) & valid;
            const uint64_t deathM = V::mask(death) & valid;
            const uint64_t loseM = V::mask(lose) & valid;
            const uint64_t plainM = valid & ~birthM & ~(deathM & ~loseM);

            if ((birthM | deathM) == 0) {
                // The common case: every position plain, counted per final owner.
                for (int o = 0; o < 8; ++o) {
                    const uint64_t m = V::mask(V::eq(newOwner, ownerVec[o])) & plainM;
                    w.pending[o] += (uint64_t)__builtin_popcountll(m);
                }
            } else {
                uint64_t byOwner[8];
                for (int o = 0; o < 8; ++o)
                    byOwner[o] = V::mask(V::eq(newOwner, ownerVec[o])) & plainM;
                if (evCount + N > w.eventCap) {
                    ReplayEvents(w, evCount);
                    evCount = 0;
                }
                for (uint64_t ev = birthM | deathM; ev; ev &= ev - 1) {
                    const unsigned int i = (unsigned int)__builtin_ctzll(ev);
                    const uint64_t bit = 1ull << i;
                    uint8_t o, type;
                    if (birthM & bit) {
                        o = NewbornOwner(A, O, p + 1 + i);
                        nOwner[i] = o;
                        type = EV_BIRTH_UPKEEP;
                    } else {
                        o = O[1][p + 1 + i];
                        type = (loseM & bit) ? EV_DEATH_ONLY : EV_DEATH_UPKEEP;
                    }
                    const uint64_t earlier = byOwner[o] & (bit - 1);
                    StepEvent& e = w.events[evCount++];
                    e.before = (uint32_t)(w.pending[o] + (uint64_t)__builtin_popcountll(earlier));
                    e.owner = o;
                    e.type = type;
                    w.pending[o] = 0;
                    byOwner[o] &= ~(bit | (bit - 1));
                }
                for (int o = 0; o < 8; ++o)
                    w.pending[o] += (uint64_t)__builtin_popcountll(byOwner[o]);
            }

            if (lanes == N) {
                for (unsigned int q = 0; q < N; q += 16)
                    JoinCells16(nAlive + q, nOwner + q, nAge + q, outRow + x0 + q);
            } else {
                Cell tmp[32];
                for (unsigned int q = 0; q < N; q += 16)
                    JoinCells16(nAlive + q, nOwner + q, nAge + q, tmp + q);
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
            SplitRow(w.old + (size_t)next * W, W, spent, spent + P, spent + 2 * P);
        }
    }
    ReplayEvents(w, evCount);
}

struct VecSSE2 {
    typedef __m128i T;
    static const unsigned int N = 16;
    static T load(const uint8_t* p) { return _mm_loadu_si128((const __m128i*)p); }
    static void store(uint8_t* p, T v) { _mm_store_si128((__m128i*)p, v); }
    static T set1(uint8_t b) { return _mm_set1_epi8((char)b); }
    static T add(T a, T b) { return _mm_add_epi8(a, b); }
    static T eq(T a, T b) { return _mm_cmpeq_epi8(a, b); }
    static T and_(T a, T b) { return _mm_and_si128(a, b); }
    static T or_(T a, T b) { return _mm_or_si128(a, b); }
    static T andnot(T a, T b) { return _mm_andnot_si128(a, b); }  // ~a & b
    static T maxu(T a, T b) { return _mm_max_epu8(a, b); }
    static uint64_t mask(T a) { return (uint32_t)_mm_movemask_epi8(a); }
};

}  // namespace

#endif
