// The lane-by-lane check of one of the step's vector wrappers: every operation that the rule
// and the driver use, against its definition on single bytes. Compiled once per step build, with
// that build's compiler flags (tests/step_vector_check.cpp.in), and called by the tests only on
// a processor that runs the build. It uses nothing but the wrapper and plain C: an inline
// function of a library compiled here with the build's flags could be taken by the linker for
// the whole program, which also runs on processors without them.
#ifndef QUOLVANE_TESTS_STEP_VECTOR_CHECK_H
#define QUOLVANE_TESTS_STEP_VECTOR_CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cellauto.h"

namespace {

// The lanes of a vector, read back through the wrapper's aligned store.
template <class V> struct Lanes {
    alignas(64) uint8_t b[64];
    explicit Lanes(typename V::T v) { V::store(b, v); }
};

// Fills failure (size bytes) with the first disagreement and returns false, or returns true.
template <class V> bool CheckVectorLanes(char* failure, size_t size)
{
    typedef typename V::T T;
    const unsigned int N = V::N;
    static_assert(N % 16 == 0 && N <= 64, "a vector holds 16, 32, 48 or 64 byte lanes");
    struct Op {
        const char* name;
        T (*vec)(T, T);
        unsigned int (*byte)(unsigned int, unsigned int);
    };
    const Op ops[] = {
        {"add", V::add, [](unsigned int x, unsigned int y) { return (x + y) & 0xFF; }},
        {"eq", V::eq, [](unsigned int x, unsigned int y) { return x == y ? 0xFFu : 0u; }},
        {"and_", V::and_, [](unsigned int x, unsigned int y) { return x & y; }},
        {"or_", V::or_, [](unsigned int x, unsigned int y) { return x | y; }},
        {"andnot", V::andnot, [](unsigned int x, unsigned int y) { return ~x & y & 0xFF; }},
        {"minu", V::minu, [](unsigned int x, unsigned int y) { return x < y ? x : y; }},
    };
    // Every pair of byte values meets in some lane. Lane i of the first operand is the pair's
    // high byte XORed with a pattern that differs between lanes, so the masks see every lane on
    // its own; the operands sit at odd addresses, as the kernel's loads do. The select mask and
    // the lookup index come from the same bytes.
    alignas(64) uint8_t a[64 + 1], b[64 + 1], m[64], t[16];
    for (unsigned int i = 0; i < 16; ++i)
        t[i] = (uint8_t)(0xC3 ^ (i * 29));
    T table = V::set1(0);
    if constexpr (V::hasLookup16)
        table = V::table16(t);
    for (unsigned int first = 0; first < 65536; first += N) {
        uint64_t wantMask = 0, wantEq = 0, wantSum = 0;
        for (unsigned int i = 0; i < N; ++i) {
            a[1 + i] = (uint8_t)(((first + i) >> 8) ^ (i * 0x35));
            b[1 + i] = (uint8_t)(first + i);
            m[i] = (a[1 + i] & 1) ? 0xFF : 0;
            wantMask |= (uint64_t)(a[1 + i] >> 7) << i;
            wantEq |= (uint64_t)(a[1 + i] == b[1 + i]) << i;
            wantSum += a[1 + i];
        }
        const T va = V::load(a + 1), vb = V::load(b + 1), vm = V::load(m);
        for (const Op& op : ops) {
            const Lanes<V> got(op.vec(va, vb));
            for (unsigned int i = 0; i < N; ++i)
                if (got.b[i] != op.byte(a[1 + i], b[1 + i])) {
                    snprintf(failure, size, "%s(%u, %u) in lane %u gave %u", op.name, a[1 + i],
                             b[1 + i], i, got.b[i]);
                    return false;
                }
        }
        const Lanes<V> sel(V::select(vm, va, vb));
        for (unsigned int i = 0; i < N; ++i)
            if (sel.b[i] != (m[i] ? a[1 + i] : b[1 + i])) {
                snprintf(failure, size, "select(%u, %u, %u) in lane %u gave %u", m[i], a[1 + i],
                         b[1 + i], i, sel.b[i]);
                return false;
            }
        if constexpr (V::hasAddIfEq) {
            const Lanes<V> got(V::addIfEq(va, vb, V::and_(va, V::set1(0xF0)), vm));
            for (unsigned int i = 0; i < N; ++i) {
                const unsigned int want =
                    b[1 + i] == (a[1 + i] & 0xF0) ? (a[1 + i] + m[i]) & 0xFF : a[1 + i];
                if (got.b[i] != want) {
                    snprintf(failure, size, "addIfEq in lane %u gave %u, not %u", i, got.b[i],
                             want);
                    return false;
                }
            }
        }
        if constexpr (V::hasLookup16) {
            const Lanes<V> got(V::lookup16(table, V::and_(vb, V::set1(0x0F))));
            for (unsigned int i = 0; i < N; ++i)
                if (got.b[i] != t[b[1 + i] & 0x0F]) {
                    snprintf(failure, size, "lookup16 of %u in lane %u gave %u", b[1 + i] & 0x0F, i,
                             got.b[i]);
                    return false;
                }
        }
        const uint64_t gotMask = V::mask(va), gotEq = V::eqmask(va, vb), gotSum = V::sum(va);
        if (gotMask != wantMask || gotEq != wantEq || gotSum != wantSum) {
            snprintf(failure, size,
                     "lanes from pair %u: mask %llx (not %llx), eqmask %llx (not %llx), "
                     "sum %llu (not %llu)",
                     first, (unsigned long long)gotMask, (unsigned long long)wantMask,
                     (unsigned long long)gotEq, (unsigned long long)wantEq,
                     (unsigned long long)gotSum, (unsigned long long)wantSum);
            return false;
        }
    }
    for (unsigned int v = 0; v < 256; ++v) {
        const Lanes<V> got(V::set1((uint8_t)v));
        for (unsigned int i = 0; i < N; ++i)
            if (got.b[i] != v) {
                snprintf(failure, size, "set1(%u) in lane %u gave %u", v, i, got.b[i]);
                return false;
            }
    }

    // split gives minus the alive byte (a live cell's all-ones lane mask); join takes the bytes
    // as they are and writes the spare byte 0, also when it streams to aligned memory. The cells
    // to split start one cell (4 bytes) into the array, at no address chosen for the vectors: a
    // row's cells are aligned to a cell, not to a vector.
    Cell cells[64 + 1];
    alignas(64) Cell joined[64];
    alignas(64) uint8_t alive[64], owner[64], age[64];
    for (unsigned int round = 0; round < 256 / N; ++round) {
        for (unsigned int i = 0; i < N; ++i)
            cells[1 + i] = Cell{(uint8_t)(round * N + i), (uint8_t)(255 - round * N - i),
                                (uint8_t)(i * 0x35 ^ round), 0xA5};
        V::split(cells + 1, alive, owner, age);
        for (int stream = 0; stream < (V::hasStream ? 2 : 1); ++stream) {
            memset(joined, 0x5A, sizeof joined);
            const T va = V::load(alive), vo = V::load(owner), vg = V::load(age);
            if constexpr (V::hasStream) {
                if (stream) {
                    V::template join<true>(va, vo, vg, joined);
                    V::fence();
                } else {
                    V::join(va, vo, vg, joined);
                }
            } else {
                V::join(va, vo, vg, joined);
            }
            for (unsigned int i = 0; i < N; ++i) {
                const Cell& c = cells[1 + i];
                const Cell& j = joined[i];
                if (alive[i] != (uint8_t)(0u - c.alive) || owner[i] != c.owner || age[i] != c.age) {
                    snprintf(failure, size, "split of cell %u (%u/%u/%u) gave %u/%u/%u", i, c.alive,
                             c.owner, c.age, alive[i], owner[i], age[i]);
                    return false;
                }
                if (j.alive != alive[i] || j.owner != c.owner || j.age != c.age || j.spare != 0) {
                    snprintf(failure, size, "%s of lane %u gave %u/%u/%u/%u",
                             stream ? "streamed join" : "join", i, j.alive, j.owner, j.age,
                             j.spare);
                    return false;
                }
            }
        }
    }
    return true;
}

}  // namespace

#endif
