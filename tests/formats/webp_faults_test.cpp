// WebP files that are not what they claim: other RIFF files, files far larger than the memory budget
// (from a file and from a pipe), and the colour a lossless file keeps under alpha 0 as the library itself
// decodes it.

#include "formats/image_file.h"
#include "image/straight_colour.h"
#include "system/memory_budget.h"
#include "tests/support/exec.h"
#include "tests/support/process.h"
#include "tests/support/webp_files.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <new>
#include <thread>
#include <unistd.h>
#include <webp/decode.h>

namespace {

LoadResult decodeBytes(const std::string& file) {
    return decodeImageFile(reinterpret_cast<const std::uint8_t*>(file.data()), file.size());
}

// "RIFF", a little-endian size, and the form type.
std::string riff(const char (&form)[5], std::uint32_t size) {
    std::string out = "RIFF";
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>(size >> (8 * i));
    return out + form;
}

TEST(WebpFaults, OnlyARiffFileOfTheWebpFormIsWebp) {
    const std::string others[] = {
        riff("WAVE", 36) + "fmt " + std::string(28, '\x01'),
        riff("AVI ", 36) + "LIST" + std::string(28, '\x01'),
        riff("WEBX", 36) + "VP8L" + std::string(28, '\x01'),
        riff("webp", 36) + "VP8L" + std::string(28, '\x01'),
    };
    for (const std::string& file : others) {
        const LoadResult loaded = decodeBytes(file);
        EXPECT_EQ(loaded.image, nullptr) << file.substr(8, 4);
        EXPECT_EQ(loaded.reason.rfind("WebP", 0), std::string::npos)
            << file.substr(8, 4) << ": " << loaded.reason;
    }
    // The same bytes with the WebP form are taken for WebP (and refused as such: they hold no image).
    EXPECT_EQ(decodeBytes(riff("WEBP", 36) + "VP8L" + std::string(28, '\x01')).reason.rfind("WebP: ", 0), 0u);
}

// A file that declares 1 GB: from a file of that size it is refused before it is read, from a pipe as
// soon as what arrived passes the budget, not after reading it all; a short file of a large declared size
// is only cut short.
TEST(WebpFaults, AFileLargerThanTheBudgetIsRefusedBeforeItIsRead) {
    TempDir dir;
    const std::string header = riff("WEBP", 0x3FFFFFF0u) + "VP8L";
    const std::string path = (dir / "big.webp").string();
    writeFile(path, header);
    ASSERT_EQ(::truncate(path.c_str(), off_t{1} << 30), 0); // sparse: costs nothing on disk
    setImageMemoryLimit(std::uint64_t{64} << 20);
    EXPECT_THROW(loadImageFile(path.c_str()), std::bad_alloc);

    // From a pipe, 200 MB of it: the writer is left with a pipe nobody reads once the reading stops.
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::size_t written = 0;
    std::thread writer([&] {
        std::string block = header;
        block.resize(std::size_t{1} << 20);
        for (int i = 0; i < 200; ++i) {
            const ssize_t n = ::write(fds[1], block.data(), block.size());
            if (n <= 0)
                break;
            written += static_cast<std::size_t>(n);
            block.assign(block.size(), '\0');
        }
        ::close(fds[1]);
    });
    const std::string fromPipe = "/dev/fd/" + std::to_string(fds[0]);
    EXPECT_THROW(loadImageFile(fromPipe.c_str()), std::bad_alloc);
    ::close(fds[0]);
    writer.join();
    std::signal(SIGPIPE, previous);
    EXPECT_LT(written, std::size_t{150} << 20);
    setImageMemoryLimit(std::nullopt);

    // A short file declaring the same size is cut short, under any budget.
    writeFile(path, header + std::string(100, '\0'));
    setImageMemoryLimit(std::uint64_t{64} << 20);
    EXPECT_EQ(loadImageFile(path.c_str()).reason, "WebP: file ends early");
    setImageMemoryLimit(std::nullopt);
}

// A lossless file keeps the straight colour of every pixel, under alpha 0 too, exactly as the TGA writer's
// straight colour gives it: checked with the library's own decoder, since the program's reader gives any
// pixel of alpha 0 as transparent black and could not tell.
TEST(WebpFaults, LosslessKeepsTheColourUnderAlphaZeroAsTheLibraryDecodesIt) {
    TempDir dir;
    // Premultiplied pixels whose colour lies above their alpha, as fill makes them, alpha 0 among them.
    const ImagePtr image = makeImage(5, 3, [](std::uint32_t x, std::uint32_t y) -> Rgba {
        const auto alpha = static_cast<std::uint8_t>(x == 0 ? 0 : x * 40 + y);
        return {static_cast<std::uint8_t>(10 + 30 * x), static_cast<std::uint8_t>(200 - 20 * y), 77, alpha};
    });
    const std::string path = (dir / "x.webp").string();
    ASSERT_EQ(saveImageFile(("webp:" + path).c_str(), *image), "");
    const std::string file = readFile(path);
    int width = 0, height = 0;
    std::uint8_t* decoded =
        WebPDecodeRGBA(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), &width, &height);
    ASSERT_NE(decoded, nullptr);
    ASSERT_EQ(width, 5);
    ASSERT_EQ(height, 3);
    const std::vector<std::uint8_t> fromLibrary(decoded, decoded + 5 * 3 * 4);
    WebPFree(decoded);
    std::vector<std::uint8_t> straight(5 * 3 * 4);
    straightenPixels(image->pixels.get(), 15, straight.data(), ChannelOrder::Rgba);
    EXPECT_EQ(fromLibrary, straight);
    // Some pixel of alpha 0 carries a colour, or the test would show nothing.
    EXPECT_NE(straight[0] | straight[1] | straight[2], 0);
}

} // namespace
