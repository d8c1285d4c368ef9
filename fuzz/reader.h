// The fuzz targets' view of their input: bytes read front to back, and zeros once it has run
// out, so that every input decodes to something valid.
#ifndef QUOLVANE_FUZZ_READER_H
#define QUOLVANE_FUZZ_READER_H

#include <sys/stat.h>

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

// Whether libFuzzer was given a plain file among its arguments (not a corpus folder): that is a
// reproduction, and the harness then prints every operation as it runs.
inline bool IsReproduction(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (argv[i][0] != '-' && stat(argv[i], &st) == 0 && S_ISREG(st.st_mode))
            return true;
    }
    return false;
}

#endif
