// Released pixel blocks kept for reuse: a reused block never shows its old pixels, the store keeps to its
// bound, is counted in the memory budget beside the live images, and is given back before a request fails.

#include "image/image.h"
#include "system/memory_budget.h"
#include "system/pixel_memory.h"
#include "system/sanitizers.h"
#include "tests/support/exec.h"
#include "tests/support/process.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t MiB = std::size_t{1} << 20;

// Sets the store's bound for the scope (the sanitizer builds keep nothing whatever it says) and puts the
// default back after, with nothing kept either way.
class KeptBuffersTest : public testing::Test {
protected:
    void SetUp() override {
        if (keptBufferLimits().count == 0)
            GTEST_SKIP() << "this build keeps every pixel block on the heap, and none is kept";
        releaseKeptBuffers();
    }
    void TearDown() override {
        setKeptBufferLimits(defaultKeptBufferLimits);
        setImageMemoryLimit(std::nullopt);
        releaseKeptBuffers();
    }
};

// An image of `bytes` / 4 pixels (one row) whose every byte is `value`.
ImagePtr filled(std::size_t bytes, std::uint8_t value) {
    ImagePtr image = createImageForOverwrite(static_cast<std::uint32_t>(bytes / 4), 1);
    std::memset(image->pixels.get(), value, image->byteCount());
    return image;
}

TEST_F(KeptBuffersTest, AReleasedBlockServesTheNextRequestOfItsLengthAndZeroFillClearsIt) {
    ImagePtr noisy = filled(4 * MiB, 0xA5);
    const std::uint8_t* block = noisy->pixels.get();
    noisy.reset();
    EXPECT_EQ(keptBufferStats().count, 1u);

    // 1024 x 1024 is the same mapped length: the same block, cleared.
    ImagePtr zeroed = createImage(1024, 1024);
    EXPECT_EQ(zeroed->pixels.get(), block);
    const std::uint8_t* p = zeroed->pixels.get();
    EXPECT_TRUE(std::all_of(p, p + zeroed->byteCount(), [](std::uint8_t v) { return v == 0; }));
    zeroed.reset();

    // 1000 x 1000 (3.8 MiB) rounds up to the same 4 MiB: the same block again.
    EXPECT_EQ(createImageForOverwrite(1000, 1000)->pixels.get(), block);
    // A block of another length is never handed out, and a small image never comes from the store.
    const std::uint64_t mapped = keptBufferStats().mapped;
    EXPECT_NE(createImageForOverwrite(1024, 1536)->pixels.get(), block); // 6 MiB
    EXPECT_EQ(keptBufferStats().mapped, mapped + 1);
    EXPECT_NE(createImageForOverwrite(512, 512)->pixels.get(), block); // 1 MiB, from the heap
    EXPECT_EQ(keptBufferStats().count, 2u);                            // the 4 MiB block and the 6 MiB one
}

TEST_F(KeptBuffersTest, AtMostTheBoundIsKeptTheOldestGivenBackFirst) {
    setKeptBufferLimits({3, 64 * MiB});
    std::vector<ImagePtr> images;
    std::vector<const std::uint8_t*> blocks;
    for (int i = 0; i < 5; ++i) {
        images.push_back(filled(4 * MiB, 1));
        blocks.push_back(images.back()->pixels.get());
    }
    for (ImagePtr& image : images) // released in order, the first one first
        image.reset();
    images.clear();
    EXPECT_EQ(keptBufferStats().count, 3u);
    EXPECT_EQ(keptBufferStats().bytes, 12 * MiB);
    // The three released last are kept; the most recent is handed out first.
    for (int i = 4; i >= 2; --i) {
        images.push_back(createImageForOverwrite(1024, 1024));
        EXPECT_EQ(images.back()->pixels.get(), blocks[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(keptBufferStats().count, 0u);
    images.clear();

    // The bytes bound: two 4 MiB blocks fit in 10 MiB, the third sends the oldest back; a block larger
    // than the bound is never kept.
    setKeptBufferLimits({4, 10 * MiB});
    EXPECT_EQ(keptBufferStats().count, 2u);
    for (int i = 0; i < 3; ++i)
        images.push_back(filled(4 * MiB, 1));
    images.push_back(filled(12 * MiB, 1));
    for (ImagePtr& image : images)
        image.reset();
    images.clear();
    EXPECT_EQ(keptBufferStats().count, 2u);
    EXPECT_EQ(keptBufferStats().bytes, 8 * MiB);

    setKeptBufferLimits({0, 10 * MiB});
    EXPECT_EQ(keptBufferStats().count, 0u);
    EXPECT_EQ(imageBytesKept(), 0u);
}

TEST_F(KeptBuffersTest, KeptBlocksAreCountedApartFromTheLiveImagesAndGivenBackBeforeARequestFails) {
    const std::uint64_t held = imageBytesHeld();
    ImagePtr a = createImageForOverwrite(1000, 1000); // 4,000,000 bytes, mapped as 4 MiB
    ImagePtr b = createImageForOverwrite(1000, 1000);
    EXPECT_EQ(imageBytesHeld(), held + 8000000);
    a.reset();
    b.reset();
    EXPECT_EQ(imageBytesHeld(), held);
    EXPECT_EQ(imageBytesKept(), 8 * MiB);
    a = createImage(1000, 1000);
    EXPECT_EQ(imageBytesHeld(), held + 4000000);
    EXPECT_EQ(imageBytesKept(), 4 * MiB);

    // 4 MiB kept and 3.8 MiB live under a cap of 14 MiB above the start: 8 MiB more fit only once the kept
    // block is given back, for an image and for a codec's reservation alike.
    setImageMemoryLimit(held + 14 * MiB);
    ImagePtr large = createImageForOverwrite(2048, 1024);
    EXPECT_EQ(imageBytesKept(), 0u);
    EXPECT_EQ(keptBufferStats().count, 0u);
    large.reset();
    EXPECT_EQ(imageBytesKept(), 8 * MiB);
    EXPECT_NO_THROW(MemoryReservation(8 * MiB));
    EXPECT_EQ(imageBytesKept(), 0u);
    // What does not fit with nothing kept is still refused.
    EXPECT_THROW(createImageForOverwrite(2048, 1400), std::bad_alloc);
    EXPECT_EQ(imageBytesHeld(), held + 4000000);

    // A released block is not kept when it would take the images and the kept blocks past the cap.
    a.reset();
    setImageMemoryLimit(held + 5 * MiB);
    a = createImageForOverwrite(1024, 520); // 2,129,920 bytes, mapped as 4 MiB
    b = createImageForOverwrite(1024, 512); // 2 MiB
    a.reset();
    EXPECT_EQ(imageBytesKept(), 0u);
    EXPECT_EQ(imageBytesHeld(), held + 2 * MiB);
}

// Every reader and verb on images large enough to be mapped: run once with every block fresh, once with the
// store full of blocks of every length they ask for, all holding the byte 0xA5, from which every large block
// must then come. The messages and the file written must be the same.
class ReuseTest : public KeptBuffersTest {
protected:
    void SetUp() override {
        KeptBuffersTest::SetUp();
        if (IsSkipped())
            return;
        previous = fs::current_path();
        fs::create_directory(dir / "requiredimages"); // paint's texture, at its path from the working folder
        fs::copy_file(sourceDir() / "requiredimages" / "texture.tga", dir / "requiredimages" / "texture.tga");
        fs::current_path(dir.path());

        // 1024 x 768, every alpha from 0 to 255, colours at or below it.
        ScriptContext ctx;
        ctx.setImage(0, makeImage(1024, 768, [](std::uint32_t x, std::uint32_t y) {
                         const auto a = static_cast<std::uint8_t>(x * 7 + y * 3);
                         const auto part = [a](std::uint32_t v) {
                             return static_cast<std::uint8_t>(v % (a + 1u));
                         };
                         return Rgba{part(x ^ y), part(x + 2 * y), part(x * y), a};
                     }));
        for (const char* file : {"src.tga", "png:src.png", "jpg:src.jpg", "webp:src.webp", "pam:src.pam",
                                 "ppm:src.ppm", "pgm:src.pgm"})
            ASSERT_EQ(runLineCaptured(ctx, std::string("write a ") + file + "\n"), "");
        // A TGA file whose pixels end a third of the way: the rest reads as zeros.
        const std::string whole = readFile("src.tga");
        writeFile("cut.tga", whole.substr(0, whole.size() / 3));
    }
    void TearDown() override {
        if (!previous.empty())
            fs::current_path(previous);
        KeptBuffersTest::TearDown();
    }

    // The messages of the lines, then the bytes of out.tga.
    static std::string run(const std::vector<std::string>& lines) {
        std::srand(1); // paint's jitter
        fs::remove("out.tga");
        std::string result;
        {
            ScriptContext ctx;
            for (const std::string& line : lines)
                result += runLineCaptured(ctx, line + "\n");
            result += runLineCaptured(ctx, "write a out.tga\n");
        }
        return result + "\n" + readFile("out.tga");
    }

    // Two blocks of every mapped length from 2 to 16 MiB, four of 4 MiB (the sources' and most results'),
    // all holding 0xA5, kept.
    static void keepNoisyBlocks() {
        releaseKeptBuffers();
        std::vector<ImagePtr> images;
        for (const std::size_t length :
             {2u, 2u, 6u, 6u, 8u, 8u, 10u, 10u, 12u, 12u, 16u, 16u, 4u, 4u, 4u, 4u})
            images.push_back(filled(length * MiB, 0xA5));
        images.clear();
        ASSERT_EQ(keptBufferStats().count, maxKeptBuffers);
    }

    TempDir dir;
    fs::path previous;
};

TEST_F(ReuseTest, EveryReaderAndVerbGivesWhatAFreshBlockGives) {
    if (CHROMALOOM_THREAD_SANITIZER)
        GTEST_SKIP()
            << "a minute under the thread sanitizer for what the other builds check of reused blocks";
    const std::vector<std::vector<std::string>> cases = {
        {"read a src.tga"},
        {"read a cut.tga"},
        {"read a src.png"},
        {"read a src.jpg"},
        {"read a src.webp"},
        {"read a src.pam"},
        {"read a src.ppm"},
        {"read a src.pgm"},
        {"blank a 1024 1024"},
        {"blank a 1000 900", "fill a 10 10 500 400 10 20 30 40"},
        {"read a src.tga", "copy a b", "blank a 1 1", "copy b a"},
        {"read a src.tga", "crop a 10 10 1000 700"},
        {"read a src.tga", "resize a 2 1"},
        {"read a src.tga", "resize a 4 3"},
        {"read a src.tga", "rotate a 30"},
        {"read a src.tga", "rotate a 90"},
        {"read a src.tga", "rotate a -135"},
        {"read a src.tga", "warp a 1"},
        {"read a src.tga", "warp a 2"},
        {"read a src.tga", "blur a 5"},
        {"read a src.tga", "darken a 0.5", "dissolve a 0.7", "desaturate a 0.4", "opaque a"},
        {"read a src.tga", "chromakey a 0 0 0"},
        {"read a src.tga", "read b src.tga", "composite b over a 10 20"},
        {"read a src.tga", "paint a"},
        {"read a src.tga", "painter a"},
    };
    for (const std::vector<std::string>& lines : cases) {
        const std::string name = lines.back();
        setKeptBufferLimits({0, 0});
        const std::string fresh = run(lines);

        setKeptBufferLimits({maxKeptBuffers, 256 * MiB});
        keepNoisyBlocks();
        const KeptBufferStats before = keptBufferStats();
        const std::string reused = run(lines);
        const KeptBufferStats after = keptBufferStats();
        EXPECT_GT(after.reused, before.reused) << name;
        EXPECT_EQ(after.mapped, before.mapped) << name << ": a block did not come from the store";
        EXPECT_TRUE(fresh == reused) << name;
    }
}

// The whole program: blocks kept are given back when the user's cap would refuse a request with them, and
// when the system refuses a mapping (here an address-space limit).
TEST(KeptBuffers, AreGivenBackUnderAMemoryCapAndAnAddressSpaceLimit) {
    if (keptBufferLimits().count == 0)
        GTEST_SKIP() << "this build keeps every pixel block on the heap, and none is kept";
    TempDir dir;
    // 4 MiB live and 12 MiB kept, then 16 MiB more under a cap of 24 MiB.
    writeFile(dir / "cap.script",
              "blank a 1024 1024\nblank b 1024 1024\nblank c 1024 1024\nblank d 1024 1024\n"
              "blank a 1 1\nblank b 1 1\nblank c 1 1\nblank e 2048 2048\ninfo e\n");
    // 246 MiB kept, then 801 MiB more under a limit of 1 GiB on the whole address space.
    writeFile(dir / "space.script", "blank a 8000 8000\nblank a 1 1\nblank b 15000 14000\ninfo b\n");
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"cap.script"};
    options.environment = {{"CHROMALOOM_MEMORY_LIMIT", "24M"}};
    EXPECT_EQ(runChromaloom(options).output,
              "Chromaloom\nOpening script file cap.script\nImage size 2048 2048\n");

    if (!addressSpaceCanBeLimited)
        return;
    options.args = {"space.script"};
    options.environment = {};
    options.addressSpaceLimit = rlim_t{1} << 30;
    EXPECT_EQ(runChromaloom(options).output,
              "Chromaloom\nOpening script file space.script\nImage size 15000 14000\n");
}

} // namespace
