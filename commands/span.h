#pragma once

#include <cstdint>
#include <utility>

// The inclusive span [near, far] of one axis of a rectangle given by two corners (crop, fill), after
// ordering the ends and clamping them to an image side of `size` pixels, as a start and a length. A span
// that lies wholly outside the image has length 0, never a negative one.
struct Span {
    std::int64_t start = 0;
    std::int64_t length = 0;
};

inline Span clampSpan(std::int64_t near, std::int64_t far, std::int64_t size) {
    if (near > far)
        std::swap(near, far);
    if (near < 0)
        near = 0;
    // A far corner below the image is left as it is; the length then comes out 0 or below.
    if (far > size - 1)
        far = size - 1;
    const std::int64_t length = far - near + 1;
    return {near, length > 0 ? length : 0};
}
