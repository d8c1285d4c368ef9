// Input at and past the edges, grouped by kind: worlds with no cells or one cell across, the
// largest sides the engine accepts, empty blocks and blocks larger than the world at anchors near
// 2^32, balances that are infinite, negative or signed zero, and values no valid use passes:
// owners past the balances, alive and pattern bytes above 1, blocks of 2^32 live cells, decay
// factors that are not numbers or past the int range, engine fields set out of step, and a
// frame drawn for a world of another size. Each case must give the documented result (a refusal
// or a normalised value) and leave whatever is already in the world intact.
#include <gtest/gtest.h>

#include <SDL.h>
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine.h"
#include "if_sdlflat.h"
#include "model.h"
#include "wait.h"

namespace {

unsigned char GLIDER[9] = {1, 1, 1, 1, 0, 0, 0, 1, 0};

// Both maps and all balances of a world, compared bit for bit (so NaN equals itself).
struct Snapshot {
    std::vector<Cell> current, next;
    float credits[8];
    explicit Snapshot(const CellAuto& w)
        : current(w.currentMap, w.currentMap + (w.currentMap ? w.cellCount : 0)),
          next(w.nextMap, w.nextMap + (w.nextMap ? w.cellCount : 0))
    {
        std::memcpy(credits, w.credits, sizeof credits);
    }
    bool Same(const CellAuto& w) const
    {
        return std::memcmp(current.data(), w.currentMap, current.size() * sizeof(Cell)) == 0 &&
               std::memcmp(next.data(), w.nextMap, next.size() * sizeof(Cell)) == 0 &&
               std::memcmp(credits, w.credits, sizeof credits) == 0;
    }
};

// A world with some of every kind of cell, so a change anywhere shows.
void Scatter(CellAuto& w)
{
    Cell* map = w.GetCurrentMap();
    for (unsigned int i = 0; i < w.cellCount; ++i)
        map[i] = Cell{(unsigned char)(i % 3 == 0), (unsigned char)(i % 7), 0, 0};
}

// ---------------------------------------------------------------------------------------------
// Worlds with no cells, or one cell across

TEST(BadInputWorld, WorldsWithoutCellsIgnoreEveryCall)
{
    // A side of 0 leaves nothing to address: every access must be refused, not reduced modulo 0.
    struct Size {
        unsigned int w, h;
    } sizes[] = {{0, 0}, {0, 5}, {5, 0}, {0, 65535}};
    pattern g{3, 3, 0, GLIDER};
    for (const Size& s : sizes) {
        SCOPED_TRACE(std::to_string(s.w) + " x " + std::to_string(s.h));
        CellAuto w(s.w, s.h);
        EXPECT_EQ(w.cellCount, 0u);
        w.credits[1] = 7.0f;
        EXPECT_EQ(w.GetCell(0, 0), nullptr);
        EXPECT_EQ(w.GetCell(3, 3), nullptr);
        w.SetCell(1, 1, 1, 1);
        EXPECT_EQ(w.PutPattern(1, 0, 0, 3, 3, GLIDER, 0), 0);
        EXPECT_EQ(w.GetBuildCost(1, 0, 0, &g), 0.0f);
        w.Step();
        EXPECT_EQ(w.credits[1], 7.0f);
    }
    CellAuto empty;
    EXPECT_EQ(empty.GetCell(0, 0), nullptr);
    empty.SetCell(0, 0, 1, 1);
    EXPECT_EQ(empty.PutPattern(1, 0, 0, 3, 3, GLIDER, 1), 0);
    EXPECT_EQ(empty.GetBuildCost(1, 0, 0, &g), 0.0f);
}

TEST(BadInputWorld, OneCellAcrossWrapsEverythingOntoItself)
{
    // One column or one row: stamping and pricing wrap onto the same cells again and again, and
    // the step leaves the world alone. The model says what each call must give.
    struct Size {
        unsigned int w, h;
    } sizes[] = {{1, 1}, {1, 5}, {5, 1}};
    for (const Size& s : sizes) {
        for (unsigned int rotation = 0; rotation < 4; ++rotation) {
            SCOPED_TRACE(std::to_string(s.w) + " x " + std::to_string(s.h) + ", rotation " +
                         std::to_string(rotation));
            CellAuto w(s.w, s.h);
            Scatter(w);
            w.credits[2] = 3.5f;
            model::World m;
            model::CopyFrom(m, w);
            pattern g{3, 3, rotation, GLIDER};
            const float got = w.GetBuildCost(2, 0xffffffffu, 1, &g);
            const float expected = m.GetBuildCost(2, 0xffffffffu, 1, &g);
            EXPECT_EQ(model::FloatBits(got), model::FloatBits(expected))
                << "price: got " << got << " expected " << expected;
            w.PutPattern(2, 0xffffffffu, 1, 3, 3, GLIDER, (unsigned char)rotation);
            m.PutPattern(2, 0xffffffffu, 1, 3, 3, GLIDER, (unsigned char)rotation);
            EXPECT_EQ(model::Compare(w, m), "") << "after PutPattern";
            const Snapshot before(w);
            w.Step();
            EXPECT_TRUE(before.Same(w)) << "a step changed a world one cell across";
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The engine at its largest sides

TEST(BadInputEngine, LargestSidesMakeWorkingWorlds)
{
    // 65535 is the largest side the engine takes; with the other side at 2 the world is small
    // enough to build and step here. The widest rows are where the step's row buffers are
    // longest, so its result is checked against the model, then a block wider than any world
    // is stamped across the far edge.
    struct Size {
        unsigned int w, h;
    } sizes[] = {{65535, 2}, {2, 65535}};
    for (const Size& s : sizes) {
        SCOPED_TRACE(std::to_string(s.w) + " x " + std::to_string(s.h));
        Engine e;
        e.preSetWorldSize(s.w, s.h);
        e.preSetPlayerCount(6);
        e.preSetFillMode(1);
        ASSERT_EQ(e.Init(), ENGINE_OK);
        ASSERT_NE(e.world, nullptr);
        EXPECT_EQ(e.world->cellCount, s.w * s.h);
        model::World m;
        model::CopyFrom(m, *e.world);
        for (int step = 1; step <= 3; ++step) {
            EXPECT_EQ(e.Step(), ENGINE_OK);
            m.Step();
            ASSERT_EQ(model::Compare(*e.world, m), "") << "step " << step;
        }

        std::vector<unsigned char> row(70000, 1);
        pattern wide{70000, 1, 0, row.data()};
        const float price = e.GetBuildCost(3, 0xfffffff0u, 0xffffffffu, &wide);
        EXPECT_EQ(model::FloatBits(price),
                  model::FloatBits(m.GetBuildCost(3, 0xfffffff0u, 0xffffffffu, &wide)));
        e.world->credits[3] = price;
        m.credits[3] = 0.0f;
        e.PlacePattern(3, 0xfffffff0u, 0xffffffffu, &wide);
        m.PutPattern(3, 0xfffffff0u, 0xffffffffu, 70000, 1, row.data(), 0);
        EXPECT_EQ(model::Compare(*e.world, m), "") << "after placing a 70000-cell row";
    }
}

// ---------------------------------------------------------------------------------------------
// Blocks that are empty, or larger than the world

TEST(BadInputEngine, EmptyBlocksCostNothingAndChangeNothing)
{
    Engine e;
    e.preSetWorldSize(16, 12);
    e.preSetFillMode(1);
    ASSERT_EQ(e.Init(), ENGINE_OK);
    CellAuto& w = *e.world;
    const float balances[] = {0.0f, 250.0f, -1.0f, NAN};
    for (float b : balances) {
        for (unsigned int dims : {0u, 1u, 2u}) {
            // 0 x 3, 3 x 0 and 0 x 0, with real bytes behind them.
            pattern p{dims == 1 ? 3u : 0u, dims == 0 ? 3u : 0u, 1, GLIDER};
            w.credits[1] = b;
            const Snapshot before(w);
            EXPECT_EQ(e.GetBuildCost(1, 5, 5, &p), 0.0f);
            EXPECT_EQ(e.PlacePattern(1, 5, 5, &p), ENGINE_NOT_RUNNING);  // no worker: no lock
            EXPECT_TRUE(before.Same(w)) << "a " << p.width << " x " << p.height
                                        << " block from balance " << b << " changed the world";
        }
    }
}

TEST(BadInputEngine, BlocksLargerThanTheWorldAtFarAnchors)
{
    // A 23 x 19 block over a 16 x 12 world covers some cells twice: the price counts each live
    // block cell, and the stamp leaves the last block cell written on each world cell. Anchors
    // at and near 2^32 - 1 wrap in 32 bits before the reduction.
    const unsigned int BW = 23, BH = 19;
    std::vector<unsigned char> block(BW * BH);
    for (unsigned int i = 0; i < block.size(); ++i)
        block[i] = (i * 7919u >> 3) % 3 != 0;
    const unsigned int anchors[][2] = {{0, 0}, {0xffffffffu, 0xffffffffu}, {0xfffffff5u, 7}};
    for (const auto& a : anchors) {
        for (unsigned int rotation = 0; rotation < 4; ++rotation) {
            SCOPED_TRACE("anchor " + std::to_string(a[0]) + ", " + std::to_string(a[1]) +
                         ", rotation " + std::to_string(rotation));
            Engine e;
            e.preSetWorldSize(16, 12);
            e.preSetPlayerCount(6);
            e.preSetFillMode(1);
            ASSERT_EQ(e.Init(), ENGINE_OK);
            model::World m;
            model::CopyFrom(m, *e.world);
            pattern p{BW, BH, rotation, block.data()};
            const float price = e.GetBuildCost(4, a[0], a[1], &p);
            const float expected = m.GetBuildCost(4, a[0], a[1], &p);
            EXPECT_EQ(model::FloatBits(price), model::FloatBits(expected))
                << "price: got " << price << " expected " << expected;
            e.world->credits[4] = price;
            e.PlacePattern(4, a[0], a[1], &p);
            m.PutPattern(4, a[0], a[1], BW, BH, block.data(), (unsigned char)rotation);
            m.credits[4] = 0.0f;
            EXPECT_EQ(model::Compare(*e.world, m), "");
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Balances that are infinite, negative or signed zero

TEST(BadInputEngine, BalancesPayOnlyWhenTheyCoverThePrice)
{
    // Player 2 owns live cells under every live block cell at (5, 5), so the glider is free
    // there; at (10, 2) the ground is unowned and the glider costs 25000.
    const float inf = std::numeric_limits<float>::infinity();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const struct {
        float balance;
        bool free;    // at the free spot, else at the priced one
        bool places;  // expected
        float after;  // the balance expected after a placement
    } cases[] = {
        {inf, false, true, inf},     {inf, true, true, inf},        {-inf, true, false, 0},
        {-1.0f, true, false, 0},     {-tiny, true, false, 0},       {-0.0f, true, true, -0.0f},
        {tiny, true, true, tiny},    {24999.998f, false, false, 0}, {25000.0f, false, true, 0.0f},
        {1e30f, false, true, 1e30f},
    };
    pattern g{3, 3, 0, pt_glider};
    for (const auto& c : cases) {
        Engine e;
        e.preSetWorldSize(16, 16);
        ASSERT_EQ(e.Init(), ENGINE_OK);
        CellAuto& w = *e.world;
        for (unsigned int i = 0; i < 3; ++i)
            for (unsigned int j = 0; j < 3; ++j)
                if (pt_glider[i * 3 + j])
                    w.SetCell(5 + j, 5 + i, 1, 2);
        const unsigned int x = c.free ? 5 : 10, y = c.free ? 5 : 2;
        ASSERT_EQ(e.GetBuildCost(2, x, y, &g), c.free ? 0.0f : 25000.0f);
        w.credits[2] = c.balance;
        const Snapshot before(w);
        e.PlacePattern(2, x, y, &g);
        const std::string fed = "balance " + model::DescribeFloat(c.balance) + " against price " +
                                (c.free ? "0" : "25000");
        if (!c.places) {
            EXPECT_TRUE(before.Same(w)) << fed << ": got a change, expected none";
            continue;
        }
        EXPECT_EQ(model::FloatBits(w.credits[2]), model::FloatBits(c.after))
            << fed << ": got " << model::DescribeFloat(w.credits[2]) << " expected "
            << model::DescribeFloat(c.after);
        // The block's zero cells became player 2's; its live cells are player 2's and live.
        EXPECT_EQ(w.GetCell(x + 1, y + 1)->owner, 2) << fed << ": not placed";
        EXPECT_EQ(w.GetCell(x + 1, y + 1)->alive, 0) << fed;
    }
}

// ---------------------------------------------------------------------------------------------
// Owners past the eight balances

TEST(BadInputOwners, OwnersPastTheBalancesAreRefusedAndSevenIsKept)
{
    // An owner indexes the balances (8) in every step: SetCell ignores one above 7 and
    // PutPattern refuses the whole block for such a player. 7 is an owner a cell can hold.
    CellAuto w(9, 7);
    Scatter(w);
    w.credits[1] = 40.0f;
    const Snapshot before(w);
    for (unsigned int owner = 8; owner <= 255; ++owner) {
        w.SetCell(owner, 2 * owner, 1, (unsigned char)owner);
        w.SetCell(3, 3, 0, (unsigned char)owner);
        EXPECT_EQ(w.PutPattern((unsigned char)owner, owner, 1, 3, 3, GLIDER, (unsigned char)owner),
                  CELLAUTO_BAD_OWNER)
            << "player " << owner;
    }
    EXPECT_TRUE(before.Same(w)) << "an owner above 7 reached the world";

    model::World m;
    model::CopyFrom(m, w);
    w.SetCell(1, 1, 1, 7);
    m.SetCell(1, 1, 1, 7);
    EXPECT_EQ(w.PutPattern(7, 4, 3, 3, 3, GLIDER, 1), CELLAUTO_OK);
    m.PutPattern(7, 4, 3, 3, 3, GLIDER, 1);
    for (int step = 1; step <= 6; ++step) {
        w.Step();
        m.Step();
        ASSERT_EQ(model::Compare(w, m), "") << "step " << step << " with owner 7 in the world";
    }

    // The engine places for players 1..6 only; above that nothing changes, whatever the price.
    Engine e;
    e.preSetWorldSize(16, 12);
    ASSERT_EQ(e.Init(), ENGINE_OK);
    pattern g{3, 3, 0, GLIDER};
    const Snapshot empty(*e.world);
    for (unsigned int player = 7; player <= 255; ++player)
        EXPECT_EQ(e.PlacePattern((unsigned char)player, 2, 2, &g), ENGINE_NOT_RUNNING);
    EXPECT_TRUE(empty.Same(*e.world)) << "a player above 6 placed";
}

// ---------------------------------------------------------------------------------------------
// Alive and pattern bytes above 1

TEST(BadInputPatternBytes, AnyNonzeroByteStampsALiveCell)
{
    // A block of bytes 1 to 159 (each once) and zeros: the nonzero ones stamp live cells
    // (alive 1), priced and stepped exactly like the same block of 0s and 1s.
    const unsigned int BW = 16, BH = 16;
    std::vector<unsigned char> raw(BW * BH), plain(BW * BH);
    for (unsigned int i = 0; i < raw.size(); ++i) {
        raw[i] = (unsigned char)(i * 37 % 256 < 160 ? i * 37 % 256 : 0);
        plain[i] = raw[i] != 0;
    }
    for (unsigned int rotation = 0; rotation < 4; ++rotation) {
        SCOPED_TRACE("rotation " + std::to_string(rotation));
        CellAuto w(21, 19);
        Scatter(w);
        model::World m;
        model::CopyFrom(m, w);
        pattern rawBlock{BW, BH, rotation, raw.data()}, plainBlock{BW, BH, rotation, plain.data()};
        EXPECT_EQ(model::FloatBits(w.GetBuildCost(3, 17, 2, &rawBlock)),
                  model::FloatBits(m.GetBuildCost(3, 17, 2, &plainBlock)));
        EXPECT_EQ(w.PutPattern(3, 17, 2, BW, BH, raw.data(), (unsigned char)rotation), 0);
        m.PutPattern(3, 17, 2, BW, BH, plain.data(), (unsigned char)rotation);
        ASSERT_EQ(model::Compare(w, m), "") << "after stamping bytes 0..159";
        for (int step = 1; step <= 4; ++step) {
            w.Step();
            m.Step();
            ASSERT_EQ(model::Compare(w, m), "") << "step " << step;
        }
    }

    CellAuto w(4, 3);
    for (unsigned int alive = 1; alive <= 255; ++alive) {
        w.SetCell(alive, 0, (unsigned char)alive, 2);
        ASSERT_EQ(w.GetCell(alive, 0)->alive, 1) << "SetCell with alive " << alive;
        w.SetCell(alive, 0, 0, 2);
        ASSERT_EQ(w.GetCell(alive, 0)->alive, 0);
    }

    // Through the engine the same: a glider of 2s and 255s is placed as the glider.
    unsigned char loud[9] = {2, 255, 7, 128, 0, 0, 0, 1, 0};
    Engine e;
    e.preSetWorldSize(16, 12);
    ASSERT_EQ(e.Init(), ENGINE_OK);
    model::World m;
    model::CopyFrom(m, *e.world);
    pattern p{3, 3, 2, loud};
    e.world->credits[4] = m.credits[4] = 1e6f;
    e.PlacePattern(4, 5, 5, &p);
    m.PutPattern(4, 5, 5, 3, 3, GLIDER, 2);
    m.credits[4] -= 25000.0f;
    EXPECT_EQ(model::Compare(*e.world, m), "");
}

// ---------------------------------------------------------------------------------------------
// Cells the colour table has no entry for

TEST(BadInputColours, EveryCellByteGetsAColourFromTheTable)
{
    // A map written directly can hold any byte; the fill and the world never store these, but
    // the world pass must not read past its 14 colours for them. Cell (x, y) of a 256 x 256 map
    // has alive x and owner y: owners without a colour show as nobody's, an alive byte by its
    // low bit, and the designed cells keep their colours.
    const unsigned int N = 256;
    std::vector<Cell> map(N * N);
    for (unsigned int y = 0; y < N; ++y)
        for (unsigned int x = 0; x < N; ++x)
            map[y * N + x] = Cell{(unsigned char)x, (unsigned char)y, (unsigned char)(x ^ y), 0};
    const size_t pitch = 2 * N * 4 + 12;  // a padded row, as surfaces may have
    std::vector<Uint8> pixels(2 * N * pitch, 0xEE);
    PaintCells(map.data(), N, N, pixels.data(), pitch);
    int wrong = 0;
    for (unsigned int y = 0; y < N; ++y)
        for (unsigned int x = 0; x < N; ++x) {
            const Uint32 want = playercolors[(y <= 6 ? y : 0) * 2 + (x & 1)];
            for (unsigned int k = 0; k < 4; ++k) {
                Uint32 got;
                memcpy(&got, &pixels[(2 * y + (k >> 1)) * pitch + (2 * x + (k & 1)) * 4], 4);
                if (got != want && wrong++ < 5)
                    ADD_FAILURE() << "alive " << x << " owner " << y << ": got 0x" << std::hex
                                  << got << " expected 0x" << want;
            }
        }
    EXPECT_EQ(wrong, 0);
    for (unsigned int owner = 0; owner <= 6; ++owner)
        for (unsigned int alive = 0; alive <= 1; ++alive) {
            Uint32 got;
            memcpy(&got, &pixels[2 * owner * pitch + 2 * alive * 4], 4);
            EXPECT_EQ(got, playercolors[owner * 2 + alive]);
        }

    // A window of a wider map: rows are mapWidth cells apart, and nothing beyond the window
    // is painted.
    std::vector<Uint8> window(2 * 3 * pitch, 0xEE);
    PaintCells(map.data() + 5 * N + 1, 2, 3, window.data(), pitch, N);
    for (unsigned int y = 0; y < 6; ++y)
        for (unsigned int px = 0; px < pitch / 4; ++px) {
            Uint32 got;
            memcpy(&got, &window[y * pitch + px * 4], 4);
            const unsigned int owner = 5 + y / 2;         // 5, 6, then 7, which has no colour
            const unsigned int alive = (1 + px / 2) & 1;  // cells 1 and 2 of the row
            const Uint32 want =
                px < 4 ? playercolors[(owner <= 6 ? owner : 0) * 2 + alive] : 0xEEEEEEEE;
            ASSERT_EQ(got, want) << "pixel (" << px << ", " << y << ")";
        }
}

// ---------------------------------------------------------------------------------------------
// Blocks of 2^32 live cells

// `bytes` bytes of 1s in the address space, backed by one megabyte mapped again and again.
struct OnesBlock {
    unsigned char* base = nullptr;
    size_t bytes = 0;
    explicit OnesBlock(size_t n)
    {
        const size_t CHUNK = 1 << 20;
        const int fd = memfd_create("ones", 0);
        if (fd < 0 || ftruncate(fd, CHUNK) != 0)
            return;
        void* chunk = mmap(nullptr, CHUNK, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        void* region =
            mmap(nullptr, n, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (chunk != MAP_FAILED && region != MAP_FAILED) {
            memset(chunk, 1, CHUNK);
            munmap(chunk, CHUNK);
            bool mapped = true;
            for (size_t off = 0; off < n && mapped; off += CHUNK)
                mapped = mmap((char*)region + off, CHUNK, PROT_READ, MAP_SHARED | MAP_FIXED, fd,
                              0) != MAP_FAILED;
            if (mapped) {
                base = (unsigned char*)region;
                bytes = n;
            } else {
                munmap(region, n);
            }
        }
        close(fd);
    }
    ~OnesBlock()
    {
        if (base != nullptr)
            munmap(base, bytes);
    }
};

TEST(BadInputBuildCost, ABlockOf2To32LiveCellsIsPricedExactly)
{
    // 65536 x 65536 live cells on unowned ground cost 2^32 x 5000 = 21474836480000, which a
    // float holds exactly. A 32-bit count wraps to 0 and makes the block free. (One pass over
    // 2^32 cells takes seconds; each kind of ground has its own counter of the same type.)
    OnesBlock ones((size_t)65536 * 65536);
    ASSERT_NE(ones.base, nullptr) << "could not map a block of 2^32 bytes";
    Engine e;
    e.preSetWorldSize(16, 16);
    ASSERT_EQ(e.Init(), ENGINE_OK);
    pattern huge{65536, 65536, 0, ones.base};
    const float got = e.GetBuildCost(2, 3, 7, &huge);
    EXPECT_EQ(model::FloatBits(got), model::FloatBits(21474836480000.0f))
        << "got " << model::DescribeFloat(got);
}

// ---------------------------------------------------------------------------------------------
// Decay factors that are not numbers or past the int range

TEST(BadInputDecay, FactorsPastTheIntRangeOrNotANumberAgeSoundly)
{
    // Such factors take the step one position at a time; it and the model must both give the
    // defined result: an amount past the int range is the nearest int, NaN is no extra ageing.
    const float inf = std::numeric_limits<float>::infinity();
    const float factors[] = {NAN,
                             inf,
                             -inf,
                             1e10f,
                             -1e10f,
                             3e9f,
                             -3e9f,
                             2147483520.0f,
                             -2147483648.0f,
                             1.25f,
                             -0.5f,
                             0.0f,
                             40.0f,
                             -std::numeric_limits<float>::max()};
    for (float f : factors) {
        SCOPED_TRACE("decay factor " + model::DescribeFloat(f));
        CellAuto w(13, 11);
        for (unsigned int i = 0; i < w.cellCount; ++i)
            w.currentMap[i] = Cell{(unsigned char)(i % 5 == 0), (unsigned char)(i * 7 % 5),
                                   (unsigned char)(i * 11 % 120), 0};
        w.credits[2] = 30.0f;
        model::World m;
        model::CopyFrom(m, w);
        w.decayFactor = m.decayFactor = f;
        for (unsigned int threshold : {4u, 0u, 8u}) {
            w.decayThreshold = m.decayThreshold = threshold;
            for (int step = 1; step <= 3; ++step) {
                w.Step();
                m.Step();
                ASSERT_EQ(model::Compare(w, m), "")
                    << "threshold " << threshold << ", step " << step;
            }
        }
    }

    // A lone dead cell of player 1, so all 8 neighbours differ. A factor past the int range,
    // either way, takes its owner at once; NaN, and an infinite factor times 0 neighbours
    // above the threshold (threshold 8), age it by 1 a generation.
    const struct {
        float factor;
        unsigned int threshold;
        unsigned char owner, age;  // after one step from age 10
    } lone[] = {{1e10f, 4, 0, 128}, {inf, 4, 0, 128}, {3e9f, 7, 0, 128}, {-1e10f, 4, 0, 128},
                {-inf, 4, 0, 128},  {NAN, 4, 1, 11},  {inf, 8, 1, 11},   {-inf, 8, 1, 11},
                {1.25f, 4, 1, 16},  {-0.5f, 4, 1, 9}};
    for (const auto& c : lone) {
        CellAuto w(6, 6);
        w.currentMap[14] = Cell{0, 1, 10, 0};
        w.decayFactor = c.factor;
        w.decayThreshold = c.threshold;
        w.Step();
        EXPECT_TRUE(w.currentMap[14].owner == c.owner && w.currentMap[14].age == c.age)
            << "factor " << model::DescribeFloat(c.factor) << ", threshold " << c.threshold
            << ": got " << model::DescribeCell(w.currentMap[14]) << ", expected owner "
            << (int)c.owner << " age " << (int)c.age;
    }
}

// ---------------------------------------------------------------------------------------------
// The engine's fields set out of step, and its end while the worker runs

// The threads of this process.
unsigned int ThreadCount()
{
    unsigned int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

TEST(BadInputEngineEnd, DeletingARunningEngineStopsItsWorkerFirst)
{
    const unsigned int before = ThreadCount();
    ASSERT_GT(before, 0u) << "/proc/self/task cannot be read";
    Engine* e = new Engine;
    e->preSetWorldSize(12, 10);
    e->preSetPlayerCount(6);
    e->preSetFillMode(1);
    ASSERT_EQ(e->Init(), ENGINE_OK);
    e->stepPeriod = 1;
    ASSERT_EQ(e->Run(), ENGINE_OK);
    ASSERT_TRUE(WaitFor([&] { return e->isUpdated(); })) << "the worker never stepped";
    delete e;
    // The worker was joined before the world went: its thread is gone (as soon as the kernel
    // has reaped it), and nothing steps freed memory.
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == before; }))
        << ThreadCount() << " threads, " << before << " before Run";
}

TEST(BadInputEngineFields, InitFillsOnlyTheMapItMadeAndNeverDividesByZero)
{
    // The fields are public; set out of step with each other, Init still fills within the map
    // of width x height cells, two draws per filled cell, owners 1..6 at most, none for 0.
    const struct {
        unsigned int cellCount;
        unsigned int players;
        unsigned int filled;  // cells the fill must reach in the 9 x 7 world
        unsigned int owners;  // the owner draw's modulus, 0 for none
    } cases[] = {{1000, 6, 63, 6}, {64, 3, 63, 3}, {20, 2, 20, 2},  {0, 6, 0, 6},
                 {63, 0, 63, 0},   {63, 7, 63, 6}, {63, 255, 63, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE("cellCount " + std::to_string(c.cellCount) + ", playerCount " +
                     std::to_string(c.players));
        Engine e;
        e.preSetWorldSize(9, 7);
        e.preSetFillMode(1);
        e.cellCount = c.cellCount;
        e.playerCount = (unsigned char)c.players;
        srand(4242);
        ASSERT_EQ(e.Init(), ENGINE_OK);
        const int after = rand();
        ASSERT_EQ(e.world->cellCount, 63u);
        srand(4242);
        for (unsigned int i = 0; i < 63; ++i) {
            Cell want = {0, 0, 0, 0};
            if (i < c.filled) {
                const int life = rand(), who = rand();
                want.alive = life % 5 == 1;
                want.owner = want.alive && c.owners ? (unsigned char)(who % c.owners + 1) : 0;
            }
            ASSERT_TRUE(model::SameCell(e.world->currentMap[i], want))
                << "cell " << i << ": got " << model::DescribeCell(e.world->currentMap[i])
                << " expected " << model::DescribeCell(want);
        }
        EXPECT_EQ(rand(), after) << "the fill did not take two draws for each of " << c.filled
                                 << " cells";
    }

    // Sides whose cells the world cannot hold: no world, and no draws.
    const unsigned int sides[][2] = {{65536, 65536}, {0xffffffffu, 3}, {0, 7}};
    for (const auto& side : sides) {
        Engine e;
        e.preSetFillMode(1);
        e.width = side[0];
        e.height = side[1];
        e.cellCount = 0xffffffffu;
        srand(7);
        const int first = rand();
        srand(7);
        EXPECT_EQ(e.Init(), ENGINE_NO_MEMORY) << side[0] << " x " << side[1];
        EXPECT_EQ(e.world, nullptr);
        EXPECT_EQ(rand(), first);
    }
}

// ---------------------------------------------------------------------------------------------
// A frame of a world whose size changed after the front end copied it

TEST(BadInputFrame, AWorldResizedAfterSetEngineIsPaintedWithinItsMapAndTheSurface)
{
    // The front end sizes its window from the size it copied in SetEngine; a world made after
    // the engine's size changed is painted as far as both it and the surface reach, each cell
    // from its own place in the map, and no further.
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    const Uint32 sentinel = 0x123456;
    const unsigned int sizes[][2] = {{20, 50}, {64, 16}, {40, 30}, {3, 2}};
    for (const auto& size : sizes) {
        SCOPED_TRACE("world " + std::to_string(size[0]) + " x " + std::to_string(size[1]) +
                     " in a window for 40 x 30");
        Engine e;
        e.preSetWorldSize(40, 30);
        Iface_SDLFlat iface;
        iface.SetEngine(&e);
        e.preSetWorldSize(size[0], size[1]);
        ASSERT_EQ(e.Init(), ENGINE_OK);
        CellAuto& w = *e.world;
        for (unsigned int i = 0; i < w.cellCount; ++i)
            w.currentMap[i] = Cell{(unsigned char)(i % 3 == 1), (unsigned char)(i % 7), 0, 0};
        iface.screen = SDL_SetVideoMode(80, 60, 32, SDL_SWSURFACE);
        ASSERT_NE(iface.screen, nullptr) << SDL_GetError();
        SDL_FillRect(iface.screen, nullptr, sentinel);
        SDL_WarpMouse(0, 0);
        iface.draw();
        const unsigned int cols = size[0] < 40 ? size[0] : 40, rows = size[1] < 30 ? size[1] : 30;
        SDL_LockSurface(iface.screen);
        int wrong = 0;
        for (unsigned int py = 0; py < 60; ++py)
            for (unsigned int px = 0; px < 80; ++px) {
                const unsigned int x = px / 2, y = py / 2;
                Uint32 want = sentinel;
                if (x < cols && y < rows) {
                    const Cell& c = w.currentMap[y * w.width + x];
                    want = playercolors[c.owner * 2 + c.alive];
                    // The glider's live cells at the anchor (0, 0), in player 1's live colour.
                    if ((y == 0 && x < 3) || (y == 1 && x == 0) || (y == 2 && x == 1))
                        want = playercolors[3];
                }
                Uint32 got;
                memcpy(&got, (Uint8*)iface.screen->pixels + py * iface.screen->pitch + px * 4, 4);
                if (got != want && wrong++ < 5)
                    ADD_FAILURE() << "pixel (" << px << ", " << py << "): got 0x" << std::hex << got
                                  << " expected 0x" << want;
            }
        SDL_UnlockSurface(iface.screen);
        EXPECT_EQ(wrong, 0);
    }
    SDL_Quit();
}

}  // namespace
