// The cell world: maps, the owned Life rule with its economy, and pattern stamping and pricing.
#include "cellauto.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "step.h"

namespace {
// Planes are padded so a 64-lane load starting at the last column stays inside them.
const size_t PLANE_PAD_BYTES = 128;
size_t PlaneBytes(unsigned int width)
{
    return (size_t)width + PLANE_PAD_BYTES;
}

// A zeroed map of `count` cells aligned to 64 bytes, so that the step can stream whole vectors
// into it: calloc'd with room to align (calloc leaves fresh pages untouched), the block's own
// address kept just before the map for FreeMap. Null where the size does not fit the address
// space or the allocation fails.
const size_t MAP_ALIGN = 64;
Cell* AllocateMap(size_t count)
{
    if (count > (SIZE_MAX - MAP_ALIGN) / sizeof(Cell))
        return nullptr;
    unsigned char* block = (unsigned char*)calloc(count * sizeof(Cell) + MAP_ALIGN, 1);
    if (block == nullptr)
        return nullptr;
    // calloc aligns to at least a pointer's size, so a pointer fits before the map.
    unsigned char* map = block + MAP_ALIGN - (uintptr_t)block % MAP_ALIGN;
    memcpy(map - sizeof block, &block, sizeof block);
    return (Cell*)map;
}

void FreeMap(Cell* map)
{
    if (map == nullptr)
        return;
    void* block;
    memcpy(&block, (unsigned char*)map - sizeof block, sizeof block);
    free(block);
}

// The builds of the step, widest first, as the list in CMakeLists.txt has them: each with its
// name, whether this processor runs it, and its entry point.
struct StepBuild {
    const char* name;
    bool (*runsHere)();
    void (*run)(StepWork& work);
};
const StepBuild STEP_BUILDS[] = {
#define QUOLVANE_STEP_BUILD(name, runs) {#name, [] { return (bool)(runs); }, RunStep_##name},
#include "step_builds.inc"
#undef QUOLVANE_STEP_BUILD
};
const size_t STEP_BUILD_COUNT = sizeof STEP_BUILDS / sizeof STEP_BUILDS[0];

// The build this process runs: the first listed one the processor has. QUOLVANE_STEP_ISA=NAME
// starts the search at the build NAME instead, so it forces a build the processor has and caps
// at the widest below one it lacks (the tests run every build against the model); a name not in
// the list changes nothing. The last build, the portable one, runs anywhere.
const StepBuild& ChooseStepBuild()
{
    size_t first = 0;
    if (const char* asked = getenv("QUOLVANE_STEP_ISA"))
        for (size_t i = 0; i < STEP_BUILD_COUNT; ++i)
            if (strcmp(asked, STEP_BUILDS[i].name) == 0)
                first = i;
    for (size_t i = first; i + 1 < STEP_BUILD_COUNT; ++i)
        if (STEP_BUILDS[i].runsHere())
            return STEP_BUILDS[i];
    return STEP_BUILDS[STEP_BUILD_COUNT - 1];
}

// Chosen once, at the first call.
const StepBuild& StepBuildInUse()
{
    static const StepBuild& build = ChooseStepBuild();
    return build;
}
}  // namespace

const char* StepIsaName()
{
    return StepBuildInUse().name;
}

const char* StepBuildName(unsigned int i)
{
    return i < STEP_BUILD_COUNT ? STEP_BUILDS[i].name : nullptr;
}

bool StepBuildRunsHere(const char* name)
{
    for (size_t i = 0; i < STEP_BUILD_COUNT; ++i)
        if (strcmp(name, STEP_BUILDS[i].name) == 0)
            return STEP_BUILDS[i].runsHere();
    return false;
}

CellAuto::CellAuto()
    : width(0), height(0), cellCount(0), currentMap(nullptr), nextMap(nullptr), ageLimit(128),
      decayThreshold(4), decayFactor(1.25f), creditUpkeep(-0.1f), creditBirth(-1.0f),
      creditDeath(5.0f), costOwn(1000.0f), costNeutral(5000.0f), costEnemy(17000.0f), credits(),
      stepBuffers(nullptr)
{
}

CellAuto::CellAuto(unsigned int w, unsigned int h) : CellAuto()
{
    width = w;
    height = h;
    cellCount = w * h;
    // A world without cells cannot address one (coordinates are taken modulo its sides), and a
    // size whose cell count wraps 32 bits would allocate the wrapped, too small count: both are
    // treated like a failed allocation, leaving the maps null.
    if (w == 0 || h == 0 || (uint64_t)w * h > UINT32_MAX)
        return;
    currentMap = AllocateMap(cellCount);
    nextMap = AllocateMap(cellCount);
    // The step's own scratch: three rows split into alive, owner and age planes; made here so
    // that a step never allocates.
    stepBuffers = (unsigned char*)calloc(9, PlaneBytes(w));
    if (currentMap == nullptr || nextMap == nullptr || stepBuffers == nullptr) {
        FreeMap(currentMap);
        FreeMap(nextMap);
        free(stepBuffers);
        currentMap = nullptr;
        nextMap = nullptr;
        stepBuffers = nullptr;
    }
}

CellAuto::~CellAuto()
{
    FreeMap(currentMap);
    FreeMap(nextMap);
    free(stepBuffers);
}

void CellAuto::SetCell(unsigned int x, unsigned int y, unsigned char alive, unsigned char owner)
{
    // The step counts live neighbours by adding alive bytes and indexes the balances by owner,
    // so only 0 or 1 and owners 0..7 may reach a map.
    if (currentMap == nullptr || owner > MAX_CELL_OWNER)
        return;
    Cell& c = currentMap[(y % height) * width + (x % width)];
    c.alive = alive != 0;
    c.owner = owner;
}

Cell* CellAuto::GetCell(unsigned int x, unsigned int y)
{
    if (currentMap == nullptr)
        return nullptr;
    return &currentMap[(y % height) * width + (x % width)];
}

Cell* CellAuto::GetCurrentMap()
{
    return currentMap;
}

namespace {

// The tuning values a step reads, copied once per step so the compiler can keep them in
// registers instead of reloading them through `this` after every credit store.
struct Rule {
    unsigned int ageLimit;
    unsigned int decayThreshold;
    float upkeep;
    float birth;
    float death;
    int decay[9];  // the decay amount for k unlike neighbours, k >= decayThreshold
};

// The decay amount t of an ageing cell: the product truncated toward zero, as an int. A product
// past the int range (a huge or infinite factor) saturates to the nearest int, so the new age
// passes any age limit up to 2^31 and the owner is lost at once, as it is for an age that a
// negative amount drives below 0 (the sum wraps in unsigned arithmetic). A product that is not
// a number (a NaN factor, or an infinite one times no neighbours above the threshold) adds
// nothing. The fast step never sees these: it takes only amounts between -1 and 256.
inline int DecayAmount(float product)
{
    if (!(product == product))
        return 0;
    if (product >= 2147483648.0f)
        return INT32_MAX;
    if (product <= -2147483648.0f)
        return INT32_MIN;
    return (int)product;
}

// Decides one position from its old neighbourhood, given in scan order (nw n ne / w c e /
// sw s se), writes the new cell and applies the position's credit changes in order: death bonus
// or birth cost, then upkeep, then the clamp of the final owner's balance.
inline void StepCell(const Cell* nw, const Cell* n, const Cell* ne, const Cell* w, const Cell* c,
                     const Cell* e, const Cell* sw, const Cell* s, const Cell* se, Cell* out,
                     float* credits, const Rule& r)
{
    unsigned int live =
        nw->alive + n->alive + ne->alive + w->alive + e->alive + sw->alive + s->alive + se->alive;
    unsigned int owner = c->owner;
    unsigned int alive;
    if (c->alive) {
        alive = (live == 2 || live == 3);
        if (!alive)
            credits[owner] += r.death;
    } else if (live == 3) {
        // Exactly three parents: take their owners in scan order. The candidate is the owner
        // two of them share, else the first; a candidate of 0 keeps the dead cell's owner.
        const Cell* ring[8] = {nw, n, ne, w, e, sw, s, se};
        unsigned int found[3];
        unsigned int f = 0;
        for (int i = 0; f < 3; ++i)
            if (ring[i]->alive)
                found[f++] = ring[i]->owner;
        unsigned int cand = (found[0] == found[1] || found[0] == found[2]) ? found[0]
                            : (found[1] == found[2])                       ? found[1]
                                                                           : found[0];
        if (cand != 0)
            owner = cand;
        alive = 1;
        credits[owner] += r.birth;
    } else {
        alive = 0;
    }

    unsigned int age = 0;
    if (!alive && owner != 0 && c->age < r.ageLimit) {
        unsigned int k = (nw->owner != owner) + (n->owner != owner) + (ne->owner != owner) +
                         (w->owner != owner) + (e->owner != owner) + (sw->owner != owner) +
                         (s->owner != owner) + (se->owner != owner);
        age = c->age;
        if (k >= r.decayThreshold) {
            unsigned int a = age + 1 + r.decay[k];
            if (a < r.ageLimit) {
                age = a;
            } else {
                owner = 0;
                age = r.ageLimit;
            }
        }
    }

    if (IsPlayer(owner))
        credits[owner] += r.upkeep;
    if (!(credits[owner] > 0.0f))
        credits[owner] = 0.0f;

    out->alive = (unsigned char)alive;
    out->owner = (unsigned char)owner;
    out->age = (unsigned char)age;
}

}  // namespace

// One generation over the whole torus, row-major. Each row is walked with nine cursors into the
// old map (the neighbourhood in scan order) that advance one cell per column, so the inner loop
// has no division, modulo or wrap test: only the first and last column of a row, and the choice
// of the rows above and below, wrap to the opposite edge. In a world 2 wide (or high) the cursor
// on each side lands on the same column (or row), which therefore counts twice, as it must.
void CellAuto::StepScalar()
{
    Rule r = {ageLimit, decayThreshold, creditUpkeep, creditBirth, creditDeath, {}};
    // The amount depends only on how many neighbours are unlike the cell: worked out once here
    // rather than per ageing cell.
    for (unsigned int k = 0; k <= 8; ++k)
        r.decay[k] =
            k >= decayThreshold ? DecayAmount((float)(k - decayThreshold) * decayFactor) : 0;
    const Cell* old = nextMap;
    Cell* out = currentMap;
    const unsigned int W = width;
    const unsigned int last = W - 1;
    for (unsigned int y = 0; y < height; ++y) {
        const Cell* up = old + (size_t)(y == 0 ? height - 1 : y - 1) * W;
        const Cell* mid = old + (size_t)y * W;
        const Cell* dn = old + (size_t)(y == height - 1 ? 0 : y + 1) * W;
        Cell* o = out + (size_t)y * W;

        // Column 0: the west neighbours are in the last column.
        StepCell(up + last, up, up + 1, mid + last, mid, mid + 1, dn + last, dn, dn + 1, o, credits,
                 r);
        for (unsigned int x = 1; x < last; ++x)
            StepCell(up + x - 1, up + x, up + x + 1, mid + x - 1, mid + x, mid + x + 1, dn + x - 1,
                     dn + x, dn + x + 1, o + x, credits, r);
        // Last column: the east neighbours are in column 0.
        StepCell(up + last - 1, up + last, up, mid + last - 1, mid + last, mid, dn + last - 1,
                 dn + last, dn, o + last, credits, r);
    }
}

void CellAuto::Step()
{
    if (currentMap == nullptr || width < 2 || height < 2)
        return;
    Cell* t = currentMap;
    currentMap = nextMap;
    nextMap = t;

    // The fast step keeps ages in bytes: it needs an age limit of 1..255 and age increments
    // that cannot carry a cell below the limit past 255. Other tunings take the plain path.
    StepWork w;
    bool fast = ageLimit >= 1 && ageLimit <= 255;
    for (unsigned int k = 0; k < 9 && fast; ++k) {
        unsigned int add = 0;
        if (k >= decayThreshold) {
            const float t = (float)(k - decayThreshold) * decayFactor;
            fast = t > -1.0f && t < 256.0f;
            add = fast ? 1 + (unsigned int)(int)t : 0;
            fast = fast && ageLimit - 1 + add <= 255;
        }
        w.addAge[k] = (uint8_t)add;
    }
    if (!fast) {
        StepScalar();
        return;
    }

    const size_t P = PlaneBytes(width);
    w.old = nextMap;
    w.out = currentMap;
    w.W = width;
    w.H = height;
    for (int i = 0; i < 3; ++i)
        w.slot[i] = stepBuffers + (size_t)i * 3 * P;
    w.planeBytes = P;
    w.ageLimit = (uint8_t)ageLimit;
    w.upkeep = creditUpkeep;
    w.birth = creditBirth;
    w.death = creditDeath;
    for (int o = 0; o < 8; ++o)
        w.bal[o] = credits[o];
    StepBuildInUse().run(w);
    for (int o = 0; o < 8; ++o)
        credits[o] = w.bal[o];
}

int CellAuto::PutPattern(unsigned char player, unsigned int x, unsigned int y, unsigned int w,
                         unsigned int h, unsigned char* cells, unsigned char rotation)
{
    if (player > MAX_CELL_OWNER)
        return CELLAUTO_BAD_OWNER;
    if (h == 0 || currentMap == nullptr)
        return CELLAUTO_OK;
    for (unsigned int i = 0; i < h; ++i)
        for (unsigned int j = 0; j < w; ++j) {
            unsigned int tx, ty;
            PatternCellTarget(rotation, x, y, w, h, i, j, &tx, &ty);
            SetCell(tx, ty, cells[(size_t)i * w + j], player);
        }
    return CELLAUTO_OK;
}

float CellAuto::GetBuildCost(unsigned char player, unsigned int x, unsigned int y, pattern* pat)
{
    if (currentMap == nullptr)
        return 0.0f;
    // 64-bit counts: a block of 2^32 or more live cells (65536 x 65536, say) fits the address
    // space, and a 32-bit count would wrap and price it as almost nothing.
    uint64_t own = 0, neutral = 0, enemy = 0;
    for (unsigned int i = 0; i < pat->height; ++i)
        for (unsigned int j = 0; j < pat->width; ++j) {
            if (pat->cells[(size_t)i * pat->width + j] == 0)
                continue;
            unsigned int tx, ty;
            PatternCellTarget(pat->rotation, x, y, pat->width, pat->height, i, j, &tx, &ty);
            const Cell* c = GetCell(tx, ty);
            if (c->owner == 0)
                ++neutral;
            else if (c->owner == player)
                own += (c->alive == 0);
            else
                ++enemy;
        }
    // With the shipped weights (8 times 125, 625 and 2125) every product and partial sum is an
    // integer that a double holds exactly for any block of fewer than 2^41 live cells; the one
    // rounding is the conversion of the total to float.
    double total =
        (double)own * costOwn + (double)neutral * costNeutral + (double)enemy * costEnemy;
    return (float)total;
}
