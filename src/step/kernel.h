// The fast generation step: the driver that runs the rule on vectors (rule.h) over the world
// and hands each block to the credit books (books/books.h) at a band's and a block's edges.
// Written once over a vector of byte lanes and compiled once per build in the list of step builds
// (CMakeLists.txt): each build's generated source includes this file and its vector wrapper and
// instantiates RunStep for it. CellAuto::Step prepares a StepWork (step.h) and runs the build it
// chose.
//
// Everything here has internal linkage on purpose: each translation unit that includes this file
// is compiled for its own instruction set and must keep its own copy of every function.
//
// The step walks the world as
//
//   step      bands of whole rows, about 4096 cells each: the unit of the books in bulk, run
//    │        again where the books ask (an owner in bulk may have left its binade)
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

#include "books/books.h"
#include "rule.h"
#include "step.h"

namespace {

// Cells per band of rows: small enough that a balance's changes over one are small against its
// binade, large enough that settling them costs little.
const unsigned int BAND_CELLS = 4096;

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
STEP_INLINE void ClearPastRowEnd(NextBlock<V>& next, typename V::T inRow,
                                 const RuleVectors<V>& rule)
{
    next.owner = V::or_(V::and_(inRow, next.owner), V::andnot(inRow, rule.eight));
    next.birth = V::and_(inRow, next.birth);
    next.death = V::and_(inRow, next.death);
    next.lose = V::and_(inRow, next.lose);
}

// Runs rows y0 .. y1-1, a band, booking every block. On entry the three row buffers hold the
// split rows y0-1, y0 and y0+1; on return y1-1, y1 and y1+1 (as far as the world has them).
template <class V>
STEP_INLINE void RunRows(StepWork& w, StepBooks<V>& books, const RuleVectors<V>& rule,
                         uint8_t* slot[3], bool stream, unsigned int y0, unsigned int y1)
{
    typedef typename V::T T;
    const unsigned int N = V::N, W = w.W, H = w.H;
    const size_t P = w.planeBytes;
    alignas(64) uint8_t tail[V::N];
    for (unsigned int i = 0; i < N; ++i)
        tail[i] = i < W % N ? 0xFF : 0;
    const T inLastBlock = V::load(tail);
    typename StepBooks<V>::Tally tally;

    for (unsigned int y = y0; y < y1; ++y) {
        const uint8_t* const A[3] = {slot[0], slot[1], slot[2]};
        const uint8_t* const O[3] = {slot[0] + P, slot[1] + P, slot[2] + P};
        Cell* outRow = w.out + (size_t)y * W;

        for (unsigned int x0 = 0; x0 < W; x0 += N) {
            const unsigned int lanes = W - x0 < N ? W - x0 : N;
            NeighbourSums<V> sums;
            SumNeighbourhood<V>(sums, A, O, slot[1] + 2 * P, x0, rule);
            NextBlock<V> next;
            LifeAndAge<V>(next, sums, rule);
            // Always, though most lanes have no newborn: on a busy world most blocks have one,
            // and a branch on it costs more in mispredictions than the work it skips.
            NewbornOwner<V>(next, sums, rule);
            if (lanes < N)
                ClearPastRowEnd<V>(next, inLastBlock, rule);
            books.BookBlock(tally, next, sums.oC);
            JoinBlock<V>(outRow + x0, lanes, stream, next, rule);
        }

        // Roll the three row buffers down one row.
        uint8_t* spent = slot[0];
        slot[0] = slot[1];
        slot[1] = slot[2];
        slot[2] = spent;
        if (y + 1 < H)
            SplitRow<V>(w.old + (size_t)((y + 2) % H) * W, W, spent, spent + P, spent + 2 * P);
    }
    books.EndRows(tally);
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

// Runs the band y0 .. y1-1 and books it; where the books ask, the band runs again from its first
// row (they then keep exactly an owner that might have left its binade in bulk).
template <class V>
STEP_INLINE void RunBand(StepWork& w, StepBooks<V>& books, const RuleVectors<V>& rule,
                         uint8_t* slot[3], bool stream, unsigned int y0, unsigned int y1)
{
    books.BeginBand();
    for (;;) {
        RunRows<V>(w, books, rule, slot, stream, y0, y1);
        if (books.EndBand())
            return;
        SplitRowsAround<V>(w, slot, y0);
    }
}

// Runs the whole step over the rows with vector type V. Per block the rule is evaluated
// branch-free on the byte planes of the rows above, at and below (rule.h), and the block is
// booked (books/books.h): owners whose balance sits well inside a binade are only counted and
// settled per band in one exact sum, the others' positions are noted per chunk of blocks and
// applied in visiting order. The new cells are joined and stored (JoinBlock), past the caches
// where the maps are too large for them. Most of the time goes to counting the books, summing
// the neighbourhood and the rule's compares; `make bench` measures each build against a plain
// Life compiled alike, and a profile splits the time among them.
template <class V> void RunStep(StepWork& w)
{
    const RuleVectors<V> rule(w);
    const bool stream = StreamsNewMap<V>(w);
    uint8_t* slot[3] = {w.slot[0], w.slot[1], w.slot[2]};
    const unsigned int bandRows = w.W < BAND_CELLS ? BAND_CELLS / w.W : 1;
    StepBooks<V> books(w);

    SplitRowsAround<V>(w, slot, 0);
    for (unsigned int y0 = 0; y0 < w.H; y0 += bandRows) {
        const unsigned int y1 = w.H - y0 < bandRows ? w.H : y0 + bandRows;
        RunBand<V>(w, books, rule, slot, stream, y0, y1);
    }
    // Streamed stores are weakly ordered: make them visible before the step returns.
    if constexpr (V::hasStream)
        if (stream)
            V::fence();
    books.EndStep();
}

}  // namespace

#endif
