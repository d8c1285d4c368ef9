// The window surface's pixels turned into the canvas's byte order, for the WebAssembly build.
#ifndef QUOLVANE_PLATFORM_WEB_CANVAS_ORDER_H
#define QUOLVANE_PLATFORM_WEB_CANVAS_ORDER_H

#include <cstdint>

// The front end stores colours as 0x00RRGGBB, red in bits 16-23, as the desktop's surface lays
// them out; the canvas takes its bytes in the order red, green, blue, alpha. Turns every pixel of
// the w x h surface (rows `pitch` bytes apart) that the front end has painted since the last call
// into the canvas's order, fully opaque. A pixel already turned is opaque, which no colour of the
// front end's is, so it is left as it is: a frame that repaints only part of the surface (none of
// it without a world) never turns the rest back.
inline void ToCanvasOrder(uint8_t* pixels, int w, int h, int pitch)
{
    // The row loop runs four pixels at a time where the build has WebAssembly SIMD: the test on
    // alpha becomes a lane mask and a select.
    uint8_t* row = pixels;
    for (int y = 0; y < h; ++y, row += pitch) {
        uint32_t* p = reinterpret_cast<uint32_t*>(row);
        for (int x = 0; x < w; ++x) {
            const uint32_t c = p[x];
            const uint32_t turned =
                0xFF000000u | (c & 0x0000FF00u) | (c >> 16 & 0xFFu) | (c & 0xFFu) << 16;
            p[x] = (c >> 24) != 0 ? c : turned;
        }
    }
}

#endif
