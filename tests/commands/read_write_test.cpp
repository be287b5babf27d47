// read and write as verbs: the variable keeps its image whatever fails, the image written is never changed,
// each failure is one line with the verb's result, and a write that runs out of memory leaves nothing open
// or behind. The messages are pinned by the script cases tests/e2e/files/read_errors.script,
// write_errors.script and write_too_large.script; the files themselves are tested under tests/tga/ and
// tests/formats/.

#include "tests/support/exec.h"
#include "tests/support/process.h"
#include "tests/support/tga_file.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ReadCommand, ReportsFailuresAndKeepsTheVariable) {
    TempDir dir;
    TgaFile f;
    f.width = 2;
    f.add({1, 2, 3, 4, 5, 6});
    writeFile(dir / "ok.tga", f.str());
    writeFile(dir / "short.tga", "0123456789abcdef");
    ScriptContext ctx;
    const std::string ok = (dir / "ok.tga").string();

    Outcome loaded = execLine(ctx, "read A " + ok);
    EXPECT_EQ(loaded.result, 0);
    EXPECT_EQ(loaded.output, "");
    ASSERT_NE(ctx.imageAt(0), nullptr);
    EXPECT_EQ(bytesOf(*ctx.imageAt(0)), (Bytes{3, 2, 1, 255, 6, 5, 4, 255}));
    const Image* before = ctx.imageAt(0);

    for (const std::string& file : {(dir / "missing.tga").string(), (dir / "short.tga").string()}) {
        const Outcome failed = execLine(ctx, "read a " + file);
        EXPECT_EQ(failed.result, 2) << file;
        EXPECT_EQ(lineCount(failed.output), 1u) << file;
        EXPECT_EQ(ctx.imageAt(0), before) << file;
    }
}

TEST(WriteCommand, ReportsEachFailureAndNeverChangesTheImage) {
    TempDir dir;
    ScriptContext ctx;
    const std::string out = (dir / "out.tga").string();
    ctx.setImage(1, createImage(65536, 1));
    ctx.setImage(2, makeImage(3, 2, [](std::uint32_t x, std::uint32_t y) {
                     return Rgba{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 9, 255};
                 }));
    const Bytes original = bytesOf(*ctx.imageAt(2));
    // No image, too wide for the format, a folder that is not there, a full device.
    for (const std::string& line :
         {"write a " + out, "write b " + out, "write c " + (dir / "no" / "x.tga").string(),
          std::string("write c /dev/full")}) {
        const Outcome o = execLine(ctx, line);
        EXPECT_EQ(o.result, 2) << line;
        EXPECT_EQ(lineCount(o.output), 1u) << line;
        EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{}) << line;
    }
    const Outcome written = execLine(ctx, "write c " + out);
    EXPECT_EQ(written.result, 0);
    EXPECT_EQ(written.output, "");
    EXPECT_EQ(bytesOf(*ctx.imageAt(2)), original);

    execLine(ctx, "read d " + out);
    ASSERT_NE(ctx.imageAt(3), nullptr);
    EXPECT_EQ(ctx.imageAt(3)->width, 3u);
    EXPECT_EQ(ctx.imageAt(3)->height, 2u);
    EXPECT_EQ(bytesOf(*ctx.imageAt(3)), original);
}

// Writes that run out of memory must leave neither a descriptor nor a temporary file behind: with few
// descriptors allowed, a handful of leaks would make every later write and read fail to open its file.
TEST(WriteCommand, RunningOutOfMemoryLeavesNoDescriptorOrFileBehind) {
    if (!addressSpaceCanBeLimited)
        GTEST_SKIP() << "address space limits do not combine with the address sanitizer";
    TempDir dir;
    // A large image, then images of halving sizes down to one row that take up what the limit leaves, and
    // the small sizes once more (a large image that does not fit with its alignment can leave a few
    // megabytes behind), so that nothing of a megabyte can be had any more: lines 1 to 25.
    std::string script = "blank a 1000 50800\n";
    char variable = 'b';
    for (int rows = 32768; rows >= 1; rows /= 2, ++variable)
        script += std::string("blank ") + variable + " 2048 " + std::to_string(rows) + "\n";
    for (int rows = 256; rows >= 2; rows /= 2, ++variable)
        script += std::string("blank ") + variable + " 2048 " + std::to_string(rows) + "\n";
    // Lines 26 to 33 write the large image; 34 to 39 free memory, then write and read a small one.
    for (int i = 0; i < 8; ++i)
        script += "write a out.tga\n";
    script += "blank a 1 1\nblank b 1 1\nblank c 1 1\nwrite a small.tga\nread z small.tga\ninfo z\n";
    writeFile(dir / "s.script", script);
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"s.script"};
    options.addressSpaceLimit = rlim_t{512} << 20;
    options.descriptorLimit = 10;
    const RunResult r = runChromaloom(options);
    // The first write fails for lack of memory; any later one fails the same way, never to open its file.
    const std::string outOfMemory = errorMessageOfLine(r.output, 26);
    EXPECT_NE(outOfMemory, "") << r.output;
    for (int line = 27; line <= 33; ++line) {
        const std::string message = errorMessageOfLine(r.output, line);
        EXPECT_TRUE(message.empty() || message == outOfMemory) << line << ": " << message;
    }
    EXPECT_EQ(errorMessageOfLine(r.output, 37), "") << r.output;
    EXPECT_EQ(errorMessageOfLine(r.output, 38), "") << r.output;
    EXPECT_NE(r.output.find("Image size 1 1\n"), std::string::npos) << r.output;
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"s.script", "small.tga"}));
}

} // namespace
