// A long script that reads, transforms, writes and replaces images in all 26 variables, line after line,
// must hold no more memory after 100,000 lines than after 10,000, and (under the address sanitizer)
// leave nothing leaked at its end.

#include "system/sanitizers.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <iostream>
#include <string>
#include <vector>

namespace {

// Line i works on variable v = i mod 26, with the next variable w as a second operand; the step taken
// cycles through every kind of verb, slowly enough that each variable meets every step. The images
// stay near 64 x 64, so the script tests holding and replacing images, not the size of one.
std::string soakScript(int lines) {
    const std::vector<std::string> steps = {
        "blank {v} 64 64",
        "fill {v} 8 8 16 16 200 100 50 255",
        "blur {v} 3",
        "rotate {v} 30",
        "warp {v} 1",
        "resize {v} 2 1",
        "resize {v} 1 2",
        "crop {v} 4 4 56 56",
        "darken {v} 0.9",
        "desaturate {v} 0.5",
        "dissolve {v} 0.8",
        "chromakey {v} 0 0 0",
        "opaque {v}",
        "composite {v} over {w} 3 3",
        "write {v} out_{v}.tga",
        "read {v} out_{v}.tga",
        "copy {v} {w}",
        "warp {v} 2",
        "info {v}",
        "test",
    };
    std::string script;
    for (int i = 0; i < lines; ++i) {
        const char v = static_cast<char>('a' + i % 26);
        const char w = static_cast<char>('a' + (i + 1) % 26);
        std::string line = i % 9973 == 9972 ? (i % 2 == 0 ? "paint {v}" : "painter {v}")
                                            : steps[static_cast<std::size_t>(i / 26) % steps.size()];
        for (std::size_t p; (p = line.find("{v}")) != std::string::npos;)
            line.replace(p, 3, 1, v);
        for (std::size_t p; (p = line.find("{w}")) != std::string::npos;)
            line.replace(p, 3, 1, w);
        script += line + "\n";
    }
    return script;
}

#if CHROMALOOM_ADDRESS_SANITIZER || CHROMALOOM_THREAD_SANITIZER
constexpr bool underAddressSanitizer = true; // a sanitizer's shadow memory makes the RSS meaningless
#else
constexpr bool underAddressSanitizer = false;
#endif

RunResult runSoak(const TempDir& dir, int lines) {
    writeFile(dir / "soak.script", soakScript(lines));
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"soak.script"};
    return runChromaloom(options);
}

TEST(Soak, MemoryStaysFlatOverAHundredThousandLines) {
    if (CHROMALOOM_THREAD_SANITIZER)
        GTEST_SKIP()
            << "a hundred thousand lines take minutes under the thread sanitizer; the other builds run it";
    TempDir dir;
    std::filesystem::copy(sourceDir() / "requiredimages", dir / "requiredimages");
    const RunResult shortRun = runSoak(dir, 10'000);
    // Under the address sanitizer the peak is not compared (its leak checker watches what is kept instead),
    // so a shorter second run serves.
    const RunResult longRun = runSoak(dir, underAddressSanitizer ? 20'000 : 100'000);
    for (const RunResult* r : {&shortRun, &longRun}) {
        EXPECT_EQ(r->status, 0);
        EXPECT_EQ(r->errors, "");
        EXPECT_EQ(r->output.find("Error"), std::string::npos) << r->output.substr(0, 2000);
    }
    std::cout << "peak RSS: " << shortRun.maxRssKb << " kB after 10,000 lines, " << longRun.maxRssKb
              << " kB after the long run\n";
    if (!underAddressSanitizer) {
        EXPECT_LE(longRun.maxRssKb, shortRun.maxRssKb + shortRun.maxRssKb / 10);
    }
}

} // namespace
