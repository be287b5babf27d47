// The program's start-up paths and exit statuses, run as a separate process: what the script cases under
// tests/e2e/ cannot set up (standard input that cannot be read, memory limits, output that cannot be
// written, a program stopped from outside). A missing script, a folder given as one and too many arguments
// are script cases under tests/e2e/runner/.

#include "tests/support/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Start-up prints two lines before a script file's lines and three before standard input's (the listing of
// the verbs); what the lines of the script print after them is the same.
TEST(Startup, AScriptFileRunsLikeTheSameScriptOnStandardInput) {
    TempDir dir;
    const std::string script = "test\nblank a 2 3\ninfo a\nfrob\n";
    writeFile(dir / "s.script", script);
    RunOptions fromFile;
    fromFile.workDir = dir.path();
    fromFile.args = {"s.script"};
    const RunResult viaFile = runChromaloom(fromFile);
    EXPECT_EQ(viaFile.status, 0);
    const std::string lines = afterStartUp(viaFile.output);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3);

    RunOptions fromStdin;
    fromStdin.stdinData = script;
    const RunResult viaStdin = runChromaloom(fromStdin);
    EXPECT_EQ(viaStdin.status, 0);
    std::string afterListing = viaStdin.output;
    for (int line = 0; line < 3; ++line)
        afterListing.erase(0, afterListing.find('\n') + 1);
    EXPECT_EQ(afterListing, lines);
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

// A command that runs out of memory fails with the runner's message, the one resize gives for a size that
// cannot be counted in bytes (pinned by the script case tests/e2e/geometry/resize.script); blank says so in
// its own words. The script goes on and the variables stay.
TEST(Startup, RunningOutOfMemoryFailsTheCommandAndTheScriptGoesOn) {
    if (!addressSpaceCanBeLimited)
        GTEST_SKIP() << "address space limits do not combine with the address sanitizer";
    TempDir dir;
    // 12000 x 12000 pixels take 576 MB: one image fits in the 1 GB limit, two do not.
    writeFile(dir / "s.script", "blank a 12000 12000\ncopy a b\ninfo b\ninfo a\n"
                                "blank c 65535 65535\ninfo c\n"
                                "blank d 2 2\nresize d 2147483647 1\ntest\n");
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"s.script"};
    options.addressSpaceLimit = rlim_t{1} << 30;
    const RunResult r = runChromaloom(options);
    const std::string outOfMemory = errorMessageOfLine(r.output, 8);
    ASSERT_NE(outOfMemory, "") << r.output;
    EXPECT_EQ(afterStartUp(r.output), "Error (line 2): " + outOfMemory +
                                          "\n"
                                          "No Image\n"
                                          "Image size 12000 12000\n"
                                          "Error (line 5): couldn't create blank image\n"
                                          "No Image\n"
                                          "Error (line 8): " +
                                          outOfMemory +
                                          "\n"
                                          "Test command!\n");
    EXPECT_EQ(r.status, 0);
}

// --- Output that cannot be written ---

TEST(Startup, OutputThatCannotBeWrittenIsAFailureOnceTheScriptHasRun) {
    TempDir dir;
    writeFile(dir / "s.script", "blank a 3 2\ntest\nwrite a out.tga\ninfo a\n");
    const std::string noSpace =
        "chromaloom: can't write output: " + std::string(std::strerror(ENOSPC)) + "\n";
    const std::string closed = "chromaloom: can't write output: " + std::string(std::strerror(EBADF)) + "\n";
    struct Case {
        std::vector<std::string> args;
        bool toDevFull;
        std::string errors;
    };
    for (const Case& c : {Case{{"s.script"}, true, noSpace}, Case{{"s.script"}, false, closed},
                          Case{{"a", "b"}, true, noSpace}, Case{{"missing.script"}, false, closed}}) {
        std::filesystem::remove(dir / "out.tga");
        RunOptions options;
        options.workDir = dir.path();
        options.args = c.args;
        if (c.toDevFull)
            options.stdoutPath = "/dev/full";
        else
            options.stdoutClosed = true;
        const RunResult r = runChromaloom(options);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.errors, c.errors) << c.args[0];
        if (c.args[0] == "s.script") {
            // The script ran to its end all the same: the image file is complete.
            EXPECT_EQ(readFile(dir / "out.tga").size(), 18u + 21u + 3u * 2u * 4u) << c.toDevFull;
        }
    }
}

TEST(Startup, EachLinesMessagesAreOutBeforeTheNextLineRuns) {
    // Line 2 (and in the second script line 1) waits for ever for a writer to the pipe; the program is then
    // stopped from outside. What start-up printed is out before the first line too.
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const std::string script : {"test\nread a fifo\n", "read a fifo\n"}) {
        writeFile(dir / "s.script", script);
        RunOptions options;
        options.workDir = dir.path();
        options.args = {"s.script"};
        options.alarmSeconds = 1;
        const RunResult r = runChromaloom(options);
        const bool testFirst = script[0] == 't';
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), testFirst ? 3 : 2) << r.output;
        EXPECT_EQ(afterStartUp(r.output), testFirst ? "Test command!\n" : "");
        EXPECT_EQ(r.status, 128 + SIGALRM);
    }
}

// A memory limit that cannot be read is refused before anything runs, rather than meaning no limit.
TEST(Startup, AMemoryLimitThatIsNotASizeIsRefused) {
    TempDir dir;
    writeFile(dir / "s.script", "test\n");
    struct Case {
        std::string value;
        bool valid;
    };
    for (const Case& c : {Case{"", false}, Case{"abc", false}, Case{"-1", false}, Case{"1Q", false},
                          Case{"0x10000000", false}, Case{"3G3", false}, Case{"99999999999999999999G", false},
                          Case{"512MiB", true}, Case{" 3G", true}, Case{"2GB", true}}) {
        RunOptions options;
        options.workDir = dir.path();
        options.args = {"s.script"};
        options.environment = {{"CHROMALOOM_MEMORY_LIMIT", c.value}};
        const RunResult r = runChromaloom(options);
        if (c.valid) {
            EXPECT_EQ(r.status, 0) << c.value;
            EXPECT_EQ(afterStartUp(r.output), "Test command!\n") << c.value;
            continue;
        }
        EXPECT_EQ(r.status, 1) << c.value;
        EXPECT_EQ(r.output, "") << c.value;
        EXPECT_EQ(r.errors,
                  "chromaloom: CHROMALOOM_MEMORY_LIMIT='" + c.value +
                      "' is not a size: give a number of bytes, or of K, M, G or T (binary units, such "
                      "as 512M or 2GiB)\n")
            << c.value;
    }
}

// A thread count that cannot be read is refused before anything runs, from the variable at start-up and
// from --threads as a wrong command line; a count that reads runs the script.
TEST(Startup, AThreadCountThatIsNotOneTo256IsRefused) {
    TempDir dir;
    writeFile(dir / "s.script", "test\n");
    struct Case {
        std::vector<std::string> args; // before the script
        std::string variable;          // CHROMALOOM_THREADS; empty: not set
        std::string output;            // after start-up, or the whole output when refused
        std::string errors;
    };
    const std::string wrongOption = "Chromaloom\n--threads takes a whole number of threads from 1 to 256\n";
    for (const Case& c : std::vector<Case>{{{},
                                            "0",
                                            "",
                                            "chromaloom: CHROMALOOM_THREADS='0' is not a thread count: give "
                                            "a whole number from 1 to 256\n"},
                                           {{},
                                            "many",
                                            "",
                                            "chromaloom: CHROMALOOM_THREADS='many' is not a thread count: "
                                            "give a whole number from 1 to 256\n"},
                                           {{"--threads", "0"}, "", wrongOption, ""},
                                           {{"--threads=257"}, "", wrongOption, ""},
                                           {{"--quiet", "--threads", "x"},
                                            "",
                                            "",
                                            "--threads takes a whole number of threads from 1 to 256\n"},
                                           {{"--threads", "3"}, "", "Test command!\n", ""},
                                           {{"--threads=1", "--strict"}, " 4 ", "Test command!\n", ""}}) {
        RunOptions options;
        options.workDir = dir.path();
        options.args = c.args;
        options.args.push_back("s.script");
        if (!c.variable.empty())
            options.environment = {{"CHROMALOOM_THREADS", c.variable}};
        const RunResult r = runChromaloom(options);
        const bool runs = c.output == "Test command!\n";
        EXPECT_EQ(r.status, runs ? 0 : 1) << c.variable;
        EXPECT_EQ(runs ? afterStartUp(r.output) : r.output, c.output) << c.variable;
        EXPECT_EQ(r.errors, c.errors) << c.variable;
    }
}

// A 32-bit true-colour TGA header declaring width x height, followed by 100 bytes of pixels: the rest
// reads as zeros.
std::string shortTga(std::uint16_t width, std::uint16_t height) {
    std::string bytes(18, '\0');
    bytes[2] = 2;
    bytes[12] = static_cast<char>(width & 0xFF);
    bytes[13] = static_cast<char>(width >> 8);
    bytes[14] = static_cast<char>(height & 0xFF);
    bytes[15] = static_cast<char>(height >> 8);
    bytes[16] = 32;
    bytes[17] = 8;
    return bytes + std::string(100, '\x7f');
}

// Each read, blank and copy that would take the images held past the limit fails, with the runner's
// message (as resize to a size that cannot be counted in bytes, last) or blank's own, and the images held
// stay.
TEST(Startup, ImagesTogetherBeyondTheMemoryLimitFailOneCommandAtATime) {
    TempDir dir;
    writeFile(dir / "huge.tga", shortTga(40000, 40000)); // 6.4 GB of pixels
    writeFile(dir / "mid.tga", shortTga(2000, 2000));    // 16 MB
    writeFile(dir / "s.script", "read a huge.tga\nread b huge.tga\nread c mid.tga\nread d mid.tga\n"
                                "read e mid.tga\nblank f 2000 2000\ncopy c g\nread c huge.tga\n"
                                "info c\ninfo d\ninfo e\ninfo f\nblank z 2 2\nresize z 2147483647 1\ntest\n");
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"s.script"};
    options.environment = {{"CHROMALOOM_MEMORY_LIMIT", "40M"}};
    if (addressSpaceCanBeLimited)
        options.addressSpaceLimit = rlim_t{4} << 30; // should the limit be ignored, fail rather than swap
    const RunResult r = runChromaloom(options);
    const std::string outOfMemory = errorMessageOfLine(r.output, 14);
    ASSERT_NE(outOfMemory, "") << r.output;
    const std::string blankFailed = errorMessageOfLine(r.output, 6);
    EXPECT_NE(blankFailed, "") << r.output;
    EXPECT_NE(blankFailed, outOfMemory) << r.output;
    std::string expected;
    for (const int line : {1, 2, 5, 6, 7, 8})
        expected +=
            "Error (line " + std::to_string(line) + "): " + (line == 6 ? blankFailed : outOfMemory) + "\n";
    expected += "Image size 2000 2000\nImage size 2000 2000\nNo Image\nNo Image\n";
    expected += "Error (line 14): " + outOfMemory + "\nTest command!\n";
    EXPECT_EQ(afterStartUp(r.output), expected);
    EXPECT_EQ(r.status, 0);
}

} // namespace
