// Tests of the cell world: CellAuto against the slow model on random worlds, then the worked
// examples of the rule, the pattern mapping and pricing, and the degenerate world sizes.
#include <gtest/gtest.h>

#include "cellauto.h"
#include "model.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "seed.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Helpers

unsigned char GLIDER[9] = {1, 1, 1, 1, 0, 0, 0, 1, 0};

pattern Glider(unsigned int rotation = 0)
{
    return pattern{3, 3, rotation, GLIDER};
}

// Writes all of a present cell directly, as the engine's fill does through GetCurrentMap.
void Put(CellAuto& w, unsigned int x, unsigned int y, unsigned char alive, unsigned char owner,
         unsigned char age = 0)
{
    w.GetCurrentMap()[y * w.width + x] = Cell{alive, owner, age, 0};
}

// Every cell that is not all zero, in row-major order, as "(x,y)alive/owner/age" (with the
// spare byte appended if it is ever nonzero).
std::string Cells(CellAuto& w)
{
    std::string out;
    const Cell* map = w.GetCurrentMap();
    for (unsigned int i = 0; i < w.cellCount; ++i) {
        const Cell& c = map[i];
        if (c.alive == 0 && c.owner == 0 && c.age == 0 && c.spare == 0)
            continue;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s(%u,%u)%u/%u/%u", out.empty() ? "" : " ", i % w.width,
                      i / w.width, c.alive, c.owner, c.age);
        out += buf;
        if (c.spare != 0)
            out += "/spare" + std::to_string(c.spare);
    }
    return out;
}

// The live cells in row-major order, as "(x,y) (x,y) ...".
std::string Live(CellAuto& w)
{
    std::string out;
    const Cell* map = w.GetCurrentMap();
    for (unsigned int i = 0; i < w.cellCount; ++i)
        if (map[i].alive)
            out += (out.empty() ? "(" : " (") + std::to_string(i % w.width) + "," +
                   std::to_string(i / w.width) + ")";
    return out;
}

// Steps the world once and checks the model reaches the same state, so every worked example
// also checks the model the random tests rely on.
void StepChecked(CellAuto& w)
{
    model::World m;
    model::CopyFrom(m, w);
    w.Step();
    m.Step();
    EXPECT_EQ(model::Compare(w, m), "") << "world " << w.width << "x" << w.height;
}

uint32_t Bits(float f)
{
    return model::FloatBits(f);
}

// ---------------------------------------------------------------------------------------------
// Differential test: CellAuto against the model on random worlds

struct Rng {
    std::mt19937_64 gen;
    explicit Rng(uint64_t seed) : gen(seed) {}
    uint64_t Bits() { return gen(); }
    unsigned int Below(unsigned int n) { return n == 0 ? 0 : (unsigned int)(gen() % n); }
    bool OneIn(unsigned int n) { return Below(n) == 0; }
};

double ScaleFromEnvironment()
{
    const char* s = std::getenv("QUOLVANE_DIFF_SCALE");
    double scale = s != nullptr ? std::strtod(s, nullptr) : 1.0;
    return scale > 0.0 && std::isfinite(scale) ? scale : 1.0;
}

float FloatFromBits(uint32_t u)
{
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// A balance from the whole range the arithmetic must survive: zero of both signs, denormals,
// negatives, huge values, infinities, NaNs with assorted payloads, values a few ulps around a
// power of two (where the rounding step of the upkeep changes), and ordinary amounts.
float RandomBalance(Rng& r)
{
    switch (r.Below(12)) {
    case 0: return r.OneIn(2) ? 0.0f : -0.0f;
    case 1: return FloatFromBits(1 + r.Below(0x007fffff));  // positive denormal
    case 2: return -(float)r.Below(100000) / 64.0f;
    case 3: return r.OneIn(2) ? std::numeric_limits<float>::max() : 1e30f;
    case 4: return r.OneIn(2) ? INFINITY : -INFINITY;
    case 5: return FloatFromBits(0x7fc00000u | (r.OneIn(2) ? 0x80000000u : 0) | r.Below(0x3fffff));
    case 6:
    case 7: return FloatFromBits(Bits(std::ldexp(1.0f, (int)r.Below(40) - 8)) - 4 + r.Below(9));
    default: return (float)r.Below(100000) / 16.0f;
    }
}

// A coordinate inside the world, at its far edge, just below 2^32, or anywhere in 32 bits.
unsigned int RandomCoordinate(Rng& r, unsigned int size)
{
    switch (r.Below(4)) {
    case 0: return r.Below(size);
    case 1: return size - 1 - r.Below(size < 3 ? size : 3);
    case 2: return 0xffffffffu - r.Below(8);
    default: return (unsigned int)r.Bits();
    }
}

// A block side: usually 0 to 5, sometimes as large as the world or up to twice it.
unsigned int RandomSide(Rng& r, unsigned int worldSide)
{
    return r.OneIn(8) ? worldSide + r.Below(worldSide + 4) : r.Below(6);
}

// An age as the rule and stamping can leave it, plus the values around the limit.
unsigned char RandomAge(Rng& r)
{
    static const unsigned char special[] = {0, 1, 120, 121, 122, 126, 127, 128, 129, 130};
    return r.OneIn(4) ? special[r.Below(10)] : (unsigned char)r.Below(131);
}

// Random cells and balances. Live cells may carry an age too: a stamp over a dead owned cell
// keeps its age until the next step.
void FillRandom(CellAuto& w, Rng& r, unsigned int maxOwner)
{
    const unsigned int density = 5 + r.Below(80);       // percent live
    const unsigned int owners = 1 + r.Below(maxOwner);  // owners 0..owners appear
    const unsigned int ownedDead = r.Below(101);        // percent of dead cells that are owned
    const unsigned int agedLive = r.OneIn(2) ? 0 : r.Below(30);  // percent of live cells aged
    Cell* map = w.GetCurrentMap();
    for (unsigned int i = 0; i < w.cellCount; ++i) {
        Cell& c = map[i];
        c.alive = r.Below(100) < density;
        if (c.alive) {
            c.owner = (unsigned char)r.Below(owners + 1);
            c.age = r.Below(100) < agedLive ? RandomAge(r) : 0;
        } else if (r.Below(100) < ownedDead) {
            c.owner = (unsigned char)(1 + r.Below(owners));
            c.age = RandomAge(r);
        } else {
            c.age = r.OneIn(10) ? 128 : 0;  // an owner lost to decay one generation ago
        }
    }
    for (float& c : w.credits)
        c = RandomBalance(r);
}

// Tuning values other than the defaults, for both the world and the model: age limits that do
// and do not fit a byte, thresholds past 8, fast and no decay, and credit changes of either
// sign, zero, tiny and huge.
void RandomTuning(Rng& r, CellAuto& w, model::World& m)
{
    static const unsigned int limits[] = {0, 1, 2, 7, 50, 128, 200, 254, 255, 256, 1000};
    static const float factors[] = {0.0f, 0.5f, 1.0f, 1.25f, 3.7f, 16.0f, 40.0f, 99.5f};
    static const float credits[] = {0.0f,  -0.1f, 0.1f,   -1.0f, 5.0f,     -3.3f,     1e-40f,
                                    -1e6f, 1e30f, -0.75f, 0.25f, INFINITY, -INFINITY, NAN};
    w.ageLimit = m.ageLimit = limits[r.Below(11)];
    w.decayThreshold = m.decayThreshold = r.Below(11);
    w.decayFactor = m.decayFactor = factors[r.Below(8)];
    w.creditUpkeep = m.creditUpkeep = credits[r.Below(14)];
    w.creditBirth = m.creditBirth = credits[r.Below(14)];
    w.creditDeath = m.creditDeath = credits[r.Below(14)];
    w.costOwn = m.costOwn = (float)r.Below(20000) / 8.0f;
    w.costNeutral = m.costNeutral = (float)r.Below(20000);
    w.costEnemy = m.costEnemy = (float)r.Below(100000) / 3.0f;
}

struct Size {
    unsigned int width, height;
};

// The shapes every run of the default tuning covers, whatever its scale: the smallest worlds,
// 2-wide and 2-high strips, odd sizes, widths around multiples of 16 and 32 cells, wide ones,
// and the game's own size (where a busy generation has thousands of births and deaths).
const Size SHAPES[] = {{2, 2},   {2, 3},   {3, 2},   {2, 41}, {41, 2},   {2, 200},
                       {300, 2}, {3, 3},   {5, 5},   {7, 13}, {15, 9},   {16, 7},
                       {17, 8},  {31, 5},  {32, 6},  {33, 7}, {63, 4},   {64, 9},
                       {65, 3},  {97, 11}, {257, 3}, {3, 97}, {333, 11}, {640, 360}};
const unsigned int kShapeCount = sizeof SHAPES / sizeof SHAPES[0];

Size RandomSize(Rng& r)
{
    static const unsigned int edges[] = {15, 16, 17, 31, 32, 33, 47, 48, 49, 63, 64, 65, 95, 96};
    unsigned int w;
    switch (r.Below(4)) {
    case 0: w = 2 + r.Below(8); break;
    case 1: w = edges[r.Below(14)]; break;
    case 2: w = 10 + r.Below(60); break;
    default: w = 70 + r.Below(300); break;
    }
    const unsigned int maxH = 6000 / w < 3 ? 3 : 6000 / w;
    const unsigned int h = 2 + r.Below(r.OneIn(2) ? 9 : maxH - 1);
    return r.OneIn(2) ? Size{w, h} : Size{h, w};
}

struct DiffOptions {
    unsigned int worlds;    // random worlds after the fixed shapes
    unsigned int maxOwner;  // owners 0..maxOwner appear
    bool otherTunings;      // random tuning values instead of the defaults
};

// Runs random worlds through CellAuto and the model, with random pricing, stamping, single cell
// writes and balance changes between the steps, and compares everything after each of them.
// Returns the number of steps taken.
unsigned long RunDifferential(uint64_t seed, const DiffOptions& opt)
{
    Rng r(seed);
    unsigned long total = 0;
    std::vector<unsigned char> block;
    const unsigned int shapes = opt.otherTunings || opt.maxOwner != 6 ? 0 : kShapeCount;
    for (unsigned int n = 0; n < shapes + opt.worlds; ++n) {
        const Size size = n < shapes ? SHAPES[n] : RandomSize(r);
        const unsigned int steps = size.width * size.height > 100000 ? 16 : 64;
        CellAuto w(size.width, size.height);
        FillRandom(w, r, opt.maxOwner);
        model::World m;
        model::CopyFrom(m, w);
        if (opt.otherTunings)
            RandomTuning(r, w, m);
        char where[200];
        std::snprintf(where, sizeof where,
                      "seed %llu, world #%u %ux%u (ageLimit %u, decayThreshold %u, decayFactor "
                      "%g, upkeep %g, birth %g, death %g)",
                      (unsigned long long)seed, n, size.width, size.height, w.ageLimit,
                      w.decayThreshold, (double)w.decayFactor, (double)w.creditUpkeep,
                      (double)w.creditBirth, (double)w.creditDeath);
        for (unsigned int step = 1; step <= steps; ++step) {
            // Between steps: what the engine and the front end may do to the world.
            while (r.OneIn(2)) {
                const unsigned char player = (unsigned char)r.Below(opt.maxOwner + 1);
                const unsigned int x = RandomCoordinate(r, size.width);
                const unsigned int y = RandomCoordinate(r, size.height);
                if (r.OneIn(4)) {
                    const unsigned char alive = (unsigned char)r.Below(2);
                    w.SetCell(x, y, alive, player);
                    m.SetCell(x, y, alive, player);
                    continue;
                }
                if (r.OneIn(8)) {
                    const float b = RandomBalance(r);
                    const unsigned int o = r.Below(8);
                    w.credits[o] = b;
                    m.credits[o] = b;
                    continue;
                }
                const unsigned int bw = RandomSide(r, size.width);
                const unsigned int bh = RandomSide(r, size.height);
                const unsigned int density = r.Below(101);
                block.resize((size_t)bw * bh + 1);
                for (size_t i = 0; i < (size_t)bw * bh; ++i)
                    block[i] = r.Below(100) < density;
                pattern pat{bw, bh, (unsigned int)r.Bits(), block.data()};
                const float got = w.GetBuildCost(player, x, y, &pat);
                const float expected = m.GetBuildCost(player, x, y, &pat);
                if (!model::SameFloat(got, expected)) {
                    ADD_FAILURE() << where << ", before step " << step << ": GetBuildCost(player "
                                  << (int)player << ", " << x << ", " << y << ", " << bw << "x"
                                  << bh << " block, rotation " << pat.rotation << "): got " << got
                                  << " expected " << expected;
                    return total;
                }
                if (r.OneIn(2)) {
                    const unsigned char rotation = (unsigned char)r.Below(256);
                    w.PutPattern(player, x, y, bw, bh, block.data(), rotation);
                    m.PutPattern(player, x, y, bw, bh, block.data(), rotation);
                    const std::string diff = model::Compare(w, m);
                    if (!diff.empty()) {
                        ADD_FAILURE()
                            << where << ", before step " << step << ": PutPattern(player "
                            << (int)player << ", " << x << ", " << y << ", " << bw << "x" << bh
                            << " block, rotation " << (int)rotation << "): " << diff;
                        return total;
                    }
                }
            }
            w.Step();
            m.Step();
            ++total;
            const std::string diff = model::Compare(w, m);
            if (!diff.empty()) {
                ADD_FAILURE() << where << ", step " << step << ": " << diff;
                return total;
            }
        }
    }
    return total;
}

void RunDifferentialTest(unsigned int baseWorlds, unsigned int maxOwner, bool otherTunings)
{
    const uint64_t seed = TestSeed();
    const double scale = ScaleFromEnvironment();
    const DiffOptions opt = {std::max(1u, (unsigned int)std::lround(baseWorlds * scale)), maxOwner,
                             otherTunings};
    std::printf("scale %g, step build %s\n", scale, StepIsaName());
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const unsigned long total = RunDifferential(seed, opt);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%lu steps compared in %.2f s\n", total, seconds);
}

TEST(CellAutoDifferential, MatchesModelOnRandomWorlds)
{
    RunDifferentialTest(200, 6, false);
}

// Owner 7 is within the rule's domain (it indexes the last balance) though the system never
// stores it: it pays no upkeep but its balance is still clamped.
TEST(CellAutoDifferential, MatchesModelWithOwnerSeven)
{
    RunDifferentialTest(20, 7, false);
}

// The tuning values are public fields; the step must follow the rule for any of them.
TEST(CellAutoDifferential, MatchesModelWithOtherTunings)
{
    RunDifferentialTest(40, 6, true);
}

// Steps `worlds` random worlds of W x H cells `steps` times against the model, letting
// setBalances(rng, world, model) put balances in both before every step.
template <class SetBalances>
void RunWithBalancesSet(unsigned int baseWorlds, unsigned int W, unsigned int H, unsigned int steps,
                        SetBalances setBalances)
{
    const uint64_t seed = TestSeed();
    Rng r(seed);
    const unsigned int worlds =
        std::max(1u, (unsigned int)std::lround(baseWorlds * ScaleFromEnvironment()));
    for (unsigned int n = 0; n < worlds; ++n) {
        CellAuto w(W, H);
        FillRandom(w, r, 6);
        model::World m;
        model::CopyFrom(m, w);
        for (unsigned int step = 1; step <= steps; ++step) {
            setBalances(r, w, m);
            std::string balances;
            for (unsigned int o = 0; o < 8; ++o)
                balances += (o ? " " : "") + model::DescribeFloat(m.credits[o]);
            w.Step();
            m.Step();
            const std::string diff = model::Compare(w, m);
            ASSERT_TRUE(diff.empty()) << "seed " << seed << ", world #" << n << ", step " << step
                                      << " (balances before: " << balances << "): " << diff;
        }
    }
}

// The step settles a balance that sits inside one binade of the float grid in one exact sum per
// band of rows, and one that might leave it block by block. Balances just above and below
// powers of two, in binades where the additions round to ties, and in many bands of a world
// whose width is no multiple of a vector, must still follow the model bit for bit, step after
// step, as they cross from one binade into the next.
TEST(CellAutoDifferential, MatchesModelWhereBalancesCrossBinades)
{
    RunWithBalancesSet(6, 700, 48, 24, [](Rng& r, CellAuto& w, model::World& m) {
        for (unsigned int o = 1; o <= 6; ++o) {
            if (!r.OneIn(3))
                continue;
            // 2^k, then a few steps of the grid there up or down, or an upkeep's worth more or
            // less: k from 1 to 27 reaches binades whose spacing makes a birth a tie.
            const int k = 1 + (int)r.Below(27);
            const float base = std::ldexp(1.0f, k);
            const float b = r.OneIn(2) ? FloatFromBits(Bits(base) - 8 + r.Below(17))
                                       : base + (float)((int)r.Below(401) - 200) * 0.1f;
            w.credits[o] = m.credits[o] = b;
        }
    });
}

// A balance hovering at a power of two is kept exactly, block by block: in one sum where a
// block cannot reach the edge, position by position where it can. Here one player sits a few
// upkeeps from 2^19 step after step, from above or below, while another sits just above a small
// power of two, so that bands fail in bulk and run again with the first player's waiting
// positions put back.
TEST(CellAutoDifferential, MatchesModelWhenABalanceHoversAtAPowerOfTwo)
{
    RunWithBalancesSet(4, 640, 40, 12, [](Rng& r, CellAuto& w, model::World& m) {
        w.credits[2] = m.credits[2] = 524288.0f + (float)((int)r.Below(121) - 60) * 0.25f;
        w.credits[3] = m.credits[3] =
            FloatFromBits(Bits(std::ldexp(1.0f, 6 + (int)r.Below(6))) + r.Below(40));
    });
}

// A world run down: every balance a few additions from 0, so that every owner is kept exactly,
// position by position in lane order, and rows wide enough that each is applied in several
// chunks of blocks, for every vector width.
TEST(CellAutoDifferential, MatchesModelWhenEveryBalanceRunsDown)
{
    RunWithBalancesSet(3, 1500, 24, 16, [](Rng& r, CellAuto& w, model::World& m) {
        for (unsigned int o = 0; o < 8; ++o)
            w.credits[o] = m.credits[o] = (float)r.Below(4) * 0.7f;
    });
}

// A world too large to stay cached has its new map streamed past the caches: every cell must
// still land where the model puts it, the last blocks of the rows included (the width is no
// multiple of the widest vector), whether balances are kept in bulk or near 0.
TEST(CellAutoDifferential, MatchesModelOnAWorldTooLargeToCache)
{
    RunWithBalancesSet(1, 2064, 2040, 2, [](Rng& r, CellAuto& w, model::World& m) {
        for (unsigned int o = 1; o <= 6; ++o)
            w.credits[o] = m.credits[o] = r.OneIn(2) ? 0.0f : RandomBalance(r);
    });
}

// Each CTest variant of the differential tests asks for one build of the step by
// QUOLVANE_STEP_ISA. Where this processor cannot run that build, the whole variant skips, saying
// so, rather than quietly testing another build: the processor is asked when the tests run,
// never when they are built, so a build machine and a test machine may differ.
class RequestedStepBuild : public ::testing::Environment {
public:
    void SetUp() override
    {
        const char* asked = std::getenv("QUOLVANE_STEP_ISA");
        if (asked != nullptr && *asked != '\0' && !StepBuildRunsHere(asked))
            GTEST_SKIP() << "QUOLVANE_STEP_ISA=" << asked << ": this processor does not run the "
                         << asked << " build of the step";
    }
};
::testing::Environment* const requestedStepBuild =
    ::testing::AddGlobalTestEnvironment(new RequestedStepBuild);

// The builds this processor runs, widest first, as the world tells.
std::vector<std::string> StepBuildsHere()
{
    std::vector<std::string> here;
    for (unsigned int i = 0; StepBuildName(i) != nullptr; ++i)
        if (StepBuildRunsHere(StepBuildName(i)))
            here.push_back(StepBuildName(i));
    return here;
}

// A requested build runs as asked. Without a request a build this processor runs must run, and
// not the portable one unless it is the only one. (Not necessarily the widest: under valgrind
// the processor seems narrower.)
TEST(CellAutoDifferential, RunsTheRequestedStepBuild)
{
    const char* env = std::getenv("QUOLVANE_STEP_ISA");
    const std::string asked = env != nullptr ? env : "";
    const std::vector<std::string> here = StepBuildsHere();
    std::set<std::string> expected = {asked};
    if (asked.empty()) {
        expected = std::set<std::string>(here.begin(), here.end());
        if (expected.size() > 1)
            expected.erase("portable");
    }
    std::string names;
    for (const std::string& name : here)
        names += " " + name;
    const std::string got = StepIsaName();
    EXPECT_EQ(expected.count(got), 1u) << "QUOLVANE_STEP_ISA=\"" << asked << "\": got the " << got
                                       << " build; this processor runs" << names;
    EXPECT_FALSE(StepBuildRunsHere("no-such-build"));
    EXPECT_TRUE(StepBuildRunsHere("portable")) << "the portable build runs anywhere";
}

// ---------------------------------------------------------------------------------------------
// The world: construction and cell access

TEST(CellAutoWorld, ConstructionGivesZeroedMapsAndDefaultTuning)
{
    CellAuto w(4, 3);
    ASSERT_NE(w.currentMap, nullptr);
    ASSERT_NE(w.nextMap, nullptr);
    EXPECT_NE(w.currentMap, w.nextMap);
    EXPECT_EQ(w.cellCount, 12u);
    const Cell zero = {0, 0, 0, 0};
    for (unsigned int i = 0; i < 12; ++i) {
        EXPECT_TRUE(model::SameCell(w.currentMap[i], zero)) << "currentMap[" << i << "]";
        EXPECT_TRUE(model::SameCell(w.nextMap[i], zero)) << "nextMap[" << i << "]";
    }

    // Both constructors set the tuning values of the rule, which the model copies.
    CellAuto empty;
    EXPECT_EQ(empty.width, 0u);
    EXPECT_EQ(empty.height, 0u);
    EXPECT_EQ(empty.cellCount, 0u);
    EXPECT_EQ(empty.GetCurrentMap(), nullptr);
    EXPECT_EQ(empty.nextMap, nullptr);
    const model::World m;
    for (const CellAuto* c : {&w, &empty}) {
        EXPECT_EQ(c->ageLimit, m.ageLimit);
        EXPECT_EQ(c->decayThreshold, m.decayThreshold);
        const float got[] = {c->decayFactor, c->creditUpkeep, c->creditBirth, c->creditDeath,
                             c->costOwn,     c->costNeutral,  c->costEnemy};
        const float expected[] = {m.decayFactor, m.creditUpkeep, m.creditBirth, m.creditDeath,
                                  m.costOwn,     m.costNeutral,  m.costEnemy};
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(Bits(got[i]), Bits(expected[i]))
                << "tuning value " << i << ": got " << got[i] << " expected " << expected[i];
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(Bits(c->credits[i]), 0u) << "credits[" << i << "]";
    }
}

// The step streams whole vectors into a map only where they are aligned, so maps of any size
// start on a 64-byte boundary, zeroed to the last cell, and stay so as the steps swap them.
TEST(CellAutoWorld, MapsStartOnA64ByteBoundaryZeroed)
{
    const unsigned int sizes[][2] = {{1, 1}, {3, 5}, {640, 360}, {1023, 7}};
    for (const auto& size : sizes) {
        CellAuto w(size[0], size[1]);
        for (int step = 0; step < 2; ++step) {
            for (const Cell* map : {w.currentMap, w.nextMap}) {
                ASSERT_NE(map, nullptr);
                EXPECT_EQ((uintptr_t)map % 64, 0u) << size[0] << "x" << size[1];
                const Cell& last = map[w.cellCount - 1];
                EXPECT_EQ(last.alive | last.owner | last.age | last.spare, 0) << size[0];
            }
            w.Step();
        }
    }
}

TEST(CellAutoWorld, SetCellAndGetCellReduceCoordinates)
{
    CellAuto w(4, 3);
    w.SetCell(4 + 1, 3 + 2, 1, 2);
    EXPECT_EQ(Cells(w), "(1,2)1/2/0");
    EXPECT_EQ(w.GetCell(1, 2), &w.GetCurrentMap()[2 * 4 + 1]);
    EXPECT_EQ(w.GetCell(5, 5), w.GetCell(1, 2));

    // 4294967295 mod 4 is 3 and 4294967295 mod 3 is 0.
    w.SetCell(4294967295u, 4294967295u, 1, 6);
    EXPECT_EQ(Cells(w), "(3,0)1/6/0 (1,2)1/2/0");
    EXPECT_EQ(w.GetCell(4294967295u, 4294967295u), &w.GetCurrentMap()[3]);

    // The age and spare bytes are not SetCell's to change.
    Put(w, 2, 1, 0, 3, 37);
    w.SetCell(2, 1, 1, 4);
    EXPECT_EQ(Cells(w), "(3,0)1/6/0 (2,1)1/4/37 (1,2)1/2/0");
}

TEST(CellAutoWorld, StepExchangesMapsAndKeepsThePreviousGeneration)
{
    CellAuto w(6, 5);
    Put(w, 1, 2, 1, 1);
    Put(w, 2, 2, 1, 1);
    Put(w, 3, 2, 1, 1);
    Put(w, 4, 4, 0, 2, 9);
    Cell* first = w.GetCurrentMap();
    const std::vector<Cell> before(first, first + w.cellCount);
    w.Step();
    Cell* second = w.GetCurrentMap();
    EXPECT_NE(second, first);
    EXPECT_EQ(w.nextMap, first);
    for (unsigned int i = 0; i < w.cellCount; ++i)
        EXPECT_TRUE(model::SameCell(w.nextMap[i], before[i]))
            << "previous generation cell " << i << ": got " << model::DescribeCell(w.nextMap[i])
            << " expected " << model::DescribeCell(before[i]);
    w.Step();
    EXPECT_EQ(w.GetCurrentMap(), first);
    EXPECT_EQ(w.nextMap, second);
}

// ---------------------------------------------------------------------------------------------
// The step: worked examples

TEST(CellAutoStep, Blinker)
{
    CellAuto w(5, 5);
    Put(w, 1, 2, 1, 1);
    Put(w, 2, 2, 1, 1);
    Put(w, 3, 2, 1, 1);
    w.credits[1] = 10.0f;
    StepChecked(w);
    // Births at (2,1) and (2,3), deaths with age 4 (k = 7) at (1,2) and (3,2).
    EXPECT_EQ(Cells(w), "(2,1)1/1/0 (1,2)0/1/4 (2,2)1/1/0 (3,2)0/1/4 (2,3)1/1/0");
    for (int o = 0; o < 8; ++o)
        EXPECT_EQ(Bits(w.credits[o]), o == 1 ? Bits(17.499998f) : 0u)
            << "credits[" << o << "] = " << model::DescribeFloat(w.credits[o]);

    // Back again: the dying ends see five differently owned neighbours and get age 2; the
    // reborn ends lose their age.
    StepChecked(w);
    EXPECT_EQ(Cells(w), "(2,1)0/1/2 (1,2)1/1/0 (2,2)1/1/0 (3,2)1/1/0 (2,3)0/1/2");
}

TEST(CellAutoStep, ClampDependsOnVisitingOrder)
{
    // Dead owned cell first: its upkeep is clamped away before the death bonus arrives.
    CellAuto a(5, 5);
    Put(a, 1, 1, 0, 1);
    Put(a, 3, 3, 1, 1);
    StepChecked(a);
    EXPECT_EQ(Bits(a.credits[1]), Bits(4.9f)) << "got " << model::DescribeFloat(a.credits[1]);
    EXPECT_EQ(Cells(a), "(1,1)0/1/6 (3,3)0/1/6");

    // Live cell first: both upkeeps come off the death bonus.
    CellAuto b(5, 5);
    Put(b, 1, 1, 1, 1);
    Put(b, 3, 3, 0, 1);
    StepChecked(b);
    EXPECT_EQ(Bits(b.credits[1]), Bits(4.8f)) << "got " << model::DescribeFloat(b.credits[1]);
    EXPECT_EQ(Cells(b), "(1,1)0/1/6 (3,3)0/1/6");
}

TEST(CellAutoStep, NewbornOwner)
{
    enum { NW, N, NE, W, E, SW, S, SE };
    static const int dx[] = {-1, 0, 1, -1, 1, -1, 0, 1};
    static const int dy[] = {-1, -1, -1, 0, 0, 1, 1, 1};
    struct Parent {
        int where;
        unsigned char owner;
    };
    const struct {
        std::vector<Parent> parents;
        unsigned char former;  // the dead centre's owner
        unsigned char alive;   // expected
        unsigned char owner;   // expected
    } cases[] = {
        {{{N, 4}, {W, 4}, {SE, 2}}, 1, 1, 4},
        {{{NW, 2}, {E, 3}, {S, 1}}, 5, 1, 2},  // all differ: the first in scan order
        {{{NE, 5}, {SW, 3}, {S, 3}}, 1, 1, 3},
        {{{NW, 0}, {N, 0}, {SE, 5}}, 3, 1, 3},  // candidate 0 keeps the former owner
        {{{NW, 0}, {N, 2}, {NE, 3}}, 6, 1, 6},
        {{{W, 0}, {E, 0}, {S, 0}}, 0, 1, 0},
        {{{NW, 1}, {N, 1}, {NE, 1}, {SE, 1}}, 2, 0, 2},  // four parents: no birth
        {{{NW, 3}, {SE, 4}}, 2, 0, 2},
    };
    for (const auto& c : cases) {
        CellAuto w(5, 5);
        Put(w, 2, 2, 0, c.former);
        std::string fed = "dead centre of owner " + std::to_string(c.former) + ", parents";
        for (const Parent& p : c.parents) {
            Put(w, 2 + dx[p.where], 2 + dy[p.where], 1, p.owner);
            fed += " " + std::to_string(p.where) + ":" + std::to_string(p.owner);
        }
        StepChecked(w);
        const Cell* got = w.GetCell(2, 2);
        EXPECT_EQ(got->alive, c.alive) << fed;
        EXPECT_EQ(got->owner, c.owner) << fed;
    }
}

TEST(CellAutoStep, UnownedBirthChargesEntryZero)
{
    // An L of three unowned cells becomes a block with one birth and no death; the birth cost
    // goes to credits[0] and is clamped there like any other balance.
    for (float start : {10.0f, 0.5f}) {
        CellAuto w(6, 6);
        Put(w, 1, 1, 1, 0);
        Put(w, 2, 1, 1, 0);
        Put(w, 1, 2, 1, 0);
        w.credits[0] = start;
        StepChecked(w);
        EXPECT_EQ(Live(w), "(1,1) (2,1) (1,2) (2,2)");
        const float expected = start > 1.0f ? start - 1.0f : 0.0f;
        EXPECT_EQ(Bits(w.credits[0]), Bits(expected))
            << "credits[0] from " << start << ": got " << w.credits[0] << " expected " << expected;
    }
}

TEST(CellAutoStep, AgeingByDifferentlyOwnedNeighbours)
{
    // In a 3 x 3 world every other cell is a neighbour of the centre exactly once, so k is the
    // number of other cells owned by player 2 around the dead centre of player 1.
    const unsigned char added[] = {0, 0, 0, 0, 1, 2, 3, 4, 6};
    for (unsigned int k = 0; k <= 8; ++k) {
        CellAuto w(3, 3);
        unsigned int placed = 0;
        for (unsigned int i = 0; i < 9; ++i) {
            const bool other = i != 4 && placed++ < k;
            w.GetCurrentMap()[i] = Cell{0, (unsigned char)(other ? 2 : 1), 10, 0};
        }
        StepChecked(w);
        const Cell* c = w.GetCell(1, 1);
        EXPECT_EQ(c->owner, 1) << "k = " << k;
        EXPECT_EQ(c->age, 10 + added[k]) << "k = " << k;
    }

    // Age 127 with k = 4 reaches the limit: the cell loses its owner and shows 128.
    // Age 128 on an owned dead cell (a lost cell stamped by a player) starts again from 0.
    for (unsigned char age : {127, 128}) {
        CellAuto w(3, 3);
        for (unsigned int i = 0; i < 9; ++i)
            w.GetCurrentMap()[i] = Cell{0, (unsigned char)(i < 4 ? 2 : 1), 0, 0};
        w.GetCurrentMap()[4].age = age;
        StepChecked(w);
        const Cell* c = w.GetCell(1, 1);
        if (age == 127) {
            EXPECT_EQ(c->owner, 0);
            EXPECT_EQ(c->age, 128);
        } else {
            EXPECT_EQ(c->owner, 1);
            EXPECT_EQ(c->age, 0);
        }
    }
}

TEST(CellAutoStep, LoneDeadCellDecays)
{
    CellAuto w(5, 5);
    Put(w, 2, 2, 0, 1);
    w.credits[1] = 100.0f;
    float expected = 100.0f;
    for (unsigned int step = 1; step <= 21; ++step) {
        StepChecked(w);
        expected += -0.1f;
        EXPECT_EQ(Cells(w), "(2,2)0/1/" + std::to_string(6 * step)) << "step " << step;
    }
    StepChecked(w);
    EXPECT_EQ(Cells(w), "(2,2)0/0/128") << "step 22";
    StepChecked(w);
    EXPECT_EQ(Cells(w), "") << "step 23";
    EXPECT_EQ(Bits(w.credits[1]), Bits(expected))
        << "after 21 upkeeps: got " << w.credits[1] << " expected " << expected;
}

TEST(CellAutoStep, EdgesWrapLikeAnywhereElse)
{
    // The bottom-right corner sees column 0 as its east side.
    CellAuto corner(5, 5);
    Put(corner, 0, 3, 1, 2);
    Put(corner, 0, 4, 1, 2);
    Put(corner, 3, 4, 1, 2);
    StepChecked(corner);
    EXPECT_EQ(corner.GetCell(4, 4)->alive, 1);
    EXPECT_EQ(corner.GetCell(4, 4)->owner, 2);

    // A blinker centred on the corner.
    CellAuto blinker(5, 5);
    Put(blinker, 3, 4, 1, 1);
    Put(blinker, 4, 4, 1, 1);
    Put(blinker, 0, 4, 1, 1);
    for (int i = 0; i < 2; ++i) {
        StepChecked(blinker);
        EXPECT_EQ(Live(blinker), "(4,0) (4,3) (4,4)");
        StepChecked(blinker);
        EXPECT_EQ(Live(blinker), "(0,4) (3,4) (4,4)");
    }

    // Two wide or two high: the other column (row) sees every live cell twice, so a line of
    // three shrinks to its middle and nothing is born.
    CellAuto narrow(2, 5);
    Put(narrow, 0, 1, 1, 3);
    Put(narrow, 0, 2, 1, 3);
    Put(narrow, 0, 3, 1, 3);
    StepChecked(narrow);
    EXPECT_EQ(Live(narrow), "(0,2)");
    CellAuto low(5, 2);
    Put(low, 1, 0, 1, 3);
    Put(low, 2, 0, 1, 3);
    Put(low, 3, 0, 1, 3);
    StepChecked(low);
    EXPECT_EQ(Live(low), "(2,0)");

    // A block split over the four corners is a still life.
    for (Size s : {Size{4, 4}, Size{5, 7}, Size{9, 6}}) {
        CellAuto w(s.width, s.height);
        const unsigned int r = s.width - 1, b = s.height - 1;
        Put(w, 0, 0, 1, 3);
        Put(w, r, 0, 1, 3);
        Put(w, 0, b, 1, 3);
        Put(w, r, b, 1, 3);
        const std::string start = Cells(w);
        for (int i = 0; i < 3; ++i) {
            StepChecked(w);
            EXPECT_EQ(Cells(w), start) << s.width << "x" << s.height << " step " << i + 1;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Patterns: mapping, stamping and pricing

TEST(CellAutoPattern, GliderRotationsLandAsTabled)
{
    // Live and zero cells of the glider by rotation, as (column, row) offsets from the anchor.
    const char* liveCells[] = {
        "(0,0) (1,0) (2,0) (0,1) (1,2)",
        "(0,3) (0,2) (0,1) (1,3) (2,2)",
        "(3,3) (2,3) (1,3) (3,2) (2,1)",
        "(3,0) (3,1) (3,2) (2,0) (1,1)",
    };
    const char* zeroCells[] = {
        "(1,1) (2,1) (0,2) (2,2)",
        "(1,2) (1,1) (2,3) (2,1)",
        "(2,2) (1,2) (3,1) (1,1)",
        "(2,1) (2,2) (1,0) (1,2)",
    };
    for (unsigned int rotation = 0; rotation < 8; ++rotation) {
        // The shared mapping, in block order.
        std::string live, zero;
        for (unsigned int i = 0; i < 3; ++i)
            for (unsigned int j = 0; j < 3; ++j) {
                unsigned int tx, ty;
                PatternCellTarget(rotation, 0, 0, 3, 3, i, j, &tx, &ty);
                std::string& list = GLIDER[i * 3 + j] ? live : zero;
                list += (list.empty() ? "(" : " (") + std::to_string(tx) + "," +
                        std::to_string(ty) + ")";
            }
        EXPECT_EQ(live, liveCells[rotation & 3]) << "rotation " << rotation;
        EXPECT_EQ(zero, zeroCells[rotation & 3]) << "rotation " << rotation;

        // Stamping at (5,6) in a 12 x 12 world for player 4 writes exactly those nine cells.
        CellAuto w(12, 12);
        EXPECT_EQ(w.PutPattern(4, 5, 6, 3, 3, GLIDER, (unsigned char)rotation), 0);
        std::string got;
        unsigned int count = 0;
        for (unsigned int y = 0; y < 12; ++y)
            for (unsigned int x = 0; x < 12; ++x) {
                const Cell* c = w.GetCell(x, y);
                if (c->owner == 0)
                    continue;
                ++count;
                const std::string at =
                    "(" + std::to_string(x - 5) + "," + std::to_string(y - 6) + ")";
                const std::string list =
                    c->alive ? liveCells[rotation & 3] : zeroCells[rotation & 3];
                EXPECT_EQ(c->owner, 4) << "rotation " << rotation << " at " << at;
                EXPECT_NE(list.find(at), std::string::npos)
                    << "rotation " << rotation << ": cell " << at << " alive " << (int)c->alive
                    << " is not in the list " << list;
            }
        EXPECT_EQ(count, 9u) << "rotation " << rotation;
    }

    // Rotation 2 at (10, 10) leaves the anchor itself alone.
    CellAuto w(20, 20);
    w.PutPattern(1, 10, 10, 3, 3, GLIDER, 2);
    EXPECT_EQ(Cells(w), "(11,11)0/1/0 (12,11)1/1/0 (13,11)0/1/0 "
                        "(11,12)0/1/0 (12,12)0/1/0 (13,12)1/1/0 "
                        "(11,13)1/1/0 (12,13)1/1/0 (13,13)1/1/0");
}

TEST(CellAutoPattern, BuildCostByGround)
{
    CellAuto w(10, 10);
    pattern g = Glider();
    // The glider's live cells at anchor (3,3), rotation 0.
    const unsigned int lx[] = {3, 4, 5, 3, 4}, ly[] = {3, 3, 3, 4, 5};
    auto ground = [&](unsigned char alive, unsigned char owner) {
        for (int i = 0; i < 5; ++i)
            Put(w, lx[i], ly[i], alive, owner, 17);
    };
    EXPECT_EQ(w.GetBuildCost(1, 3, 3, &g), 25000.0f) << "unowned ground";
    ground(0, 1);
    EXPECT_EQ(w.GetBuildCost(1, 3, 3, &g), 5000.0f) << "own dead ground";
    ground(1, 1);
    EXPECT_EQ(w.GetBuildCost(1, 3, 3, &g), 0.0f) << "own live ground";
    ground(0, 2);
    EXPECT_EQ(w.GetBuildCost(1, 3, 3, &g), 85000.0f) << "enemy dead ground";
    ground(1, 6);
    EXPECT_EQ(w.GetBuildCost(1, 3, 3, &g), 85000.0f) << "enemy live ground";
    ground(1, 0);
    EXPECT_EQ(w.GetBuildCost(1, 3, 3, &g), 25000.0f) << "unowned live ground";

    // Mixed: own dead, own live, unowned live, enemy dead, unowned dead.
    Put(w, 3, 3, 0, 1);
    Put(w, 4, 3, 1, 1);
    Put(w, 5, 3, 1, 0);
    Put(w, 3, 4, 0, 5);
    Put(w, 4, 5, 0, 0);
    const std::string before = Cells(w);
    EXPECT_EQ(w.GetBuildCost(1, 3, 3, &g), 28000.0f);
    EXPECT_EQ(Cells(w), before) << "pricing changed the world";

    // An enemy live cell under a zero byte is not priced, and stamping kills it for the player.
    CellAuto e(10, 10);
    Put(e, 4, 4, 1, 2);
    EXPECT_EQ(e.GetBuildCost(1, 3, 3, &g), 25000.0f);
    e.PutPattern(1, 3, 3, 3, 3, GLIDER, 0);
    EXPECT_EQ(e.GetCell(4, 4)->alive, 0);
    EXPECT_EQ(e.GetCell(4, 4)->owner, 1);
}

// Weights far apart: 3948 cells of another player's ground at 17000, then in block order 40 of
// the player's dead ground at 0.1 (as a float). The exact total, 67116004.0000000596, lies just
// above the half-way point between the floats 67116000 and 67116008, so it rounds up. Adding the
// weights one by one in double would round on the way (17000 x 3948 is past 2^26, where a double
// no longer holds 0.1's last bit) and end just below that point, at 67116000.
TEST(CellAutoPattern, BuildCostIsExactWithWeightsFarApart)
{
    CellAuto w(64, 64);
    w.costOwn = 0.1f;
    Cell* map = w.GetCurrentMap();
    for (unsigned int i = 0; i < w.cellCount; ++i)
        map[i] = i < 3948 ? Cell{1, 2, 0, 0} : i < 3988 ? Cell{0, 1, 0, 0} : Cell{1, 1, 0, 0};
    model::World m;
    model::CopyFrom(m, w);
    m.costOwn = w.costOwn;
    std::vector<unsigned char> ones(w.cellCount, 1);
    pattern all{64, 64, 0, ones.data()};
    EXPECT_EQ(w.GetBuildCost(1, 0, 0, &all), 67116008.0f);
    EXPECT_EQ(m.GetBuildCost(1, 0, 0, &all), 67116008.0f) << "the model";
}

TEST(CellAutoPattern, BlocksWrapAroundTheWorld)
{
    unsigned char ones[6] = {1, 1, 1, 1, 1, 1};

    // Anchored one cell from the right edge, the rest continues at column 0.
    CellAuto edge(8, 6);
    edge.PutPattern(5, 7, 1, 3, 2, ones, 0);
    EXPECT_EQ(Live(edge), "(0,1) (1,1) (7,1) (0,2) (1,2) (7,2)");

    // Sums wrap at 2^32 before the reduction: x = 4294967295 is column 3 of a 6-wide world,
    // x + 1 is 0 and x + 2 is 1 (not columns 4 and 5).
    CellAuto big(6, 5);
    big.PutPattern(2, 4294967295u, 4294967294u, 3, 1, ones, 0);
    EXPECT_EQ(Live(big), "(0,4) (1,4) (3,4)");
    pattern row{3, 1, 0, ones};
    EXPECT_EQ(big.GetBuildCost(2, 4294967295u, 4294967294u, &row), 0.0f);
    EXPECT_EQ(big.GetBuildCost(3, 4294967295u, 4294967294u, &row), 51000.0f);

    // A 4 x 3 block over a 3 x 2 world covers some cells several times: the block cell that
    // comes last in row-major order wins, and pricing counts every live block cell.
    // clang-format off
    unsigned char block[12] = {1, 1, 1, 1,
                               1, 0, 1, 1,
                               1, 1, 1, 0};
    // clang-format on
    CellAuto small(3, 2);
    pattern p{4, 3, 0, block};
    EXPECT_EQ(small.GetBuildCost(1, 0, 0, &p), 10 * 5000.0f);
    small.PutPattern(1, 0, 0, 4, 3, block, 0);
    // World (0,0) was last written by block (2,3), a zero; (1,0) by (2,1); (2,0) by (2,2);
    // (0,1) by (1,3); (1,1) by (1,1), a zero; (2,1) by (1,2).
    EXPECT_EQ(Cells(small), "(0,0)0/1/0 (1,0)1/1/0 (2,0)1/1/0 (0,1)1/1/0 (1,1)0/1/0 (2,1)1/1/0");
}

TEST(CellAutoPattern, EmptyBlocksDoNothing)
{
    CellAuto w(5, 5);
    Put(w, 1, 1, 1, 2);
    const std::string before = Cells(w);
    // With no rows or no columns the cells are never read, so no byte array is needed.
    EXPECT_EQ(w.PutPattern(1, 1, 1, 0, 3, nullptr, 0), 0);
    EXPECT_EQ(w.PutPattern(1, 1, 1, 3, 0, nullptr, 1), 0);
    EXPECT_EQ(Cells(w), before);
    pattern noColumns{0, 3, 0, nullptr}, noRows{3, 0, 0, nullptr};
    EXPECT_EQ(w.GetBuildCost(1, 1, 1, &noColumns), 0.0f);
    EXPECT_EQ(w.GetBuildCost(1, 1, 1, &noRows), 0.0f);
}

// ---------------------------------------------------------------------------------------------
// Worlds outside the rule's domain are left alone

TEST(CellAutoDegenerate, StepLeavesTooSmallWorldsAlone)
{
    for (Size s : {Size{1, 5}, Size{5, 1}, Size{1, 1}, Size{0, 0}, Size{0, 4}, Size{4, 0}}) {
        CellAuto w(s.width, s.height);
        Cell* map = w.GetCurrentMap();
        for (unsigned int i = 0; i < w.cellCount; ++i)
            map[i] = Cell{(unsigned char)(i % 2), 1, 0, 0};
        const std::string before = w.cellCount ? Cells(w) : "";
        w.credits[1] = 3.0f;
        w.Step();
        EXPECT_EQ(w.GetCurrentMap(), map) << s.width << "x" << s.height;
        EXPECT_EQ(w.cellCount ? Cells(w) : "", before) << s.width << "x" << s.height;
        EXPECT_EQ(w.credits[1], 3.0f) << s.width << "x" << s.height;
    }
    CellAuto empty;
    empty.Step();
    EXPECT_EQ(empty.GetCurrentMap(), nullptr);
}

TEST(CellAutoDegenerate, OversizedWorldHasNoMapsAndIgnoresCalls)
{
    // Each of these cell counts wraps 32 bits; allocating the wrapped count would let every
    // access run past the maps.
    pattern g = Glider();
    for (Size s : {Size{65536, 65536}, Size{65536, 65537}, Size{4294967295u, 2}}) {
        CellAuto w(s.width, s.height);
        EXPECT_EQ(w.GetCurrentMap(), nullptr) << s.width << "x" << s.height;
        EXPECT_EQ(w.nextMap, nullptr) << s.width << "x" << s.height;
        w.SetCell(1, 1, 1, 1);
        EXPECT_EQ(w.GetCell(1, 1), nullptr);
        EXPECT_EQ(w.PutPattern(1, 0, 0, 3, 3, GLIDER, 0), 0);
        EXPECT_EQ(w.GetBuildCost(1, 0, 0, &g), 0.0f);
        w.credits[1] = 3.0f;
        w.Step();
        EXPECT_EQ(w.GetCurrentMap(), nullptr);
        EXPECT_EQ(w.credits[1], 3.0f);
    }
}

}  // namespace
