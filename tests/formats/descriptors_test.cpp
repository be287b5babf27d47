// Every read and write closes what it opened: with the program allowed only a few descriptors, a leak of one
// per file would make a later read or write fail to open its file, whatever the machine's own limit.

#include "tests/support/process.h"

#include <gtest/gtest.h>

namespace {

TEST(Descriptors, EveryFormatsReadAndWriteCloseWhatTheyOpen) {
    TempDir dir;
    std::string script = "blank a 3 2\n";
    for (const std::string prefix : {"tga:", "png:", "jpg:", "webp:", "pam:"}) {
        for (int i = 0; i < 20; ++i)
            script += "write a " + prefix + "f\nread b f\n";
        script += "read c /dev/null\n"; // a failed read closes too
    }
    writeFile(dir / "s.script", script + "test\n");
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"s.script"};
    options.descriptorLimit = 12;
    const RunResult r = runChromaloom(options);
    std::string expected = "Chromaloom\nOpening script file s.script\n";
    for (int k = 0; k < 5; ++k)
        expected +=
            "Error (line " + std::to_string(2 + 41 * k + 40) + "): can't read image! (bad image header)\n";
    EXPECT_EQ(r.output, expected + "Test command!\n");
}

} // namespace
