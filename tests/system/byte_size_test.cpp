// CHROMALOOM_MEMORY_LIMIT's units in every letter case: the unit letter, its `i` and its `B` may each be
// upper or lower case.

#include "system/memory_budget.h"

#include <gtest/gtest.h>

namespace {

TEST(ByteSize, EveryLetterCaseOfAUnitIsTheSameUnit) {
    constexpr std::uint64_t KiB = 1024, MiB = KiB << 10, GiB = MiB << 10, TiB = GiB << 10;
    const struct {
        const char* text;
        std::uint64_t bytes;
    } cases[] = {
        {"512MiB", 512 * MiB},
        {"512MIB", 512 * MiB},
        {"512mib", 512 * MiB},
        {"512mIb", 512 * MiB},
        {"512miB", 512 * MiB},
        {"512Mib", 512 * MiB},
        {"512MB", 512 * MiB},
        {"512mb", 512 * MiB},
        {"512Mb", 512 * MiB},
        {"512m", 512 * MiB},
        {"3KIB", 3 * KiB},
        {"3kIB", 3 * KiB},
        {"2GIB", 2 * GiB},
        {"2gib", 2 * GiB},
        {"1TIB", TiB},
        {"1tiB", TiB},
        {"7b", 7},
        {"7B", 7},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseByteSize(c.text), c.bytes) << c.text;
    // The `i` belongs between the unit and a B only.
    for (const char* bad : {"512Mi", "512MI", "512iB", "512MBi", "512MiBB", "7iB", "512Mii"})
        EXPECT_EQ(parseByteSize(bad), std::nullopt) << bad;
}

} // namespace
