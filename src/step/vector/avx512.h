// The AVX-512BW vector of 64 byte lanes for the fast step (kernel.h). Only for a file
// compiled with -mavx512f -mavx512bw; the world runs it where the processor has them.
#ifndef QUOLVANE_STEP_VECTOR_AVX512_H
#define QUOLVANE_STEP_VECTOR_AVX512_H

// GCC 12's own AVX-512 intrinsics pass an intentionally undefined vector as the "merge" operand
// of full-mask operations (_mm512_undefined_epi32), which its uninitialised-use analysis then
// reports inside the header. Those reports are about the header, not this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstdint>

#include "cellauto.h"

namespace {

struct VecAVX512 {
    typedef __m512i T;
    static const unsigned int N = 64;
    static T load(const uint8_t* p) { return _mm512_loadu_si512((const void*)p); }
    static void store(uint8_t* p, T v) { _mm512_store_si512((void*)p, v); }
    static T set1(uint8_t b) { return _mm512_set1_epi8((char)b); }
    static T add(T a, T b) { return _mm512_add_epi8(a, b); }
    static T eq(T a, T b) { return _mm512_movm_epi8(_mm512_cmpeq_epi8_mask(a, b)); }
    static T and_(T a, T b) { return _mm512_and_si512(a, b); }
    static T or_(T a, T b) { return _mm512_or_si512(a, b); }
    static T andnot(T a, T b) { return _mm512_andnot_si512(a, b); }  // ~a & b
    static T minu(T a, T b) { return _mm512_min_epu8(a, b); }
    static T select(T m, T a, T b) { return _mm512_mask_blend_epi8(_mm512_movepi8_mask(m), b, a); }
    static uint64_t mask(T a) { return (uint64_t)_mm512_movepi8_mask(a); }
    static uint64_t eqmask(T a, T b) { return _mm512_cmpeq_epi8_mask(a, b); }
    static uint64_t sum(T a)
    {
        return (uint64_t)_mm512_reduce_add_epi64(_mm512_sad_epu8(a, _mm512_setzero_si512()));
    }
    // acc + v where a equals b: one masked add on the compare's mask, without first widening
    // the mask to a vector.
    static const bool hasAddIfEq = true;
    static T addIfEq(T acc, T a, T b, T v)
    {
        return _mm512_mask_add_epi8(acc, _mm512_cmpeq_epi8_mask(a, b), acc, v);
    }
    static const bool hasLookup16 = true;
    static T table16(const uint8_t* t)
    {
        return _mm512_broadcast_i32x4(_mm_loadu_si128((const __m128i*)t));
    }
    static T lookup16(T table, T i) { return _mm512_shuffle_epi8(table, i); }

    // Splits 64 cells as the AVX2 build does 32: a byte shuffle per 16 cells gathers each
    // 128-bit lane's alive, owner, age and spare bytes into 32-bit groups, unpacks collect in
    // lane j the groups of cells 4j, 16 + 4j, 32 + 4j and 48 + 4j, and one permutation (a 4 x 4
    // transpose of the groups) puts them in column order.
    static void split(const Cell* row, uint8_t* alive, uint8_t* owner, uint8_t* age)
    {
        const __m512i gather = _mm512_broadcast_i32x4(
            _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15));
        const __m512i order =
            _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
        __m512i v[4];
        for (int q = 0; q < 4; ++q)
            v[q] = _mm512_shuffle_epi8(_mm512_loadu_si512((const void*)(row + 16 * q)), gather);
        const __m512i ao01 = _mm512_unpacklo_epi32(v[0], v[1]),
                      gs01 = _mm512_unpackhi_epi32(v[0], v[1]);
        const __m512i ao23 = _mm512_unpacklo_epi32(v[2], v[3]),
                      gs23 = _mm512_unpackhi_epi32(v[2], v[3]);
        const __m512i a = _mm512_permutexvar_epi32(order, _mm512_unpacklo_epi64(ao01, ao23));
        const __m512i o = _mm512_permutexvar_epi32(order, _mm512_unpackhi_epi64(ao01, ao23));
        const __m512i g = _mm512_permutexvar_epi32(order, _mm512_unpacklo_epi64(gs01, gs23));
        _mm512_storeu_si512((void*)alive, _mm512_sub_epi8(_mm512_setzero_si512(), a));
        _mm512_storeu_si512((void*)owner, o);
        _mm512_storeu_si512((void*)age, g);
    }

    // Stores 16 cells; streamed past the caches to 64-byte aligned memory, for the step's
    // output when the maps are too large to stay cached.
    static const bool hasStream = true;
    template <bool Stream> static void put(Cell* out, __m512i v)
    {
        if (Stream)
            _mm512_stream_si512((__m512i*)out, v);
        else
            _mm512_storeu_si512((void*)out, v);
    }
    static void fence() { _mm_sfence(); }

    // Joins 64 cells' bytes into cells (the spare byte 0), as the AVX2 build does 32: the same
    // transpose of the four-cell groups first, then the in-lane unpacks give 16 cells each.
    template <bool Stream = false> static void join(T a, T o, T g, Cell* out)
    {
        const __m512i order =
            _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
        a = _mm512_permutexvar_epi32(order, a);
        o = _mm512_permutexvar_epi32(order, o);
        g = _mm512_permutexvar_epi32(order, g);
        const __m512i z = _mm512_setzero_si512();
        const __m512i aoLo = _mm512_unpacklo_epi8(a, o), aoHi = _mm512_unpackhi_epi8(a, o);
        const __m512i gzLo = _mm512_unpacklo_epi8(g, z), gzHi = _mm512_unpackhi_epi8(g, z);
        put<Stream>(out + 0, _mm512_unpacklo_epi16(aoLo, gzLo));
        put<Stream>(out + 16, _mm512_unpackhi_epi16(aoLo, gzLo));
        put<Stream>(out + 32, _mm512_unpacklo_epi16(aoHi, gzHi));
        put<Stream>(out + 48, _mm512_unpackhi_epi16(aoHi, gzHi));
    }
};

}  // namespace

#endif
