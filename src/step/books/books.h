// The step's credit books behind the few calls the driver (kernel.h) makes at a band's and a
// block's edges; nothing else reads or writes their state. Per step and owner the books keep each
// balance in bulk or exactly (balances.h says how, and why either is exact). Here the players in
// bulk are counted in vector lanes, the blocks of the owners kept exactly are noted in a chunk and
// applied in visiting order, and a band whose counts might have taken an owner in bulk out of its
// binade runs again with that owner kept exactly:
//
//   StepBooks<V> books(work)               books for one step of `work`, whose balances they move
//   books.BeginBand()                      as a band of rows starts
//   StepBooks<V>::Tally tally              as a run of the band's rows starts: the players'
//                                          counts, a local of the driver's loop
//   books.BookBlock(tally, next, oldOwner) per block of the run, in visiting order
//   books.EndRows(tally)                   as the run's rows end
//   books.EndBand()                        true when the band is booked; false when it must run
//                                          again from its first row, the books being as they
//                                          were when it began
//   books.EndStep()                        after the last band
//
// Compiled per build with the rest of the step (each build's source includes it).
#ifndef QUOLVANE_STEP_BOOKS_BOOKS_H
#define QUOLVANE_STEP_BOOKS_BOOKS_H

#include <cstdint>
#include <cstring>

#include "books/balances.h"
#include "rule.h"
#include "step.h"

namespace {

// ---------------------------------------------------------------------------------------------
// The books' vectors

// The constant vectors the books use, made once per step and kept in the books themselves, so
// that the block loop reads them from its own frame.
template <class V> struct BookVectors {
    typedef typename V::T T;
    T zero, one, ones;
    T deathInLane;                // what a death adds to a lane of events: 16
    T owner[MAX_CELL_OWNER + 1];  // owner o in every lane
    T notPlayerTable;             // all ones for each owner that is no player, where V can look up

    BookVectors()
        : zero(V::set1(0)), one(V::set1(1)), ones(V::eq(zero, zero)), deathInLane(V::set1(16)),
          notPlayerTable(zero)
    {
        for (unsigned int o = 0; o <= MAX_CELL_OWNER; ++o)
            owner[o] = V::set1((uint8_t)o);
        if constexpr (V::hasLookup16) {
            uint8_t table[16] = {0};
            for (unsigned int o = 0; o <= MAX_CELL_OWNER; ++o)
                table[o] = IsPlayer(o) ? 0 : 0xFF;
            notPlayerTable = V::table16(table);
        }
    }

    // All ones in the lanes whose owner (0..8) is no player: one byte lookup where V has one,
    // else a compare for each owner that is none.
    STEP_INLINE T NotPlayer(T owners) const
    {
        if constexpr (V::hasLookup16) {
            return V::lookup16(notPlayerTable, owners);
        } else {
            T notPlayer = zero;
            for (unsigned int o = 0; o <= MAX_CELL_OWNER; ++o)
                if (!IsPlayer(o))
                    notPlayer = V::or_(notPlayer, V::eq(owners, owner[o]));
            return notPlayer;
        }
    }
};

// ---------------------------------------------------------------------------------------------
// The players in bulk: counted in vector lanes

// The players' counts of a few blocks, lane by lane: minus the positions owned (wrapping), and
// births + 16 deaths (births in the low nibble, deaths in the high one). A local of the block
// loop that no call out of line sees, so that the compiler may keep it in vector registers
// rather than load and store it for every block.
template <class V> struct BulkLanes {
    typename V::T owned[LAST_PLAYER + 1], events[LAST_PLAYER + 1];  // index: the player
    unsigned int blocks;

    BulkLanes() : blocks(0)
    {
        for (unsigned int o = FIRST_PLAYER; o <= LAST_PLAYER; ++o)
            owned[o] = events[o] = V::set1(0);
    }
};

// The lanes are emptied into the books every this many blocks: each block adds at most 1 to a
// lane's nibble, so 15 is the most a nibble holds.
const unsigned int BLOCKS_PER_FLUSH = 15;

template <class V>
STEP_INLINE void FlushBulkLanes(BulkLanes<V>& lanes, CreditBooks& books, const BookVectors<V>& vec)
{
    typedef typename V::T T;
    const T lowNibble = V::set1(0x0F), highNibble = V::set1(0xF0);
    for (unsigned int o = FIRST_PLAYER; o <= LAST_PLAYER; ++o) {
        // Minus the count, wrapped: the count is its two's complement, ~v + 1, lane by lane.
        books.upkeeps[o] += V::sum(V::add(V::andnot(lanes.owned[o], vec.ones), vec.one));
        books.births[o] += V::sum(V::and_(lanes.events[o], lowNibble));
        books.deaths[o] += V::sum(V::and_(lanes.events[o], highNibble)) >> 4;
        lanes.owned[o] = vec.zero;
        lanes.events[o] = vec.zero;
    }
    lanes.blocks = 0;
}

// ---------------------------------------------------------------------------------------------
// The owners kept exactly: blocks noted in a chunk, applied in visiting order

// Blocks per chunk: a chunk's notes (at most one per lane) live on the stack, 16 KiB of them with
// 64 lanes, and the blocks of one chunk share each exact owner's pass.
const unsigned int CHUNK_BLOCKS = 16;

// Per block: each lane's final owner and payer, and the lanes of births, deaths whose cell keeps
// its owner and deaths by decay.
template <class V> struct ExactChunk {
    alignas(64) uint8_t owner[CHUNK_BLOCKS][V::N];
    alignas(64) uint8_t payerWhereDecayed[CHUNK_BLOCKS][V::N];  // for blocks with such deaths
    uint64_t births[CHUNK_BLOCKS], deaths[CHUNK_BLOCKS], decayDeaths[CHUNK_BLOCKS];
    unsigned int blocks;

    const uint8_t* Payers(unsigned int block) const
    {
        return decayDeaths[block] ? payerWhereDecayed[block] : owner[block];
    }
    uint64_t Events(unsigned int block) const
    {
        return births[block] | deaths[block] | decayDeaths[block];
    }
    // The lanes whose final owner has no event there.
    uint64_t NoEvent(unsigned int block) const { return ~(births[block] | deaths[block]); }
    BlockEvents AllEvents(unsigned int block) const
    {
        return BlockEvents{Events(block), births[block], decayDeaths[block], Payers(block)};
    }
};

// With every owner kept exactly (balances run down to near 0, where few blocks could be settled
// in one sum) the chunk goes in lane order for all eight owners at once: every event is noted
// with its payer's plain positions before it, then the notes run in order. Two tight loops
// mispredict far less than a pass per owner whose branches follow each block's events.
template <class V>
inline void ApplyChunkAllExact(ExactChunk<V>& chunk, CreditBooks& books, StepWork& work,
                               const BookVectors<V>& vec)
{
    Note notes[CHUNK_BLOCKS * V::N];
    unsigned int count = 0;
    for (unsigned int block = 0; block < chunk.blocks; ++block) {
        const typename V::T owner = V::load(chunk.owner[block]);
        uint64_t plain[MAX_CELL_OWNER + 1];
        for (unsigned int o = 0; o <= MAX_CELL_OWNER; ++o)
            plain[o] = V::eqmask(owner, vec.owner[o]) & chunk.NoEvent(block);
        const BlockEvents events = chunk.AllEvents(block);
        count += NoteEvents(notes + count, books, events, events.events, plain);
        for (unsigned int o = 0; o <= MAX_CELL_OWNER; ++o)
            AddPending(books, o, plain[o]);
    }
    RunNotes(work, books, notes, count);
    chunk.blocks = 0;
}

// Applies the chunk's positions of each owner kept exactly to its balance, block by block in
// visiting order (ApplyBlock). Each owner runs through the whole chunk in turn. Blocks without
// an event of the owner only add their positions to the pending ones: they are found first,
// without a branch per block, and only the others are visited. Kept out of line, so that the
// step's main loop, where every owner is usually in bulk, keeps its registers for itself.
template <class V>
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void ApplyChunk(ExactChunk<V>& chunk, CreditBooks& books, StepWork& work,
                const BookVectors<V>& vec)
{
    if (books.exact == ALL_EXACT) {
        ApplyChunkAllExact<V>(chunk, books, work, vec);
        return;
    }
    const unsigned int blocks = chunk.blocks;
    for (unsigned int m = books.exact; m; m &= m - 1) {
        const unsigned int o = (unsigned int)__builtin_ctz(m);
        OwnerBlock seen[CHUNK_BLOCKS];
        // quiet[block]: the positions of the blocks before it that have no event of o.
        uint64_t quiet[CHUNK_BLOCKS + 1];
        uint32_t busy = 0;
        quiet[0] = 0;
        // Straight arithmetic: whether a block has events is as good as random.
        for (unsigned int block = 0; block < blocks; ++block) {
            OwnerBlock& own = seen[block];
            own.mine = V::eqmask(V::load(chunk.owner[block]), vec.owner[o]);
            own.pays = V::eqmask(V::load(chunk.Payers(block)), vec.owner[o]) & chunk.Events(block);
            const uint64_t hasEvents = own.pays != 0;
            busy |= (uint32_t)hasEvents << block;
            quiet[block + 1] =
                quiet[block] + ((uint64_t)__builtin_popcountll(own.mine) & (hasEvents - 1));
        }
        uint64_t added = 0;  // quiet positions already added to the pending ones
        for (; busy; busy &= busy - 1) {
            const unsigned int block = (unsigned int)__builtin_ctz(busy);
            books.pending[o] += quiet[block] - added;
            added = quiet[block];
            OwnerBlock& own = seen[block];
            own.plain = own.mine & chunk.NoEvent(block);
            own.births = chunk.births[block];
            own.decayDeaths = chunk.decayDeaths[block];
            ApplyBlock(work, books, o, own);
        }
        books.pending[o] += quiet[blocks] - added;
    }
    chunk.blocks = 0;
}

// ---------------------------------------------------------------------------------------------
// Which owners go in bulk

// An owner in bulk for a band stays in bulk for the next only if twice the last counted band's
// counts, and this many more upkeeps, births and deaths, could not leave its binade: a band's
// counts vary from the last, and a guess too low costs the band's rows again. Owners 0 and 7
// need a band without births or deaths of theirs, so for them nothing is added.
const uint64_t BULK_GUESS_SLACK = 16;

// Whether owner o goes in bulk for the next band: its balance allows it and it did not fail in
// bulk this step (`stuck`); if it was in bulk, the last counts suggest the band will hold (above);
// if it was exact, it first applies its pending plain positions. Owners 0 and 7 go in bulk only
// beside a player in bulk: with every player exact the books take the straight path.
inline bool GoesInBulk(StepWork& w, CreditBooks& b, unsigned int o, unsigned int stuck)
{
    const unsigned int bit = 1u << o;
    if ((stuck & bit) || !MayGoInBulk(b, o, w.bal[o]))
        return false;
    if (!IsPlayer(o) && (b.exact & PLAYERS) == PLAYERS)
        return false;
    if (!(b.exact & bit)) {
        const uint64_t slack = IsPlayer(o) ? BULK_GUESS_SLACK : 0;
        return BulkHolds(b, o, w.bal[o], 2 * b.upkeeps[o] + slack, 2 * b.births[o] + slack,
                         2 * b.deaths[o] + slack);
    }
    if (b.pending[o] == 0)
        return true;
    ApplyPending(w, b, o);
    return MayGoInBulk(b, o, w.bal[o]);
}

// As a band starts: which owners go in bulk, the players first (owners 0 and 7 look at them).
inline void ChooseBulkOwners(StepWork& w, CreditBooks& b, unsigned int stuck)
{
    const bool playersFirst[2] = {true, false};
    for (const bool players : playersFirst)
        for (unsigned int o = 0; o <= MAX_CELL_OWNER; ++o)
            if (IsPlayer(o) == players) {
                const unsigned int bit = 1u << o;
                b.exact = GoesInBulk(w, b, o, stuck) ? b.exact & ~bit : b.exact | bit;
            }
}

// ---------------------------------------------------------------------------------------------
// The books of one step

template <class V> class StepBooks {
public:
    typedef typename V::T T;

    typedef BulkLanes<V> Tally;

    explicit StepBooks(StepWork& work) : work(work), books(work, V::N), stuck(0)
    {
        chunk.blocks = 0;
    }

    // Chooses the band's owners in bulk and keeps what running the band again needs.
    void BeginBand()
    {
        ChooseBulkOwners(work, books, stuck);
        memcpy(balAtBandStart, work.bal, sizeof balAtBandStart);
        memcpy(pendingAtBandStart, books.pending, sizeof pendingAtBandStart);
        StartBandRun();
    }

    // Books one block of new cells, `oldOwner` holding the cells' old owners. Unless every owner
    // is kept exactly, every player is counted, whether its counts are used or not (counting all
    // six in lanes costs less than choosing): every position whose final owner is a player pays
    // its upkeep there, births are charged to the new owner and deaths to their payer: the final
    // owner, or the old one for a death by decay. For the owners kept exactly the block is noted
    // in the chunk.
    STEP_INLINE void BookBlock(Tally& tally, const NextBlock<V>& next, T oldOwner)
    {
        const T death = V::andnot(next.lose, next.death);
        const T decayDeath = V::and_(next.lose, next.death);
        if (books.exact != ALL_EXACT)
            CountBlock(tally, next, death);
        const uint64_t decayLanes = V::mask(decayDeath);
        if (decayLanes)
            CountDecayDeaths(decayLanes, oldOwner);
        if (books.exact != NONE_EXACT)
            NoteBlock(next, death, decayDeath, decayLanes, oldOwner);
    }

    // Adds a run's counts to the band's, as the run's rows end.
    STEP_INLINE void EndRows(Tally& tally) { FlushBulkLanes(tally, books, vec); }

    // Books the band's last blocks and settles its owners in bulk. False where an owner in bulk
    // might have left its binade: that owner is kept exactly from now on in this step, and the
    // books are back where the band began, for the band to run again.
    bool EndBand()
    {
        if (chunk.blocks)
            ApplyChunk<V>(chunk, books, work, vec);
        const unsigned int failed = FailedInBulk();
        if (failed == 0) {
            for (unsigned int o = 0; o <= MAX_CELL_OWNER; ++o)
                if (!(books.exact & (1u << o)))
                    work.bal[o] = SettleBand(books, o, work.bal[o]);
            return true;
        }
        books.exact |= failed;
        stuck |= failed;
        memcpy(books.pending, pendingAtBandStart, sizeof pendingAtBandStart);
        memcpy(work.bal, balAtBandStart, sizeof balAtBandStart);
        StartBandRun();
        return false;
    }

    // Applies the exact owners' plain positions after their last event.
    void EndStep()
    {
        for (unsigned int o = 0; o <= MAX_CELL_OWNER; ++o)
            if (books.pending[o])
                ApplyPending(work, books, o);
    }

private:
    StepWork& work;
    const BookVectors<V> vec;
    CreditBooks books;
    ExactChunk<V> chunk;
    unsigned int stuck;  // owners that failed in bulk this step: exact from then on
    float balAtBandStart[MAX_CELL_OWNER + 1];
    uint64_t pendingAtBandStart[MAX_CELL_OWNER + 1];

    // A run of the band starts from zero counts. With every owner kept exactly nothing is
    // counted, and the last counts stay for choosing the next band's owners in bulk.
    void StartBandRun()
    {
        if (books.exact == ALL_EXACT)
            return;
        for (unsigned int o = 0; o <= MAX_CELL_OWNER; ++o)
            books.upkeeps[o] = books.births[o] = books.deaths[o] = 0;
    }

    // The owners in bulk whose band's counts might have left their binade.
    unsigned int FailedInBulk() const
    {
        unsigned int failed = 0;
        for (unsigned int o = 0; o <= MAX_CELL_OWNER; ++o) {
            const bool holds =
                (books.exact & (1u << o)) || BulkHolds(books, o, work.bal[o], books.upkeeps[o],
                                                       books.births[o], books.deaths[o]);
            failed |= holds ? 0 : 1u << o;
        }
        return failed;
    }

    // The players' positions, births and deaths in the lanes; births and deaths of owners 0 and
    // 7 (rare) lane by lane.
    STEP_INLINE void CountBlock(Tally& lanes, const NextBlock<V>& next, T death)
    {
        const T code = V::or_(V::and_(next.birth, vec.one), V::and_(death, vec.deathInLane));
        for (unsigned int o = FIRST_PLAYER; o <= LAST_PLAYER; ++o) {
            lanes.owned[o] = DownWhereEq<V>(lanes.owned[o], next.owner, vec.owner[o]);
            lanes.events[o] = AddIfEq<V>(lanes.events[o], next.owner, vec.owner[o], code);
        }
        if (++lanes.blocks == BLOCKS_PER_FLUSH)
            FlushBulkLanes(lanes, books, vec);
        const T notPlayer = vec.NotPlayer(next.owner);
        const uint64_t events = V::mask(V::and_(V::or_(next.birth, death), notPlayer));
        if (events)
            CountNonPlayerEvents(events, next);
    }

    void CountNonPlayerEvents(uint64_t events, const NextBlock<V>& next)
    {
        alignas(64) uint8_t newOwner[V::N];
        V::store(newOwner, next.owner);
        const uint64_t births = V::mask(next.birth);
        for (uint64_t m = events; m; m &= m - 1) {
            const unsigned int lane = (unsigned int)__builtin_ctzll(m);
            ++((births >> lane) & 1 ? books.births : books.deaths)[newOwner[lane]];
        }
    }

    // Deaths by decay (rare), counted lane by lane for a payer in bulk.
    void CountDecayDeaths(uint64_t decayLanes, T oldOwner)
    {
        alignas(64) uint8_t payer[V::N];
        V::store(payer, oldOwner);
        for (uint64_t m = decayLanes; m; m &= m - 1) {
            const unsigned int o = payer[__builtin_ctzll(m)];
            if (!((books.exact >> o) & 1))
                ++books.deaths[o];
        }
    }

    STEP_INLINE void NoteBlock(const NextBlock<V>& next, T death, T decayDeath, uint64_t decayLanes,
                               T oldOwner)
    {
        const unsigned int block = chunk.blocks;
        V::store(chunk.owner[block], next.owner);
        if (decayLanes)
            V::store(chunk.payerWhereDecayed[block], V::select(decayDeath, oldOwner, next.owner));
        chunk.births[block] = V::mask(next.birth);
        chunk.deaths[block] = V::mask(death);
        chunk.decayDeaths[block] = decayLanes;
        if (++chunk.blocks == CHUNK_BLOCKS)
            ApplyChunk<V>(chunk, books, work, vec);
    }
};

}  // namespace

#endif
