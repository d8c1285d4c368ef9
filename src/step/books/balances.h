// The step's credit books: how the balances follow the rule's additions exactly, in the model's
// order, without adding them one by one. Scalar and internal to the step: every build's source
// includes it, and each build's copy counts bits as that build's flags allow (one instruction in
// the AVX2 and AVX-512 builds, which add -mpopcnt, and on AArch64; on x86-64 without it a library
// call with GCC, an inline sequence of shifts, masks and a multiply with clang), which is why it
// is not compiled once for all.
//
// Credits depend on visiting order only through each owner's own additions (the clamp at 0),
// and different owners' balances never meet; so each owner's additions must come in order, but
// the owners may be booked apart. Per step and owner the books keep the balance one of two ways:
//
// - in bulk: a player whose balance sits inside a binade (float_grid.h) is only counted, and a
//   band of rows is settled in one exact sum once the counts prove that no order of them could
//   have left the binade (else the band runs again with that player kept exactly). Owners 0 and 7
//   pay no upkeep (their positions only clamp): they go in bulk only at +0, which a band without
//   births or deaths of theirs leaves as it is;
// - kept exactly: block by block, in one sum where the block cannot leave a wide binade, else
//   position by position in lane order with exactly the model's additions and clamps, the plain
//   positions between events run through whole binades at a time (PlainRun).
//
// Words used here:
// - a plain position of owner o: a position whose final owner is o and which has no birth or
//   death of its own: "add the upkeep, clamp" for a player, "clamp" alone for owners 0 and 7;
// - an event: a birth (the birth cost to the new owner, then its upkeep and clamp), a death whose
//   cell keeps its owner (the death bonus, then upkeep and clamp) or a death by decay, where the
//   cell lost its owner as it died (the bonus to the old owner alone; the cell's final owner is 0,
//   for whom the position is a plain one). The event's payer is the owner whose balance it moves;
// - pending: an exact owner's plain positions counted but not yet applied, waiting for its next
//   event or the end of the step.
#ifndef QUOLVANE_STEP_BOOKS_BALANCES_H
#define QUOLVANE_STEP_BOOKS_BALANCES_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "books/float_grid.h"
#include "step.h"

namespace {

enum class Event : uint8_t { birth, death, decayDeath };

// The masks of owners (bit o: owner o) that the books' paths turn on. With every owner kept
// exactly nothing is counted in lanes and a chunk goes in lane order for all owners at once; with
// none kept exactly no block is noted.
const unsigned int ALL_EXACT = (1u << (MAX_CELL_OWNER + 1)) - 1;
const unsigned int NONE_EXACT = 0;
constexpr unsigned int PlayerMask()
{
    unsigned int mask = 0;
    for (unsigned int o = 0; o <= MAX_CELL_OWNER; ++o)
        mask |= IsPlayer(o) ? 1u << o : 0u;
    return mask;
}
const unsigned int PLAYERS = PlayerMask();

// Per owner: kept in bulk (counted, settled per band) or exactly (in order), with what either
// needs. Made afresh by every step.
struct CreditBooks {
    Additions add;
    unsigned int exact;                         // bit o: owner o is kept exactly
    Binade binade[8];                           // the binade last prepared for o's balance
    uint64_t upkeeps[8], births[8], deaths[8];  // this band's counts of every owner
    uint64_t pending[8];                        // an exact owner's pending plain positions
    double blockFloor;  // below this a binade is too narrow to hold a block in one sum

    // `lanes`: the cells of one block. A block moves a balance by at most that many times the
    // largest addition; a binade narrower than twice that rarely holds it, and the balances of a
    // world run down (near 0) are not tried. 0 tries every binade.
    explicit CreditBooks(const StepWork& w, unsigned int lanes = 0)
        : add(w.upkeep, w.birth, w.death), exact(ALL_EXACT),
          blockFloor(lanes == 0 ? 0.0
                                : 2.0 * lanes *
                                      (std::fabs((double)w.upkeep) + std::fabs((double)w.birth) +
                                       std::fabs((double)w.death)))
    {
        for (int o = 0; o < 8; ++o) {
            binade[o] = NO_BINADE;
            pending[o] = 0;
            upkeeps[o] = births[o] = deaths[o] = 0;
        }
    }
};

inline bool IsPlusZero(float x)
{
    uint32_t bits;
    memcpy(&bits, &x, 4);
    return bits == 0;
}

// How many of the next n upkeeps (d = -upkeep > 0 each) of a balance x in binade `bin` can be taken
// in one exact subtraction, and x after them; 0 if none. While x - d stays at or above the
// binade's lo, each upkeep takes exactly -r(upkeep) off, and k of them are one exact subtraction
// (every value involved is a multiple of u below 2 lo). `bin` is prepared anew for x if it does not
// hold it.
inline uint64_t SteadyUpkeeps(Binade& bin, const Additions& a, float& x, uint64_t n)
{
    const double d = -(double)a.up;
    auto steady = [&](double v) { return !bin.upIsTie && v >= bin.lo + d && v < bin.hi; };
    // A binade that holds x already has what the test needs (in a tie binade, where no run
    // is steady, preparing it again would only give the same answer).
    if (!bin.Holds(x))
        PrepareBinade(bin, x, a, false);
    if (!steady(x))
        return 0;
    if (bin.roundedUp == 0.0)
        return n;  // every further sum rounds back to x
    // Steps 0 .. k-1 start at x + i up >= lo + d. The floor of the product is at most the exact
    // bound, so the reciprocal's rounding can only cost a step.
    const double kd = std::floor(((double)x - (bin.lo + d)) * bin.upsPerUnit);
    if (kd < 1.0)
        return 0;
    const uint64_t k = kd > (double)n ? n : (uint64_t)kd;
    x = (float)((double)x + (double)k * bin.roundedUp);
    return k;
}

// Up to this many upkeeps' worth (2^20 d) a balance's float spacing is at most d/8, so every
// rounded sum x + up is within d/16 of x - d: each upkeep takes at least 15/16 d off.
const double SURE_RUN_MAX_UPKEEPS = 1048576.0;
// Below this share of n upkeeps' worth such a balance certainly reaches 0 in n upkeeps: under
// 15/16, with room for the rounding of the bound itself.
const double SURE_RUN_SHARE = 0.9;

// Owner o's balance x after n plain positions. A player's balance runs through thousands of
// upkeeps per step, so instead of adding them one by one this jumps through each binade of x
// (SteadyUpkeeps), keeping the owner's binade in the books between calls.
inline float PlainRun(CreditBooks& b, float x, uint64_t n, unsigned int o)
{
    if (n == 0)
        return x;
    if (!IsPlayer(o))
        return x > 0.0f ? x : 0.0f;
    const float up = b.add.up, d = -up;
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
    // A small balance that the run certainly takes to 0.
    if ((double)x <= SURE_RUN_MAX_UPKEEPS * d && (double)x < SURE_RUN_SHARE * d * (double)n)
        return 0.0f;
    const uint64_t SHORT_RUN = 3;  // shorter runs go one by one
    while (n) {
        const uint64_t k = n > SHORT_RUN ? SteadyUpkeeps(b.binade[o], b.add, x, n) : 0;
        if (k) {
            n -= k;
            continue;
        }
        x = x + up;
        if (!(x > 0.0f))
            return 0.0f;
        --n;
    }
    return x;
}

// Applies an exact owner's pending plain positions to its balance.
inline void ApplyPending(StepWork& w, CreditBooks& b, unsigned int o)
{
    w.bal[o] = PlainRun(b, w.bal[o], b.pending[o], o);
    b.pending[o] = 0;
}

// Payer o's balance x after `plain` plain positions and then one event, with exactly the
// model's additions and clamps.
inline float RunToEvent(CreditBooks& b, float x, uint64_t plain, unsigned int o, Event e)
{
    x = PlainRun(b, x, plain, o);
    x = x + (e == Event::birth ? b.add.birth : b.add.death);
    if (e == Event::decayDeath)
        return x;  // the position's upkeep and clamp are its final owner's, owner 0's
    if (IsPlayer(o))
        x = x + b.add.up;
    return x > 0.0f ? x : 0.0f;
}

// The event in the lane of `bit`, one of a block's events: a birth, a death by decay, or else a
// death whose cell keeps its owner.
inline Event EventAt(uint64_t bit, uint64_t births, uint64_t decayDeaths)
{
    return (births & bit) ? Event::birth : (decayDeaths & bit) ? Event::decayDeath : Event::death;
}

// One block's events as the exact books see them, as lane masks (bit i: lane i): all of them,
// which are births and which deaths by decay (the rest are deaths whose cell keeps its owner),
// and each lane's payer.
struct BlockEvents {
    uint64_t events, births, decayDeaths;
    const uint8_t* payer;  // lane i's payer, for the lanes of `events`
};

// An event with its payer's plain positions before it, to be run in order.
struct Note {
    uint64_t before;
    unsigned int payer;
    Event event;
};

// Notes the events among `pick` of one block in lane order, each with its payer's plain
// positions before it: those waiting from earlier blocks and the payer's lanes of plain[] below
// it. The payer's plain lanes so counted leave plain[]; what remains of it waits for the next
// event (AddPending). Returns the number of notes made.
inline unsigned int NoteEvents(Note* notes, CreditBooks& b, const BlockEvents& block, uint64_t pick,
                               uint64_t plain[MAX_CELL_OWNER + 1])
{
    unsigned int count = 0;
    for (uint64_t m = pick; m; m &= m - 1) {
        const unsigned int lane = (unsigned int)__builtin_ctzll(m);
        const uint64_t bit = 1ull << lane, before = bit - 1;
        Note& note = notes[count++];
        note.payer = block.payer[lane];
        note.event = EventAt(bit, block.births, block.decayDeaths);
        note.before =
            b.pending[note.payer] + (uint64_t)__builtin_popcountll(plain[note.payer] & before);
        b.pending[note.payer] = 0;
        plain[note.payer] &= ~before;
    }
    return count;
}

inline void AddPending(CreditBooks& b, unsigned int o, uint64_t plain)
{
    b.pending[o] += (uint64_t)__builtin_popcountll(plain);
}

inline void RunNotes(StepWork& w, CreditBooks& b, const Note* notes, unsigned int count)
{
    for (unsigned int i = 0; i < count; ++i) {
        const Note& note = notes[i];
        w.bal[note.payer] = RunToEvent(b, w.bal[note.payer], note.before, note.payer, note.event);
    }
}

// One block as an owner o kept exactly sees it (bit i: lane i): the lanes whose final owner is
// o, those of them without an event of their own (plain), the events o pays, and the block's
// births and deaths by decay, which tell o's events apart.
struct OwnerBlock {
    uint64_t mine, plain, pays, births, decayDeaths;
};

// Where o's pending positions and the block's cannot leave a wide binade of a player's balance,
// settles them in one exact sum, as for the owners in bulk, and returns true: near a binade's
// edge that spares most blocks the position-by-position path.
inline bool SumBlockInBinade(StepWork& w, CreditBooks& b, unsigned int o, const OwnerBlock& block)
{
    const float x = w.bal[o];
    if (!IsPlayer(o) || (double)x < b.blockFloor)
        return false;
    Binade& bin = b.binade[o];
    if (!bin.Holds(x) || !bin.sums)
        PrepareBinade(bin, x, b.add, true);
    const uint64_t ups = b.pending[o] + (uint64_t)__builtin_popcountll(block.mine);
    const uint64_t births = (uint64_t)__builtin_popcountll(block.pays & block.births);
    const uint64_t deaths = (uint64_t)__builtin_popcountll(block.pays & ~block.births);
    if (!StaysInBinade(x, bin, b.add, ups, births, deaths))
        return false;
    w.bal[o] = SumInBinade(x, bin, ups, births, deaths);
    b.pending[o] = 0;
    return true;
}

// Books one block for an owner o kept exactly that pays at least one event there: in one sum
// where it can (SumBlockInBinade), else each event in lane order after o's plain positions
// before it; o's plain lanes after its last event wait for its next one.
inline void ApplyBlock(StepWork& w, CreditBooks& b, unsigned int o, const OwnerBlock& block)
{
    if (SumBlockInBinade(w, b, o, block))
        return;
    float x = w.bal[o];
    uint64_t plain = block.plain;
    for (uint64_t m = block.pays; m; m &= m - 1) {
        const uint64_t bit = 1ull << __builtin_ctzll(m), before = bit - 1;
        const uint64_t plainBefore = b.pending[o] + (uint64_t)__builtin_popcountll(plain & before);
        x = RunToEvent(b, x, plainBefore, o, EventAt(bit, block.births, block.decayDeaths));
        b.pending[o] = 0;
        plain &= ~before;
    }
    AddPending(b, o, plain);
    w.bal[o] = x;
}

// Whether owner o, in bulk from balance x, stays in bulk through a band with these counts.
// Owners 0 and 7 are in bulk only at +0, which their plain positions leave as it is.
inline bool BulkHolds(const CreditBooks& b, unsigned int o, float x, uint64_t ups, uint64_t births,
                      uint64_t deaths)
{
    if (!IsPlayer(o))
        return births == 0 && deaths == 0;
    return StaysInBinade(x, b.binade[o], b.add, ups, births, deaths);
}

// Whether owner o's balance x can go in bulk at all, preparing its binade for a player.
inline bool MayGoInBulk(CreditBooks& b, unsigned int o, float x)
{
    if (!IsPlayer(o))
        return IsPlusZero(x);
    return PrepareBinade(b.binade[o], x, b.add, true) && !b.binade[o].anyIsTie;
}

// Owner o's balance after its band in bulk, where BulkHolds said yes.
inline float SettleBand(const CreditBooks& b, unsigned int o, float x)
{
    if (!IsPlayer(o))
        return x;
    return SumInBinade(x, b.binade[o], b.upkeeps[o], b.births[o], b.deaths[o]);
}

}  // namespace

#endif
