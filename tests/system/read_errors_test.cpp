// A file whose reading fails part way (a failing disk, here a preloaded read() that fails with EIO) is
// refused, never taken for a file that ends early: the variable keeps its image, and nothing damaged is
// written on.

#include "tests/support/process.h"

#include <gtest/gtest.h>

namespace {

#ifndef CHROMALOOM_READ_FAULT_SHIM
#error "CHROMALOOM_READ_FAULT_SHIM is set by the build to the preloaded library's path"
#endif

RunResult runWithReadFault(const TempDir& dir, const std::string& file, long after) {
    writeFile(dir / "s.script", "blank a 2 3\nread a " + file + "\ninfo a\n");
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"s.script"};
    options.environment = {{"LD_PRELOAD", CHROMALOOM_READ_FAULT_SHIM},
                           {"CHROMALOOM_READ_FAULT_PATH", (dir / file).string()},
                           {"CHROMALOOM_READ_FAULT_AFTER", std::to_string(after)},
                           {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    return runChromaloom(options);
}

TEST(ReadErrors, AFailedReadIsNotTheEndOfTheFile) {
    struct Case {
        std::string file;
        long after;
    };
    // The 320 x 200 landscape breaks after 4096 bytes (inside its pixels, where a file that really ends
    // reads as black), after 10 (inside its header); the PNG inside its image data.
    for (const Case& c : {Case{"landscape.tga", 4096}, Case{"landscape.tga", 10}, Case{"picture.png", 300}}) {
        TempDir dir;
        std::filesystem::copy_file(sourceDir() / "examples" / "images" / "landscape.tga",
                                   dir / "landscape.tga");
        writeFile(dir / "convert.script", "read a landscape.tga\nwrite a png:picture.png\n");
        RunOptions convert;
        convert.workDir = dir.path();
        convert.args = {"convert.script"};
        ASSERT_EQ(runChromaloom(convert).status, 0);

        const RunResult r = runWithReadFault(dir, c.file, c.after);
        EXPECT_EQ(afterStartUp(r.output), "Error (line 2): can't read image! (cannot read from file)\n"
                                          "Image size 2 3\n")
            << c.file << " " << c.after;
    }
}

} // namespace
