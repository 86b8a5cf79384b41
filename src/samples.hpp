// One 24-bit sample as the rings and the staging areas hold it: 3 bytes, little-endian, signed.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace livedelay {

constexpr int64_t sample_bytes = 3;

inline int32_t sample_at(const uint8_t* bytes) {
    const int32_t v = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16);
    return (v ^ 0x800000) - 0x800000;
}

// Clamped to the 24-bit range.
inline void put_sample(uint8_t* bytes, int32_t v) {
    v = std::clamp(v, -0x800000, 0x7fffff);
    bytes[0] = static_cast<uint8_t>(v);
    bytes[1] = static_cast<uint8_t>(v >> 8);
    bytes[2] = static_cast<uint8_t>(v >> 16);
}

// The same as a float of -1 to 1, for the libraries that resample and stretch.
constexpr float full_scale = 8388608.0f;  // 2^23

inline float sample_as_float(const uint8_t* bytes) {
    return static_cast<float>(sample_at(bytes)) / full_scale;
}

inline void put_float_sample(uint8_t* bytes, float value) {
    put_sample(bytes, static_cast<int32_t>(
                          std::clamp(std::lrint(value * full_scale), -0x800000L, 0x7fffffL)));
}

}  // namespace livedelay
