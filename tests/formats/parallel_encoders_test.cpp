// The PNG writer compresses bands of rows at the same time: the file must be the same for any number of
// threads, must read back to the image, and an image of one band must give the file of the serial writer.
// The WebP writer lets its library use a thread of its own: the file must be the same too.

#include "formats/codecs.h"
#include "formats/found_metadata.h"
#include "formats/png_chunks.h"
#include "formats/png_filters.h"
#include "image/straight_colour.h"
#include "system/byte_source.h"
#include "system/sanitizers.h"
#include "system/thread_pool.h"
#include "tests/support/png_files.h"

#include <cstring>
#include <gtest/gtest.h>
#include <isa-l/igzip_lib.h>
#include <random>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

enum Kind { Grey, GreyAlpha, Rgb, RgbAlpha };
const char* const kindNames[] = {"grey", "grey+alpha", "RGB", "RGBA"};
const unsigned kindChannels[] = {1, 2, 3, 4};

// A picture of smooth runs with noise, so that every filter wins some rows, in the layout of `kind`:
// grey pixels for the grey kinds, opaque ones for the kinds without alpha (alpha 0 and 255 among the
// others).
ImagePtr randomImage(std::mt19937& random, std::uint32_t width, std::uint32_t height, Kind kind) {
    ImagePtr image = createImage(width, height);
    Bytes straight(image->rowBytes());
    int level[4] = {128, 64, 32, 200};
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t bits = static_cast<std::uint32_t>(random());
            for (unsigned c = 0; c < 4; ++c)
                level[c] = std::clamp(level[c] + static_cast<int>(bits >> (3 * c) & 7) - 3, 0, 255);
            std::uint8_t* p = straight.data() + 4 * std::size_t{x};
            const bool noisy = (bits >> 12 & 7) == 0;
            for (unsigned c = 0; c < 3; ++c)
                p[c] =
                    static_cast<std::uint8_t>(noisy ? bits >> (8 * c + 8) : static_cast<unsigned>(level[c]));
            if (kind == Grey || kind == GreyAlpha)
                p[1] = p[2] = p[0];
            const unsigned pick = bits >> 28;
            p[3] = kind == Grey || kind == Rgb ? 255
                   : pick == 0                 ? 0
                   : pick == 1                 ? 255
                                               : static_cast<std::uint8_t>(level[3]);
        }
        if (kind == GreyAlpha || kind == RgbAlpha)
            straight[3] = 7; // never all opaque
        premultiplyPixels(straight.data(), width, image->pixel(0, y), ChannelOrder::Rgba);
    }
    return image;
}

// The file of the PNG writer, or of the WebP writer at `webpQuality` (0: lossless), with `threads`.
Bytes encodeWith(const Image& image, unsigned threads, int webpQuality = -1) {
    const unsigned before = threadCount();
    setThreadCount(threads);
    const int fd = ::memfd_create("encoded", 0);
    const bool ok = webpQuality < 0 ? encodePng(image, fd) : encodeWebp(image, webpQuality, fd);
    setThreadCount(before);
    EXPECT_TRUE(ok);
    Bytes file(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(::pread(fd, file.data(), file.size(), 0), static_cast<ssize_t>(file.size()));
    ::close(fd);
    return file;
}

void appendChunk(Bytes& file, std::uint32_t type, const std::uint8_t* data, std::size_t size) {
    std::uint8_t head[8];
    png::writeBigEndian32(head, static_cast<std::uint32_t>(size));
    png::writeBigEndian32(head + 4, type);
    file.insert(file.end(), head, head + 8);
    file.insert(file.end(), data, data + size);
    std::uint8_t crc[4];
    png::writeBigEndian32(crc, png::crc32(png::crc32(0, head + 4, 4), data, size));
    file.insert(file.end(), crc, crc + 4);
}

// The image's rows as the file's samples, each filtered by the plain filters from the row above it, one
// after another: filter byte and samples, row after row.
Bytes serialFilteredRows(const Image& image, Kind kind) {
    const unsigned channels = kindChannels[kind];
    const std::size_t rowBytes = std::size_t{image.width} * channels;
    Bytes filtered((rowBytes + 1) * image.height);
    Bytes above(rowBytes), row(rowBytes), straight(image.rowBytes());
    for (std::uint32_t y = 0; y < image.height; ++y) {
        straightenPixels(image.pixel(0, y), image.width, straight.data(), ChannelOrder::Rgba);
        for (std::size_t x = 0; x < image.width; ++x) {
            const std::uint8_t* p = straight.data() + 4 * x;
            const std::uint8_t picks[4][4] = {{0}, {0, 3}, {0, 1, 2}, {0, 1, 2, 3}};
            for (unsigned c = 0; c < channels; ++c)
                row[channels * x + c] = p[picks[kind][c]];
        }
        png::filterRowPlain(row.data(), above.data(), rowBytes, channels,
                            filtered.data() + y * (rowBytes + 1));
        above = row;
    }
    return filtered;
}

// The file's image data inflated (the stream's Adler-32 checked); empty when it does not inflate to
// exactly `size` bytes.
Bytes inflatedData(const Bytes& file, std::size_t size) {
    Bytes data;
    for (std::size_t at = png::signatureSize; at + 12 <= file.size();) {
        const std::uint32_t length = png::readBigEndian32(file.data() + at);
        if (png::readBigEndian32(file.data() + at + 4) == png::IDAT)
            data.insert(data.end(), file.begin() + static_cast<std::ptrdiff_t>(at + 8),
                        file.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
        at += 12 + std::size_t{length};
    }
    Bytes out(size + 1);
    inflate_state state;
    isal_inflate_init(&state);
    state.crc_flag = ISAL_ZLIB;
    state.next_in = data.data();
    state.avail_in = static_cast<std::uint32_t>(data.size());
    state.next_out = out.data();
    state.avail_out = static_cast<std::uint32_t>(out.size());
    if (isal_inflate_stateless(&state) != ISAL_DECOMP_OK || state.total_out != size)
        return {};
    out.resize(size);
    return out;
}

// The file of the serial writer, built from the plain filters: every row filtered in turn and handed to
// one compressor (the fast deflate at level 1 with 4 bytes of history) a row at a time, with 256 KiB of
// output room at a time, the stream cut into IDAT chunks of that size.
Bytes serialReference(const Image& image, Kind kind) {
    const unsigned channels = kindChannels[kind];
    const std::uint8_t colourTypes[] = {png::Grey, png::GreyAlpha, png::Rgb, png::RgbAlpha};
    Bytes file(png::signature, png::signature + png::signatureSize);
    std::uint8_t header[png::ihdrSize] = {};
    png::writeBigEndian32(header, image.width);
    png::writeBigEndian32(header + 4, image.height);
    header[8] = 8;
    header[9] = colourTypes[kind];
    appendChunk(file, png::IHDR, header, sizeof header);

    const std::size_t filteredRow = std::size_t{image.width} * channels + 1;
    const Bytes filtered = serialFilteredRows(image, kind);
    Bytes row(filteredRow + 64); // with zeros after it, which the compressor may read
    Bytes level(ISAL_DEF_LVL1_DEFAULT);
    isal_zstream stream;
    isal_deflate_init(&stream);
    stream.level = 1;
    stream.level_buf = level.data();
    stream.level_buf_size = static_cast<std::uint32_t>(level.size());
    stream.gzip_flag = IGZIP_ZLIB;
    stream.hist_bits = 2;
    constexpr std::size_t room = std::size_t{256} << 10;
    Bytes chunk(room);
    stream.next_out = chunk.data();
    stream.avail_out = room;
    auto emit = [&] {
        appendChunk(file, png::IDAT, chunk.data(), room - stream.avail_out);
        stream.next_out = chunk.data();
        stream.avail_out = room;
    };
    for (std::uint32_t y = 0; y < image.height; ++y) {
        std::memcpy(row.data(), filtered.data() + y * filteredRow, filteredRow);
        stream.next_in = row.data();
        stream.avail_in = static_cast<std::uint32_t>(filteredRow);
        const bool last = y + 1 == image.height;
        stream.end_of_stream = last;
        while (stream.avail_in > 0 || (last && stream.internal_state.state != ZSTATE_END)) {
            EXPECT_EQ(isal_deflate(&stream), COMP_OK);
            if (stream.avail_out == 0)
                emit();
        }
    }
    if (stream.avail_out < room)
        emit();
    appendChunk(file, png::IEND, nullptr, 0);
    return file;
}

ImagePtr decodeOwn(const Bytes& file) {
    ByteSource source(file.data(), file.size());
    std::string reason;
    FoundMetadata found;
    ImagePtr image = decodePng(source, reason, found);
    EXPECT_NE(image, nullptr) << reason;
    return image;
}

Bytes straightPixels(const Image& image) {
    Bytes out(image.rowBytes() * image.height);
    straightenPixels(image.pixels.get(), std::size_t{image.width} * image.height, out.data(),
                     ChannelOrder::Rgba);
    return out;
}

// The thread counts whose files are compared with one thread's. The thread sanitizer's build, where one
// encode takes seconds, compares one count that gives every thread several bands of the larger sizes.
std::vector<unsigned> comparedThreadCounts() {
    if (CHROMALOOM_THREAD_SANITIZER)
        return {3};
    return {2, 3, 7};
}

struct Size {
    std::uint32_t width;
    std::uint32_t height;
    const char* what;
};

// Bands hold about 1 MiB of filtered rows: the sizes give one band, several with a short last one, and
// single rows and columns.
const Size sizes[] = {
    {1, 1, "one pixel"},
    {173, 91, "one band"},
    {100000, 1, "one long row"},
    {1, 3000, "one column"},
    {5000, 120, "rows of 5 001 to 20 001 bytes: 1 to 3 bands"},
    {1000, 1100, "rows of 1 001 to 4 001 bytes: 2 to 5 bands"},
    {1, 220000, "a column: two bands of RGBA, one of the others"},
};

TEST(ParallelEncoders, PngIsTheSameForAnyThreadCountAndReadsBack) {
    std::mt19937 random(26);
    for (const Size& size : sizes) {
        for (Kind kind : {Grey, GreyAlpha, Rgb, RgbAlpha}) {
            SCOPED_TRACE(testing::Message() << size.width << " x " << size.height << " " << kindNames[kind]
                                            << ": " << size.what);
            const ImagePtr image = randomImage(random, size.width, size.height, kind);
            const Bytes file = encodeWith(*image, 1);
            ASSERT_GT(file.size(), 33u);
            EXPECT_EQ(file[25], (Bytes{png::Grey, png::GreyAlpha, png::Rgb, png::RgbAlpha}[kind]));
            for (unsigned threads : comparedThreadCounts())
                ASSERT_EQ(encodeWith(*image, threads), file) << threads << " threads";
            // Every row is filtered as one pass over the image filters it, whatever band it falls in.
            EXPECT_EQ(inflatedData(file, (std::size_t{size.width} * kindChannels[kind] + 1) * size.height),
                      serialFilteredRows(*image, kind));
            // The file holds the image's straight colour: the library reads it back (checking the chunks'
            // CRCs and the stream's Adler-32), and the program's own reader premultiplies it again.
            const Bytes straight = straightPixels(*image);
            EXPECT_EQ(decodeWithLibrary(file), straight);
            const ImagePtr back = decodeOwn(file);
            ASSERT_NE(back, nullptr);
            Bytes again(straight.size());
            premultiplyPixels(straight.data(), straight.size() / 4, again.data(), ChannelOrder::Rgba);
            EXPECT_EQ(Bytes(back->pixels.get(), back->pixels.get() + again.size()), again);
        }
    }
}

TEST(ParallelEncoders, PngOfOneBandIsTheSerialWritersFile) {
    std::mt19937 random(3);
    const Size oneBand[] = {{1, 1, ""},     {2, 1, ""},      {1, 2, ""},    {64, 64, ""},  {173, 91, ""},
                            {500, 520, ""}, {262143, 1, ""}, {1, 1000, ""}, {700, 374, ""}};
    for (const Size& size : oneBand) {
        for (Kind kind : {Grey, GreyAlpha, Rgb, RgbAlpha}) {
            // Keep to one band: 1 MiB of filtered rows at most, or a single row.
            const std::uint64_t filteredRow = std::uint64_t{size.width} * kindChannels[kind] + 1;
            if (std::max<std::uint64_t>(1, (std::uint64_t{1} << 20) / filteredRow) < size.height)
                continue;
            SCOPED_TRACE(testing::Message() << size.width << " x " << size.height << " " << kindNames[kind]);
            const ImagePtr image = randomImage(random, size.width, size.height, kind);
            EXPECT_EQ(encodeWith(*image, 2), serialReference(*image, kind));
        }
    }
}

// The WebP library's own threads (one beside the caller's, for the alpha plane and the first analysis)
// leave the bytes as they are.
TEST(ParallelEncoders, WebpIsTheSameForAnyThreadCount) {
    std::mt19937 random(5);
    const Size webpSizes[] = {{1, 1, ""}, {1, 300, ""}, {300, 1, ""}, {257, 190, ""}, {1024, 600, ""}};
    for (const Size& size : webpSizes) {
        for (Kind kind : {Rgb, RgbAlpha}) {
            const ImagePtr image = randomImage(random, size.width, size.height, kind);
            for (int quality : {0, 80}) {
                SCOPED_TRACE(testing::Message() << size.width << " x " << size.height << " "
                                                << kindNames[kind] << " quality " << quality);
                const Bytes file = encodeWith(*image, 1, quality);
                ASSERT_GT(file.size(), 12u);
                for (unsigned threads : {2u, 3u, 7u})
                    EXPECT_EQ(encodeWith(*image, threads, quality), file) << threads << " threads";
            }
        }
    }
}

} // namespace
