#pragma once

// Rotations and warps worked out apart from the program (tests/tools/rotate_warp_expected.py writes
// tests/data/rotate_warp_expected.txt): what each verb must make of a position image (positionImage in
// tests/support/exec.h), as the 64-bit FNV-1a hash of the result's bytes.

#include "image/image.h"

#include <cstdint>
#include <string>
#include <vector>

struct ExpectedMapping {
    std::string line; // the script line, on variable a: "rotate a 30", "warp a 2"
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::string hash; // 16 lower-case hexadecimal digits
};

// Every case of the verb in the data file, in the file's order.
std::vector<ExpectedMapping> expectedMappings(const std::string& verb);

// The hash of the image's bytes, row 0 first, as the data file writes it.
std::string pixelHash(const Image& image);
