// The SSE2 vector of 16 byte lanes for the fast step (kernel.h). x86-64 only: SSE2 is part
// of its baseline.
#ifndef QUOLVANE_STEP_VECTOR_SSE2_H
#define QUOLVANE_STEP_VECTOR_SSE2_H

#include <emmintrin.h>

#include <cstdint>

#include "cellauto.h"

namespace {

struct VecSSE2 {
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
    static T minu(T a, T b) { return _mm_min_epu8(a, b); }
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
    static const bool hasAddIfEq = false;  // the kernel adds, ands and compares
    // SSE2 has no byte shuffle: the kernel compares instead.
    static const bool hasLookup16 = false;

    // Splits 16 cells into their minus-alive, owner and age bytes. A cell is the 16-bit words
    // alive | owner << 8 and age | spare << 8: packing the words' low bytes gives alive and age
    // bytes alternately, their high bytes owner and spare; one more pack of the low or high
    // bytes of those separates them.
    static void split(const Cell* row, uint8_t* alive, uint8_t* owner, uint8_t* age)
    {
        const __m128i low = _mm_set1_epi16(0xFF);
        __m128i c[4];
        for (int q = 0; q < 4; ++q)
            c[q] = _mm_loadu_si128((const __m128i*)(row + 4 * q));
        const __m128i ag01 = _mm_packus_epi16(_mm_and_si128(c[0], low), _mm_and_si128(c[1], low));
        const __m128i ag23 = _mm_packus_epi16(_mm_and_si128(c[2], low), _mm_and_si128(c[3], low));
        const __m128i os01 = _mm_packus_epi16(_mm_srli_epi16(c[0], 8), _mm_srli_epi16(c[1], 8));
        const __m128i os23 = _mm_packus_epi16(_mm_srli_epi16(c[2], 8), _mm_srli_epi16(c[3], 8));
        const __m128i a = _mm_packus_epi16(_mm_and_si128(ag01, low), _mm_and_si128(ag23, low));
        _mm_storeu_si128((__m128i*)alive, _mm_sub_epi8(_mm_setzero_si128(), a));
        _mm_storeu_si128((__m128i*)owner,
                         _mm_packus_epi16(_mm_and_si128(os01, low), _mm_and_si128(os23, low)));
        _mm_storeu_si128((__m128i*)age,
                         _mm_packus_epi16(_mm_srli_epi16(ag01, 8), _mm_srli_epi16(ag23, 8)));
    }

    // Stores 4 cells; streamed past the caches to 16-byte aligned memory, for the step's
    // output when the maps are too large to stay cached.
    static const bool hasStream = true;
    template <bool Stream> static void put(Cell* out, __m128i v)
    {
        if (Stream)
            _mm_stream_si128((__m128i*)out, v);
        else
            _mm_storeu_si128((__m128i*)out, v);
    }
    static void fence() { _mm_sfence(); }

    // Joins 16 cells' bytes into cells (the spare byte 0) by interleaving them.
    template <bool Stream = false> static void join(T a, T o, T g, Cell* out)
    {
        const __m128i z = _mm_setzero_si128();
        const __m128i aoLo = _mm_unpacklo_epi8(a, o), aoHi = _mm_unpackhi_epi8(a, o);
        const __m128i gzLo = _mm_unpacklo_epi8(g, z), gzHi = _mm_unpackhi_epi8(g, z);
        put<Stream>(out + 0, _mm_unpacklo_epi16(aoLo, gzLo));
        put<Stream>(out + 4, _mm_unpackhi_epi16(aoLo, gzLo));
        put<Stream>(out + 8, _mm_unpacklo_epi16(aoHi, gzHi));
        put<Stream>(out + 12, _mm_unpackhi_epi16(aoHi, gzHi));
    }
};

}  // namespace

#endif
