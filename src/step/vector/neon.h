// The NEON vector of 16 byte lanes for the fast step (kernel.h). AArch64 only: every
// AArch64 processor has NEON, so this build needs no run-time check.
#ifndef QUOLVANE_STEP_VECTOR_NEON_H
#define QUOLVANE_STEP_VECTOR_NEON_H

#include <arm_neon.h>

#include <cstdint>

#include "cellauto.h"

namespace {

struct VecNEON {
    typedef uint8x16_t T;
    static const unsigned int N = 16;
    static T load(const uint8_t* p) { return vld1q_u8(p); }
    static void store(uint8_t* p, T v) { vst1q_u8(p, v); }
    static T set1(uint8_t b) { return vdupq_n_u8(b); }
    static T add(T a, T b) { return vaddq_u8(a, b); }
    static T eq(T a, T b) { return vceqq_u8(a, b); }
    static T and_(T a, T b) { return vandq_u8(a, b); }
    static T or_(T a, T b) { return vorrq_u8(a, b); }
    // ~a & b
    static T andnot(T a, T b) { return vbicq_u8(b, a); }
    static T minu(T a, T b) { return vminq_u8(a, b); }
    static T select(T m, T a, T b) { return vbslq_u8(m, a, b); }
    // NEON has no byte-mask instruction: each lane's top bit is moved to bit (lane mod 8) of
    // its byte, and each half's eight bytes are summed across into one mask byte.
    static uint64_t mask(T a)
    {
        static const int8_t place[16] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7};
        const uint8x16_t bits = vshlq_u8(vshrq_n_u8(a, 7), vld1q_s8(place));
        return (uint64_t)vaddv_u8(vget_low_u8(bits)) | (uint64_t)vaddv_u8(vget_high_u8(bits)) << 8;
    }
    static uint64_t eqmask(T a, T b) { return mask(eq(a, b)); }
    static uint64_t sum(T a) { return vaddlvq_u8(a); }

    static const bool hasAddIfEq = false;  // the kernel adds, ands and compares
    static const bool hasStream = false;   // every join stores through the caches
    static const bool hasLookup16 = true;
    static T table16(const uint8_t* t) { return vld1q_u8(t); }
    static T lookup16(T table, T i) { return vqtbl1q_u8(table, i); }

    // A cell is four bytes, so the structure loads and stores split and join 16 cells at once.
    static void split(const Cell* row, uint8_t* alive, uint8_t* owner, uint8_t* age)
    {
        const uint8x16x4_t c = vld4q_u8((const uint8_t*)row);
        vst1q_u8(alive, vsubq_u8(vdupq_n_u8(0), c.val[0]));
        vst1q_u8(owner, c.val[1]);
        vst1q_u8(age, c.val[2]);
    }
    static void join(T a, T o, T g, Cell* out)
    {
        const uint8x16x4_t c = {{a, o, g, vdupq_n_u8(0)}};
        vst4q_u8((uint8_t*)out, c);
    }
};

}  // namespace

#endif
