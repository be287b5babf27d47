// Every format's write under the faults a file system and a process meet: a file-size limit, a pipe whose
// reader leaves, and memory running out part way (a full device is in the script cases under
// tests/e2e/files/). Each write fails for its line only, the script goes on, the older file at the path is
// untouched and no temporary file is left behind.

#include "formats/image_file.h"
#include "tests/support/exec.h"
#include "tests/support/process.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The formats by the prefix that chooses them.
const char* const prefixes[] = {"", "png:", "jpg:", "webp:", "webp75:", "pam:", "ppm:", "pgm:"};

// A noisy picture, which no format compresses much, as noise.tga in dir.
void writeNoise(const TempDir& dir, std::uint32_t side) {
    std::mt19937 random(side);
    const ImagePtr noise = makeImage(side, side, [&](auto, auto) {
        return Rgba{static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                    static_cast<std::uint8_t>(random()), 255};
    });
    ASSERT_EQ(saveImageFile((dir / "noise.tga").c_str(), *noise), "");
}

RunResult runScript(const TempDir& dir, const std::string& script, RunOptions options = {}) {
    writeFile(dir / "s.script", script);
    options.workDir = dir.path();
    options.args = {"s.script"};
    return runChromaloom(options);
}

// The script's line 2 writes; line 3 writes the same to a full device, whose message (pinned by the script
// cases tests/e2e/files/write_errors.script and full_device.script) line 2 must print too, and nothing else.
void expectFailedLikeAFullDevice(const RunResult& r, const std::string& prefix) {
    const std::string message = errorMessageOfLine(r.output, 3);
    EXPECT_NE(message, "") << prefix << r.output;
    EXPECT_EQ(afterStartUp(r.output),
              "Error (line 2): " + message + "\nError (line 3): " + message + "\nTest command!\n")
        << prefix;
}

TEST(WriteFaults, AFileSizeLimitKeepsTheOlderFile) {
    for (const std::string prefix : prefixes) {
        TempDir dir;
        writeNoise(dir, 200);
        writeFile(dir / "out", "older content");
        RunOptions options;
        options.fileSizeLimit = 5000;
        const RunResult r = runScript(
            dir, "read a noise.tga\nwrite a " + prefix + "out\nwrite a " + prefix + "/dev/full\ntest\n",
            options);
        expectFailedLikeAFullDevice(r, prefix);
        EXPECT_EQ(readFile(dir / "out"), "older content") << prefix;
        EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"noise.tga", "out", "s.script"})) << prefix;
    }
}

TEST(WriteFaults, APipeWhoseReaderLeavesIsReported) {
    for (const std::string prefix : prefixes) {
        TempDir dir;
        writeNoise(dir, 400); // far more than a pipe holds, in every format
        ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
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
        RunOptions options;
        options.alarmSeconds = 60;
        const RunResult r = runScript(
            dir, "read a noise.tga\nwrite a " + prefix + "fifo\nwrite a " + prefix + "/dev/full\ntest\n",
            options);
        const int release = open((dir / "fifo").c_str(), O_WRONLY | O_NONBLOCK);
        if (release >= 0)
            close(release);
        reader.join();
        expectFailedLikeAFullDevice(r, prefix);
    }
}

// With the address space taken up by images, each format's write fails for lack of memory somewhere in its
// encoder; whatever it says, the older file stays and nothing is left beside it.
TEST(WriteFaults, RunningOutOfMemoryPartWayKeepsTheOlderFile) {
    if (!addressSpaceCanBeLimited)
        GTEST_SKIP() << "address space limits do not combine with the address sanitizer";
    for (const std::string prefix : prefixes) {
        TempDir dir;
        writeNoise(dir, 300);
        writeFile(dir / "out", "older content");
        std::string script = "read a noise.tga\n";
        char variable = 'b';
        for (int rows = 32768; rows >= 1; rows /= 2, ++variable)
            script += std::string("blank ") + variable + " 2048 " + std::to_string(rows) + "\n";
        for (int rows = 256; rows >= 2; rows /= 2, ++variable)
            script += std::string("blank ") + variable + " 2048 " + std::to_string(rows) + "\n";
        script += "write a " + prefix + "out\ntest\n";
        RunOptions options;
        options.addressSpaceLimit = rlim_t{512} << 20;
        const RunResult r = runScript(dir, script, options);
        EXPECT_NE(r.output.find("Error (line 26): "), std::string::npos) << prefix << r.output;
        EXPECT_NE(r.output.find("Test command!\n"), std::string::npos) << prefix << r.output;
        EXPECT_EQ(readFile(dir / "out"), "older content") << prefix;
        EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"noise.tga", "out", "s.script"})) << prefix;
    }
}

} // namespace
