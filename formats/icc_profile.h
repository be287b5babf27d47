#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

// What a writer needs to know of a colour profile: the colour space of the pixels it describes, from bytes
// 16 to 19 of its header. A profile describes the pixels it goes with, so a writer keeps one only where its
// space is the space of the pixels it writes.
enum class IccSpace {
    None,  // no profile
    Rgb,   // "RGB "
    Grey,  // "GRAY"
    Cmyk,  // "CMYK"
    Other, // any other space, or too short to be a profile
};

// The smallest profile there can be: its header.
inline constexpr std::size_t iccHeaderBytes = 128;

inline IccSpace iccColourSpace(const std::vector<std::uint8_t>& profile) {
    if (profile.empty())
        return IccSpace::None;
    if (profile.size() < iccHeaderBytes)
        return IccSpace::Other;
    const std::uint8_t* space = profile.data() + 16;
    if (std::memcmp(space, "RGB ", 4) == 0)
        return IccSpace::Rgb;
    if (std::memcmp(space, "GRAY", 4) == 0)
        return IccSpace::Grey;
    if (std::memcmp(space, "CMYK", 4) == 0)
        return IccSpace::Cmyk;
    return IccSpace::Other;
}
