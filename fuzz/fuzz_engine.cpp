// libFuzzer target: runs the engine's operations in any order and state (the pre-setters, Init,
// Close, Run, Stop, Lock, Unlock, Step, GetCurrentCells, GetBuildCost, PlacePattern, isUpdated,
// GetWorldSize), with its worker running or not, and checks every returned code against the one
// the engine's state calls for, and the world against the tests' slow model.
//
// The calls also get raw, unmasked values: sizes of any 32-bit value, any player byte, patterns
// of any bytes, and the public fields width, height, cellCount and playerCount written directly,
// out of step with each other. The harness says what the engine must make of them (a refusal, or
// the normalised value) and holds the world to the model with them.
//
// The model can follow the world exactly while no worker steps it at unknown moments. So bit 0
// of the first input byte picks the worker's pace:
//   - quiet (even byte): one generation right after Run, then none until Stop. Run waits for
//     that first generation, and from then on every operation is deterministic: the world is
//     compared with the model after each one, worker running or not.
//   - busy (odd byte): a generation every millisecond or so. While the worker runs only the
//     codes and the world's invariants are checked; at Stop the model takes the world over.
// and bit 1 how the input ends: with Stop, or by deleting the engine as it is, its worker maybe
// still running (the destructor must stop it first).
// Then, until the input ends or MAX_OPS operations have run, one opcode byte and its operands.
// Run a single file to reproduce a failure: `fuzz_engine FILE`; the operations are printed.
#include <SDL.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine.h"
#include "model.h"
#include "reader.h"

namespace {

const unsigned int MAX_OPS = 64;
const unsigned int MAX_STEPS = 12;  // generations the model follows per input
const unsigned int MAX_RUNS = 3;    // worker starts per input (each creates a thread)
const unsigned int MAX_HOLDS = 4;   // nested holds of the engine lock
const Uint32 QUIET_PERIOD_MS = 3600 * 1000;
const Uint32 BUSY_PERIOD_MS = 1;
const unsigned int DEFAULT_SIDE = 256;
const unsigned int MAX_PLAYERS = 6;

// Sides for preSetWorldSize: small worlds, and values it must refuse.
const uint32_t SIDES[] = {0, 1, 2, 3, 4, 5, 7, 8, 13, 16, 31, 33, 40, 65536, 70000, 0xffffffffu};
const float BALANCES[] = {0.0f, 999.0f, 1000.0f, 5000.0f, 25000.0f, 85000.0f, 1e9f, NAN};

enum Op : uint8_t {
    OP_SET_SIZE,     // width, height from SIDES, or (selector 0xf0 and above) raw 32-bit values
    OP_SET_PLAYERS,  // any byte
    OP_SET_FILL,     // 0, 1, 2 or 2^32 - 1
    OP_INIT,         // seed byte for rand
    OP_CLOSE,
    OP_RUN,
    OP_STOP,
    OP_LOCK,
    OP_UNLOCK,
    OP_STEP,
    OP_CELLS,    // GetCurrentCells
    OP_PRICE,    // GetBuildCost: any player, x, y, the glider, a block of raw bytes or none
    OP_PLACE,    // PlacePattern: the same operands
    OP_UPDATED,  // isUpdated
    OP_BALANCE,  // a player's balance, set under the lock as the tests do
    OP_SIZE,     // GetWorldSize
    OP_FIELD,    // width, height, cellCount (raw 32 bits) or playerCount (raw byte) written
    OP_COUNT
};

// A coordinate: inside a small world, or just below 2^32.
uint32_t Coordinate(Reader& in)
{
    const uint8_t b = in.Byte();
    return b < 0xf0 ? b : 0xffffffffu - (b & 0x0f);
}

bool verbose = false;

// What the engine's state must be, as this harness has driven it.
struct Expected {
    unsigned int width = DEFAULT_SIDE, height = DEFAULT_SIDE,
                 cellCount = DEFAULT_SIDE * DEFAULT_SIDE;
    unsigned char players = 2;
    unsigned int fill = 0;
    bool world = false, running = false, signal = false;
    unsigned int holds = 0;
    bool synced = false;  // whether `model` is the world, generation for generation
    model::World model;
};

struct Harness {
    Engine e;
    Expected x;
    bool quiet = true;
    unsigned int steps = 0, runs = 0;
    std::vector<std::string> trace;
    std::vector<unsigned char> rawCells, plainCells;  // the last raw block, and as 0s and 1s

    [[noreturn]] void Fail(const std::string& what)
    {
        std::fprintf(stderr, "fuzz_engine: failure after %zu operations (%s worker):\n",
                     trace.size(), quiet ? "quiet" : "busy");
        for (size_t i = 0; i < trace.size(); ++i)
            std::fprintf(stderr, "  %zu: %s\n", i + 1, trace[i].c_str());
        std::fprintf(stderr, "  => %s\n", what.c_str());
        std::abort();
    }
    void Note(const std::string& s)
    {
        trace.push_back(s);
        if (verbose)
            std::fprintf(stderr, "  %zu: %s\n", trace.size(), s.c_str());
    }
    void ExpectCode(const char* op, int got, int want)
    {
        if (got != want)
            Fail(std::string(op) + " returned " + std::to_string(got) + ", expected " +
                 std::to_string(want));
    }
    // The model steps with the world when it can still follow it.
    void ModelStep()
    {
        if (x.synced && steps < MAX_STEPS) {
            x.model.Step();
            ++steps;
        } else {
            x.synced = false;
        }
    }
    // Takes and releases the engine lock around `f` while the worker runs.
    template <class F> void Locked(F f)
    {
        if (x.running)
            e.Lock();
        f();
        if (x.running)
            e.Unlock();
    }
    // The world's invariants, which hold whoever stepped it: live is 0 or 1, owners stay within
    // the players and spare bytes at 0, and no balance is negative.
    void CheckInvariants()
    {
        if (e.world == nullptr)
            return;
        const CellAuto& w = *e.world;
        for (unsigned int i = 0; i < w.cellCount; ++i) {
            const Cell& c = w.currentMap[i];
            if (c.alive > 1 || c.owner > MAX_PLAYERS || c.spare != 0)
                Fail("cell " + std::to_string(i) + " is " + model::DescribeCell(c));
        }
        for (int o = 0; o < 8; ++o)
            if (w.credits[o] < 0.0f)
                Fail("credits[" + std::to_string(o) + "] = " + model::DescribeFloat(w.credits[o]));
    }
    // After each operation: the world against the model where the model follows it, else the
    // invariants; the settings against what was accepted.
    void Check()
    {
        unsigned int w = 0, h = 0;
        e.GetWorldSize(&w, &h);
        if (w != x.width || h != x.height || e.cellCount != x.cellCount ||
            e.playerCount != x.players || e.fillMode != x.fill)
            Fail("settings: got " + std::to_string(w) + "x" + std::to_string(h) + " (" +
                 std::to_string(e.cellCount) + " cells), " + std::to_string(e.playerCount) +
                 " players, fill " + std::to_string(e.fillMode));
        if ((e.world != nullptr) != x.world)
            Fail(x.world ? "the world is gone" : "a world appeared");
        const bool handles = e.thread && e.mutex && e.stopSem && e.updatedSem;
        const bool none = !e.thread && !e.mutex && !e.stopSem && !e.updatedSem;
        if (x.running ? !handles : !none)
            Fail(x.running ? "the worker's handles are not all set" : "handles left behind");
        if (!x.world)
            return;
        if (x.synced && (quiet || !x.running)) {
            std::string diff;
            Locked([&] { diff = model::Compare(*e.world, x.model); });
            if (!diff.empty())
                Fail(diff);
        } else {
            Locked([&] { CheckInvariants(); });
        }
    }

    // A side from the table, or a raw 32-bit value.
    static uint32_t Side(Reader& in)
    {
        const uint8_t sel = in.Byte();
        return sel < 0xf0 ? SIDES[sel % 16] : in.U32();
    }
    void SetSize(Reader& in)
    {
        const uint32_t a = Side(in);
        const uint32_t b = Side(in);
        Note("preSetWorldSize(" + std::to_string(a) + ", " + std::to_string(b) + ")");
        e.preSetWorldSize(a, b);
        if (!x.world && a >= 2 && b >= 2 && a <= 65535 && b <= 65535) {
            x.width = a;
            x.height = b;
            x.cellCount = a * b;
        }
    }
    void SetPlayers(Reader& in)
    {
        const uint8_t n = in.Byte();
        Note("preSetPlayerCount(" + std::to_string(n) + ")");
        e.preSetPlayerCount(n);
        if (!x.world && n >= 1 && n <= MAX_PLAYERS)
            x.players = n;
    }
    void SetFill(Reader& in)
    {
        static const uint32_t modes[] = {0, 1, 2, 0xffffffffu};
        const uint32_t mode = modes[in.Byte() % 4];
        Note("preSetFillMode(" + std::to_string(mode) + ")");
        e.preSetFillMode(mode);
        if (!x.world)
            x.fill = mode;
    }
    // Writes one of the public size and player fields directly, as nothing stops a caller from.
    void Field(Reader& in)
    {
        const uint8_t which = in.Byte() % 4;
        static const char* const names[] = {"width", "height", "cellCount", "playerCount"};
        const uint32_t v = which == 3 ? in.Byte() : in.U32();
        Note(std::string(names[which]) + " = " + std::to_string(v));
        switch (which) {
        case 0: e.width = x.width = v; break;
        case 1: e.height = x.height = v; break;
        case 2: e.cellCount = x.cellCount = v; break;
        default: e.playerCount = x.players = (unsigned char)v; break;
        }
    }
    // Init from a known rand seed; the model fills itself from the same seed, and both must
    // have drawn exactly two numbers per filled cell. The world is width x height whatever
    // cellCount says; the fill reaches at most cellCount of its cells, hands out owners
    // 1..playerCount with at most 6 players, and none with 0.
    void Init(Reader& in)
    {
        const unsigned int seed = in.Byte();
        Note("Init() after srand(" + std::to_string(seed) + ")");
        const uint64_t cells = (uint64_t)x.width * x.height;
        // A size no world can hold is refused before any memory is asked for.
        const bool refused = cells == 0 || cells > UINT32_MAX;
        // The default 256 x 256 world is too slow for the model; a quiet worker could not
        // step it in time either. Only small worlds are made.
        if (!x.world && !refused && cells > 40 * 40) {
            Note("  (skipped: " + std::to_string(cells) + " cells)");
            return;
        }
        srand(seed);
        const int rc = e.Init();
        const int nextDraw = rand();
        ExpectCode("Init", rc,
                   x.world   ? ENGINE_WRONG_STATE
                   : refused ? ENGINE_NO_MEMORY
                             : ENGINE_OK);
        if (x.world)
            return;
        srand(seed);
        if (refused) {
            if (rand() != nextDraw)
                Fail("a refused Init drew from rand");
            return;
        }
        x.world = true;
        x.model = model::World(x.width, x.height);
        const size_t filled = x.cellCount < cells ? x.cellCount : (size_t)cells;
        const unsigned int players = x.players < MAX_PLAYERS ? x.players : MAX_PLAYERS;
        if (x.fill == 1)
            for (size_t i = 0; i < filled; ++i) {
                Cell& c = x.model.current[i];
                const int life = rand(), who = rand();
                c.alive = life % 5 == 1;
                c.owner = c.alive && players != 0 ? (unsigned char)(who % players + 1) : 0;
            }
        if (x.fill == 1 && rand() != nextDraw)
            Fail("the fill did not draw exactly two numbers per filled cell");
        x.synced = quiet || !x.running;
        steps = 0;
    }
    void Close()
    {
        Note("Close()");
        ExpectCode("Close", e.Close(), x.world ? ENGINE_OK : ENGINE_WRONG_STATE);
        x.world = false;
        x.synced = false;
    }
    void Run()
    {
        Note("Run()");
        if (!x.running && runs >= MAX_RUNS) {
            Note("  (skipped: enough threads for one input)");
            return;
        }
        if (!x.running)
            e.stepPeriod = quiet ? QUIET_PERIOD_MS : BUSY_PERIOD_MS;
        const int rc = e.Run();
        ExpectCode("Run", rc, x.running ? ENGINE_WRONG_STATE : ENGINE_OK);
        if (x.running)
            return;
        ++runs;
        x.running = true;
        x.holds = 0;
        if (quiet) {
            // The first generation comes at once; wait for its signal (and raise it again for
            // isUpdated to take), then the world is still.
            SDL_SemWait(e.updatedSem);
            SDL_SemPost(e.updatedSem);
            x.signal = true;
            if (x.world)
                ModelStep();
        } else {
            x.synced = false;
        }
    }
    void Stop()
    {
        Note("Stop()" + std::string(x.holds ? " after releasing the holds" : ""));
        for (; x.holds > 0; --x.holds)
            ExpectCode("Unlock", e.Unlock(), ENGINE_OK);
        ExpectCode("Stop", e.Stop(), x.running ? ENGINE_OK : ENGINE_NOT_RUNNING);
        if (x.running && !quiet && x.world) {
            CheckInvariants();
            model::CopyFrom(x.model, *e.world);  // the model takes over where the worker left
            x.synced = true;
            steps = 0;
        }
        x.running = false;
        x.signal = false;
    }
    void Lock()
    {
        if (x.holds >= MAX_HOLDS)
            return;
        Note("Lock()");
        ExpectCode("Lock", e.Lock(), x.running ? ENGINE_OK : ENGINE_NOT_RUNNING);
        x.holds += x.running;
    }
    void Unlock()
    {
        Note("Unlock()");
        // Releasing a lock this thread does not hold is refused by the recursive mutex.
        const int want = !x.running ? ENGINE_NOT_RUNNING : x.holds ? ENGINE_OK : ENGINE_LOCK_FAILED;
        ExpectCode("Unlock", e.Unlock(), want);
        if (x.holds > 0)
            --x.holds;
    }
    void Step()
    {
        Note("Step()");
        int rc = 0;
        Locked([&] { rc = e.Step(); });
        ExpectCode("Step", rc, x.world ? ENGINE_OK : ENGINE_WRONG_STATE);
        if (x.world)
            ModelStep();
    }
    void Cells()
    {
        Note("GetCurrentCells()");
        const Cell* got = nullptr;
        const Cell* want = nullptr;
        Locked([&] {
            got = e.GetCurrentCells();
            want = e.world ? e.world->currentMap : nullptr;
        });
        if (got != want || (got == nullptr) == x.world)
            Fail("GetCurrentCells returned the wrong map");
    }
    // The glider in any rotation, a block of up to 5 x 5 raw bytes (selector 0xfe: sides,
    // bytes, rotation), or no pattern at all (0xff). `plain` gets the same cells as 0s and 1s,
    // as the world stamps them.
    pattern* ReadPattern(Reader& in, pattern& pat, pattern& plain, std::string& text)
    {
        const uint8_t r = in.Byte();
        if (r == 0xfe) {
            const unsigned int bw = in.Byte() % 6, bh = in.Byte() % 6;
            rawCells.assign(bw * bh + 1, 0);
            plainCells.assign(bw * bh + 1, 0);
            text = std::to_string(bw) + "x" + std::to_string(bh) + " block {";
            for (unsigned int i = 0; i < bw * bh; ++i) {
                rawCells[i] = in.Byte();
                plainCells[i] = rawCells[i] != 0;
                text += (i ? " " : "") + std::to_string(rawCells[i]);
            }
            const uint8_t rotation = in.Byte();
            text += "} turned " + std::to_string(rotation);
            pat = pattern{bw, bh, rotation, rawCells.data()};
            plain = pattern{bw, bh, rotation, plainCells.data()};
            return &pat;
        }
        pat = pattern{pt_glider_x, pt_glider_y, r, pt_glider};
        plain = pat;
        text = r == 0xff ? "no pattern" : "glider turned " + std::to_string(r);
        return r == 0xff ? nullptr : &pat;
    }
    void Price(Reader& in)
    {
        const uint8_t player = in.Byte();
        const uint32_t px = Coordinate(in), py = Coordinate(in);
        pattern glider, plain;
        std::string what;
        pattern* pat = ReadPattern(in, glider, plain, what);
        const float got = e.GetBuildCost(player, px, py, pat);
        Note("GetBuildCost(" + std::to_string(player) + ", " + std::to_string(px) + ", " +
             std::to_string(py) + ", " + what + ") = " + model::DescribeFloat(got));
        float want = 0.0f;
        if (x.world && pat != nullptr && x.synced && (quiet || !x.running))
            want = x.model.GetBuildCost(player, px, py, pat);
        else if (x.world && pat != nullptr)
            return;  // the worker may have stepped under it: only the model could say
        if (!model::SameFloat(got, want))
            Fail("price: expected " + model::DescribeFloat(want));
    }
    void Place(Reader& in)
    {
        const uint8_t player = in.Byte();
        const uint32_t px = Coordinate(in), py = Coordinate(in);
        pattern glider, plain;
        std::string what;
        pattern* pat = ReadPattern(in, glider, plain, what);
        Note("PlacePattern(" + std::to_string(player) + ", " + std::to_string(px) + ", " +
             std::to_string(py) + ", " + what + ")");
        const int rc = e.PlacePattern(player, px, py, pat);
        ExpectCode("PlacePattern", rc,
                   !x.world    ? ENGINE_WRONG_STATE
                   : x.running ? ENGINE_OK
                               : ENGINE_NOT_RUNNING);
        if (!x.world || !x.synced || player > MAX_PLAYERS || pat == nullptr)
            return;
        model::World& m = x.model;
        const float cost = m.GetBuildCost(player, px, py, pat);
        if (m.credits[player] >= cost) {
            m.PutPattern(player, px, py, plain.width, plain.height, plain.cells,
                         (unsigned char)plain.rotation);
            m.credits[player] = m.credits[player] - cost;
        }
    }
    void Updated()
    {
        const bool got = e.isUpdated();
        Note(std::string("isUpdated() = ") + (got ? "true" : "false"));
        if (!x.running && got)
            Fail("isUpdated is true without a worker");
        if (x.running && quiet && got != x.signal)
            Fail(std::string("isUpdated: expected ") + (x.signal ? "true" : "false"));
        x.signal = false;
    }
    void Balance(Reader& in)
    {
        const unsigned int player = 1 + in.Byte() % MAX_PLAYERS;
        const float v = BALANCES[in.Byte() % 8];
        Note("credits[" + std::to_string(player) + "] = " + model::DescribeFloat(v));
        if (!x.world)
            return;
        Locked([&] { e.world->credits[player] = v; });
        x.model.credits[player] = v;
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    verbose = IsReproduction(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    std::unique_ptr<Harness> h(new Harness);
    const uint8_t mode = in.Byte();
    h->quiet = (mode & 1) == 0;
    const bool endByDestructor = (mode & 2) != 0;
    h->Check();
    for (unsigned int op = 0; op < MAX_OPS && !in.Empty(); ++op) {
        switch (in.Byte() % OP_COUNT) {
        case OP_SET_SIZE: h->SetSize(in); break;
        case OP_SET_PLAYERS: h->SetPlayers(in); break;
        case OP_SET_FILL: h->SetFill(in); break;
        case OP_INIT: h->Init(in); break;
        case OP_CLOSE: h->Close(); break;
        case OP_RUN: h->Run(); break;
        case OP_STOP: h->Stop(); break;
        case OP_LOCK: h->Lock(); break;
        case OP_UNLOCK: h->Unlock(); break;
        case OP_STEP: h->Step(); break;
        case OP_CELLS: h->Cells(); break;
        case OP_PRICE: h->Price(in); break;
        case OP_PLACE: h->Place(in); break;
        case OP_UPDATED: h->Updated(); break;
        case OP_BALANCE: h->Balance(in); break;
        case OP_FIELD: h->Field(in); break;
        default: {
            unsigned int w = 0, hh = 0;
            h->e.GetWorldSize(&w, nullptr);
            h->e.GetWorldSize(nullptr, &hh);
            h->Note("GetWorldSize() = " + std::to_string(w) + "x" + std::to_string(hh));
            break;
        }
        }
        h->Check();
    }
    // The end of the input: what a program would do before it exits, or the engine deleted as
    // it is (once this thread holds no lock, as the destructor requires), its worker stopped by
    // the destructor before the world goes.
    if (endByDestructor) {
        h->Note("~Engine()" + std::string(h->x.running ? " with the worker running" : ""));
        for (; h->x.holds > 0; --h->x.holds)
            h->e.Unlock();
        h.reset();
        return 0;
    }
    h->Stop();
    h->Check();
    return 0;
}
