// The AVX2 vector of 32 byte lanes for the fast step (kernel.h). Only for a file compiled
// with -mavx2 -mpopcnt; the world runs it where the processor has both.
#ifndef QUOLVANE_STEP_VECTOR_AVX2_H
#define QUOLVANE_STEP_VECTOR_AVX2_H

#include <immintrin.h>

#include <cstdint>

#include "cellauto.h"

namespace {

struct VecAVX2 {
    typedef __m256i T;
    static const unsigned int N = 32;
    static T load(const uint8_t* p) { return _mm256_loadu_si256((const __m256i*)p); }
    static void store(uint8_t* p, T v) { _mm256_store_si256((__m256i*)p, v); }
    static T set1(uint8_t b) { return _mm256_set1_epi8((char)b); }
    static T add(T a, T b) { return _mm256_add_epi8(a, b); }
    static T eq(T a, T b) { return _mm256_cmpeq_epi8(a, b); }
    static T and_(T a, T b) { return _mm256_and_si256(a, b); }
    static T or_(T a, T b) { return _mm256_or_si256(a, b); }
    static T andnot(T a, T b) { return _mm256_andnot_si256(a, b); }  // ~a & b
    static T minu(T a, T b) { return _mm256_min_epu8(a, b); }
    static T select(T m, T a, T b) { return _mm256_blendv_epi8(b, a, m); }
    static uint64_t mask(T a) { return (uint32_t)_mm256_movemask_epi8(a); }
    static uint64_t eqmask(T a, T b) { return mask(eq(a, b)); }
    static uint64_t sum(T a)
    {
        const __m256i s = _mm256_sad_epu8(a, _mm256_setzero_si256());
        const __m128i h = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
        return (uint64_t)_mm_cvtsi128_si64(h) +
               (uint64_t)_mm_cvtsi128_si64(_mm_unpackhi_epi64(h, h));
    }
    static const bool hasAddIfEq = false;  // the kernel adds, ands and compares
    static const bool hasLookup16 = true;
    static T table16(const uint8_t* t)
    {
        return _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)t));
    }
    static T lookup16(T table, T i) { return _mm256_shuffle_epi8(table, i); }

    // Splits 32 cells into their minus-alive, owner and age bytes. A byte shuffle gathers, in
    // each 128-bit lane of a vector of eight cells, its four cells' alive, owner, age and spare
    // bytes into four 32-bit groups. Unpacking the groups of the four vectors collects in lane j
    // the alive groups (or owner, or age) of cells 4j, 8 + 4j, 16 + 4j and 24 + 4j, and one
    // permutation of the eight groups puts them in column order.
    static void split(const Cell* row, uint8_t* alive, uint8_t* owner, uint8_t* age)
    {
        const __m256i gather =
            _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1,
                             5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        __m256i v[4];
        for (int q = 0; q < 4; ++q)
            v[q] = _mm256_shuffle_epi8(_mm256_loadu_si256((const __m256i*)(row + 8 * q)), gather);
        const __m256i ao01 = _mm256_unpacklo_epi32(v[0], v[1]),
                      gs01 = _mm256_unpackhi_epi32(v[0], v[1]);
        const __m256i ao23 = _mm256_unpacklo_epi32(v[2], v[3]),
                      gs23 = _mm256_unpackhi_epi32(v[2], v[3]);
        const __m256i a = _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi64(ao01, ao23), order);
        const __m256i o = _mm256_permutevar8x32_epi32(_mm256_unpackhi_epi64(ao01, ao23), order);
        const __m256i g = _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi64(gs01, gs23), order);
        _mm256_storeu_si256((__m256i*)alive, _mm256_sub_epi8(_mm256_setzero_si256(), a));
        _mm256_storeu_si256((__m256i*)owner, o);
        _mm256_storeu_si256((__m256i*)age, g);
    }

    // Stores eight cells; streamed past the caches to 32-byte aligned memory, for the step's
    // output when the maps are too large to stay cached.
    static const bool hasStream = true;
    template <bool Stream> static void put(Cell* out, __m256i v)
    {
        if (Stream)
            _mm256_stream_si256((__m256i*)out, v);
        else
            _mm256_storeu_si256((__m256i*)out, v);
    }
    static void fence() { _mm_sfence(); }

    // Joins 32 cells' bytes into cells (the spare byte 0). The byte and word unpacks interleave
    // within 128-bit lanes, so the four-cell groups are first permuted so that lane j holds those
    // of cells 4j, 8 + 4j, 16 + 4j and 24 + 4j: the unpacks' four results are then eight cells
    // each in column order.
    template <bool Stream = false> static void join(T a, T o, T g, Cell* out)
    {
        const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
        a = _mm256_permutevar8x32_epi32(a, order);
        o = _mm256_permutevar8x32_epi32(o, order);
        g = _mm256_permutevar8x32_epi32(g, order);
        const __m256i z = _mm256_setzero_si256();
        const __m256i aoLo = _mm256_unpacklo_epi8(a, o), aoHi = _mm256_unpackhi_epi8(a, o);
        const __m256i gzLo = _mm256_unpacklo_epi8(g, z), gzHi = _mm256_unpackhi_epi8(g, z);
        put<Stream>(out + 0, _mm256_unpacklo_epi16(aoLo, gzLo));
        put<Stream>(out + 8, _mm256_unpackhi_epi16(aoLo, gzLo));
        put<Stream>(out + 16, _mm256_unpacklo_epi16(aoHi, gzHi));
        put<Stream>(out + 24, _mm256_unpackhi_epi16(aoHi, gzHi));
    }
};

}  // namespace

#endif
