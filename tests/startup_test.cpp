// The program's start-up paths and exit statuses, run as a separate process.

#include "tests/support/process.h"

#include <gtest/gtest.h>

namespace {

const std::string banner = "Chromaloom\n";

TEST(Startup, WithoutArgumentsReadsStandardInputAndListsTheVerbs) {
    RunOptions options;
    options.stdinData = "test\n";
    const RunResult r = runChromaloom(options);
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.output.rfind(banner + "Reading from STDIN\nInstalled commands: ", 0), 0u) << r.output;
    // The listing line ends with a blank after the last verb, and the first command runs after it.
    const std::string tail = " \nTest command!\n";
    ASSERT_GE(r.output.size(), tail.size());
    EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail) << r.output;
    EXPECT_NE(r.output.find(" test "), std::string::npos) << r.output;
}

TEST(Startup, AScriptFileRunsLikeTheSameScriptOnStandardInput) {
    TempDir dir;
    const std::string script = "test\nblank a 2 3\ninfo a\nfrob\n";
    writeFile(dir / "s.script", script);
    RunOptions fromFile;
    fromFile.workDir = dir.path();
    fromFile.args = {"s.script"};
    const RunResult viaFile = runChromaloom(fromFile);
    const std::string body = "Test command!\nImage size 2 3\nError (line 4): unknown verb `frob'\n";
    EXPECT_EQ(viaFile.output, banner + "Opening script file s.script\n" + body);
    EXPECT_EQ(viaFile.status, 0);

    RunOptions fromStdin;
    fromStdin.stdinData = script;
    const RunResult viaStdin = runChromaloom(fromStdin);
    EXPECT_EQ(viaStdin.output.substr(viaStdin.output.size() - body.size()), body);
}

TEST(Startup, MoreThanOneArgumentIsRefused) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"a", "b"}, {"a", "b", "c"}}) {
        RunOptions options;
        options.args = args;
        const RunResult r = runChromaloom(options);
        EXPECT_EQ(r.output, banner + "Chromaloom requires either 0 or 1 command line argument!");
        EXPECT_EQ(r.status, 1);
    }
}

TEST(Startup, AMissingScriptFileIsReportedWithItsErrorNumber) {
    TempDir dir;
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"missing.script"};
    const RunResult r = runChromaloom(options);
    EXPECT_EQ(r.output, banner + "Opening script file missing.script\n"
                                 "Can't open file `missing.script' - error 2\n"
                                 "Failed to open script file!\n");
    EXPECT_EQ(r.status, 1);
}

TEST(Startup, ADirectoryIsRefusedAsAScriptFile) {
    TempDir dir;
    std::filesystem::create_directory(dir / "scripts");
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"scripts"};
    const RunResult r = runChromaloom(options);
    EXPECT_EQ(r.output, banner + "Opening script file scripts\n"
                                 "Can't open file `scripts' - error 21\n"
                                 "Failed to open script file!\n");
    EXPECT_EQ(r.status, 1);
}

TEST(Startup, AReadErrorOnTheScriptIsAFailure) {
    // Standard input opened on a directory: every read fails with EISDIR.
    TempDir dir;
    RunOptions options;
    options.stdinPath = dir.path();
    const RunResult r = runChromaloom(options);
    const std::string tail = "\nError: can't read script (error 21)\n";
    ASSERT_GE(r.output.size(), tail.size());
    EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail) << r.output;
    EXPECT_EQ(r.status, 1);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool addressSpaceCanBeLimited =
    false; // the sanitizer reserves far more address space than any limit
#else
constexpr bool addressSpaceCanBeLimited = true;
#endif

TEST(Startup, RunningOutOfMemoryFailsTheCommandAndTheScriptGoesOn) {
    if (!addressSpaceCanBeLimited)
        GTEST_SKIP() << "address space limits do not combine with the address sanitizer";
    TempDir dir;
    // 12000 x 12000 pixels take 576 MB: one image fits in the 1 GB limit, two do not.
    writeFile(dir / "s.script", "blank a 12000 12000\ncopy a b\ninfo b\ninfo a\n"
                                "blank c 65535 65535\ninfo c\ntest\n");
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"s.script"};
    options.addressSpaceLimit = rlim_t{1} << 30;
    const RunResult r = runChromaloom(options);
    EXPECT_EQ(r.output, banner + "Opening script file s.script\n"
                                 "Error (line 2): not enough memory\n"
                                 "No Image\n"
                                 "Image size 12000 12000\n"
                                 "Error (line 5): couldn't create blank image\n"
                                 "No Image\n"
                                 "Test command!\n");
    EXPECT_EQ(r.status, 0);
}

} // namespace
