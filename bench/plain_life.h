// A plain alive-only Life on a torus of bytes (1 live, 0 dead): the obvious loop, which the
// compiler vectorises. The benchmarks hold the step against it, compiled with the same flags.
#ifndef QUOLVANE_PLAIN_LIFE_H
#define QUOLVANE_PLAIN_LIFE_H

#include <cstddef>
#include <cstdint>

// One generation of `in` into `out`, both W x H bytes, W and H at least 2. The rows above and
// below wrap by row pointers; the first and last column of each row wrap on their own.
static inline void PlainLife(const uint8_t* in, uint8_t* out, unsigned int W, unsigned int H)
{
    for (unsigned int y = 0; y < H; ++y) {
        const uint8_t* up = in + (size_t)(y == 0 ? H - 1 : y - 1) * W;
        const uint8_t* mid = in + (size_t)y * W;
        const uint8_t* dn = in + (size_t)(y == H - 1 ? 0 : y + 1) * W;
        uint8_t* o = out + (size_t)y * W;
        const unsigned int last = W - 1;
        unsigned int s = up[last] + up[0] + up[1] + mid[last] + mid[1] + dn[last] + dn[0] + dn[1];
        o[0] = (uint8_t)((s == 3) | (mid[0] & (s == 2)));
        for (unsigned int x = 1; x < last; ++x) {
            s = up[x - 1] + up[x] + up[x + 1] + mid[x - 1] + mid[x + 1] + dn[x - 1] + dn[x] +
                dn[x + 1];
            o[x] = (uint8_t)((s == 3) | (mid[x] & (s == 2)));
        }
        s = up[last - 1] + up[last] + up[0] + mid[last - 1] + mid[0] + dn[last - 1] + dn[last] +
            dn[0];
        o[last] = (uint8_t)((s == 3) | (mid[last] & (s == 2)));
    }
}

// One entry per step build, compiled with that build's flags.
#define QUOLVANE_STEP_BUILD(name, runsHere)                                                        \
    void PlainLife_##name(const uint8_t* in, uint8_t* out, unsigned int W, unsigned int H);
#include "step_builds.inc"
#undef QUOLVANE_STEP_BUILD

#endif
