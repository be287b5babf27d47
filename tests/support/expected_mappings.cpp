#include "tests/support/expected_mappings.h"

#include "tests/support/process.h"

#include <cstdio>
#include <fstream>

std::vector<ExpectedMapping> expectedMappings(const std::string& verb) {
    std::vector<ExpectedMapping> cases;
    std::ifstream in(sourceDir() / "tests" / "data" / "rotate_warp_expected.txt");
    std::string caseVerb;
    std::string argument;
    ExpectedMapping c;
    while (in >> caseVerb >> argument >> c.width >> c.height >> c.hash) {
        if (caseVerb != verb)
            continue;
        c.line = caseVerb + " a " + argument;
        cases.push_back(c);
    }
    return cases;
}

std::string pixelHash(const Image& image) {
    std::uint64_t hash = 0xCBF29CE484222325u;
    for (std::size_t i = 0; i < image.byteCount(); ++i) {
        hash ^= image.pixels.get()[i];
        hash *= 0x100000001B3u;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}
