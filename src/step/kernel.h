// The fast generation step: the driver that runs the rule on vectors (rule.h) over the
// world and books each block's credits (books/balances.h). Written once over a vector of byte lanes
// and compiled once per build in the list of step builds (CMakeLists.txt): each build's
// generated source includes this file and its vector wrapper and instantiates RunStep for it.
// CellAuto::Step prepares a StepWork (step.h) and runs the build it chose.
//
// Everything here has internal linkage on purpose: each translation unit that includes this file
// is compiled for its own instruction set and must keep its own copy of every function.
//
// The step walks the world as
//
//   step      bands of whole rows, about 4096 cells each: the unit of the books in bulk, run
//    │        again where an owner in bulk may have left its binade
//    └ row    split into byte planes; three row buffers roll down the world
//       └ block   N cells: the rule without branches, then the block's books: counted in
//                 vector lanes for the owners in bulk, noted in the chunk for those kept exactly
//   chunk     up to 16 blocks' notes, in visiting order: the exact owners' positions, applied
//             when the chunk is full and at the band's end
#ifndef QUOLVANE_STEP_KERNEL_H
#define QUOLVANE_STEP_KERNEL_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "books/balances.h"
#include "rule.h"
#include "step.h"

namespace {

// Cells per band of rows: small enough that a balance's changes over one are small against its
// binade, large enough that settling them costs little.
const unsigned int BAND_CELLS = 4096;

// ---------------------------------------------------------------------------------------------
// The owners in bulk: counted in vector lanes

// The players' counts of a few blocks, lane by lane: minus the positions owned (wrapping), and
// births + 16 deaths. Emptied into the books every BLOCKS_PER_FLUSH blocks, before a lane can
// overflow its nibble.
template <class V> struct BulkLanes {
    typename V::T owned[LAST_PLAYER + 1], events[LAST_PLAYER + 1];  // index: the player
    unsigned int blocks;

    explicit BulkLanes(const RuleVectors<V>& c) : blocks(0)
    {
        for (unsigned int o = FIRST_PLAYER; o <= LAST_PLAYER; ++o)
            owned[o] = events[o] = c.zero;
    }
};

const unsigned int BLOCKS_PER_FLUSH = 15;

template <class V>
STEP_INLINE void FlushBulkLanes(BulkLanes<V>& l, CreditBooks& b, const RuleVectors<V>& c)
{
    typedef typename V::T T;
    const T lowNibble = V::set1(0x0F), highNibble = V::set1(0xF0);
    for (unsigned int o = FIRST_PLAYER; o <= LAST_PLAYER; ++o) {
        // Minus the count, wrapped: the count is its two's complement, ~v + 1, lane by lane.
        b.upkeeps[o] += V::sum(V::add(V::andnot(l.owned[o], c.ones), c.one));
        b.births[o] += V::sum(V::and_(l.events[o], lowNibble));
        b.deaths[o] += V::sum(V::and_(l.events[o], highNibble)) >> 4;
        l.owned[o] = c.zero;
        l.events[o] = c.zero;
    }
    l.blocks = 0;
}

// ---------------------------------------------------------------------------------------------
// The owners kept exactly: blocks noted in a chunk, applied in visiting order

const unsigned int CHUNK_BLOCKS = 16;

// Per block: each lane's final owner and payer, and the lanes of births, deaths that kept the
// owner and deaths by decay.
template <class V> struct ExactChunk {
    alignas(64) uint8_t owner[CHUNK_BLOCKS][V::N];
    alignas(64) uint8_t payerWhereLost[CHUNK_BLOCKS][V::N];  // for blocks with such deaths
    uint64_t births[CHUNK_BLOCKS], kept[CHUNK_BLOCKS], lost[CHUNK_BLOCKS];
    unsigned int blocks;

    const uint8_t* Payers(unsigned int k) const { return lost[k] ? payerWhereLost[k] : owner[k]; }
    BlockEvents Events(unsigned int k) const
    {
        return BlockEvents{births[k] | kept[k] | lost[k], births[k], lost[k], Payers(k)};
    }
};

// With every owner kept exactly (balances run down to near 0, where few blocks could be settled
// in one sum) the chunk goes in lane order for all eight owners at once: every event is noted
// with its payer's plain positions before it, then the notes run in order. Two tight loops
// mispredict far less than a pass per owner whose branches follow each block's events.
template <class V>
inline void ApplyChunkAllExact(ExactChunk<V>& ch, CreditBooks& b, StepWork& w,
                               const RuleVectors<V>& c)
{
    Note notes[CHUNK_BLOCKS * V::N];
    unsigned int count = 0;
    for (unsigned int k = 0; k < ch.blocks; ++k) {
        const typename V::T owner = V::load(ch.owner[k]);
        uint64_t plain[8];
        for (unsigned int o = 0; o < 8; ++o)
            plain[o] = V::eqmask(owner, c.ownerVec[o]) & ~(ch.births[k] | ch.kept[k]);
        const BlockEvents e = ch.Events(k);
        count += NoteEvents(notes + count, b, e, e.events, plain);
        for (unsigned int o = 0; o < 8; ++o)
            AddPending(b, o, plain[o]);
    }
    RunNotes(w, b, notes, count);
    ch.blocks = 0;
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
void ApplyChunk(ExactChunk<V>& ch, CreditBooks& b, StepWork& w, const RuleVectors<V>& c)
{
    if (b.exact == ALL_EXACT) {
        ApplyChunkAllExact<V>(ch, b, w, c);
        return;
    }
    const unsigned int n = ch.blocks;
    for (unsigned int m = b.exact; m; m &= m - 1) {
        const unsigned int o = (unsigned int)__builtin_ctz(m);
        uint64_t mine[CHUNK_BLOCKS], pick[CHUNK_BLOCKS];
        // quiet[k]: the positions of the blocks before k that have no event of o.
        uint64_t quiet[CHUNK_BLOCKS + 1];
        uint32_t busy = 0;
        quiet[0] = 0;
        // Straight arithmetic: whether a block has events is as good as random.
        for (unsigned int k = 0; k < n; ++k) {
            mine[k] = V::eqmask(V::load(ch.owner[k]), c.ownerVec[o]);
            pick[k] = V::eqmask(V::load(ch.Payers(k)), c.ownerVec[o]) & ch.Events(k).events;
            const uint64_t events = pick[k] != 0;
            busy |= (uint32_t)events << k;
            quiet[k + 1] = quiet[k] + ((uint64_t)__builtin_popcountll(mine[k]) & (events - 1));
        }
        uint64_t added = 0;  // quiet positions already added to the pending ones
        for (; busy; busy &= busy - 1) {
            const unsigned int k = (unsigned int)__builtin_ctz(busy);
            b.pending[o] += quiet[k] - added;
            added = quiet[k];
            ApplyBlock<V::N>(w, b, o, ch.Events(k), mine[k], mine[k] & ~(ch.births[k] | ch.kept[k]),
                             pick[k]);
        }
        b.pending[o] += quiet[n] - added;
    }
    ch.blocks = 0;
}

// ---------------------------------------------------------------------------------------------
// One block's books

// Books the block's credits. Unless every owner is kept exactly, every owner is counted, whether
// its counts are used or not (counting all six in lanes costs less than choosing): every position
// whose final owner is a player pays its upkeep there, births are charged to the new owner and
// deaths to their payer: the final owner, or the old one (`oldOwner`) for a death by decay. For the
// owners kept exactly the block is noted in the chunk.
template <class V>
STEP_INLINE void BookBlock(BulkLanes<V>& l, ExactChunk<V>& ch, CreditBooks& b, StepWork& w,
                           const NextBlock<V>& x, typename V::T oldOwner, const RuleVectors<V>& c)
{
    typedef typename V::T T;
    const T kept = V::andnot(x.lose, x.death);
    const T lost = V::and_(x.lose, x.death);
    if (b.exact != ALL_EXACT) {
        const T code = V::or_(V::and_(x.birth, c.one), V::and_(kept, c.sixteen));
        for (unsigned int o = FIRST_PLAYER; o <= LAST_PLAYER; ++o) {
            l.owned[o] = DownWhereEq<V>(l.owned[o], x.owner, c.ownerVec[o]);
            l.events[o] = AddIfEq<V>(l.events[o], x.owner, c.ownerVec[o], code);
        }
        if (++l.blocks == BLOCKS_PER_FLUSH)
            FlushBulkLanes(l, b, c);
        // Births and deaths of owners 0 and 7, for when they are in bulk: rare, so counted lane
        // by lane.
        const T zeroOrSeven = V::or_(V::eq(x.owner, c.zero), V::eq(x.owner, c.ownerVec[7]));
        const uint64_t unowned = V::mask(V::and_(V::or_(x.birth, kept), zeroOrSeven));
        if (unowned) {
            alignas(64) uint8_t newOwner[V::N];
            V::store(newOwner, x.owner);
            const uint64_t births = V::mask(x.birth);
            for (uint64_t m = unowned; m; m &= m - 1) {
                const unsigned int i = (unsigned int)__builtin_ctzll(m);
                ++((births >> i) & 1 ? b.births : b.deaths)[newOwner[i]];
            }
        }
    }
    // Deaths by decay (rare): counted lane by lane for a payer in bulk.
    const uint64_t lostMask = V::mask(lost);
    if (lostMask) {
        alignas(64) uint8_t old[V::N];
        V::store(old, oldOwner);
        for (uint64_t m = lostMask; m; m &= m - 1) {
            const unsigned int o = old[__builtin_ctzll(m)];
            if (!((b.exact >> o) & 1))
                ++b.deaths[o];
        }
    }
    if (b.exact == NONE_EXACT)
        return;

    const unsigned int k = ch.blocks;
    V::store(ch.owner[k], x.owner);
    if (lostMask)
        V::store(ch.payerWhereLost[k], V::select(lost, oldOwner, x.owner));
    ch.births[k] = V::mask(x.birth);
    ch.kept[k] = V::mask(kept);
    ch.lost[k] = lostMask;
    if (++ch.blocks == CHUNK_BLOCKS)
        ApplyChunk<V>(ch, b, w, c);
}

// ---------------------------------------------------------------------------------------------
// Rows and bands

// New maps of this size and more are streamed past the caches (where the wrapper can and every
// full block's cells are aligned to its vectors): the next step would not find such a map
// cached anyway, and streaming spares reading each line of it before it is overwritten.
const size_t STREAM_MAP_BYTES = (size_t)16 << 20;

template <class V> inline bool StreamsNewMap(const StepWork& w)
{
    return V::hasStream && (size_t)w.W * w.H * sizeof(Cell) >= STREAM_MAP_BYTES &&
           (uintptr_t)w.out % V::N == 0 && (w.W * sizeof(Cell)) % V::N == 0;
}

// The lanes of a row's last block past the row's end hold no cell: there they get owner 8,
// nobody's, and no birth or death, so that no book counts them. `inRow` is all ones in the lanes
// that hold cells.
template <class V>
STEP_INLINE void ClearPastRowEnd(NextBlock<V>& x, typename V::T inRow, const RuleVectors<V>& c)
{
    x.owner = V::or_(V::and_(inRow, x.owner), V::andnot(inRow, c.eight));
    x.birth = V::and_(inRow, x.birth);
    x.death = V::and_(inRow, x.death);
    x.lose = V::and_(inRow, x.lose);
}

// Runs rows y0 .. y1-1, a band, and books it whole: the counts of the owners in bulk are in the
// books, and the exact owners' positions applied or pending. On entry the three row buffers hold
// the split rows y0-1, y0 and y0+1; on return y1-1, y1 and y1+1 (as far as the world has them).
template <class V>
STEP_INLINE void RunRows(StepWork& w, CreditBooks& books, const RuleVectors<V>& c, uint8_t* slot[3],
                         bool stream, unsigned int y0, unsigned int y1)
{
    BulkLanes<V> counts(c);
    ExactChunk<V> chunk;
    chunk.blocks = 0;
    typedef typename V::T T;
    const unsigned int N = V::N, W = w.W, H = w.H;
    const size_t P = w.planeBytes;
    alignas(64) uint8_t tail[V::N];
    for (unsigned int i = 0; i < N; ++i)
        tail[i] = i < W % N ? 0xFF : 0;
    const T inLastBlock = V::load(tail);

    for (unsigned int y = y0; y < y1; ++y) {
        const uint8_t* const A[3] = {slot[0], slot[1], slot[2]};
        const uint8_t* const O[3] = {slot[0] + P, slot[1] + P, slot[2] + P};
        Cell* outRow = w.out + (size_t)y * W;

        for (unsigned int x0 = 0; x0 < W; x0 += N) {
            const unsigned int lanes = W - x0 < N ? W - x0 : N;
            NeighbourSums<V> n;
            SumNeighbourhood<V>(n, A, O, slot[1] + 2 * P, x0, c);
            NextBlock<V> x;
            LifeAndAge<V>(x, n, c);
            // Always, though most lanes have no newborn: on a busy world most blocks have one,
            // and a branch on it costs more in mispredictions than the work it skips.
            NewbornOwner<V>(x, n, c);
            if (lanes < N)
                ClearPastRowEnd<V>(x, inLastBlock, c);
            BookBlock<V>(counts, chunk, books, w, x, n.oC, c);
            JoinBlock<V>(outRow + x0, lanes, stream, x, c);
        }

        // Roll the three row buffers down one row.
        uint8_t* spent = slot[0];
        slot[0] = slot[1];
        slot[1] = slot[2];
        slot[2] = spent;
        if (y + 1 < H)
            SplitRow<V>(w.old + (size_t)((y + 2) % H) * W, W, spent, spent + P, spent + 2 * P);
    }
    if (chunk.blocks)
        ApplyChunk<V>(chunk, books, w, c);
    FlushBulkLanes(counts, books, c);
}

// Splits the rows around row y into the three row buffers.
template <class V> inline void SplitRowsAround(const StepWork& w, uint8_t* slot[3], unsigned int y)
{
    const unsigned int W = w.W, H = w.H;
    const size_t P = w.planeBytes;
    const unsigned int rows[3] = {(y + H - 1) % H, y, (y + 1) % H};
    for (int i = 0; i < 3; ++i)
        SplitRow<V>(w.old + (size_t)rows[i] * W, W, slot[i], slot[i] + P, slot[i] + 2 * P);
}

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

// Runs the band y0 .. y1-1 and settles its owners in bulk. If one's band might have left its
// binade, the band runs again from its start with that owner kept exactly (and in `stuck`), and
// nothing of the first run is kept.
template <class V>
STEP_INLINE void RunBand(StepWork& w, CreditBooks& books, const RuleVectors<V>& c, uint8_t* slot[3],
                         bool stream, unsigned int y0, unsigned int y1, unsigned int& stuck)
{
    float balAtStart[8];
    uint64_t pendingAtStart[8];
    memcpy(balAtStart, w.bal, sizeof balAtStart);
    memcpy(pendingAtStart, books.pending, sizeof pendingAtStart);
    for (;;) {
        // With every owner kept exactly nothing is counted, and the last counts stay.
        if (books.exact != ALL_EXACT)
            for (unsigned int o = 0; o < 8; ++o)
                books.upkeeps[o] = books.births[o] = books.deaths[o] = 0;
        RunRows<V>(w, books, c, slot, stream, y0, y1);
        unsigned int failed = 0;
        for (unsigned int o = 0; o < 8; ++o)
            if (!(books.exact & (1u << o)) &&
                !BulkHolds(books, o, w.bal[o], books.upkeeps[o], books.births[o], books.deaths[o]))
                failed |= 1u << o;
        if (failed == 0)
            break;
        books.exact |= failed;
        stuck |= failed;
        memcpy(books.pending, pendingAtStart, sizeof pendingAtStart);
        memcpy(w.bal, balAtStart, sizeof balAtStart);
        SplitRowsAround<V>(w, slot, y0);
    }
    for (unsigned int o = 0; o < 8; ++o)
        if (!(books.exact & (1u << o)))
            w.bal[o] = SettleBand(books, o, w.bal[o]);
}

// Runs the whole step over the rows with vector type V. Per block the rule is evaluated
// branch-free on the byte planes of the rows above, at and below (rule.h); the credits are
// booked per owner (BookBlock): owners whose balance sits well inside a binade are only counted
// and settled per band in one exact sum, the others' positions are noted per chunk of blocks and
// applied in visiting order (ApplyChunk, above). The new cells are joined and stored
// (JoinBlock), past the caches where the maps are too large for them.
//
// Where the time goes (settled 640 x 360 world of six players, per step; perf samples by the
// phase they fall in, AVX2 / AVX-512): counting the books 24 / 29 % and emptying the counts
// 5 / 6 %, one player kept exactly at a power of two (ApplyChunk) 9 %, SumNeighbourhood 25 / 13 %,
// LifeAndAge and NewbornOwner 15 / 18 %, the split 10 / 13 %, the join 3 %, the row and band
// loops 9 / 10 %. The step was 535 us (AVX2) when every event was replayed; 145 us now, 2.5
// times a plain Life.
template <class V> void RunStep(StepWork& w)
{
    const RuleVectors<V> c(w);
    const bool stream = StreamsNewMap<V>(w);
    uint8_t* slot[3] = {w.slot[0], w.slot[1], w.slot[2]};
    const unsigned int bandRows = w.W < BAND_CELLS ? BAND_CELLS / w.W : 1;

    CreditBooks books(w, V::N);

    unsigned int stuck = 0;  // owners that failed in bulk this step: exact from then on
    SplitRowsAround<V>(w, slot, 0);
    for (unsigned int y0 = 0; y0 < w.H; y0 += bandRows) {
        const unsigned int y1 = w.H - y0 < bandRows ? w.H : y0 + bandRows;
        ChooseBulkOwners(w, books, stuck);
        RunBand<V>(w, books, c, slot, stream, y0, y1, stuck);
    }
    // Streamed stores are weakly ordered: make them visible before the step returns.
    if constexpr (V::hasStream)
        if (stream)
            V::fence();
    // The exact owners' plain positions after their last event.
    for (unsigned int o = 0; o < 8; ++o)
        if (books.pending[o])
            ApplyPending(w, books, o);
}

}  // namespace

#endif
