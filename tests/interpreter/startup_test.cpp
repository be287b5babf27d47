// The program's start-up paths and exit statuses, run as a separate process.

#include "tests/support/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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

// --- Writes the system refuses, and output that cannot be written ---

TEST(Startup, AWriteIntoAPipeWhoseReaderLeftFailsTheCommandNotTheProgram) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    // The reader takes the first 100 bytes and leaves; the 1 MiB file cannot fit in the pipe before that.
    std::thread reader([&] {
        const int fd = open((dir / "fifo").c_str(), O_RDONLY);
        char bytes[100];
        for (std::size_t got = 0; fd >= 0 && got < sizeof bytes;) {
            const ssize_t n = read(fd, bytes + got, sizeof bytes - got);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        close(fd);
    });
    writeFile(dir / "s.script", "blank a 512 512\nwrite a fifo\ntest\n");
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"s.script"};
    options.alarmSeconds = 60;
    const RunResult r = runChromaloom(options);
    // Should the program never open the pipe, the reader is still waiting for a writer: release it.
    const int release = open((dir / "fifo").c_str(), O_WRONLY | O_NONBLOCK);
    if (release >= 0)
        close(release);
    reader.join();
    EXPECT_EQ(r.output, banner + "Opening script file s.script\n"
                                 "Error (line 2): can't write image! (cannot write to file)\n"
                                 "Test command!\n");
    EXPECT_EQ(r.status, 0);
}

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
        EXPECT_EQ(r.output,
                  banner + "Opening script file s.script\n" + (script[0] == 't' ? "Test command!\n" : ""));
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
            EXPECT_EQ(r.output, banner + "Opening script file s.script\nTest command!\n") << c.value;
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

TEST(Startup, ImagesTogetherBeyondTheMemoryLimitFailOneCommandAtATime) {
    TempDir dir;
    writeFile(dir / "huge.tga", shortTga(40000, 40000)); // 6.4 GB of pixels
    writeFile(dir / "mid.tga", shortTga(2000, 2000));    // 16 MB
    writeFile(dir / "s.script", "read a huge.tga\nread b huge.tga\nread c mid.tga\nread d mid.tga\n"
                                "read e mid.tga\nblank f 2000 2000\ncopy c g\nread c huge.tga\n"
                                "info c\ninfo d\ninfo e\ntest\n");
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"s.script"};
    options.environment = {{"CHROMALOOM_MEMORY_LIMIT", "40M"}};
    if (addressSpaceCanBeLimited)
        options.addressSpaceLimit = rlim_t{4} << 30; // should the limit be ignored, fail rather than swap
    const RunResult r = runChromaloom(options);
    EXPECT_EQ(r.output, banner + "Opening script file s.script\n"
                                 "Error (line 1): not enough memory\n"
                                 "Error (line 2): not enough memory\n"
                                 "Error (line 5): not enough memory\n"
                                 "Error (line 6): couldn't create blank image\n"
                                 "Error (line 7): not enough memory\n"
                                 "Error (line 8): not enough memory\n"
                                 "Image size 2000 2000\n"
                                 "Image size 2000 2000\n"
                                 "No Image\n"
                                 "Test command!\n");
    EXPECT_EQ(r.status, 0);
}

} // namespace
