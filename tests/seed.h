// The seed of a randomised test: QUOLVANE_SEED if it is set (decimal, or hexadecimal after 0x),
// else a fresh one from the system's random source and the clock. The seed is printed before the
// test uses it, so a failure, a crash or a hang can be repeated with QUOLVANE_SEED=<seed>.
#ifndef QUOLVANE_TESTS_SEED_H
#define QUOLVANE_TESTS_SEED_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

// "seed <seed> (set QUOLVANE_SEED=<seed> to repeat)", for the printed line and failure messages.
inline std::string SeedNote(uint64_t seed)
{
    const std::string s = std::to_string(seed);
    return "seed " + s + " (set QUOLVANE_SEED=" + s + " to repeat)";
}

// Reads or picks the seed and prints its note on standard output at once. A test that seeds
// rand() or a 32-bit generator uses the low 32 bits, the same ones again when it is repeated.
inline uint64_t TestSeed()
{
    uint64_t seed;
    const char* s = std::getenv("QUOLVANE_SEED");
    if (s != nullptr && *s != '\0') {
        seed = std::strtoull(s, nullptr, 0);
    } else {
        std::random_device rd;
        seed = ((uint64_t)rd() << 32) ^ rd() ^
               (uint64_t)std::chrono::steady_clock::now().time_since_epoch().count();
    }
    std::printf("%s\n", SeedNote(seed).c_str());
    std::fflush(stdout);
    return seed;
}

#endif
