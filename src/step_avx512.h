// The AVX-512BW vector of 64 byte lanes for the fast step (step_kernel.h). Only for a file
// compiled with -mavx512f -mavx512bw; the world runs it where the processor has them.
#ifndef QUOLVANE_STEP_AVX512_H
#define QUOLVANE_STEP_AVX512_H

// GCC 12's own AVX-512 intrinsics pass an intentionally undefined vector as the "merge" operand
// of full-mask operations (_mm512_undefined_epi32), which its uninitialised-use analysis then
// reports inside the header. Those reports are about the header, not this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstdint>

#include "step_sse2.h"

namespace {

// Rows are split and joined 16 cells at a time, as in the SSE2 build.
struct VecAVX512 : RowsSSE2 {
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
    static T maxu(T a, T b) { return _mm512_max_epu8(a, b); }
    static T select(T m, T a, T b) { return _mm512_mask_blend_epi8(_mm512_movepi8_mask(m), b, a); }
    static uint64_t mask(T a) { return (uint64_t)_mm512_movepi8_mask(a); }
    static uint64_t eqmask(T a, T b) { return _mm512_cmpeq_epi8_mask(a, b); }
    static uint64_t sum(T a)
    {
        return (uint64_t)_mm512_reduce_add_epi64(_mm512_sad_epu8(a, _mm512_setzero_si512()));
    }
};

}  // namespace

#endif
