// The WebAssembly SIMD vector of 16 byte lanes for the fast step (kernel.h). Only for a
// file compiled with -msimd128; a module holding it loads only in a browser (or node) with
// WebAssembly SIMD, so the page chooses between the programs built with and without it.
#ifndef QUOLVANE_STEP_VECTOR_SIMD128_H
#define QUOLVANE_STEP_VECTOR_SIMD128_H

#include <wasm_simd128.h>

#include <cstdint>

#include "cellauto.h"

namespace {

struct VecSIMD128 {
    typedef v128_t T;
    static const unsigned int N = 16;
    static T load(const uint8_t* p) { return wasm_v128_load(p); }
    static void store(uint8_t* p, T v) { wasm_v128_store(p, v); }
    static T set1(uint8_t b) { return wasm_i8x16_splat((int8_t)b); }
    static T add(T a, T b) { return wasm_i8x16_add(a, b); }
    static T eq(T a, T b) { return wasm_i8x16_eq(a, b); }
    static T and_(T a, T b) { return wasm_v128_and(a, b); }
    static T or_(T a, T b) { return wasm_v128_or(a, b); }
    // ~a & b (WebAssembly's andnot is a & ~b, so the operands swap)
    static T andnot(T a, T b) { return wasm_v128_andnot(b, a); }
    static T minu(T a, T b) { return wasm_u8x16_min(a, b); }
    static uint64_t mask(T a) { return wasm_i8x16_bitmask(a); }
    static uint64_t eqmask(T a, T b) { return mask(eq(a, b)); }
    static T select(T m, T a, T b) { return wasm_v128_bitselect(a, b, m); }
    // Only every few blocks, so plainly: the lanes through memory.
    static uint64_t sum(T a)
    {
        uint8_t b[16];
        wasm_v128_store(b, a);
        uint64_t s = 0;
        for (int i = 0; i < 16; ++i)
            s += b[i];
        return s;
    }

    static const bool hasAddIfEq = false;  // the kernel adds, ands and compares
    static const bool hasStream = false;   // every join stores through the caches
    static const bool hasLookup16 = true;
    static T table16(const uint8_t* t) { return wasm_v128_load(t); }
    static T lookup16(T table, T i) { return wasm_i8x16_swizzle(table, i); }

    // Splits 16 cells (four vectors of four cells) into their minus-alive, owner and age bytes: a
    // first shuffle gathers two vectors' alive and owner bytes (or age and spare bytes) into the
    // halves of one, a second joins the halves of two such.
    static void split(const Cell* row, uint8_t* alive, uint8_t* owner, uint8_t* age)
    {
        const uint8_t* p = (const uint8_t*)row;
        const T c0 = wasm_v128_load(p), c1 = wasm_v128_load(p + 16);
        const T c2 = wasm_v128_load(p + 32), c3 = wasm_v128_load(p + 48);
        const T ao01 =
            wasm_i8x16_shuffle(c0, c1, 0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
        const T ao23 =
            wasm_i8x16_shuffle(c2, c3, 0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
        const T g01 =
            wasm_i8x16_shuffle(c0, c1, 2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
        const T g23 =
            wasm_i8x16_shuffle(c2, c3, 2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
        wasm_v128_store(alive, wasm_i8x16_neg(wasm_i64x2_shuffle(ao01, ao23, 0, 2)));
        wasm_v128_store(owner, wasm_i64x2_shuffle(ao01, ao23, 1, 3));
        wasm_v128_store(age, wasm_i64x2_shuffle(g01, g23, 0, 2));
    }

    // Joins 16 cells' bytes back into cells (the spare byte 0) by interleaving them: alive with
    // owner and age with zero byte by byte, then the two results pair by pair.
    static void join(T a, T o, T g, Cell* out)
    {
        const T z = wasm_i8x16_splat(0);
        const T aoLo =
            wasm_i8x16_shuffle(a, o, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        const T aoHi =
            wasm_i8x16_shuffle(a, o, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
        const T gzLo =
            wasm_i8x16_shuffle(g, z, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        const T gzHi =
            wasm_i8x16_shuffle(g, z, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
        uint8_t* p = (uint8_t*)out;
        wasm_v128_store(p, wasm_i16x8_shuffle(aoLo, gzLo, 0, 8, 1, 9, 2, 10, 3, 11));
        wasm_v128_store(p + 16, wasm_i16x8_shuffle(aoLo, gzLo, 4, 12, 5, 13, 6, 14, 7, 15));
        wasm_v128_store(p + 32, wasm_i16x8_shuffle(aoHi, gzHi, 0, 8, 1, 9, 2, 10, 3, 11));
        wasm_v128_store(p + 48, wasm_i16x8_shuffle(aoHi, gzHi, 4, 12, 5, 13, 6, 14, 7, 15));
    }
};

}  // namespace

#endif
