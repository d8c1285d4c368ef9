// The facts about the single-precision grid that the step's credit books rest on. Scalar, and
// internal to the step: every build's source includes it.
//
// Inside one binade [lo, 2 lo) of a positive balance x the float grid has a fixed spacing u, a
// power of two. An addition x + c whose exact result stays inside the binade (and, for c < 0, at
// or above lo) rounds to x + r(c), where r(c) is c rounded to a multiple of u, unless c / u lies
// exactly half-way: ties to even then depend on x's last bit. So while a balance stays inside
// its binade every addition of the same c moves it by the same r(c), and any sequence of such
// additions is one exact sum, in any order.
#ifndef QUOLVANE_STEP_BOOKS_FLOAT_GRID_H
#define QUOLVANE_STEP_BOOKS_FLOAT_GRID_H

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// 2^e as a double, for e within the normal double range.
inline double PowerOfTwo(int e)
{
    const uint64_t bits = (uint64_t)(e + 1023) << 52;
    double r;
    memcpy(&r, &bits, 8);
    return r;
}

// 1 / u for a power of two u, a normal double: the exponent negated, with no division.
inline double InverseOfPowerOfTwo(double u)
{
    uint64_t bits;
    memcpy(&bits, &u, 8);
    bits = (uint64_t)(2046 - (bits >> 52)) << 52;
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
    const double q = (double)c * InverseOfPowerOfTwo(u);  // exact: u is a power of two
    const double fl = std::floor(q);
    if (q - fl == 0.5)
        return false;
    *r = ((q - fl > 0.5) ? fl + 1.0 : fl) * u;
    return true;
}

// The three additions the rule makes to a balance, fixed for one step.
struct Additions {
    float up, birth, death;  // the upkeep, the birth cost and the death bonus
    double negMargin;        // the largest negative addition, as a magnitude (0 if none)
    double posMargin;        // the largest positive addition (0 if none)

    Additions(float upkeep, float birthCost, float deathBonus)
        : up(upkeep), birth(birthCost), death(deathBonus), negMargin(0.0), posMargin(0.0)
    {
        const double all[3] = {up, birth, death};
        for (double v : all) {
            negMargin = v < -negMargin ? -v : negMargin;
            posMargin = v > posMargin ? v : posMargin;
        }
    }
};

// One binade [lo, hi) of a positive balance and what each addition does to a balance inside it.
// An empty one (hi = 0) holds no balance.
struct Binade {
    double lo, hi;                                 // hi = 2 lo
    double roundedUp, roundedBirth, roundedDeath;  // r(c) of each addition where it is no tie
                                                   // (birth and death: if prepared for sums)
    bool upIsTie;                                  // the upkeep's r(c) depends on the balance here
    bool sums;                                     // prepared for sums: birth and death rounded too
    bool anyIsTie;      // unless prepared for sums and no r(c) is a tie, no sum is exact
    double upsPerUnit;  // 1 / -up where up < 0, else 0: for counting upkeeps in a range

    bool Holds(double x) const { return x >= lo && x < hi; }
};

const Binade NO_BINADE = {0.0, 0.0, 0.0, 0.0, 0.0, true, false, true, 0.0};

// The binade of x with the upkeep's offset there and, for sums of all three additions (`sums`),
// the others' too: the upkeep runs need only the first, and balances near 0 change binade often.
// False, leaving it empty, for a balance that is zero, negative, subnormal, infinite or not a
// number.
inline bool PrepareBinade(Binade& b, float x, const Additions& a, bool sums)
{
    double u;
    b = NO_BINADE;
    if (!BinadeOf(x, &b.lo, &u))
        return false;
    b.hi = 2.0 * b.lo;
    b.upIsTie = !RoundToGrid(a.up, u, &b.roundedUp);
    b.sums = sums;
    b.anyIsTie = b.upIsTie || !sums || !RoundToGrid(a.birth, u, &b.roundedBirth) ||
                 !RoundToGrid(a.death, u, &b.roundedDeath);
    b.upsPerUnit = !b.upIsTie && b.roundedUp < 0.0 ? -1.0 / b.roundedUp : 0.0;
    return true;
}

// Whether x inside binade b stays inside it, whatever the order of `ups` upkeeps, `births`
// births and `deaths` deaths: its lowest possible value minus the largest negative addition
// stays at or above lo, and its highest plus the largest positive addition below hi (so x is
// inside it too). Every sum formed is a multiple of u far below 2^53 u whenever the answer is
// yes, so exact. Always no for an empty binade or one not prepared for sums.
inline bool StaysInBinade(double x, const Binade& b, const Additions& a, uint64_t ups,
                          uint64_t births, uint64_t deaths)
{
    if (b.anyIsTie)
        return false;
    const double n[3] = {(double)ups, (double)births, (double)deaths};
    const double r[3] = {b.roundedUp, b.roundedBirth, b.roundedDeath};
    double neg = 0.0, pos = 0.0;
    for (int i = 0; i < 3; ++i) {
        neg += r[i] < 0.0 ? -r[i] * n[i] : 0.0;
        pos += r[i] > 0.0 ? r[i] * n[i] : 0.0;
    }
    return x - neg >= b.lo + a.negMargin && x + pos + a.posMargin < b.hi;
}

// The balance after those additions, where StaysInBinade said yes: one exact sum.
inline float SumInBinade(float x, const Binade& b, uint64_t ups, uint64_t births, uint64_t deaths)
{
    return (float)((double)x + b.roundedUp * (double)ups + b.roundedBirth * (double)births +
                   b.roundedDeath * (double)deaths);
}

}  // namespace

#endif
