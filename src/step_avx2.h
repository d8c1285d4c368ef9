// The AVX2 vector of 32 byte lanes for the fast step (step_kernel.h). Only for a file compiled
// with -mavx2 -mpopcnt; the world runs it where the processor has both.
#ifndef QUOLVANE_STEP_AVX2_H
#define QUOLVANE_STEP_AVX2_H

#include <immintrin.h>

#include <cstdint>

#include "step_sse2.h"

namespace {

// Rows are split and joined 16 cells at a time, as in the SSE2 build.
struct VecAVX2 : RowsSSE2 {
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
    static T maxu(T a, T b) { return _mm256_max_epu8(a, b); }
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
};

}  // namespace

#endif
