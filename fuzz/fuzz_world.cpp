// libFuzzer target: decodes its input into a world size and a run of world operations, applies
// each one to CellAuto and to the tests' slow model, and stops with a report at the first
// difference in a map byte, a balance bit, a price bit or a cell address.
//
// Input layout (bytes read from the front; a read past the end gives 0, so every input is valid):
//   width byte, height byte        each taken modulo 25 (worlds of 0..24 cells a side), except
//                                  that 248..255 pick a larger side (63 to 129 cells), so some
//                                  steps have more births and deaths than the step's event buffer,
//                                  and a width byte of 247 reads both sides as raw 32-bit values
//                                  (kept if the world must refuse them or they are small)
//   then, until the input ends or MAX_OPS operations have run, one opcode byte and its operands:
//   SetCell, RawCell, Step, PutPattern, GetBuildCost, SetCredit, Tune and GetCell (see Op).
// The public calls also get raw, unmasked values: owners and alive bytes for SetCell, players and
// pattern bytes of any value for PutPattern, decay factors of any bit pattern. Where the world
// refuses one (an owner above 7) the model is not called, and the comparisons show that nothing
// changed; where it normalises one (a nonzero alive or pattern byte is 1) the model is given the
// normalised value.
// Run a single file to reproduce a failure: `fuzz_world FILE`; the steps taken are printed.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cellauto.h"
#include "model.h"
#include "reader.h"

namespace {

// Small worlds and few generations per input keep each run to a few hundred microseconds
// under the sanitizers, so that a minute of fuzzing tries hundreds of thousands of inputs.
const unsigned int MAX_WORLD_SIDE_CELLS = 24;
const unsigned int MAX_OPS = 64;
const unsigned int MAX_STEPS = 8;        // steps per input, so every input runs quickly
const unsigned int MAX_STEPS_LARGE = 1;  // the same for worlds above LARGE_WORLD_CELLS
const unsigned int LARGE_WORLD_CELLS = 4096;
const unsigned int LARGE_SIDES_CELLS[8] = {63, 64, 65, 96, 97, 127, 128, 129};
const uint8_t RAW_SIDES = 247;  // the width byte that reads both sides raw

enum Op : uint8_t {
    OP_SET_CELL,        // x, y, alive 0..1, owner 0..7, or any alive and owner bytes
    OP_RAW_CELL,        // x, y, a whole cell written through GetCurrentMap, as the fill does
    OP_STEP,            // 1..4 generations
    OP_PUT_PATTERN,     // player 0..6 or any byte, x, y, a block, rotation byte; priced first
    OP_GET_BUILD_COST,  // any player byte, x, y, a block with a 32-bit rotation
    OP_SET_CREDIT,      // owner 0..7, any float bit pattern or a value from a table
    OP_TUNE,            // one tuning value from a table, set on both
    OP_GET_CELL,        // x, y: the same cell address, or null on both
    OP_COUNT
};

// A coordinate: inside or just past a small world, just below 2^32, or any 32-bit value.
uint32_t Coordinate(Reader& in)
{
    const uint8_t sel = in.Byte();
    switch (sel >> 6) {
    case 0:
    case 1: return sel & 0x7f;
    case 2: return 0xffffffffu - (sel & 0x3f);
    default: return in.U32();
    }
}

// Small deterministic generator for the cells of large blocks, so they need few input bytes.
struct XorShift {
    uint32_t s;
    uint32_t Next()
    {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
};

float FloatFromBits(uint32_t u)
{
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// A block: sides 0..15, or (one in two) up to twice the world's side plus 3 (at most 255), so
// blocks wrap onto themselves. Small blocks take one input bit per cell, or with bit 6 of the
// shape one raw byte per cell; large ones a seed and a density, with bit 6 live cells of any
// nonzero byte. `plain` gets the same block as 0s and 1s.
void ReadBlock(Reader& in, unsigned int worldW, unsigned int worldH, unsigned int* bw,
               unsigned int* bh, std::vector<unsigned char>& cells,
               std::vector<unsigned char>& plain)
{
    const uint8_t shape = in.Byte();
    const uint8_t a = in.Byte(), b = in.Byte();
    if (shape & 0x80) {
        *bw = a % (2 * worldW + 4);
        *bh = b % (2 * worldH + 4);
    } else {
        *bw = a % 16;
        *bh = b % 16;
    }
    const bool raw = (shape & 0x40) != 0;
    const size_t n = (size_t)*bw * *bh;
    cells.assign(n + 1, 0);  // one spare byte so data() is never null for an empty block
    if (n <= 64 && raw) {
        for (size_t i = 0; i < n; ++i)
            cells[i] = in.Byte();
    } else if (n <= 64) {
        uint64_t bits = 0;
        for (size_t i = 0; i < n; i += 8)
            bits |= (uint64_t)in.Byte() << i;
        for (size_t i = 0; i < n; ++i)
            cells[i] = (bits >> i) & 1;
    } else {
        XorShift rng{in.U32() | 1};
        const uint32_t density = in.Byte();  // out of 256
        for (size_t i = 0; i < n; ++i) {
            const uint32_t r = rng.Next();
            cells[i] = (r & 0xff) < density ? (raw && (r >> 24) != 0 ? (uint8_t)(r >> 24) : 1) : 0;
        }
    }
    plain.assign(cells.size(), 0);
    for (size_t i = 0; i < n; ++i)
        plain[i] = cells[i] != 0;
}

// Tuning values around and past the edges of what the fast step holds, as the tests use; with
// bit 7 of the value byte the age limit, threshold and decay factor are raw 32-bit values (the
// factor any float, NaN and infinities included).
void ReadTune(Reader& in, CellAuto& w, model::World& m, std::string& note)
{
    static const unsigned int limits[] = {0, 1, 2, 7, 50, 127, 128, 129, 200, 254, 255, 256, 1000};
    static const float factors[] = {0.0f,  0.5f,     1.0f,      1.25f, 3.7f,  16.0f,  40.0f,
                                    99.5f, INFINITY, -INFINITY, NAN,   1e10f, -1e10f, -0.5f};
    static const float amounts[] = {0.0f,  -0.1f, 0.1f,   -1.0f, 5.0f,     -3.3f,     1e-40f,
                                    -1e6f, 1e30f, -0.75f, 0.25f, INFINITY, -INFINITY, NAN};
    static const float costs[] = {0.0f, 1.0f, 1000.0f, 5000.0f, 17000.0f, 0.1f, 3e38f, 1e-45f};
    const uint8_t which = in.Byte() % 9, v = in.Byte();
    char buf[96];
    switch (which) {
    case 0: w.ageLimit = m.ageLimit = (v & 0x80) ? in.U32() : limits[v % 13]; break;
    case 1: w.decayThreshold = m.decayThreshold = (v & 0x80) ? in.U32() : v % 11; break;
    case 2:
        w.decayFactor = m.decayFactor = (v & 0x80) ? FloatFromBits(in.U32()) : factors[v % 14];
        break;
    case 3: w.creditUpkeep = m.creditUpkeep = amounts[v % 14]; break;
    case 4: w.creditBirth = m.creditBirth = amounts[v % 14]; break;
    case 5: w.creditDeath = m.creditDeath = amounts[v % 14]; break;
    case 6: w.costOwn = m.costOwn = costs[v % 8]; break;
    case 7: w.costNeutral = m.costNeutral = costs[v % 8]; break;
    default: w.costEnemy = m.costEnemy = costs[v % 8]; break;
    }
    std::snprintf(buf, sizeof buf,
                  "Tune -> ageLimit %u decayThreshold %u decayFactor %g upkeep %g birth %g "
                  "death %g",
                  w.ageLimit, w.decayThreshold, (double)w.decayFactor, (double)w.creditUpkeep,
                  (double)w.creditBirth, (double)w.creditDeath);
    note = buf;
}

// Prints the operations so far and the difference, then aborts so libFuzzer keeps the input.
[[noreturn]] void Fail(const std::vector<std::string>& trace, const std::string& what)
{
    std::fprintf(stderr, "fuzz_world: mismatch after %zu operations:\n", trace.size());
    for (size_t i = 0; i < trace.size(); ++i)
        std::fprintf(stderr, "  %zu: %s\n", i + 1, trace[i].c_str());
    std::fprintf(stderr, "  => %s\n", what.c_str());
    std::abort();
}

bool verbose = false;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    verbose = IsReproduction(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    const uint8_t wb = in.Byte(), hb = in.Byte();
    unsigned int W = wb >= 248 ? LARGE_SIDES_CELLS[wb - 248] : wb % (MAX_WORLD_SIDE_CELLS + 1);
    unsigned int H = hb >= 248 ? LARGE_SIDES_CELLS[hb - 248] : hb % (MAX_WORLD_SIDE_CELLS + 1);
    if (wb == RAW_SIDES) {
        // Raw sides: the world must refuse a side of 0 or a cell count past 32 bits, and makes
        // small worlds; anything else would allocate more than a fuzzing run can.
        W = in.U32();
        H = in.U32();
        const uint64_t cells = (uint64_t)W * H;
        if (cells <= UINT32_MAX && cells > LARGE_SIDES_CELLS[7] * LARGE_SIDES_CELLS[7]) {
            W %= MAX_WORLD_SIDE_CELLS + 1;
            H %= MAX_WORLD_SIDE_CELLS + 1;
        }
    }
    const bool refused = W == 0 || H == 0 || (uint64_t)W * H > UINT32_MAX;
    const unsigned int maxSteps = (uint64_t)W * H > LARGE_WORLD_CELLS ? MAX_STEPS_LARGE : MAX_STEPS;
    CellAuto w(W, H);
    model::World m;  // a world the world refuses has no maps in the model either
    if (!refused)
        m = model::World(W, H);
    m.width = W;
    m.height = H;
    std::vector<std::string> trace;
    std::vector<unsigned char> block, plain;
    char buf[256];
    std::snprintf(buf, sizeof buf, "world %ux%u", W, H);
    trace.push_back(buf);

    std::string diff = model::Compare(w, m);
    if (!diff.empty())
        Fail(trace, diff);

    unsigned int steps = 0;
    for (unsigned int op = 0; op < MAX_OPS && !in.Empty(); ++op) {
        const uint8_t code = in.Byte() % OP_COUNT;
        std::string note;
        switch (code) {
        case OP_SET_CELL: {
            const uint32_t x = Coordinate(in), y = Coordinate(in);
            const uint8_t v = in.Byte();
            unsigned char alive = v & 1, owner = (v >> 1) & 7;
            if (v & 0x80) {  // raw bytes: any alive is live, an owner above 7 is refused
                alive = in.Byte();
                owner = in.Byte();
            }
            w.SetCell(x, y, alive, owner);
            if (owner <= MAX_CELL_OWNER)
                m.SetCell(x, y, alive != 0, owner);
            std::snprintf(buf, sizeof buf, "SetCell(%u, %u, alive %u, owner %u)", x, y, alive,
                          owner);
            note = buf;
            break;
        }
        case OP_RAW_CELL: {
            const uint32_t x = Coordinate(in), y = Coordinate(in);
            const uint8_t v = in.Byte(), age = in.Byte();
            const Cell c = {(unsigned char)(v & 1), (unsigned char)((v >> 1) & 7), age, 0};
            if (w.GetCurrentMap() != nullptr && m.HasMaps()) {
                w.GetCurrentMap()[(size_t)(y % H) * W + x % W] = c;
                m.At(x, y) = c;
            }
            std::snprintf(buf, sizeof buf, "map[%u mod %u, %u mod %u] = %s", x, W, y, H,
                          model::DescribeCell(c).c_str());
            note = buf;
            break;
        }
        case OP_STEP: {
            const unsigned int n = 1 + in.Byte() % 4;
            for (unsigned int k = 0; k < n && steps < maxSteps; ++k, ++steps) {
                w.Step();
                m.Step();
                diff = model::Compare(w, m);
                if (!diff.empty()) {
                    trace.push_back("Step (generation " + std::to_string(steps + 1) + ")");
                    Fail(trace, diff);
                }
            }
            note = "Step x" + std::to_string(n) + " (generations so far " + std::to_string(steps) +
                   ")";
            break;
        }
        case OP_PUT_PATTERN: {
            const uint8_t pb = in.Byte();
            const unsigned char player = (pb & 0x80) ? in.Byte() : pb % 7;
            const uint32_t x = Coordinate(in), y = Coordinate(in);
            unsigned int bw, bh;
            ReadBlock(in, W, H, &bw, &bh, block, plain);
            const uint8_t rotation = in.Byte();
            pattern pat{bw, bh, rotation, block.data()};
            const float got = w.GetBuildCost(player, x, y, &pat);
            const float expected = m.GetBuildCost(player, x, y, &pat);
            const int rc = w.PutPattern(player, x, y, bw, bh, block.data(), rotation);
            const int rcExpected = player <= MAX_CELL_OWNER ? CELLAUTO_OK : CELLAUTO_BAD_OWNER;
            if (player <= MAX_CELL_OWNER)
                m.PutPattern(player, x, y, bw, bh, plain.data(), rotation);
            std::snprintf(buf, sizeof buf,
                          "PutPattern(player %u, %u, %u, %ux%u block, rotation %u), priced %s",
                          player, x, y, bw, bh, rotation, model::DescribeFloat(got).c_str());
            note = buf;
            if (!model::SameFloat(got, expected)) {
                trace.push_back(note);
                Fail(trace, "price: got " + model::DescribeFloat(got) + " expected " +
                                model::DescribeFloat(expected));
            }
            if (rc != rcExpected) {
                trace.push_back(note);
                Fail(trace, "PutPattern returned " + std::to_string(rc) + ", expected " +
                                std::to_string(rcExpected));
            }
            break;
        }
        case OP_GET_BUILD_COST: {
            const unsigned char player = in.Byte();
            const uint32_t x = Coordinate(in), y = Coordinate(in);
            unsigned int bw, bh;
            ReadBlock(in, W, H, &bw, &bh, block, plain);
            const uint32_t rotation = in.U32();
            pattern pat{bw, bh, rotation, block.data()};
            const float got = w.GetBuildCost(player, x, y, &pat);
            const float expected = m.GetBuildCost(player, x, y, &pat);
            std::snprintf(buf, sizeof buf,
                          "GetBuildCost(player %u, %u, %u, %ux%u block, rotation %u) = %s", player,
                          x, y, bw, bh, rotation, model::DescribeFloat(got).c_str());
            note = buf;
            if (!model::SameFloat(got, expected)) {
                trace.push_back(note);
                Fail(trace, "price: got " + model::DescribeFloat(got) + " expected " +
                                model::DescribeFloat(expected));
            }
            break;
        }
        case OP_SET_CREDIT: {
            static const float table[] = {0.0f,     -0.0f, 0.1f,     1e-45f,    -1.0f,
                                          25000.0f, 3e38f, INFINITY, -INFINITY, NAN};
            const uint8_t sel = in.Byte();
            const unsigned int owner = sel & 7;
            const float v = (sel & 0x80) ? FloatFromBits(in.U32()) : table[in.Byte() % 10];
            w.credits[owner] = v;
            m.credits[owner] = v;
            note = "credits[" + std::to_string(owner) + "] = " + model::DescribeFloat(v);
            break;
        }
        case OP_TUNE: ReadTune(in, w, m, note); break;
        default: {  // OP_GET_CELL
            const uint32_t x = Coordinate(in), y = Coordinate(in);
            const Cell* got = w.GetCell(x, y);
            const Cell* expected =
                m.HasMaps() ? w.GetCurrentMap() + (size_t)(y % H) * W + x % W : nullptr;
            std::snprintf(buf, sizeof buf, "GetCell(%u, %u)", x, y);
            note = buf;
            if (got != expected) {
                trace.push_back(note);
                std::snprintf(buf, sizeof buf, "got %p expected %p (map at %p)", (const void*)got,
                              (const void*)expected, (const void*)w.GetCurrentMap());
                Fail(trace, buf);
            }
            break;
        }
        }
        trace.push_back(note);
        if (verbose)
            std::fprintf(stderr, "  %zu: %s\n", trace.size(), note.c_str());
    }
    // Every step was compared as it ran; what the operations since the last one did is
    // compared here, before the input ends.
    diff = model::Compare(w, m);
    if (!diff.empty())
        Fail(trace, diff);
    return 0;
}
