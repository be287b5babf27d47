// The command line of a batch job: arguments for $1 to $9, --strict, --quiet, and scripts and images that
// come and go through pipes and standard output.

#include "tests/support/exec.h"
#include "tests/support/process.h"
#include "tests/support/tga_file.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

RunResult runIn(const TempDir& dir, std::vector<std::string> args, RunOptions options = {}) {
    options.workDir = dir.path();
    options.args = std::move(args);
    return runChromaloom(options);
}

const std::string opening = "Chromaloom\nOpening script file s.script\n";

// A 3 x 2 picture as a TGA file written by the program (with its image-ID field).
void writePicture(const TempDir& dir, const std::string& name) {
    const ImagePtr image = makeImage(3, 2, [](std::uint32_t x, std::uint32_t y) {
        return Rgba{static_cast<std::uint8_t>(40 * x), static_cast<std::uint8_t>(100 * y), 7, 255};
    });
    ASSERT_EQ(writeImage((dir / name).c_str(), *image), WriteResult::Ok);
}

TEST(Options, ArgumentsStandForDollarOneToNineWithBlanksAndAnyLetters) {
    TempDir dir;
    writePicture(dir, "my picture été.tga");
    writeFile(dir / "s.script",
              "read a $1\nwrite a png:$2\nread b $2\ninfo b\nwrite b $$1$3.tga\nread c $4\n");
    const RunResult r = runIn(dir, {"s.script", "my picture été.tga", "out, ünï.png", "x"});
    EXPECT_EQ(r.output, opening + "Image size 3 2\nError (line 6): no argument $4: the script was given 3\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::exists(dir / "out, ünï.png"));
    EXPECT_TRUE(fs::exists(dir / "$1x.tga"));
    // Without arguments nothing is replaced: $1 is read as it is written.
    writeFile(dir / "t.script", "read a $1\n");
    EXPECT_EQ(
        runIn(dir, {"t.script"}).output,
        "Chromaloom\nOpening script file t.script\nError (line 1): can't read image! (cannot open file)\n");
}

TEST(Options, StrictEndsTheRunAtTheFirstLineThatFails) {
    TempDir dir;
    writeFile(dir / "s.script", "blank a 2 2\nblur a twenty\ntest\n");
    const RunResult r = runIn(dir, {"--strict", "s.script"});
    EXPECT_EQ(r.output, opening + "Error (line 2): 'twenty' is not a whole number\n");
    EXPECT_EQ(r.status, 1);
    // Without --strict the same words are read as the C library reads them, and the script goes on.
    const RunResult lenient = runIn(dir, {"s.script"});
    EXPECT_EQ(lenient.output, opening + "Error (line 2): Only k=3,5 is supported\nTest command!\n");
    EXPECT_EQ(lenient.status, 0);
}

TEST(Options, StrictRefusesWordsThatAreNotAllNumberAndNamesFiles) {
    struct Case {
        std::string line;
        std::string message;
    };
    const Case cases[] = {
        {"darken a 0.5px", "'0.5px' is not a number"},
        {"crop a 12px 0 1 1", "'12px' is not a whole number"},
        {"rotate a 3.7", "'3.7' is not a whole number"},
        {"fill a 0 0 1 1 99999999999 0 0 0", "'99999999999' is not a whole number"},
        {"read b missing.tga", "can't read image 'missing.tga': No such file or directory"},
        {"write a no/such/folder.png", "can't write image 'no/such/folder.png': No such file or directory"},
        {"write a jpg0:x.jpg", "can't write image 'jpg0:x.jpg': quality must be 1 to 100"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        writeFile(dir / "s.script", "blank a 2 2\n" + c.line + "\ntest\n");
        const RunResult r = runIn(dir, {"--strict", "s.script"});
        EXPECT_EQ(r.output, opening + "Error (line 2): " + c.message + "\n") << c.line;
        EXPECT_EQ(r.status, 1) << c.line;
    }
    // Whole numbers, amounts and channels that are all number pass.
    TempDir dir;
    writeFile(dir / "s.script",
              "blank a 2 2\ndarken a 0.5\nfill a 0 0 1 1 -1 +2 3 255\nrotate a -30\ntest\n");
    EXPECT_EQ(runIn(dir, {"--strict", "s.script"}).output, opening + "Test command!\n");
}

TEST(Options, StrictRefusesAFileThatEndsBeforeItsPixels) {
    TempDir dir;
    writePicture(dir, "whole.tga");
    const std::string whole = readFile(dir / "whole.tga");
    writeFile(dir / "cut.tga", whole.substr(0, whole.size() - 5));
    // 118 bytes declaring 40000 x 40000 pixels: refused at once, before 6.4 GB is asked for.
    TgaFile huge;
    huge.width = 40000;
    huge.height = 40000;
    huge.body.assign(100, 0);
    writeFile(dir / "huge.tga", huge.str());
    writeFile(dir / "s.script", "read a $1\ninfo a\n");
    for (const std::string file : {"cut.tga", "huge.tga"}) {
        const RunResult r = runIn(dir, {"--strict", "s.script", file});
        EXPECT_EQ(r.output,
                  opening + "Error (line 1): can't read image '" + file + "': unexpected end-of-file\n");
        EXPECT_EQ(r.status, 1);
    }
    // Without --strict the cut file loads, its missing pixels black.
    EXPECT_EQ(runIn(dir, {"s.script", "cut.tga"}).output, opening + "Image size 3 2\n");
}

// A pipe with a file's bytes flowing into it from a thread, as `cat file |` gives.
struct FilePipe {
    fs::path path;
    std::thread writer;
    FilePipe(const TempDir& dir, const std::string& bytes) : path(dir / "pipe") {
        mkfifo(path.c_str(), 0600);
        writer = std::thread([this, bytes] {
            const int fd = open(path.c_str(), O_WRONLY);
            if (fd >= 0 && write(fd, bytes.data(), bytes.size()) >= 0)
                close(fd);
        });
    }
    ~FilePipe() { writer.join(); }
};

TEST(Options, QuietKeepsStandardOutputForAnImageReadFromAPipe) {
    TempDir dir;
    writePicture(dir, "in.tga");
    writeFile(dir / "s.script", "read a /dev/stdin\ninfo a\nwrite a pam:/dev/stdout\nread b missing.tga\n");
    RunOptions options;
    const FilePipe pipe(dir, readFile(dir / "in.tga"));
    options.stdinPath = pipe.path;
    const RunResult r = runIn(dir, {"--quiet", "s.script"}, options);
    EXPECT_EQ(r.errors, "Image size 3 2\nError (line 4): can't read image! (cannot open file)\n");
    ASSERT_EQ(r.output.rfind("P7\nWIDTH 3\nHEIGHT 2\nDEPTH 3\n", 0), 0u) << r.output;
    EXPECT_EQ(r.status, 0);
}

TEST(Options, WritingToStandardOutputFollowsWhatItHolds) {
    TempDir dir;
    writePicture(dir, "in.tga");
    writeFile(dir / "s.script", "read a in.tga\ntest\nwrite a /dev/stdout\ntest\n");
    const std::string picture = readFile(dir / "in.tga");
    // Into a pipe, and into a regular file whose log lines stay before the image, not replaced by it.
    EXPECT_EQ(runIn(dir, {"s.script"}).output, opening + "Test command!\n" + picture + "Test command!\n");
    RunOptions toFile;
    toFile.stdoutPath = dir / "log";
    writeFile(dir / "log", "");
    ASSERT_EQ(runIn(dir, {"s.script"}, toFile).status, 0);
    EXPECT_EQ(readFile(dir / "log"), opening + "Test command!\n" + picture + "Test command!\n");
}

TEST(Options, ADashIsStandardInputOnlyWithOptionsOrArguments) {
    TempDir dir;
    writeFile(dir / "-", "test\n");
    RunOptions fromStdin;
    fromStdin.stdinData = "info a\n";
    EXPECT_EQ(runIn(dir, {"-"}, fromStdin).output, "Chromaloom\nOpening script file -\nTest command!\n");
    const RunResult quiet = runIn(dir, {"--quiet", "-"}, fromStdin);
    EXPECT_EQ(quiet.output, "");
    EXPECT_EQ(quiet.errors, "No Image\n");
}

} // namespace
