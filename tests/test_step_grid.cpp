// The float-grid facts of the step's credit books, each against plain single-precision
// additions: binades and their edges, rounding to the grid and its ties, the exact sums of a
// balance kept in bulk, the upkeep runs that jump through binades, and an exact owner's block.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "books/balances.h"
#include "seed.h"

namespace {

uint32_t Bits(float x)
{
    uint32_t b;
    memcpy(&b, &x, 4);
    return b;
}

// The same additions one by one, as the model makes them: add, then clamp at 0.
float PlainUpkeeps(float x, uint64_t n, float up)
{
    for (; n; --n) {
        x = x + up;
        if (!(x > 0.0f))
            x = 0.0f;
    }
    return x;
}

TEST(StepGrid, BinadesEndAtEveryPowerOfTwoAndHoldOnlyNormalPositiveValues)
{
    for (int e = -126; e <= 127; ++e) {
        const float lo = std::ldexp(1.0f, e);
        const float top = e == 127 ? FLT_MAX : std::nextafter(std::ldexp(1.0f, e + 1), 0.0f);
        for (float x : {lo, std::nextafter(lo, INFINITY), top}) {
            double gotLo, u;
            ASSERT_TRUE(BinadeOf(x, &gotLo, &u)) << x;
            EXPECT_EQ(gotLo, (double)lo) << "binade of " << x;
            // The spacing is the step to the next float up, inside the binade.
            EXPECT_EQ(u, (double)std::nextafter(lo, INFINITY) - (double)lo) << "spacing at " << x;
        }
    }
    double lo, u;
    for (float x : {0.0f, -0.0f, -1.0f, -FLT_MAX, FLT_MIN / 2, FLT_TRUE_MIN, INFINITY, -INFINITY,
                    NAN, std::nextafter(FLT_MIN, 0.0f)})
        EXPECT_FALSE(BinadeOf(x, &lo, &u)) << "no binade for " << x;
}

// Inside a binade fl(x + c) = x + r(c) for every x whose exact sum stays in it; exactly half-way
// c / u the rounded sum depends on x (ties to even), and RoundToGrid refuses.
TEST(StepGrid, AdditionsInsideABinadeMoveEveryBalanceByTheRoundedAmount)
{
    std::mt19937 rng((uint32_t)TestSeed());
    const float tuned[] = {-0.1f, -1.0f, 5.0f, 0.3f, -7.77f, 1e-6f, -3e-9f};
    for (int e : {-20, -3, 0, 1, 4, 10, 17, 23, 30}) {
        const float lo = std::ldexp(1.0f, e);
        double binLo, u;
        ASSERT_TRUE(BinadeOf(lo, &binLo, &u));
        for (float c : tuned) {
            double r;
            if (!RoundToGrid(c, u, &r))
                continue;
            for (int i = 0; i < 2000; ++i) {
                const float x = lo + (float)(rng() % (1u << 23)) * (float)u;
                const double exact = (double)x + c;
                if (exact < binLo || exact >= 2 * binLo)
                    continue;
                ASSERT_EQ((double)(x + c), (double)x + r) << x << " + " << c;
            }
        }
        // A tie: x + (k + 1/2) u rounds to the even neighbour, so two neighbouring x disagree.
        const float tie = (float)(3.5 * u);
        double r;
        EXPECT_FALSE(RoundToGrid(tie, u, &r)) << "3.5 u at 2^" << e;
        const float x = lo * 1.25f;
        const float next = std::nextafter(x, INFINITY);
        EXPECT_NE((double)(x + tie) - x, (double)(next + tie) - next) << "ties depend on x";
        for (float bad : {INFINITY, -INFINITY, NAN})
            EXPECT_FALSE(RoundToGrid(bad, u, &r));
    }
}

// Where StaysInBinade says yes, every order of the additions, taken one by one in float,
// stays in the binade and ends exactly at SumInBinade.
TEST(StepGrid, BulkSumsEqualEveryOrderOfTheAdditions)
{
    std::mt19937 rng((uint32_t)TestSeed());
    const Additions add(-0.1f, -1.0f, 5.0f);
    int proved = 0;
    for (int round = 0; round < 400; ++round) {
        const float x = std::ldexp(1.0f + (float)(rng() % 1000) / 1000.0f, 8 + (int)(rng() % 12));
        Binade b;
        ASSERT_TRUE(PrepareBinade(b, x, add, true));
        Binade upkeepsOnly;
        ASSERT_TRUE(PrepareBinade(upkeepsOnly, x, add, false));
        const uint64_t ups = rng() % 3000, births = rng() % 200, deaths = rng() % 200;
        EXPECT_FALSE(StaysInBinade(x, upkeepsOnly, add, ups, births, deaths))
            << "a binade prepared for upkeep runs alone proves no sum";
        if (!StaysInBinade(x, b, add, ups, births, deaths))
            continue;
        ++proved;
        const float want = SumInBinade(x, b, ups, births, deaths);
        for (int order = 0; order < 3; ++order) {
            uint64_t left[3] = {ups, births, deaths};
            const float c[3] = {add.up, add.birth, add.death};
            float y = x;
            while (left[0] + left[1] + left[2]) {
                int k = (int)(rng() % 3);
                while (!left[k])
                    k = (k + 1) % 3;
                --left[k];
                y = y + c[k];
                ASSERT_TRUE(b.Holds(y)) << "left the binade of " << x;
            }
            ASSERT_EQ(Bits(y), Bits(want))
                << x << " after " << ups << "/" << births << "/" << deaths;
        }
    }
    EXPECT_GT(proved, 50) << "too few sums proved to test anything";
    Binade tiny;
    EXPECT_FALSE(PrepareBinade(tiny, FLT_TRUE_MIN, add, true));
    EXPECT_FALSE(StaysInBinade(1.0, tiny, add, 0, 0, 0)) << "an empty binade holds nothing";
}

// The upkeep runs that jump through whole binades equal the same upkeeps one by one, for
// balances at binade edges, tiny, huge, at 0, infinite and not a number, and for upkeeps that
// round to nothing, are positive, ties or not finite.
TEST(StepGrid, UpkeepRunsEqualTheUpkeepsOneByOne)
{
    std::mt19937 rng((uint32_t)TestSeed());
    const float balances[] = {1.0f,    std::nextafter(1.0f, 0.0f),
                              1024.0f, 1024.1f,
                              3.3e7f,  16777216.0f,
                              0.05f,   FLT_TRUE_MIN,
                              FLT_MAX, 0.0f,
                              -2.0f,   INFINITY,
                              NAN,     54342.91f,
                              0.2f,    131072.0f,
                              3.0e6f};
    // -0.375 is a tie (1.5 units) for 3.0e6, whose binade is [2^21, 2^22).
    const float upkeeps[] = {-0.1f, -1e-9f, -3.0f, -0.5f, 0.25f, 0.0f, -INFINITY, NAN, -0.375f};
    StepWork w = {};
    for (float up : upkeeps) {
        w.upkeep = up;
        CreditBooks books(w);
        for (float x : balances)
            for (uint64_t n : {1ull, 3ull, 4ull, 10ull, 1000ull, 100000ull, 1ull + rng() % 50000}) {
                const float got = PlainRun(books, x, n, 1);
                const float want = PlainUpkeeps(x, n, up);
                ASSERT_EQ(Bits(got), Bits(want))
                    << x << " after " << n << " upkeeps of " << up << ": got " << got;
            }
        // Owners 0 and 7 pay no upkeep: their positions only clamp.
        EXPECT_EQ(Bits(PlainRun(books, -5.0f, 9, 0)), 0u);
        EXPECT_EQ(Bits(PlainRun(books, 12.5f, 9, 7)), Bits(12.5f));
    }
}

// A tie binade runs its upkeeps one by one: no jump is taken, and the binade stays the one
// that holds the balance, so the next upkeep needs no new one. Past a tie the jump is taken.
TEST(StepGrid, ATieBinadeTakesNoJumpAndKeepsTheBinade)
{
    const Additions a(-0.375f, 0.0f, 0.0f);  // 1.5 units of [2^21, 2^22): a tie
    Binade j = NO_BINADE;
    float x = 3.0e6f;
    EXPECT_EQ(SteadyUpkeeps(j, a, x, 1000), 0u);
    EXPECT_EQ(Bits(x), Bits(3.0e6f));
    EXPECT_TRUE(j.Holds(x) && j.upIsTie);
    const Additions whole(-0.5f, 0.0f, 0.0f);  // 2 units there: no tie
    j = NO_BINADE;
    const uint64_t k = SteadyUpkeeps(j, whole, x, 1000);
    EXPECT_EQ(k, 1000u);
    EXPECT_EQ(Bits(x), Bits(PlainUpkeeps(3.0e6f, 1000, -0.5f)));
}

// The books' block floor: twice a block's lanes times the largest moves of a balance, and 0
// (every binade tried) for books made without a block, even where an addition is infinite.
TEST(StepGrid, TheBlockFloorCoversTwoBlocksOfTheLargestAdditions)
{
    StepWork w = {};
    w.upkeep = -0.25f;
    w.birth = -3.0f;
    w.death = 1.5f;
    EXPECT_EQ(CreditBooks(w, 32).blockFloor, 2.0 * 32 * 4.75);
    EXPECT_EQ(CreditBooks(w).blockFloor, 0.0);
    w.upkeep = -INFINITY;
    EXPECT_EQ(CreditBooks(w).blockFloor, 0.0);
    EXPECT_EQ(CreditBooks(w, 16).blockFloor, INFINITY);
}

// One block of an owner kept exactly, booked by ApplyBlock and then its pending positions, ends
// at the bits of the model's additions made lane by lane: for players and for owners 0 and 7,
// from balances at 0, small, at a binade's edge and large (where the block goes in one sum).
TEST(StepGrid, AnExactOwnersBlockEqualsItsAdditionsLaneByLane)
{
    const uint64_t seed = TestSeed();
    std::mt19937 rng((uint32_t)seed);
    StepWork w = {};
    w.upkeep = -0.1f;
    w.birth = -1.0f;
    w.death = 5.0f;
    enum Lane { other, plain, birth, death, decayDeath };
    const float balances[] = {0.0f, 0.3f, 4.9f, 256.05f, std::nextafter(512.0f, 0.0f), 12345.6f};
    for (unsigned int o : {1u, 6u, 0u, 7u}) {
        const bool player = o >= 1 && o <= 6;
        for (int round = 0; round < 3000; ++round) {
            CreditBooks books(w, 16);
            books.pending[o] = rng() % 40;
            const float start = balances[rng() % 6];
            w.bal[o] = start;
            // The model: the pending plain positions, then each lane in order.
            float want = start;
            for (uint64_t i = 0; i < books.pending[o]; ++i) {
                want = player ? want + w.upkeep : want;
                want = want > 0.0f ? want : 0.0f;
            }
            OwnerBlock block = {};
            Lane lanes[16];
            for (unsigned int i = 0; i < 16; ++i) {
                // Owner 0 never pays a death by decay: a cell that decays was owned.
                lanes[i] = (Lane)(rng() % (o == 0 ? 4 : 5));
                const uint64_t bit = 1ull << i;
                if (lanes[i] != other && lanes[i] != decayDeath)
                    block.mine |= bit;
                block.plain |= lanes[i] == plain ? bit : 0;
                block.births |= lanes[i] == birth ? bit : 0;
                block.decayDeaths |= lanes[i] == decayDeath ? bit : 0;
                block.pays |= (lanes[i] == birth || lanes[i] >= death) ? bit : 0;
            }
            if (block.pays == 0)
                continue;  // ApplyBlock books blocks where the owner pays an event
            for (Lane lane : lanes) {
                if (lane == other)
                    continue;
                if (lane != plain)
                    want = want + (lane == birth ? w.birth : w.death);
                if (lane == decayDeath)
                    continue;  // the position's upkeep and clamp are owner 0's
                want = player ? want + w.upkeep : want;
                want = want > 0.0f ? want : 0.0f;
            }
            ApplyBlock(w, books, o, block);
            ApplyPending(w, books, o);
            ASSERT_EQ(Bits(w.bal[o]), Bits(want))
                << "owner " << o << " from " << start << ": got " << w.bal[o] << " expected "
                << want << "; " << SeedNote(seed);
        }
    }
}

}  // namespace
