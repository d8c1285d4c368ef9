// The fuzz targets' view of their input: bytes read front to back, and zeros once it has run
// out, so that every input decodes to something valid.
#ifndef QUOLVANE_FUZZ_READER_H
#define QUOLVANE_FUZZ_READER_H

#include <cstddef>
#include <cstdint>

struct Reader {
    const uint8_t* p;
    size_t left;
    bool Empty() const { return left == 0; }
    uint8_t Byte()
    {
        if (left == 0)
            return 0;
        --left;
        return *p++;
    }
    // Four bytes, least significant first.
    uint32_t U32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= (uint32_t)Byte() << (8 * i);
        return v;
    }
};

#endif
