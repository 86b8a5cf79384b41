// A byte that looks random but follows from `seed`, so test data tells positions apart.
#pragma once

#include <cstdint>

inline uint8_t mixed_byte(uint64_t seed) {
    seed = (seed ^ (seed >> 31)) * 0x7fb5d329728ea185ull;
    seed = (seed ^ (seed >> 27)) * 0x81dadef4bc2dd44dull;
    return static_cast<uint8_t>(seed ^ (seed >> 33));
}
