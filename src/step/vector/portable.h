// The plain C++ vector of 16 byte lanes for the fast step (kernel.h): two 64-bit integers
// worked on eight lanes at a time, with no intrinsics. The build for processors with neither
// SSE2 nor NEON, and the one QUOLVANE_STEP_ISA=portable picks on any processor.
#ifndef QUOLVANE_STEP_VECTOR_PORTABLE_H
#define QUOLVANE_STEP_VECTOR_PORTABLE_H

#include <cstdint>
#include <cstring>

#include "cellauto.h"

namespace {

// Eight lanes to a word. Lanes never carry or borrow into each other: sums add the low seven
// bits of each lane and then set the top bit alone, and compares work on the low seven bits with
// the top bit as a guard.
struct VecPortable {
    struct T {
        uint64_t w[2];
    };
    static const unsigned int N = 16;
    static constexpr uint64_t LOW7 = 0x7f7f7f7f7f7f7f7full;  // the low seven bits of every lane
    static constexpr uint64_t TOP = 0x8080808080808080ull;   // the top bit of every lane
    static constexpr uint64_t ONES = 0x0101010101010101ull;  // 1 in every lane

    // Lane i is byte i in memory and bits 8i..8i+7 of the word: big-endian processors swap.
    static uint64_t littleEndian(uint64_t v)
    {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        return __builtin_bswap64(v);
#else
        return v;
#endif
    }
    static uint64_t load8(const uint8_t* p)
    {
        uint64_t v;
        memcpy(&v, p, 8);
        return littleEndian(v);
    }
    static void store8(uint8_t* p, uint64_t v)
    {
        v = littleEndian(v);
        memcpy(p, &v, 8);
    }
    // Every lane all ones where its top bit is set in `top` (which has no other bits), else 0.
    static uint64_t widen(uint64_t top)
    {
        return (top >> 7) * 0xFF;
    }
    // Top bit set in the lanes of v that are not zero.
    static uint64_t nonzero(uint64_t v)
    {
        return (((v & LOW7) + LOW7) | v) & TOP;
    }
    // Top bit set in the lanes where a >= b, unsigned: below the top bit, (a | 0x80) - (b & 0x7f)
    // cannot borrow from the next lane and keeps its top bit iff a's low bits >= b's; the top
    // bits then decide unless they are equal.
    static uint64_t atLeast(uint64_t a, uint64_t b)
    {
        const uint64_t low = (a | TOP) - (b & LOW7);
        return ((a & ~b) | (~(a ^ b) & low)) & TOP;
    }
    static uint64_t add8(uint64_t a, uint64_t b)
    {
        return ((a & LOW7) + (b & LOW7)) ^ ((a ^ b) & TOP);
    }
    static uint64_t eq8(uint64_t a, uint64_t b)
    {
        return widen(nonzero(a ^ b) ^ TOP);
    }
    static uint64_t min8(uint64_t a, uint64_t b)
    {
        const uint64_t aAtLeastB = widen(atLeast(a, b));
        return (b & aAtLeastB) | (a & ~aAtLeastB);
    }
    // The lanes' top bits gathered into bits 0..7: the multiplier moves bit 8i to bit 56 + i,
    // and no two of its partial products meet in one bit.
    static uint64_t mask8(uint64_t v)
    {
        return (((v >> 7) & ONES) * 0x0102040810204080ull) >> 56;
    }

    static T load(const uint8_t* p)
    {
        return T{{load8(p), load8(p + 8)}};
    }
    static void store(uint8_t* p, T v)
    {
        store8(p, v.w[0]);
        store8(p + 8, v.w[1]);
    }
    static T set1(uint8_t b)
    {
        return T{{b * ONES, b * ONES}};
    }
    static T add(T a, T b)
    {
        return T{{add8(a.w[0], b.w[0]), add8(a.w[1], b.w[1])}};
    }
    static T eq(T a, T b)
    {
        return T{{eq8(a.w[0], b.w[0]), eq8(a.w[1], b.w[1])}};
    }
    static T and_(T a, T b)
    {
        return T{{a.w[0] & b.w[0], a.w[1] & b.w[1]}};
    }
    static T or_(T a, T b)
    {
        return T{{a.w[0] | b.w[0], a.w[1] | b.w[1]}};
    }
    static T andnot(T a, T b)
    {
        return T{{~a.w[0] & b.w[0], ~a.w[1] & b.w[1]}};
    }
    static T minu(T a, T b)
    {
        return T{{min8(a.w[0], b.w[0]), min8(a.w[1], b.w[1])}};
    }
    static T select(T m, T a, T b)
    {
        return T{{(m.w[0] & a.w[0]) | (~m.w[0] & b.w[0]), (m.w[1] & a.w[1]) | (~m.w[1] & b.w[1])}};
    }
    static uint64_t mask(T a)
    {
        return mask8(a.w[0]) | mask8(a.w[1]) << 8;
    }
    // The mask of the equal lanes, without widening them to whole bytes first.
    static uint64_t eqmask(T a, T b)
    {
        return mask8(nonzero(a.w[0] ^ b.w[0]) ^ TOP) | mask8(nonzero(a.w[1] ^ b.w[1]) ^ TOP) << 8;
    }

    // The sum of all lanes: pairs of lanes into 16-bit fields, which the multiplier adds up into
    // the top field (at most 16 * 255, no carry out of a field).
    static uint64_t sum8(uint64_t v)
    {
        const uint64_t pairs = (v & 0x00FF00FF00FF00FFull) + ((v >> 8) & 0x00FF00FF00FF00FFull);
        return (pairs * 0x0001000100010001ull) >> 48;
    }
    static uint64_t sum(T a)
    {
        return sum8(a.w[0]) + sum8(a.w[1]);
    }

    static const bool hasAddIfEq = false;  // the kernel adds, ands and compares
    static const bool hasStream = false;   // every join stores through the caches
    // No byte lookup: the kernel compares instead.
    static const bool hasLookup16 = false;

    // Split and join go through local arrays: the bytes written cannot then alias the bytes
    // read, so the compiler is free to reorder and combine the accesses.
    static void split(const Cell* row, uint8_t* alive, uint8_t* owner, uint8_t* age)
    {
        uint8_t a[16], o[16], g[16];
        for (int i = 0; i < 16; ++i) {
            a[i] = (uint8_t)(0u - row[i].alive);
            o[i] = row[i].owner;
            g[i] = row[i].age;
        }
        memcpy(alive, a, 16);
        memcpy(owner, o, 16);
        memcpy(age, g, 16);
    }
    static void join(T alive, T owner, T age, Cell* out)
    {
        uint8_t a[16], o[16], g[16];
        store(a, alive);
        store(o, owner);
        store(g, age);
        Cell c[16];
        for (int i = 0; i < 16; ++i)
            c[i] = Cell{a[i], o[i], g[i], 0};
        memcpy(out, c, sizeof c);
    }
};

}  // namespace

#endif
