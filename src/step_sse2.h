// The SSE2 vector of 16 byte lanes for the fast step (step_kernel.h), and the SSE2 row split and
// join that the AVX2 and AVX-512 builds share. x86-64 only: SSE2 is part of its baseline.
#ifndef QUOLVANE_STEP_SSE2_H
#define QUOLVANE_STEP_SSE2_H

#include <emmintrin.h>

#include <cstdint>

#include "cellauto.h"

namespace {

// Splits and joins rows 16 cells at a time (the kernel's split16 and join16).
struct RowsSSE2 {
    // Splits 16 cells into their alive, owner and age bytes: each byte is masked out of its
    // 32-bit cell and the four quarters are packed down to bytes.
    static void split16(const Cell* row, uint8_t* alive, uint8_t* owner, uint8_t* age)
    {
        const __m128i lowByte = _mm_set1_epi32(0xFF);
        __m128i c[4];
        for (int q = 0; q < 4; ++q)
            c[q] = _mm_loadu_si128((const __m128i*)(row + 4 * q));
        __m128i a01 = _mm_packs_epi32(_mm_and_si128(c[0], lowByte), _mm_and_si128(c[1], lowByte));
        __m128i a23 = _mm_packs_epi32(_mm_and_si128(c[2], lowByte), _mm_and_si128(c[3], lowByte));
        _mm_storeu_si128((__m128i*)alive, _mm_packus_epi16(a01, a23));
        __m128i o01 = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(c[0], 8), lowByte),
                                      _mm_and_si128(_mm_srli_epi32(c[1], 8), lowByte));
        __m128i o23 = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(c[2], 8), lowByte),
                                      _mm_and_si128(_mm_srli_epi32(c[3], 8), lowByte));
        _mm_storeu_si128((__m128i*)owner, _mm_packus_epi16(o01, o23));
        __m128i g01 = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(c[0], 16), lowByte),
                                      _mm_and_si128(_mm_srli_epi32(c[1], 16), lowByte));
        __m128i g23 = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(c[2], 16), lowByte),
                                      _mm_and_si128(_mm_srli_epi32(c[3], 16), lowByte));
        _mm_storeu_si128((__m128i*)age, _mm_packus_epi16(g01, g23));
    }

    // Joins 16 cells' bytes back into cells (the spare byte 0) by interleaving them.
    static void join16(const uint8_t* alive, const uint8_t* owner, const uint8_t* age, Cell* out)
    {
        const __m128i a = _mm_loadu_si128((const __m128i*)alive);
        const __m128i o = _mm_loadu_si128((const __m128i*)owner);
        const __m128i g = _mm_loadu_si128((const __m128i*)age);
        const __m128i z = _mm_setzero_si128();
        const __m128i aoLo = _mm_unpacklo_epi8(a, o), aoHi = _mm_unpackhi_epi8(a, o);
        const __m128i gzLo = _mm_unpacklo_epi8(g, z), gzHi = _mm_unpackhi_epi8(g, z);
        _mm_storeu_si128((__m128i*)(out + 0), _mm_unpacklo_epi16(aoLo, gzLo));
        _mm_storeu_si128((__m128i*)(out + 4), _mm_unpackhi_epi16(aoLo, gzLo));
        _mm_storeu_si128((__m128i*)(out + 8), _mm_unpacklo_epi16(aoHi, gzHi));
        _mm_storeu_si128((__m128i*)(out + 12), _mm_unpackhi_epi16(aoHi, gzHi));
    }
};

struct VecSSE2 : RowsSSE2 {
    typedef __m128i T;
    static const unsigned int N = 16;
    static T load(const uint8_t* p) { return _mm_loadu_si128((const __m128i*)p); }
    static void store(uint8_t* p, T v) { _mm_store_si128((__m128i*)p, v); }
    static T set1(uint8_t b) { return _mm_set1_epi8((char)b); }
    static T add(T a, T b) { return _mm_add_epi8(a, b); }
    static T eq(T a, T b) { return _mm_cmpeq_epi8(a, b); }
    static T and_(T a, T b) { return _mm_and_si128(a, b); }
    static T or_(T a, T b) { return _mm_or_si128(a, b); }
    // ~a & b
    static T andnot(T a, T b) { return _mm_andnot_si128(a, b); }
    static T maxu(T a, T b) { return _mm_max_epu8(a, b); }
    static T select(T m, T a, T b)
    {
        return _mm_or_si128(_mm_and_si128(m, a), _mm_andnot_si128(m, b));
    }
    static uint64_t mask(T a) { return (uint32_t)_mm_movemask_epi8(a); }
    static uint64_t eqmask(T a, T b) { return mask(eq(a, b)); }
    static uint64_t sum(T a)
    {
        const __m128i s = _mm_sad_epu8(a, _mm_setzero_si128());
        return (uint64_t)_mm_cvtsi128_si64(s) +
               (uint64_t)_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s));
    }
};

}  // namespace

#endif
