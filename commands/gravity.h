#pragma once

#include <cstdint>
#include <optional>

// Where one image goes on another (place, pad): one of nine anchors, named by the compass points and c for
// the centre, nw n ne / w c e / sw s se, in either case.
struct Gravity {
    // -1 for the left (west) or top (north) edge, 0 for the centre, 1 for the right or bottom edge.
    int horizontal = 0;
    int vertical = 0;
};

// The message for a word that names no anchor.
inline constexpr const char* gravityRefusal = "gravity must be one of nw n ne w c e sw s se";

// The anchor a word names, or nothing.
inline std::optional<Gravity> parseGravity(const char* word) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    Gravity g;
    const char* p = word;
    if (lower(*p) == 'n' || lower(*p) == 's') {
        g.vertical = lower(*p) == 'n' ? -1 : 1;
        ++p;
    }
    if (lower(*p) == 'w' || lower(*p) == 'e') {
        g.horizontal = lower(*p) == 'w' ? -1 : 1;
        ++p;
    } else if (p == word && lower(*p) == 'c') {
        ++p; // the centre both ways
    }
    if (p == word || *p != '\0')
        return std::nullopt;
    return g;
}

// Where a span of `inner` pixels starts in one of `outer` pixels when it lies against the near edge
// (side -1), the far edge (1) or in the middle (0), moved `inward` pixels: away from its edge for the near
// and far edges (a negative distance moves it outward, past the edge), and towards the far edge for the
// middle. The middle is (outer - inner) / 2 truncated toward zero, so an odd pixel of room, or of overhang,
// lies at the far side. The sides are at most 2^32 - 1 and the distance an int, so the sum fits easily.
inline std::int64_t anchoredStart(int side, std::int64_t outer, std::int64_t inner, std::int64_t inward) {
    if (side < 0)
        return inward;
    if (side > 0)
        return outer - inner - inward;
    return (outer - inner) / 2 + inward;
}
