// The colour profile, EXIF and XMP through the PNG, JPEG and WebP readers and writers: kept byte for byte
// from a written file to the read one, placed where readers look for them, left out where the profile would
// not describe the pixels written or a block is too large, and never in the way of the pixels.

#include "formats/codecs.h"
#include "formats/png_chunks.h"
#include "image/straight_colour.h"
#include "system/memory_budget.h"
#include "tests/support/exec.h"
#include "tests/support/icc_profiles.h"
#include "tests/support/jpeg_files.h"
#include "tests/support/png_files.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <isa-l/igzip_lib.h>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

enum class Format { Png, Jpeg, WebpLossy, WebpLossless };

const char* nameOf(Format f) {
    switch (f) {
    case Format::Png:
        return "png";
    case Format::Jpeg:
        return "jpeg";
    case Format::WebpLossy:
        return "webp lossy";
    case Format::WebpLossless:
        return "webp lossless";
    }
    return "";
}

Bytes encode(Format format, const Image& image) {
    char name[] = "/tmp/metadata_write_XXXXXX";
    const int fd = ::mkstemp(name);
    bool ok = false;
    switch (format) {
    case Format::Png:
        ok = encodePng(image, fd);
        break;
    case Format::Jpeg:
        ok = encodeJpeg(image, 90, fd);
        break;
    case Format::WebpLossy:
        ok = encodeWebp(image, 80, fd);
        break;
    case Format::WebpLossless:
        ok = encodeWebp(image, 0, fd);
        break;
    }
    EXPECT_TRUE(ok);
    Bytes out(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(::pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    ::close(fd);
    ::unlink(name);
    return out;
}

struct Decoded {
    ImagePtr image;
    FoundMetadata found;
    std::string reason;
};

Decoded decode(const Bytes& file) {
    Decoded d;
    ByteSource source(file.data(), file.size());
    source.peek(ByteSource::peekLimit);
    if (matchesPng(source.data(), file.size()))
        d.image = decodePng(source, d.reason, d.found);
    else if (matchesJpeg(source.data(), file.size()))
        d.image = decodeJpeg(source, d.reason, d.found);
    else
        d.image = decodeWebp(source, d.reason, d.found);
    return d;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// An EXIF block as a camera writes it, big-endian, with one entry (orientation 1).
const Bytes exifBlock = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 1, 0x12, 0,
                         3,   0,   0, 0,  1, 0, 1, 0, 0, 0, 0, 0,    0};
const Bytes xmpPacket = text("<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
                             "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                             "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"/></x:xmpmeta>"
                             "<?xpacket end=\"w\"?>");

// A 3 x 2 picture of distinct colours; `alpha` makes two pixels translucent.
ImagePtr picture(bool alpha) {
    return makeImage(3, 2, [alpha](std::uint32_t x, std::uint32_t y) -> Rgba {
        const auto r = static_cast<std::uint8_t>(40 + 80 * x);
        const auto g = static_cast<std::uint8_t>(200 - 90 * y);
        const auto b = static_cast<std::uint8_t>(30 + 50 * (x + y));
        if (!alpha || x != 1)
            return {r, g, b, 255};
        const std::uint8_t a = y == 0 ? 128 : 0;
        return {premultiplyFormula(r, a), premultiplyFormula(g, a), premultiplyFormula(b, a), a};
    });
}

ImagePtr greyPicture(bool alpha) {
    return makeImage(3, 2, [alpha](std::uint32_t x, std::uint32_t y) -> Rgba {
        const auto v = static_cast<std::uint8_t>(30 + 60 * x + 20 * y);
        return alpha && x == 2 ? Rgba{0, 0, 0, 0} : Rgba{v, v, v, 255};
    });
}

ImagePtr with(ImagePtr image, Bytes icc, Bytes exif, Bytes xmp) {
    image->metadata = makeMetadata(std::move(icc), std::move(exif), std::move(xmp));
    return image;
}

// ---- Round trips ----

TEST(FormatMetadata, EveryBlockComesBackByteForByteFromEveryFormat) {
    const Bytes icc = srgbProfileBytes();
    struct Blocks {
        const char* name;
        Bytes icc, exif, xmp;
    };
    const Blocks sets[] = {{"all three", icc, exifBlock, xmpPacket},
                           {"profile only", icc, {}, {}},
                           {"EXIF only", {}, exifBlock, {}},
                           {"XMP only", {}, {}, xmpPacket}};
    for (Format format : {Format::Png, Format::Jpeg, Format::WebpLossy, Format::WebpLossless}) {
        for (bool alpha : {false, true}) {
            const Bytes plainFile = encode(format, *picture(alpha));
            const Decoded plain = decode(plainFile);
            ASSERT_NE(plain.image, nullptr) << plain.reason;
            for (const Blocks& set : sets) {
                SCOPED_TRACE(testing::Message()
                             << nameOf(format) << (alpha ? " with alpha, " : ", ") << set.name);
                const Decoded back =
                    decode(encode(format, *with(picture(alpha), set.icc, set.exif, set.xmp)));
                ASSERT_NE(back.image, nullptr) << back.reason;
                EXPECT_EQ(back.found.icc, set.icc);
                EXPECT_EQ(back.found.exif, set.exif);
                EXPECT_EQ(back.found.xmp, set.xmp);
                EXPECT_TRUE(back.found.notes.empty());
                // The blocks change nothing of the pixels.
                EXPECT_EQ(bytesOf(*back.image), bytesOf(*plain.image));
            }
        }
    }
}

TEST(FormatMetadata, AFileWithoutBlocksItCanCarryIsTheFileWithoutMetadata) {
    // A profile of a space the pixels are not written in is left out, and then nothing is left to write.
    Bytes cmyk = srgbProfileBytes();
    std::memcpy(cmyk.data() + 16, "CMYK", 4);
    for (Format format : {Format::Png, Format::Jpeg, Format::WebpLossy, Format::WebpLossless}) {
        SCOPED_TRACE(nameOf(format));
        EXPECT_EQ(encode(format, *with(picture(true), cmyk, {}, {})), encode(format, *picture(true)));
    }
}

// ---- The profile describes the pixels written ----

std::uint8_t pngColourType(const Bytes& file) {
    return file.at(png::signatureSize + 8 + 9);
}

TEST(FormatMetadata, APngProfileAlwaysDescribesThePixelsWritten) {
    const Bytes rgb = srgbProfileBytes();
    const Bytes grey = greyProfileBytes();
    Bytes lab = rgb;
    std::memcpy(lab.data() + 16, "Lab ", 4);
    struct Case {
        const char* name;
        ImagePtr (*image)(bool);
        bool alpha;
        const Bytes* profile;
        std::uint8_t colourType;
        bool kept;
    };
    const Case cases[] = {
        {"grey pixels, RGB profile: written in colour", greyPicture, false, &rgb, png::Rgb, true},
        {"grey pixels with alpha, RGB profile", greyPicture, true, &rgb, png::RgbAlpha, true},
        {"grey pixels, grey profile", greyPicture, false, &grey, png::Grey, true},
        {"grey pixels with alpha, grey profile", greyPicture, true, &grey, png::GreyAlpha, true},
        {"colour pixels, grey profile: dropped", picture, false, &grey, png::Rgb, false},
        {"colour pixels, RGB profile", picture, true, &rgb, png::RgbAlpha, true},
        {"grey pixels, Lab profile: dropped", greyPicture, false, &lab, png::Grey, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = encode(Format::Png, *with(c.image(c.alpha), *c.profile, exifBlock, {}));
        EXPECT_EQ(pngColourType(file), c.colourType);
        const Decoded back = decode(file);
        ASSERT_NE(back.image, nullptr) << back.reason;
        EXPECT_EQ(back.found.icc, c.kept ? *c.profile : Bytes{});
        EXPECT_EQ(back.found.exif, exifBlock);
        const Decoded plain = decode(encode(Format::Png, *c.image(c.alpha)));
        EXPECT_EQ(bytesOf(*back.image), bytesOf(*plain.image));
    }
}

// WebP files are RGB, and so are JPEG files of colour pictures: a grey profile is left out. A grey picture is
// written to JPEG with one grey component, which the grey profile describes, so it is kept there.
TEST(FormatMetadata, JpegAndWebpKeepOnlyProfilesOfThePixelsWritten) {
    const Bytes grey = greyProfileBytes();
    for (Format format : {Format::Jpeg, Format::WebpLossy, Format::WebpLossless}) {
        SCOPED_TRACE(nameOf(format));
        for (const bool greyPixels : {false, true}) {
            const ImagePtr image = greyPixels ? greyPicture(false) : picture(false);
            const Decoded back = decode(encode(format, *with(cloneImage(*image), grey, exifBlock, {})));
            ASSERT_NE(back.image, nullptr) << back.reason;
            EXPECT_EQ(back.found.icc.empty(), !(greyPixels && format == Format::Jpeg)) << greyPixels;
            EXPECT_EQ(back.found.exif, exifBlock);
        }
    }
}

// ---- PNG: both readers, any place, compressed or not ----

Bytes chunk(const char (&type)[5], const Bytes& data) {
    Bytes out(8 + data.size() + 4);
    png::writeBigEndian32(out.data(), static_cast<std::uint32_t>(data.size()));
    png::writeBigEndian32(out.data() + 4, png::chunkType(type));
    for (std::size_t i = 0; i < data.size(); ++i)
        out[8 + i] = data[i];
    png::writeBigEndian32(out.data() + 8 + data.size(),
                          png::crc32(png::crc32(0, out.data() + 4, 4), data.data(), data.size()));
    return out;
}

// A zlib stream of `data`, by the fast compressor's level 0 (its own Huffman tables, unlike the writer's).
Bytes zlibCompressed(const Bytes& data) {
    const auto stream = std::make_unique<isal_zstream>();
    isal_deflate_init(stream.get());
    stream->level = 0;
    stream->gzip_flag = IGZIP_ZLIB;
    stream->end_of_stream = 1;
    Bytes input = data;
    input.resize(data.size() + 64); // the compressor reads a little past its input
    stream->next_in = input.data();
    stream->avail_in = static_cast<std::uint32_t>(data.size());
    Bytes out(data.size() + data.size() / 8 + 1024);
    stream->next_out = out.data();
    stream->avail_out = static_cast<std::uint32_t>(out.size());
    EXPECT_EQ(isal_deflate(stream.get()), COMP_OK);
    EXPECT_EQ(stream->internal_state.state, ZSTATE_END);
    out.resize(out.size() - stream->avail_out);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes iccpData(const Bytes& profile) {
    return concat({text("a profile"), {0, 0}, zlibCompressed(profile)});
}
Bytes xmpData(const Bytes& packet, bool compressed) {
    return concat({text("XML:com.adobe.xmp"),
                   {0, compressed ? std::uint8_t{1} : std::uint8_t{0}, 0},
                   text("en"),
                   {0},
                   text("XMP"),
                   {0},
                   compressed ? zlibCompressed(packet) : packet});
}

// The file with `before` right after the header chunk and `after` right before the end chunk.
Bytes withChunks(const Bytes& file, const Bytes& before, const Bytes& after) {
    const auto afterHeader = static_cast<std::ptrdiff_t>(png::signatureSize + 8 + png::ihdrSize + 4);
    const auto end = static_cast<std::ptrdiff_t>(file.size()) - 12;
    return concat({Bytes(file.begin(), file.begin() + afterHeader), before,
                   Bytes(file.begin() + afterHeader, file.begin() + end), after,
                   Bytes(file.begin() + end, file.end())});
}

TEST(PngMetadata, BothReadersFindTheBlocksWhereverTheyLie) {
    const Bytes icc = wideRgbProfileBytes();
    // 8-bit files are read by the program's own reader, 16-bit and interlaced ones through the library.
    struct Variant {
        const char* name;
        std::uint8_t depth;
        bool interlaced;
    };
    const Variant variants[] = {{"8-bit", 8, false}, {"16-bit", 16, false}, {"interlaced", 8, true}};
    for (const Variant& v : variants) {
        PngLayout layout;
        layout.width = 5;
        layout.height = 3;
        layout.colourType = png::Rgb;
        layout.depth = v.depth;
        layout.interlaced = v.interlaced;
        layout.samples.resize(pngRowBytes(layout) * layout.height);
        for (std::size_t i = 0; i < layout.samples.size(); ++i)
            layout.samples[i] = static_cast<std::uint8_t>(i * 37);
        const Bytes plainFile = encodeWithLibrary(layout);
        const Decoded plain = decode(plainFile);
        ASSERT_NE(plain.image, nullptr) << plain.reason;
        // An iTXt chunk of other text, which is passed over, before the packet.
        const Bytes otherText = chunk("iTXt", concat({text("Comment"), {0, 0, 0, 0, 0}, text("hello")}));
        for (bool compressed : {false, true}) {
            for (bool afterData : {false, true}) {
                SCOPED_TRACE(testing::Message() << v.name << (compressed ? ", compressed packet" : "")
                                                << (afterData ? ", after the image data" : ""));
                const Bytes blocks =
                    concat({chunk("iCCP", iccpData(icc)), otherText,
                            chunk("iTXt", xmpData(xmpPacket, compressed)), chunk("eXIf", exifBlock)});
                const Bytes file =
                    afterData ? withChunks(plainFile, {}, blocks) : withChunks(plainFile, blocks, {});
                const Decoded back = decode(file);
                ASSERT_NE(back.image, nullptr) << back.reason;
                EXPECT_EQ(back.found.icc, icc);
                EXPECT_EQ(back.found.exif, exifBlock);
                EXPECT_EQ(back.found.xmp, xmpPacket);
                EXPECT_EQ(bytesOf(*back.image), bytesOf(*plain.image));
            }
        }
        {
            SCOPED_TRACE(testing::Message() << v.name << ", broken blocks");
            // A profile stream that does not inflate, a packet whose header has no end, and an EXIF block
            // with JPEG's prefix: the pixels are read, the broken blocks left out, the prefix dropped.
            Bytes badStream = iccpData(icc);
            badStream[13] ^= 0xFF;
            const Bytes blocks = concat({chunk("iCCP", badStream), chunk("iTXt", text("XML:com.adobe.xmp")),
                                         chunk("eXIf", concat({text("Exif"), {0, 0}, exifBlock}))});
            const Decoded back = decode(withChunks(plainFile, blocks, {}));
            ASSERT_NE(back.image, nullptr) << back.reason;
            EXPECT_TRUE(back.found.icc.empty());
            EXPECT_TRUE(back.found.xmp.empty());
            EXPECT_EQ(back.found.exif, exifBlock);
            EXPECT_EQ(bytesOf(*back.image), bytesOf(*plain.image));
        }
    }
}

TEST(PngMetadata, ABlockOverTheCapIsLeftOutWithANote) {
    const Bytes file = encode(Format::Png, *picture(false));
    const Bytes large(metadataBlockCap + 1, 'x');
    struct Case {
        const char* name;
        Bytes chunks;
        const char* note;
    };
    const Case cases[] = {
        {"plain EXIF", chunk("eXIf", large), "EXIF block of 16777217 bytes left out"},
        {"compressed XMP", chunk("iTXt", xmpData(large, true)), "XMP packet of 16777217 bytes left out"},
        {"compressed profile", chunk("iCCP", iccpData(large)), "ICC profile of 16777217 bytes left out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded back = decode(withChunks(file, concat({c.chunks, chunk("eXIf", exifBlock)}), {}));
        ASSERT_NE(back.image, nullptr) << back.reason;
        ASSERT_EQ(back.found.notes.size(), 1u);
        EXPECT_EQ(back.found.notes[0].rfind(c.note, 0), 0u) << back.found.notes[0];
        EXPECT_TRUE(back.found.icc.empty());
        EXPECT_TRUE(back.found.xmp.empty());
    }
    // A block at the cap is kept.
    const Bytes atCap(metadataBlockCap, 'x');
    const Decoded back = decode(withChunks(file, chunk("iTXt", xmpData(atCap, true)), {}));
    ASSERT_NE(back.image, nullptr) << back.reason;
    EXPECT_EQ(back.found.xmp, atCap);
}

TEST(PngMetadata, ABlockTheBudgetRefusesFailsTheReadingAsOutOfMemory) {
    const Bytes block(std::size_t{4} << 20, 'x');
    PngLayout layout;
    layout.depth = 16; // the library's path, where the refusal must come back through the library
    layout.samples.resize(pngRowBytes(layout));
    for (const Bytes& file : {withChunks(encode(Format::Png, *picture(false)), chunk("eXIf", block), {}),
                              withChunks(encodeWithLibrary(layout), chunk("eXIf", block), {})}) {
        setImageMemoryLimit(std::size_t{2} << 20);
        EXPECT_THROW(decode(file), std::bad_alloc);
        setImageMemoryLimit(std::nullopt);
    }
}

// ---- JPEG: markers ----

// The file with `markers` right after its start marker.
Bytes withMarkers(const Bytes& file, const Bytes& markers) {
    return concat({Bytes(file.begin(), file.begin() + 2), markers, Bytes(file.begin() + 2, file.end())});
}

Bytes iccMarker(std::uint8_t number, std::uint8_t count, const Bytes& piece) {
    const std::size_t length = 2 + 12 + 2 + piece.size();
    return concat({{0xFF, 0xE2, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)},
                   text("ICC_PROFILE"),
                   {0, number, count},
                   piece});
}

// How many markers of `code` the file has before its image data.
std::size_t markerCount(const Bytes& file, std::uint8_t code) {
    std::size_t count = 0;
    for (std::size_t at = 2; at + 4 <= file.size() && file[at + 1] != 0xDA;) {
        count += file[at + 1] == code ? 1u : 0u;
        at += 2 + (std::size_t{file[at + 2]} << 8 | file[at + 3]);
    }
    return count;
}

TEST(JpegMetadata, ALargeProfileIsSplitOverMarkersAndJoinedAgain) {
    // The reader does not look inside the profile: any bytes do, with the RGB space the writer keeps.
    Bytes profile(140000);
    for (std::size_t i = 0; i < profile.size(); ++i)
        profile[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    std::memcpy(profile.data() + 16, "RGB ", 4);
    const Bytes file = encode(Format::Jpeg, *with(picture(false), profile, exifBlock, xmpPacket));
    EXPECT_EQ(markerCount(file, 0xE2), 3u);
    EXPECT_EQ(markerCount(file, 0xE1), 2u);
    // EXIF right after the JFIF marker, then the profile, then XMP.
    const std::size_t exifAt = 2 + 2 + (std::size_t{file[4]} << 8 | file[5]);
    EXPECT_EQ(file[exifAt + 1], 0xE1);
    EXPECT_EQ(std::memcmp(file.data() + exifAt + 4, "Exif", 4), 0);
    const Decoded back = decode(file);
    ASSERT_NE(back.image, nullptr) << back.reason;
    EXPECT_EQ(back.found.icc, profile);
    EXPECT_EQ(back.found.exif, exifBlock);
    EXPECT_EQ(back.found.xmp, xmpPacket);
}

TEST(JpegMetadata, ProfileMarkersJoinInTheirOrderAndABrokenSequenceIsLeftOut) {
    const Bytes file = makeJpeg(JpegKind::Colour444, 8, 8);
    const Bytes a = text("first piece "), b = text("second "), c = text("third");
    struct Case {
        const char* name;
        Bytes markers;
        Bytes profile; // empty: left out with a note
    };
    const Case cases[] = {
        {"in order", concat({iccMarker(1, 3, a), iccMarker(2, 3, b), iccMarker(3, 3, c)}), concat({a, b, c})},
        {"shuffled", concat({iccMarker(3, 3, c), iccMarker(1, 3, a), iccMarker(2, 3, b)}), concat({a, b, c})},
        {"one missing", concat({iccMarker(1, 3, a), iccMarker(3, 3, c)}), {}},
        {"one twice", concat({iccMarker(1, 2, a), iccMarker(1, 2, a), iccMarker(2, 2, b)}), {}},
        {"counts differ", concat({iccMarker(1, 2, a), iccMarker(2, 3, b)}), {}},
        {"number 0", concat({iccMarker(0, 1, a)}), {}},
        {"number past the count", concat({iccMarker(1, 1, a), iccMarker(2, 1, b)}), {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const Decoded back = decode(withMarkers(file, k.markers));
        ASSERT_NE(back.image, nullptr) << back.reason;
        EXPECT_EQ(back.found.icc, k.profile);
        EXPECT_EQ(back.found.notes.size(), k.profile.empty() ? 1u : 0u);
    }
}

TEST(JpegMetadata, BlocksTooLargeForTheirMarkersAreLeftOut) {
    Bytes exifMost(65533 - 6, 1), xmpMost(65533 - 29, 2);
    Bytes exifOver(exifMost.size() + 1, 1), xmpOver(xmpMost.size() + 1, 2);
    // The most a profile can be is 255 markers' worth.
    Bytes iccMost(std::size_t{255} * 65519, 3), iccOver(iccMost.size() + 1, 3);
    std::memcpy(iccMost.data() + 16, "RGB ", 4);
    std::memcpy(iccOver.data() + 16, "RGB ", 4);
    const Decoded most = decode(encode(Format::Jpeg, *with(picture(false), iccMost, exifMost, xmpMost)));
    ASSERT_NE(most.image, nullptr) << most.reason;
    EXPECT_EQ(most.found.icc, iccMost);
    EXPECT_EQ(most.found.exif, exifMost);
    EXPECT_EQ(most.found.xmp, xmpMost);
    const Decoded over = decode(encode(Format::Jpeg, *with(picture(false), iccOver, exifOver, xmpOver)));
    ASSERT_NE(over.image, nullptr) << over.reason;
    EXPECT_TRUE(over.found.icc.empty());
    EXPECT_TRUE(over.found.exif.empty());
    EXPECT_TRUE(over.found.xmp.empty());
}

TEST(JpegMetadata, MarkerBytesCountInTheBudget) {
    // 255 markers of 64 KiB each: the reader holds them until the profile is whole.
    Bytes markers;
    for (unsigned i = 1; i <= 255; ++i) {
        const Bytes marker = iccMarker(static_cast<std::uint8_t>(i), 255, Bytes(65000, 9));
        markers.insert(markers.end(), marker.begin(), marker.end());
    }
    const Bytes file = withMarkers(makeJpeg(JpegKind::Colour444, 8, 8), markers);
    setImageMemoryLimit(std::size_t{4} << 20);
    EXPECT_THROW(decode(file), std::bad_alloc);
    setImageMemoryLimit(std::nullopt);
    const Decoded back = decode(file);
    ASSERT_NE(back.image, nullptr) << back.reason;
    EXPECT_EQ(back.found.icc.size(), 255u * 65000u);
}

TEST(JpegMetadata, ACmykFileIsReadThroughItsCmykProfile) {
    const Bytes profile = cmykProfileBytes();
    for (JpegKind kind : {JpegKind::Cmyk, JpegKind::CmykPlain, JpegKind::Ycck}) {
        SCOPED_TRACE(static_cast<int>(kind));
        const Bytes plainFile = makeJpeg(kind, 16, 8);
        const Decoded plain = decode(plainFile);
        ASSERT_NE(plain.image, nullptr) << plain.reason;
        const Decoded back = decode(withMarkers(plainFile, iccMarker(1, 1, profile)));
        ASSERT_NE(back.image, nullptr) << back.reason;
        EXPECT_TRUE(back.found.icc.empty()); // it described the CMYK, not the colour read
        EXPECT_TRUE(back.found.notes.empty());
        // The profile's grid is the plain rule seen through Lab and sRGB: close to it, not equal.
        const Bytes through = bytesOf(*back.image);
        const Bytes rule = bytesOf(*plain.image);
        int most = 0;
        for (std::size_t i = 0; i < rule.size(); ++i)
            most = std::max(most, std::abs(int{through[i]} - int{rule[i]}));
        EXPECT_GT(most, 0);
        EXPECT_LE(most, 12);
        // An RGB profile does not describe CMYK: the plain rule, and the profile left out with a note.
        const Decoded rgb = decode(withMarkers(plainFile, iccMarker(1, 1, srgbProfileBytes())));
        ASSERT_NE(rgb.image, nullptr) << rgb.reason;
        EXPECT_EQ(bytesOf(*rgb.image), rule);
        EXPECT_TRUE(rgb.found.icc.empty());
        EXPECT_EQ(rgb.found.notes.size(), 1u);
    }
}

// ---- WebP: chunks ----

struct RiffChunk {
    std::string fourcc;
    std::size_t size;
};

std::vector<RiffChunk> riffChunks(const Bytes& file) {
    std::vector<RiffChunk> out;
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const std::size_t size = std::size_t{file[at + 4]} | std::size_t{file[at + 5]} << 8 |
                                 std::size_t{file[at + 6]} << 16 | std::size_t{file[at + 7]} << 24;
        out.push_back({std::string(file.begin() + static_cast<std::ptrdiff_t>(at),
                                   file.begin() + static_cast<std::ptrdiff_t>(at) + 4),
                       size});
        at += 8 + size + (size & 1);
    }
    return out;
}

TEST(WebpMetadata, ChunksComeInTheirOrderWithTheirFlags) {
    struct Case {
        Format format;
        bool alpha;
        std::vector<std::string> order;
        std::uint8_t flags;
    };
    const Case cases[] = {
        {Format::WebpLossy, false, {"VP8X", "ICCP", "VP8 ", "EXIF", "XMP "}, 0x20 | 0x08 | 0x04},
        {Format::WebpLossy,
         true,
         {"VP8X", "ICCP", "ALPH", "VP8 ", "EXIF", "XMP "},
         0x20 | 0x10 | 0x08 | 0x04},
        {Format::WebpLossless, false, {"VP8X", "ICCP", "VP8L", "EXIF", "XMP "}, 0x20 | 0x08 | 0x04},
        {Format::WebpLossless, true, {"VP8X", "ICCP", "VP8L", "EXIF", "XMP "}, 0x20 | 0x10 | 0x08 | 0x04},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << nameOf(c.format) << (c.alpha ? " with alpha" : ""));
        const Bytes file =
            encode(c.format, *with(picture(c.alpha), srgbProfileBytes(), exifBlock, xmpPacket));
        std::vector<std::string> order;
        for (const RiffChunk& chunk : riffChunks(file))
            order.push_back(chunk.fourcc);
        EXPECT_EQ(order, c.order);
        EXPECT_EQ(file.at(20), c.flags);
        // The canvas: width - 1 and height - 1.
        EXPECT_EQ(file.at(24), 2);
        EXPECT_EQ(file.at(27), 1);
    }
}

// A VP8X file of the given chunks after the image of `simple` (a file of one VP8L chunk).
Bytes extended(const Bytes& simple, const Bytes& chunks) {
    const Bytes image(simple.begin() + 12, simple.end());
    const Bytes vp8x = {'V', 'P', '8', 'X', 10, 0, 0, 0, 0x0C, 0, 0, 0, 2, 0, 0, 1, 0, 0};
    const Bytes body = concat({text("WEBP"), vp8x, image, chunks});
    const auto size = static_cast<std::uint32_t>(body.size());
    return concat({text("RIFF"),
                   {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                    static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)},
                   body});
}

Bytes riffChunk(const char (&fourcc)[5], const Bytes& data) {
    const auto size = static_cast<std::uint32_t>(data.size());
    Bytes out = concat({Bytes(fourcc, fourcc + 4),
                        {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                         static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)},
                        data});
    if (size % 2 != 0)
        out.push_back(0);
    return out;
}

TEST(WebpMetadata, TheReaderTakesTheFirstOfEachAndDropsAnExifPrefix) {
    const Bytes simple = encode(Format::WebpLossless, *picture(false));
    const Bytes odd = text("odd packet"); // an odd size, padded
    const Bytes file =
        extended(simple, concat({riffChunk("EXIF", concat({text("Exif"), {0, 0}, exifBlock})),
                                 riffChunk("XMP ", concat({odd, {'x'}})), riffChunk("XMP ", xmpPacket),
                                 riffChunk("EXIF", text("second"))}));
    const Decoded back = decode(file);
    ASSERT_NE(back.image, nullptr) << back.reason;
    EXPECT_EQ(back.found.exif, exifBlock);
    EXPECT_EQ(back.found.xmp, concat({odd, {'x'}}));
    EXPECT_TRUE(back.found.icc.empty());
}

TEST(WebpMetadata, ABlockOverTheCapIsLeftOutWithANote) {
    const Bytes simple = encode(Format::WebpLossless, *picture(false));
    const Decoded back = decode(extended(
        simple, concat({riffChunk("EXIF", Bytes(metadataBlockCap + 1, 'x')), riffChunk("XMP ", xmpPacket)})));
    ASSERT_NE(back.image, nullptr) << back.reason;
    EXPECT_TRUE(back.found.exif.empty());
    EXPECT_EQ(back.found.xmp, xmpPacket);
    ASSERT_EQ(back.found.notes.size(), 1u);
    EXPECT_EQ(back.found.notes[0].rfind("EXIF block of 16777217 bytes left out", 0), 0u);
}

} // namespace
