// The one clock the program keeps time by: CLOCK_MONOTONIC in nanoseconds.
#pragma once

#include <time.h>

#include <cstdint>

namespace livedelay {

constexpr int64_t ns_per_ms = 1000000;
constexpr int64_t ns_per_second = 1000000000;

inline int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * ns_per_second + ts.tv_nsec;
}

}  // namespace livedelay
