#pragma once

#include <cstdint>

// Helpers for the verbs that build each result pixel by looking up a source position (rotate, warp).

// Truncates a sampling offset toward zero. An offset too large for any image side (or not a number) comes
// back as -2^62, which lies outside every image once a centre of at most 2^31 is added, so the caller's
// bounds test rejects it and the conversion itself never overflows.
inline std::int64_t truncateOffset(double offset) {
    constexpr double limit = 4611686018427387904.0; // 2^62
    if (!(offset > -limit && offset < limit))
        return -4611686018427387904LL;
    return static_cast<std::int64_t>(offset);
}

// The shortened value of pi that angles are converted with; results depend on its exact digits.
constexpr double anglePi = 3.14159265;
