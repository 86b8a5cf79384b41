// What the test tools share: strict parsing of numbers given as text (option values, port
// numbers) and the little-endian reads of the WAV headers they take apart.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace tool_io {

// The whole of `text` as a finite number; false for empty text, trailing characters, inf, nan.
inline bool parse_double(const char* text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(*value);
}

// The whole of `text` as a decimal integer; false for empty text or trailing characters.
inline bool parse_long(const char* text, long* value) {
    char* end = nullptr;
    *value = std::strtol(text, &end, 10);
    return end != text && *end == '\0';
}

// Little-endian unsigned integers at `p`.
inline uint16_t get_u16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t get_u32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace tool_io
