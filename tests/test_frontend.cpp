// In-process tests of the SDL front end on SDL's dummy video driver: the pixels, preview and
// caption of a frame, the redraw timer callback, the event loop driven by pushed events, and the
// start-up failures of Run.
#include <gtest/gtest.h>

#include <SDL.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "cellauto.h"
#include "engine.h"
#include "if_sdlflat.h"
#include "loop_driver.h"
#include "seed.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const unsigned int W = 640;  // the program's world, in cells
const unsigned int H = 360;
const char* const FIRST_CAPTION = "RUD EZARAR EROV IZAZODER";
const float RICH = 100000.0f;              // player 1's credits where placements must succeed
const Uint32 QUIET_STEP_MS = 3600 * 1000;  // a pace at which the worker never steps again
const int TEST_REDRAW_CODE = 77;           // tells the test's redraw events from the timer's

// The colours, 0x00RRGGBB, of a dead and of a live cell of owners 0 to 6.
const Uint32 DEAD_COLOUR[7] = {0x000000, 0x400000, 0x004000, 0x000040,
                               0x404000, 0x400040, 0x004040};
const Uint32 LIVE_COLOUR[7] = {0x808080, 0xC0A0A0, 0xA0C0A0, 0xA0A0C0,
                               0xC0C0A0, 0xC0A0C0, 0xA0C0C0};
const Uint32 PREVIEW_COLOUR = 0xC0A0A0;  // player 1's live colour

// The glider's live cells in each quarter turn, as (column, row) offsets from the anchor.
const unsigned int GLIDER_LIVE[4][5][2] = {
    {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 2}},
    {{0, 3}, {0, 2}, {0, 1}, {1, 3}, {2, 2}},
    {{3, 3}, {2, 3}, {1, 3}, {3, 2}, {2, 1}},
    {{3, 0}, {3, 1}, {3, 2}, {2, 0}, {1, 1}},
};

Uint32 PixelAt(SDL_Surface* s, unsigned int px, unsigned int py)
{
    Uint32 v;
    memcpy(&v, static_cast<const Uint8*>(s->pixels) + (size_t)py * s->pitch + (size_t)px * 4, 4);
    return v;
}

// The colour each cell's block must show: the cell's own, or the preview's where it is set.
std::vector<Uint32> ExpectedColours(const Cell* cells, const std::vector<bool>& preview)
{
    std::vector<Uint32> out(preview.size());
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = preview[i] ? PREVIEW_COLOUR
                            : (cells[i].alive ? LIVE_COLOUR : DEAD_COLOUR)[cells[i].owner];
    return out;
}

// Checks all four pixels of every cell's block against `colours` (one per cell, row-major).
testing::AssertionResult FrameIs(SDL_Surface* s, unsigned int w, unsigned int h,
                                 const std::vector<Uint32>& colours)
{
    if (s->w != (int)(2 * w) || s->h != (int)(2 * h))
        return testing::AssertionFailure()
               << "surface " << s->w << " x " << s->h << ", expected " << 2 * w << " x " << 2 * h;
    SDL_LockSurface(s);
    int bad = 0;
    testing::AssertionResult r = testing::AssertionFailure();
    char line[160];
    for (unsigned int y = 0; y < h; ++y)
        for (unsigned int x = 0; x < w; ++x)
            for (unsigned int k = 0; k < 4; ++k) {
                const unsigned int px = 2 * x + (k & 1), py = 2 * y + (k >> 1);
                const Uint32 got = PixelAt(s, px, py), want = colours[(size_t)y * w + x];
                if (got != want && bad++ < 5) {
                    snprintf(line, sizeof line,
                             "\n  cell (%u, %u) pixel (%u, %u): got 0x%06X expected 0x%06X", x, y,
                             px, py, (unsigned)got, (unsigned)want);
                    r << line;
                }
            }
    SDL_UnlockSurface(s);
    if (bad == 0)
        return testing::AssertionSuccess();
    return r << "\n  " << bad << " wrong pixels in all";
}

// The cells that a click of player 1 would make live: the brush stamped into an empty world.
std::vector<bool> StampedCells(unsigned int w, unsigned int h, unsigned int cx, unsigned int cy,
                               unsigned int rotation)
{
    CellAuto scratch(w, h);
    scratch.PutPattern(1, cx, cy, pt_glider_x, pt_glider_y, pt_glider, (unsigned char)rotation);
    std::vector<bool> out(scratch.cellCount);
    for (unsigned int i = 0; i < scratch.cellCount; ++i)
        out[i] = scratch.currentMap[i].alive != 0;
    return out;
}

// The same cells, from the glider's table of offsets.
std::vector<bool> GliderCells(unsigned int w, unsigned int h, unsigned int cx, unsigned int cy,
                              unsigned int rotation)
{
    std::vector<bool> out((size_t)w * h);
    for (const auto& o : GLIDER_LIVE[rotation & 3])
        out[(size_t)((cy + o[1]) % h) * w + (cx + o[0]) % w] = true;
    return out;
}

std::string Caption()
{
    char* title = nullptr;
    char* icon = nullptr;
    SDL_WM_GetCaption(&title, &icon);
    return title ? title : "(none)";
}

// A backdrop in which neighbouring cells differ: every owner, live and dead, with ages set
// (spare too) so that a colour taken from the wrong byte shows.
void PaintBackdrop(CellAuto* world)
{
    for (unsigned int y = 0; y < world->height; ++y)
        for (unsigned int x = 0; x < world->width; ++x) {
            Cell& c = world->currentMap[(size_t)y * world->width + x];
            c.owner = (unsigned char)((x + 3 * y) % 7);
            c.alive = (unsigned char)((x / 2 + y) % 2);
            c.age = (unsigned char)(x * 7 + y);
            c.spare = (unsigned char)(y + 1);
        }
}

std::vector<Cell> CopyCells(CellAuto* world)
{
    return std::vector<Cell>(world->currentMap, world->currentMap + world->cellCount);
}

// --- Frames: draw() called directly on a real 32-bit surface -----------------------------------

class Frame : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO), 0) << SDL_GetError();
        engine.preSetWorldSize(W, H);
        engine.preSetPlayerCount(6);
        engine.preSetFillMode(0);
        ASSERT_EQ(engine.Init(), 0);
        iface.SetEngine(&engine);
        iface.screen = SDL_SetVideoMode(2 * W, 2 * H, 32, SDL_SWSURFACE);
        ASSERT_NE(iface.screen, nullptr) << SDL_GetError();
        ASSERT_EQ(iface.screen->format->BitsPerPixel, 32);
    }
    void TearDown() override
    {
        if (engine.thread != nullptr)
            engine.Stop();
        SDL_Quit();
    }
    // Moves SDL's mouse; the dummy driver takes the position at once.
    void MouseTo(int x, int y)
    {
        SDL_WarpMouse((Uint16)x, (Uint16)y);
        int mx = -1, my = -1;
        SDL_GetMouseState(&mx, &my);
        ASSERT_TRUE(mx == x && my == y)
            << "SDL_WarpMouse(" << x << ", " << y << "): the mouse is at " << mx << ", " << my;
    }

    Engine engine;
    Iface_SDLFlat iface;
};

// Every cell in its owner's colour, and the preview in player 1's live colour over exactly the
// cells a click would stamp live, with the world showing through its dead cells.
TEST_F(Frame, CellColoursAndThePreviewInEveryRotationAndPosition)
{
    PaintBackdrop(engine.world);
    const std::vector<Cell> cells = CopyCells(engine.world);
    // The engine is not running: draw's Lock reports that, and draw goes on without the lock.
    ASSERT_EQ(engine.Lock(), ENGINE_NOT_RUNNING);
    // (mouse x, mouse y): the corner, an odd spot, just inside the clamp, on it, past it.
    const int spots[][2] = {{0, 0}, {101, 57}, {1271, 711}, {1272, 712}, {1279, 719}, {1279, 3}};
    for (unsigned int rotation = 0; rotation < 8; ++rotation)
        for (const auto& spot : spots) {
            SCOPED_TRACE("rotation " + std::to_string(rotation) + ", mouse at (" +
                         std::to_string(spot[0]) + ", " + std::to_string(spot[1]) + ")");
            iface.brush.rotation = rotation;
            MouseTo(spot[0], spot[1]);
            iface.draw();
            const unsigned int ex = spot[0] < 1272 ? spot[0] : 1272;
            const unsigned int ey = spot[1] < 712 ? spot[1] : 712;
            EXPECT_EQ(iface.cursorX, ex);
            EXPECT_EQ(iface.cursorY, ey);
            const std::vector<bool> stamped = StampedCells(W, H, ex / 2, ey / 2, rotation);
            ASSERT_EQ(stamped, GliderCells(W, H, ex / 2, ey / 2, rotation))
                << "stamping and the glider's offset table disagree";
            // Nothing wraps: the clamp keeps every turn inside column 639 and row 359.
            EXPECT_EQ(std::count(stamped.begin(), stamped.end(), true), 5);
            ASSERT_TRUE(FrameIs(iface.screen, W, H, ExpectedColours(cells.data(), stamped)));
        }
}

TEST_F(Frame, CaptionShowsPriceThenBalanceWithSixDecimals)
{
    struct Case {
        unsigned char alive, owner;  // the ground under the glider at cell (0, 0)
        float balance;
        const char* caption;
    } cases[] = {
        {0, 0, 1234.5f, "RUD EZARAR EROV IZAZODER! Build cost: 25000.000000 (1234.500000)"},
        {1, 3, 100000.25f, "RUD EZARAR EROV IZAZODER! Build cost: 85000.000000 (100000.250000)"},
        {0, 1, 0.0f, "RUD EZARAR EROV IZAZODER! Build cost: 5000.000000 (0.000000)"},
        {1, 1, 0.1f, "RUD EZARAR EROV IZAZODER! Build cost: 0.000000 (0.100000)"},
    };
    for (const Case& c : cases) {
        for (unsigned int y = 0; y < 4; ++y)
            for (unsigned int x = 0; x < 4; ++x)
                engine.world->SetCell(x, y, c.alive, c.owner);
        engine.world->credits[1] = c.balance;
        iface.draw();
        EXPECT_EQ(Caption(), c.caption);
    }
}

// A world that is different in each of 32 generations and then repeats: player 1's gliders,
// one every 8 cells across and down, all flying the same way over player 1's dead ground. The
// gliders never meet, every 4 generations the whole pattern has moved one cell right and down,
// and after 32 it is back on its own lattice. No cell ages (every neighbour is player 1's).
void PaintGliderLattice(CellAuto* world)
{
    for (unsigned int y = 0; y < world->height; ++y)
        for (unsigned int x = 0; x < world->width; ++x)
            world->SetCell(x, y, 0, 1);
    // The glider turned to fly right and down: rows 0 1 0 / 0 0 1 / 1 1 1.
    const unsigned char glider[3][3] = {{0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
    for (unsigned int y = 0; y < world->height; y += 8)
        for (unsigned int x = 0; x < world->width; x += 8)
            for (unsigned int i = 0; i < 3; ++i)
                for (unsigned int j = 0; j < 3; ++j)
                    world->SetCell(x + j, y + i, glider[i][j], 1);
}

// The colour of every cell block as the frame shows it, or an empty vector if some block's
// four pixels differ.
std::vector<Uint32> ShownColours(SDL_Surface* s, unsigned int w, unsigned int h)
{
    std::vector<Uint32> out((size_t)w * h);
    SDL_LockSurface(s);
    for (unsigned int y = 0; y < h; ++y)
        for (unsigned int x = 0; x < w; ++x) {
            const Uint32 c = PixelAt(s, 2 * x, 2 * y);
            if (PixelAt(s, 2 * x + 1, 2 * y) != c || PixelAt(s, 2 * x, 2 * y + 1) != c ||
                PixelAt(s, 2 * x + 1, 2 * y + 1) != c) {
                out.clear();
                break;
            }
            out[(size_t)y * w + x] = c;
        }
    SDL_UnlockSurface(s);
    return out;
}

// The worker steps as fast as it can (one generation a millisecond or so natively) while
// frames are drawn. A frame drawn while the test holds the engine lock must show exactly the
// current generation; a frame drawn at any moment must show one whole generation, never parts of
// two.
TEST_F(Frame, DrawsConsistentFramesWhileTheWorkerSteps)
{
    const int period = 32;
    ASSERT_EQ(W % 8, 0u);
    ASSERT_EQ(H % 8, 0u);
    PaintGliderLattice(engine.world);
    CellAuto model(W, H);
    PaintGliderLattice(&model);
    const std::vector<bool> preview = StampedCells(W, H, 0, 0, 0);
    std::vector<std::vector<Uint32>> generations;
    Clock::duration stepping{};
    for (int g = 0; g <= period; ++g) {
        generations.push_back(ExpectedColours(model.currentMap, preview));
        const auto t = Clock::now();
        model.Step();
        stepping += Clock::now() - t;
    }
    ASSERT_EQ(generations[period], generations[0]) << "the lattice does not repeat after 32";
    generations.pop_back();
    for (int g = 1; g < period; ++g)
        ASSERT_NE(generations[g], generations[g - 1]) << "generation " << g << " repeats";

    // The worker steps as often as it can while it still leaves the lock free about half the
    // time: a period of twice what a step takes in this build (a millisecond natively, far more
    // under a sanitizer). A worker that never paused would starve the frames of the lock.
    const long long stepMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(stepping).count() / (period + 1);
    engine.stepPeriod = (Uint32)(1 + 2 * stepMs);
    ASSERT_EQ(engine.Run(), 0);
    for (int frame = 0; frame < 200; ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        if (frame % 10 == 0) {
            engine.Lock();  // the world cannot step until the frame has been checked
            iface.draw();
            const testing::AssertionResult current =
                FrameIs(iface.screen, W, H, ExpectedColours(engine.world->currentMap, preview));
            engine.Unlock();
            ASSERT_TRUE(current) << "the frame is not the current generation";
        } else {
            iface.draw();
        }
        const std::vector<Uint32> shown = ShownColours(iface.screen, W, H);
        ASSERT_FALSE(shown.empty()) << "a cell's 2 x 2 block is not one colour";
        ASSERT_NE(std::find(generations.begin(), generations.end(), shown), generations.end())
            << "the frame is none of the 32 generations: it mixes two";
    }
    EXPECT_EQ(engine.Lock(), 0) << "draw left the engine lock unusable";
    EXPECT_EQ(engine.Unlock(), 0);
}

TEST_F(Frame, WithoutAWorldDrawsNoCellsButThePreviewAndTheCaption)
{
    const Uint32 sentinel = 0x123456;
    Engine never, closed, runningEmpty;
    for (Engine* e : {&never, &closed, &runningEmpty})
        e->preSetWorldSize(W, H);
    ASSERT_EQ(closed.Init(), 0);
    ASSERT_EQ(closed.Close(), 0);
    ASSERT_EQ(runningEmpty.Run(), 0);
    const char* names[] = {"never initialised", "closed", "running without a world"};
    int n = 0;
    for (Engine* e : {&never, &closed, &runningEmpty}) {
        SCOPED_TRACE(names[n++]);
        iface.SetEngine(e);
        SDL_FillRect(iface.screen, nullptr, sentinel);
        ASSERT_EQ(PixelAt(iface.screen, 0, 0), sentinel);
        iface.draw();
        const std::vector<bool> preview = StampedCells(W, H, 0, 0, 0);
        std::vector<Uint32> colours(preview.size());
        for (size_t i = 0; i < colours.size(); ++i)
            colours[i] = preview[i] ? PREVIEW_COLOUR : sentinel;
        EXPECT_TRUE(FrameIs(iface.screen, W, H, colours));
        EXPECT_EQ(Caption(), "RUD EZARAR EROV IZAZODER! Build cost: 0.000000 (0.000000)");
    }
    EXPECT_EQ(runningEmpty.Stop(), 0);
}

// --- The redraw timer's callback ---------------------------------------------------------------

class Callback : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO), 0) << SDL_GetError();
    }
    void TearDown() override { SDL_Quit(); }
};

// Empties the queue; returns the events in order.
std::vector<SDL_Event> Drain()
{
    std::vector<SDL_Event> out;
    SDL_Event ev;
    while (SDL_PollEvent(&ev))
        out.push_back(ev);
    return out;
}

TEST_F(Callback, PushesOneRedrawEventAndEndsTheTimer)
{
    Drain();
    EXPECT_EQ(CellStepCallback(10, nullptr), 0u);
    const std::vector<SDL_Event> got = Drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, SDL_USEREVENT);
    EXPECT_EQ(got[0].user.code, 1);
    EXPECT_EQ(got[0].user.data1, nullptr);
    EXPECT_EQ(got[0].user.data2, nullptr);
}

TEST_F(Callback, RetriesSoonWhileTheQueueIsFullThenEnds)
{
    Drain();
    const int capacity = FillQueue();
    ASSERT_GT(capacity, 0);
    const Uint32 retry = CellStepCallback(10, nullptr);
    EXPECT_GT(retry, 0u) << "a failed push must keep the timer alive";
    EXPECT_LE(retry, 1000u) << "got a retry interval of " << retry << " ms";
    std::vector<SDL_Event> got = Drain();
    EXPECT_EQ((int)got.size(), capacity) << "the callback queued something into a full queue";
    EXPECT_EQ(CellStepCallback(retry, nullptr), 0u);
    got = Drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, SDL_USEREVENT);
}

// --- The event loop: Run() on this thread, events pushed from a second one ---------------------

// Starts the worker before Run (whose own engine->Run then reports the engine running and is
// ignored) at a pace so slow that after its first generation the world never steps again, and
// takes that generation's signal. From then on the loop draws only when the test raises the
// signal, and the world changes only through the loop's placements.
void StartQuiet(Engine& engine)
{
    engine.stepPeriod = QUIET_STEP_MS;
    ASSERT_EQ(engine.Run(), 0);
    ASSERT_TRUE(WaitFor([&] { return SDL_SemValue(engine.updatedSem) == 1; }))
        << "no first generation within 10 s";
    ASSERT_EQ(SDL_SemTryWait(engine.updatedSem), 0);
}

float Credits(Engine& engine)
{
    engine.Lock();
    const float c = engine.world->credits[1];
    engine.Unlock();
    return c;
}

// Raises the new-generation signal of a quiet engine and waits until the loop has taken it,
// which it does only while handling a redraw event (and then draws).
bool RedrawHappens(Engine& engine, std::chrono::milliseconds limit = 10s)
{
    if (SDL_SemValue(engine.updatedSem) == 0)
        SDL_SemPost(engine.updatedSem);
    return WaitFor([&] { return SDL_SemValue(engine.updatedSem) == 0; }, limit);
}

// Waits until the loop has handled everything queued so far, a frame it is drawing included: a
// key release it ignores is pushed, and once it has left the queue all before it is done.
bool LoopCaughtUp()
{
    SDL_Event marker = OfType(SDL_KEYUP);
    marker.key.keysym.sym = SDLK_F15;
    Push({marker});
    return WaitFor([] {
        SDL_Event evs[256];
        const int n = SDL_PeepEvents(evs, 256, SDL_PEEKEVENT, SDL_KEYUPMASK);
        return std::none_of(evs, evs + std::max(n, 0),
                            [](const SDL_Event& e) { return e.key.keysym.sym == SDLK_F15; });
    });
}

// Holds a quiet engine's lock while the loop is inside draw(), waiting for that lock before it
// reads the mouse. Meanwhile the loop touches nothing (so the mouse may be moved from this
// thread, see WhileClickWaits): events pushed now are all handled in the
// drain of that frame, after it, and the frame shows the mouse as it is at release. The loop
// must first finish any frame it is drawing, or it would wait for the lock in the middle of it.
class FrozenFrame {
public:
    explicit FrozenFrame(Engine& engine) : engine_(engine)
    {
        EXPECT_TRUE(LoopCaughtUp()) << "the loop did not catch up within 10 s";
        engine_.Lock();
        if (SDL_SemValue(engine_.updatedSem) == 0)
            SDL_SemPost(engine_.updatedSem);
        Push({OfType(SDL_USEREVENT, TEST_REDRAW_CODE)});
        frozen_ = WaitFor([&] { return SDL_SemValue(engine_.updatedSem) == 0; });
        EXPECT_TRUE(frozen_) << "the loop took no redraw within 10 s";
    }
    ~FrozenFrame() { engine_.Unlock(); }
    bool Frozen() const { return frozen_; }

private:
    Engine& engine_;
    bool frozen_;
};

// Player 1's placements as the engine makes them: priced, paid if the balance covers it.
void ModelPlace(CellAuto& model, unsigned int x, unsigned int y, unsigned int rotation)
{
    pattern brush = {pt_glider_x, pt_glider_y, rotation, pt_glider};
    const float cost = model.GetBuildCost(1, x, y, &brush);
    if (model.credits[1] >= cost) {
        model.PutPattern(1, x, y, brush.width, brush.height, brush.cells, (unsigned char)rotation);
        model.credits[1] = model.credits[1] - cost;
    }
}

testing::AssertionResult WorldIs(CellAuto* got, CellAuto& want)
{
    if (got == nullptr)
        return testing::AssertionFailure() << "the engine has no world";
    for (int o = 0; o < 8; ++o)
        if (got->credits[o] != want.credits[o])
            return testing::AssertionFailure() << "credits[" << o << "]: got " << got->credits[o]
                                               << " expected " << want.credits[o];
    for (unsigned int i = 0; i < want.cellCount; ++i) {
        const Cell& g = got->currentMap[i];
        const Cell& w = want.currentMap[i];
        if (g.alive != w.alive || g.owner != w.owner || g.age != w.age)
            return testing::AssertionFailure()
                   << "cell (" << i % want.width << ", " << i / want.width << "): got alive "
                   << (int)g.alive << " owner " << (int)g.owner << " age " << (int)g.age
                   << ", expected alive " << (int)w.alive << " owner " << (int)w.owner << " age "
                   << (int)w.age;
    }
    return testing::AssertionSuccess();
}

TEST(Loop, ClickPlacesWhereTheLastDrawnFramePreviewed)
{
    Engine engine;
    Iface_SDLFlat iface;
    Configure(engine, iface, W, H, 0);
    StartQuiet(engine);
    engine.world->credits[1] = RICH;
    CellAuto model(W, H);
    model.credits[1] = RICH;

    std::string firstCaption;
    const int rc = RunWithScript(iface, [&] {
        // No frame yet: the cursor is still (0, 0) wherever the mouse is.
        WhileClickWaits(engine, [] { SDL_WarpMouse(500, 300); });
        ASSERT_TRUE(WaitFor([&] { return Credits(engine) != RICH; })) << "first click not placed";
        {
            FrozenFrame frame(engine);
            ASSERT_TRUE(frame.Frozen());
            firstCaption = Caption();  // the loop is inside draw(), before its caption
            SDL_WarpMouse(301, 151);   // the frame previews the brush at cell (150, 75)
        }
        float before = Credits(engine);
        Push({Click()});
        ASSERT_TRUE(WaitFor([&] { return Credits(engine) != before; })) << "second click lost";
        // The mouse moves on without a frame (during a click that stamps the glider over itself
        // for nothing): the next click still goes to cell (150, 75), turned once; a wheel step
        // is a button press too.
        WhileClickWaits(engine, [] { SDL_WarpMouse(900, 600); });
        before = Credits(engine);
        Push({Key(SDLK_r), Click(SDL_BUTTON_WHEELUP)});
        ASSERT_TRUE(WaitFor([&] { return Credits(engine) != before; })) << "wheel step lost";
        // A placement the balance does not cover changes nothing.
        engine.Lock();
        engine.world->credits[1] = 100.0f;
        engine.Unlock();
        Push({Key(SDLK_r), Click(), Key(SDLK_ESCAPE)});
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(firstCaption, FIRST_CAPTION);
    ModelPlace(model, 0, 0, 0);
    ModelPlace(model, 150, 75, 0);
    ModelPlace(model, 150, 75, 0);
    ModelPlace(model, 150, 75, 1);
    model.credits[1] = 100.0f;
    ModelPlace(model, 150, 75, 2);
    ASSERT_EQ(model.credits[1], 100.0f) << "the model placed the unaffordable click";
    EXPECT_EQ(iface.brush.rotation, 2u);
    ASSERT_NE(engine.thread, nullptr) << "Escape must not stop the engine";
    EXPECT_EQ(engine.Stop(), 0);
    EXPECT_TRUE(WorldIs(engine.world, model));
}

// What the caption prices is what the click pays, for each turn of the brush, with the mouse
// past the clamp at the bottom-right corner and in the open, over a random world.
TEST(Loop, TheCaptionPriceIsWhatTheClickPays)
{
    Engine engine;
    Iface_SDLFlat iface;
    Configure(engine, iface, W, H, 1);
    StartQuiet(engine);
    engine.world->credits[1] = 10 * RICH;
    int placements = 0;
    const int rc = RunWithScript(iface, [&] {
        const int spots[][2] = {{1279, 719}, {1279, 0}, {0, 719}, {641, 357}};
        for (int turn = 0; turn < 4; ++turn)
            for (const auto& spot : spots) {
                SCOPED_TRACE("turn " + std::to_string(turn) + ", mouse at (" +
                             std::to_string(spot[0]) + ", " + std::to_string(spot[1]) + ")");
                {
                    FrozenFrame frame(engine);
                    ASSERT_TRUE(frame.Frozen());
                    SDL_WarpMouse((Uint16)spot[0], (Uint16)spot[1]);
                }
                ASSERT_TRUE(LoopCaughtUp());
                double price = -1, balance = -1;
                const std::string caption = Caption();
                ASSERT_EQ(sscanf(caption.c_str(), "RUD EZARAR EROV IZAZODER! Build cost: %lf (%lf)",
                                 &price, &balance),
                          2)
                    << caption;
                ASSERT_EQ((float)balance, Credits(engine)) << caption;
                Push({Click()});
                ASSERT_TRUE(LoopCaughtUp());
                EXPECT_EQ(Credits(engine), (float)balance - (float)price)
                    << "the caption said \"" << caption << "\"";
                placements += price > 0;
                Push({Key(SDLK_r)});
            }
        Push({Key(SDLK_ESCAPE)});
    });
    EXPECT_EQ(rc, 0);
    EXPECT_GT(placements, 0) << "every placement was free: the test proved nothing";
    EXPECT_EQ(engine.Stop(), 0);
}

TEST(Loop, FourTurnsComeBackAndAClickAfterQInTheSameDrainIsPlaced)
{
    Engine engine;
    Iface_SDLFlat iface;
    Configure(engine, iface, W, H, 0);
    StartQuiet(engine);
    engine.world->credits[1] = RICH;
    const int rc = RunWithScript(iface, [&] {
        FrozenFrame frame(engine);
        ASSERT_TRUE(frame.Frozen());
        SDL_WarpMouse(81, 41);  // anchor (40, 20)
        Push({Key(SDLK_r), Click(), Key(SDLK_r), Key(SDLK_r), Key(SDLK_r), Key(SDLK_q), Click()});
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(iface.brush.rotation, 4u) << "r adds 1 without wrapping";
    CellAuto model(W, H);
    model.credits[1] = RICH;
    ModelPlace(model, 40, 20, 1);
    ModelPlace(model, 40, 20, 4);  // the stored orientation again
    EXPECT_EQ(engine.Stop(), 0);
    EXPECT_TRUE(WorldIs(engine.world, model));
}

// Pushes `presses` behind a frozen frame, then returns how long the last of four redraws took
// to come after it was asked for, in milliseconds (-1 if a redraw did not come within 10 s).
// At most three redraw events can come from timers armed before the presses were handled (the
// frame's own and two 10 ms timers), so the fourth waits a whole interval as the presses set it.
long long RedrawGapAfter(Engine& engine, const std::vector<SDL_Event>& presses)
{
    {
        FrozenFrame frame(engine);
        if (!frame.Frozen())
            return -1;
        Push(presses);
    }
    for (int i = 0; i < 3; ++i)
        if (!RedrawHappens(engine))
            return -1;
    const auto asked = Clock::now();
    if (!RedrawHappens(engine))
        return -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
}

std::vector<SDL_Event> Presses(std::initializer_list<std::pair<SDLKey, int>> keys)
{
    std::vector<SDL_Event> out;
    for (const auto& k : keys)
        out.insert(out.end(), k.second, Key(k.first));
    return out;
}

TEST(Loop, RightLengthensTheRedrawIntervalAndLeftStopsAtTenMilliseconds)
{
    Engine engine;
    Iface_SDLFlat iface;
    Configure(engine, iface, W, H, 0);
    StartQuiet(engine);
    long long afterRight = -1, afterLeftThenRight = -1;
    const int rc = RunWithScript(iface, [&] {
        // 10 + 50 * 10 = 510 ms.
        afterRight = RedrawGapAfter(engine, Presses({{SDLK_RIGHT, 50}}));
        // 70 Left presses bring 510 ms down to 10 and hold it there, so 50 Right presses make
        // it 510 ms again. Without the floor it would be 510 - 700 + 500 = 310 ms. (SDL's queue
        // holds 128 events.)
        afterLeftThenRight = RedrawGapAfter(engine, Presses({{SDLK_LEFT, 70}, {SDLK_RIGHT, 50}}));
        Push({Key(SDLK_ESCAPE)});
    });
    EXPECT_EQ(rc, 0);
    // A timer never fires early, so these lower bounds hold however loaded the machine is.
    EXPECT_GE(afterRight, 450) << "50 Right presses: got a redraw gap of " << afterRight
                               << " ms, expected at least 510 ms (-1: no redraw within 10 s)";
    EXPECT_GE(afterLeftThenRight, 450)
        << "70 Left then 50 Right presses: got a redraw gap of " << afterLeftThenRight
        << " ms, expected at least 510 ms (-1: no redraw within 10 s)";
    EXPECT_EQ(engine.Stop(), 0);
}

// A redraw timer that finds the queue full is tested in test_sdl_faults.cpp, where the
// timer's push can be held until the queue is full.

TEST(Loop, ClosingTheWindowStopsTheEngine)
{
    Engine engine;
    Iface_SDLFlat iface;
    Configure(engine, iface, W, H, 1);
    // A redraw event behind SDL_QUIT in the same drain finds the engine stopped.
    const int rc = RunWithScript(iface, [&] {
        Push({OfType(SDL_QUIT), OfType(SDL_USEREVENT, 1)});
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(engine.thread, nullptr);
    EXPECT_EQ(engine.mutex, nullptr);
    EXPECT_EQ(engine.updatedSem, nullptr);
    EXPECT_EQ(engine.stopSem, nullptr);
    EXPECT_EQ(engine.Lock(), ENGINE_NOT_RUNNING);
    EXPECT_NE(engine.world, nullptr) << "closing the window stops the engine but keeps the world";
}

TEST(Loop, EscapeQAndShiftQEndTheLoopAndLeaveTheEngineRunning)
{
    const struct {
        SDLKey sym;
        SDLMod mod;
        const char* name;
    } keys[] = {{SDLK_ESCAPE, KMOD_NONE, "Escape"},
                {SDLK_q, KMOD_NONE, "q"},
                {SDLK_q, KMOD_LSHIFT, "Shift+q"}};
    for (const auto& k : keys) {
        SCOPED_TRACE(k.name);
        Engine engine;
        Iface_SDLFlat iface;
        Configure(engine, iface, W, H, 1);
        const int rc = RunWithScript(iface, [&] { Push({Key(k.sym, k.mod)}); });
        EXPECT_EQ(rc, 0);
        ASSERT_NE(engine.thread, nullptr);
        EXPECT_TRUE(WaitFor([&] { return engine.isUpdated(); }))
            << "the worker stepped no more after the loop ended";
        EXPECT_EQ(engine.Stop(), 0);
    }
}

TEST(Loop, SpaceRestartsWithTheNextRandomWorld)
{
    const uint64_t seed = TestSeed();
    SCOPED_TRACE(SeedNote(seed));
    srand((unsigned int)seed);
    Engine engine;
    Iface_SDLFlat iface;
    Configure(engine, iface, W, H, 1);  // the first world: 2 draws per cell
    StartQuiet(engine);
    const int rc = RunWithScript(iface, [&] { Push({Key(SDLK_SPACE), Key(SDLK_ESCAPE)}); });
    const int nextDraw = rand();
    EXPECT_EQ(rc, 0);

    // The model: the second world of the sequence.
    const unsigned int cells = W * H;
    srand((unsigned int)seed);
    for (unsigned int i = 0; i < 2 * cells; ++i)
        rand();
    CellAuto model(W, H);
    for (unsigned int i = 0; i < cells; ++i) {
        const int life = rand(), who = rand();
        model.currentMap[i].alive = life % 5 == 1;
        model.currentMap[i].owner = life % 5 == 1 ? (unsigned char)(who % 6 + 1) : 0;
    }
    EXPECT_EQ(nextDraw, rand()) << "the restart did not take exactly 2 draws per cell";

    // The new worker steps it at once, and then only once more if that first step straddled the
    // SDL_Quit at the loop's end: SDL_Quit restarts SDL's tick counter, the step measures a
    // wrapped elapsed time, and the next one follows without a wait.
    ASSERT_NE(engine.thread, nullptr) << "after Space the engine must run again";
    CellAuto model2(W, H);
    model.Step();
    memcpy(model2.currentMap, model.currentMap, sizeof(Cell) * cells);
    memcpy(model2.credits, model.credits, sizeof model.credits);
    model2.Step();
    int steps = 0;
    WaitFor([&] {
        engine.Lock();
        steps = WorldIs(engine.world, model) ? 1 : WorldIs(engine.world, model2) ? 2 : 0;
        engine.Unlock();
        return steps != 0;
    });
    EXPECT_EQ(engine.Stop(), 0);
    EXPECT_NE(steps, 0) << "the restarted world is not the next world of the random sequence "
                           "after one or two generations: "
                        << WorldIs(engine.world, model).message();
}

// --- Start-up failures -------------------------------------------------------------------------

TEST(Startup, WithoutAnEngineRunReturnsMinusOneSilently)
{
    Iface_SDLFlat iface;
    std::string out;
    EXPECT_EQ(RunCapturing(iface, &out), IFACE_NO_ENGINE);
    EXPECT_EQ(out, "");
}

// Runs Run() in a death-test child with SDL_VIDEODRIVER set to `driver` (unset if null) and no
// display, and reports on standard error what it returned and printed, for the parent to match.
// SDL is left half set up after a failed SDL_Init, so this never runs in the test process itself;
// alarm() ends a child whose Run went on into the event loop.
void RunWithoutDisplay(const char* driver)
{
    alarm(20);
    if (driver != nullptr)
        setenv("SDL_VIDEODRIVER", driver, 1);
    else
        unsetenv("SDL_VIDEODRIVER");
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    Engine engine;
    Iface_SDLFlat iface;
    iface.SetEngine(&engine);
    std::string out;
    const int rc = RunCapturing(iface, &out);
    fprintf(stderr, "rc=%d engine=%s lines=%d output=%s", rc,
            engine.thread != nullptr ? "running" : "stopped",
            (int)std::count(out.begin(), out.end(), '\n'), out.c_str());
    fflush(stderr);
    _exit(0);
}

TEST(StartupDeathTest, UnknownVideoDriverFailsSDLInit)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunWithoutDisplay("quolvane-no-such-driver"), testing::ExitedWithCode(0),
                "rc=-1 engine=stopped lines=1 output=SDL_Init failed: ");
}

// With no driver asked for and no display SDL falls back to a windowless driver, which Run
// refuses in the same way: the game would run unseen.
TEST(StartupDeathTest, NoDisplayFailsAsSDLInit)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunWithoutDisplay(nullptr), testing::ExitedWithCode(0),
                "rc=-1 engine=stopped lines=1 output=SDL_Init failed: ");
}

TEST(Startup, AWindowTooLargeMakesSetVideoModeFail)
{
    Engine engine;
    engine.preSetWorldSize(65535, 65535);  // a 131070 x 131070 window
    Iface_SDLFlat iface;
    iface.SetEngine(&engine);
    std::string out;
    const int rc = RunCapturing(iface, &out);
    SDL_Quit();  // Run leaves SDL initialised when it fails
    EXPECT_EQ(rc, IFACE_NO_VIDEO_MODE);
    EXPECT_EQ(out.rfind("SDL_SetVideoMode failed: ", 0), 0u) << "got output \"" << out << "\"";
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << "got output \"" << out << "\"";
    EXPECT_EQ(iface.screen, nullptr);
    EXPECT_EQ(engine.thread, nullptr) << "the engine started although start-up failed";
}

}  // namespace
