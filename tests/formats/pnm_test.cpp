#include "formats/image_file.h"
#include "formats/pnm_header.h"
#include "image/straight_colour.h"
#include "system/byte_source.h"
#include "system/memory_budget.h"
#include "tests/support/exec.h"
#include "tests/support/process.h"
#include "tests/support/tga_file.h"

#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <random>

namespace {

using Pixels = std::vector<Rgba>;

LoadResult decodeText(const std::string& file) {
    return decodeImageFile(reinterpret_cast<const std::uint8_t*>(file.data()), file.size());
}

Pixels pixelsOf(const Image& image) {
    Pixels out;
    for (std::uint32_t y = 0; y < image.height; ++y)
        for (std::uint32_t x = 0; x < image.width; ++x)
            out.push_back(pixelAt(image, x, y));
    return out;
}

Pixels greys(std::initializer_list<int> values) {
    Pixels out;
    for (const int v : values)
        out.push_back(
            {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v), 255});
    return out;
}

Rgba premultiplied(int r, int g, int b, int a) {
    auto c = [a](int v) {
        return premultiplyFormula(static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(a));
    };
    return {c(r), c(g), c(b), static_cast<std::uint8_t>(a)};
}

std::string pam(std::uint32_t w, std::uint32_t h, std::size_t depth, int maxval,
                const std::string& tupleLine) {
    return "P7\nWIDTH " + std::to_string(w) + "\nHEIGHT " + std::to_string(h) + "\nDEPTH " +
           std::to_string(depth) + "\nMAXVAL " + std::to_string(maxval) + "\n" + tupleLine + "ENDHDR\n";
}

TEST(PnmReader, DecodesEveryVariant) {
    const struct {
        std::string file;
        std::uint32_t width;
        Pixels expected;
    } cases[] = {
        {"P1\n# c\n3 2\n1 0#x\n1\n010", 3, greys({0, 255, 0, 255, 0, 255})}, // digits run together
        {std::string("P4 10 2\n\x80\x7F\x00\xC0", 12), 10,                   // rows padded to a byte
         greys({0, 255, 255, 255, 255, 255, 255, 255, 255, 0, 255, 255, 255, 255, 255, 255, 255, 255, 0, 0})},
        {"P2 3 1 15 0 7 15 ", 3, greys({0, 119, 255})},
        {"P2\n2 1\n65535\n32768 65535\n", 2, greys({128, 255})},
        {"P3 2 1 1\n1 0 1 0 1 1\n", 2, {{255, 0, 255, 255}, {0, 255, 255, 255}}},
        {"P5 2 1 255\n\x07\xF0P5 1 1 255\n\x01", 2, greys({7, 240})}, // a second image is ignored
        {std::string("P5 3 1 256\n\x01\x00\x00\x80\x00\x01", 17), 3, greys({255, 128, 1})},
        {std::string("P6 1 1 65535\n\xFF\xFF\x00\x00\x80\x00", 19), 1, {{255, 0, 128, 255}}},
        {"P6#a\n1#b\n#c\n 1\t#d\r255\n\x01\x02\x03", 1, {{1, 2, 3, 255}}},
        {pam(1, 1, 1, 255, "TUPLTYPE GRAYSCALE\n") + "\x50", 1, greys({80})},
        {pam(1, 1, 2, 255, "TUPLTYPE GRAYSCALE_ALPHA\n") + "\xC8\x64",
         1,
         {premultiplied(200, 200, 200, 100)}},
        {pam(1, 1, 3, 255, "TUPLTYPE RGB\n") + "\x01\x02\x03", 1, {{1, 2, 3, 255}}},
        {pam(1, 1, 4, 255, "TUPLTYPE RGB_ALPHA\n") + "\xC3\x10\xFF\x11",
         1,
         {premultiplied(195, 16, 255, 17)}},
        {pam(2, 1, 1, 1, "TUPLTYPE BLACKANDWHITE\n") + std::string("\x00\x01", 2), 2, greys({0, 255})},
        {pam(2, 1, 2, 1, "TUPLTYPE BLACKANDWHITE_ALPHA\n") + std::string("\x01\x00\x01\x01", 4),
         2,
         {{0, 0, 0, 0}, {255, 255, 255, 255}}},
        {pam(1, 1, 2, 65535, "# note\n\n  \r\n") + std::string("\xFF\xFF\x80\x00", 4),
         1,
         {premultiplied(255, 255, 255, 128)}},
        {pam(1, 1, 3, 15, "") + std::string("\x0F\x00\x08", 3), 1, {{255, 0, 136, 255}}},
        {"P7\r\n WIDTH\t1 \r\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR \r\n\x09", 1, greys({9})},
    };
    for (const auto& c : cases) {
        const LoadResult result = decodeText(c.file);
        ASSERT_NE(result.image, nullptr) << testing::PrintToString(c.file) << ": " << result.reason;
        EXPECT_EQ(result.image->width, c.width) << testing::PrintToString(c.file);
        EXPECT_EQ(pixelsOf(*result.image), c.expected) << testing::PrintToString(c.file);
    }
}

TEST(PnmReader, ScalesEverySampleToTheNearest8BitValue) {
    for (const std::uint32_t maxval : {1u, 2u, 3u, 15u, 100u, 254u, 256u, 1000u, 4095u, 65534u, 65535u}) {
        std::string raw = "P5 " + std::to_string(maxval + 1) + " 1 " + std::to_string(maxval) + "\n";
        std::string plain = "P2 " + std::to_string(maxval + 1) + " 1 " + std::to_string(maxval) + "\n";
        Pixels expected;
        for (std::uint32_t v = 0; v <= maxval; ++v) {
            if (maxval > 255)
                raw += static_cast<char>(v >> 8);
            raw += static_cast<char>(v & 255);
            plain += std::to_string(v) + (v % 2 == 0 ? "\n" : " #c\n");
            const auto g = static_cast<std::uint8_t>(std::lround(v * 255.0 / maxval));
            expected.push_back({g, g, g, 255});
        }
        for (const std::string& file : {raw, plain}) {
            const LoadResult result = decodeText(file);
            ASSERT_NE(result.image, nullptr) << maxval << ": " << result.reason;
            EXPECT_EQ(pixelsOf(*result.image), expected) << "maxval " << maxval << ", " << file.substr(0, 2);
        }
    }
}

// ---- The same straight pixels in a PNM file and in a TGA file load to the same image ----

std::string tgaOf(std::uint32_t w, std::uint32_t h, const Pixels& straight) {
    TgaFile f;
    f.width = static_cast<std::uint16_t>(w);
    f.height = static_cast<std::uint16_t>(h);
    f.pixelDepth = 32;
    f.descriptor = TgaDescriptor::topFirstBit | 8;
    for (const Rgba& p : straight)
        f.add({p[2], p[1], p[0], p[3]});
    return f.str();
}

Rgba asIs(Rgba p) {
    return p;
}
Rgba opaque(Rgba p) {
    return {p[0], p[1], p[2], 255};
}
Rgba grey(Rgba p) {
    return {p[0], p[0], p[0], p[3]};
}
Rgba opaqueGrey(Rgba p) {
    return {p[0], p[0], p[0], 255};
}

// A kind of file for straight pixels, which `project` first makes representable in it (grey, opaque): its
// magic, the tuple-type line of a P7 file, the channels it stores (0 red to 3 alpha), its maxval (255, or
// 65535 with two-byte samples v * 257) and whether its samples are text.
struct Variant {
    std::string magic, tupleLine;
    Rgba (*project)(Rgba);
    std::vector<std::size_t> channels;
    int maxval;
    bool text;
};
const Variant variants[] = {
    {"P7", "TUPLTYPE RGB_ALPHA\n", asIs, {0, 1, 2, 3}, 255, false},
    {"P7", "", asIs, {0, 1, 2, 3}, 65535, false},
    {"P7", "TUPLTYPE GRAYSCALE_ALPHA\n", grey, {0, 3}, 255, false},
    {"P7", "TUPLTYPE RGB\n", opaque, {0, 1, 2}, 255, false},
    {"P7", "TUPLTYPE GRAYSCALE\n", opaqueGrey, {0}, 255, false},
    {"P6", "", opaque, {0, 1, 2}, 255, false},
    {"P6", "", opaque, {0, 1, 2}, 65535, false},
    {"P3", "", opaque, {0, 1, 2}, 255, true},
    {"P5", "", opaqueGrey, {0}, 255, false},
    {"P2", "", opaqueGrey, {0}, 65535, true},
};

std::string fileOf(const Variant& v, std::uint32_t w, std::uint32_t h, const Pixels& pixels) {
    const std::string size =
        std::to_string(w) + " " + std::to_string(h) + " " + std::to_string(v.maxval) + "\n";
    std::string out =
        v.magic == "P7" ? pam(w, h, v.channels.size(), v.maxval, v.tupleLine) : v.magic + " " + size;
    for (const Rgba& p : pixels)
        for (const std::size_t c : v.channels) {
            const unsigned sample = v.maxval == 65535 ? p[c] * 257u : p[c];
            if (v.text)
                out += std::to_string(sample) + " ";
            else if (v.maxval == 65535)
                out += {static_cast<char>(sample >> 8), static_cast<char>(sample)};
            else
                out += static_cast<char>(sample);
        }
    return out;
}

// Straight pixels with every alpha the conversions treat apart (0, 255) and any other.
Pixels randomPixels(std::size_t n, std::mt19937& random) {
    Pixels out(n);
    for (Rgba& p : out) {
        for (auto& c : p)
            c = static_cast<std::uint8_t>(random());
        const unsigned kind = random() % 4;
        p[3] = kind == 0 ? 0 : kind == 1 ? 255 : p[3];
    }
    return out;
}

TEST(PnmReader, LoadsTheSameImageAsATgaFileOfTheSameStraightPixels) {
    std::mt19937 random(7);
    TempDir dir;
    // Sizes around the reader's pieces of 4096 pixels, and one larger than the input's 1 MiB blocks.
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
        {1, 1}, {5, 3}, {4095, 2}, {4097, 2}, {4501, 70}};
    for (const auto& [w, h] : sizes) {
        const Pixels straight = randomPixels(std::size_t{w} * h, random);
        for (const Variant& v : variants) {
            Pixels projected;
            for (const Rgba& p : straight)
                projected.push_back(v.project(p));
            const std::string tga = tgaOf(w, h, projected);
            const ImagePtr expected =
                decodeTga(reinterpret_cast<const std::uint8_t*>(tga.data()), tga.size());
            const std::string file = fileOf(v, w, h, projected);
            const LoadResult fromMemory = decodeText(file);
            ASSERT_NE(fromMemory.image, nullptr)
                << v.magic << v.tupleLine << v.maxval << " " << w << "x" << h << ": " << fromMemory.reason;
            EXPECT_TRUE(bytesOf(*fromMemory.image) == bytesOf(*expected))
                << v.magic << v.tupleLine << v.maxval << " " << w << "x" << h;
            writeFile(dir / "in", file);
            const LoadResult fromFile = loadImageFile((dir / "in").c_str());
            ASSERT_NE(fromFile.image, nullptr)
                << v.magic << v.tupleLine << v.maxval << ": " << fromFile.reason;
            EXPECT_TRUE(bytesOf(*fromFile.image) == bytesOf(*expected))
                << v.magic << v.tupleLine << v.maxval << " " << w << "x" << h << " from a file";
        }
    }
}

// ---- Writing ----

// The image read back from a file written under `name`; an empty image when either step fails.
ImagePtr roundTrip(const Image& image, const std::string& name) {
    EXPECT_EQ(saveImageFile(name.c_str(), image), "");
    const std::size_t colon = name.find(':');
    LoadResult result = loadImageFile(name.c_str() + (colon == std::string::npos ? 0 : colon + 1));
    EXPECT_NE(result.image, nullptr) << name << ": " << result.reason;
    return result.image ? std::move(result.image) : createImage(0, 0);
}

Rgba straightensToGrey(Rgba p) {
    return {200, 210, 220, std::clamp<std::uint8_t>(p[3], 1, 199)};
}

TEST(PnmWriter, WriteThenReadGivesWhatTheTgaFileGives) {
    std::mt19937 random(11);
    TempDir dir;
    const std::string tgaPath = (dir / "ref.tga").string();
    const struct {
        const char* name;
        Rgba (*pixel)(Rgba);      // from random premultiplied bytes
        std::optional<Rgba> last; // the last pixel, when it differs from the others
        const char* tupleType;
    } images[] = {
        {"opaque grey", opaqueGrey, std::nullopt, "GRAYSCALE\n"},
        {"grey with alpha", grey, std::nullopt, "GRAYSCALE_ALPHA\n"},
        {"colours that straighten to grey", straightensToGrey, std::nullopt, "GRAYSCALE_ALPHA\n"},
        {"opaque colour", opaque, std::nullopt, "RGB\n"},
        {"colour with alpha", asIs, std::nullopt, "RGB_ALPHA\n"},
        {"opaque grey but the last pixel", opaqueGrey, Rgba{9, 9, 9, 200}, "GRAYSCALE_ALPHA\n"},
        {"opaque grey but the last pixel", opaqueGrey, Rgba{9, 8, 9, 255}, "RGB\n"},
        {"opaque colour but the last pixel", opaque, Rgba{9, 8, 7, 254}, "RGB_ALPHA\n"},
    };
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{1, 1}, {3, 7}, {16500, 2}};
    for (const auto& image : images) {
        for (const auto& size : sizes) {
            const std::uint32_t w = size.first;
            const std::uint32_t h = size.second;
            // The first pixel is coloured and translucent, so that each image is of the kind its name says.
            const ImagePtr source = makeImage(w, h, [&](std::uint32_t x, std::uint32_t y) {
                if (image.last && x == w - 1 && y == h - 1)
                    return *image.last;
                return image.pixel(x + y == 0 ? Rgba{10, 20, 30, 100} : randomPixels(1, random)[0]);
            });
            const ImagePtr viaTga = roundTrip(*source, tgaPath);
            const std::string tga = readFile(tgaPath);
            const ImagePtr viaPam = roundTrip(*source, "pam:" + (dir / "out.pam").string());
            EXPECT_TRUE(bytesOf(*viaPam) == bytesOf(*viaTga)) << image.name << " " << w;
            EXPECT_NE(readFile(dir / "out.pam").find("TUPLTYPE " + std::string(image.tupleType)),
                      std::string::npos)
                << image.name;

            // The TGA file's straight pixels without alpha, and their grey value (red, green, blue weighted
            // by the single-precision 0.21, 0.72, 0.07, summed in double precision and rounded to single).
            Pixels straight, luminance;
            const std::size_t start = TgaHeader::size + static_cast<std::uint8_t>(tga[0]);
            for (std::size_t i = start; i < start + std::size_t{w} * h * 4; i += 4) {
                const auto b = static_cast<std::uint8_t>(tga[i]), g = static_cast<std::uint8_t>(tga[i + 1]),
                           r = static_cast<std::uint8_t>(tga[i + 2]);
                straight.push_back({r, g, b, 255});
                const auto l = static_cast<std::uint8_t>(
                    static_cast<float>(r * double{0.21f} + g * double{0.72f} + b * double{0.07f}));
                luminance.push_back({l, l, l, 255});
            }
            const ImagePtr viaPpm = roundTrip(*source, "ppm:" + (dir / "out.ppm").string());
            const ImagePtr viaPgm = roundTrip(*source, "pgm:" + (dir / "out.pgm").string());
            flipRows(*viaPpm); // the TGA file holds its bottom row first
            flipRows(*viaPgm);
            EXPECT_EQ(pixelsOf(*viaPpm), straight) << image.name << " " << w;
            EXPECT_EQ(pixelsOf(*viaPgm), luminance) << image.name << " " << w;
        }
    }
}

TEST(PnmWriter, HeadersAreExactAndGreyKeepsItsValue) {
    TempDir dir;
    const ImagePtr ramp = makeImage(256, 1, [](std::uint32_t x, std::uint32_t) {
        const auto g = static_cast<std::uint8_t>(x);
        return Rgba{g, g, g, 255};
    });
    std::string values;
    for (int v = 0; v < 256; ++v)
        values += static_cast<char>(v);
    const struct {
        std::string name, expected;
    } files[] = {
        {"pgm:", "P5\n256 1\n255\n" + values},
        {"pam:", pam(256, 1, 1, 255, "TUPLTYPE GRAYSCALE\n") + values},
    };
    for (const auto& f : files) {
        ASSERT_EQ(saveImageFile((f.name + (dir / "out").string()).c_str(), *ramp), "");
        EXPECT_TRUE(readFile(dir / "out") == f.expected) << f.name;
    }
    const ImagePtr one = makeImage(1, 1, [](std::uint32_t, std::uint32_t) { return Rgba{9, 8, 7, 255}; });
    ASSERT_EQ(saveImageFile(("ppm:" + (dir / "out").string()).c_str(), *one), "");
    EXPECT_EQ(readFile(dir / "out"), "P6\n1 1\n255\n\x09\x08\x07");
}

// ---- Files that are not PNM, and PNM files that cannot be read ----

// Every file that starts with `P` and a digit is PNM (no file of the fallback format starts so): one whose
// header is not valid is refused as PNM, with the problem named, not left to the fallback reader.
TEST(PnmReader, AFileThatStartsAsPnmIsRefusedAsPnm) {
    const std::string early = "PNM: file ends early", bad = "PNM: bad header";
    const struct {
        std::string file, reason;
    } cases[] = {
        {"P6\n12", early},
        {"P6 1 1 255", early},
        {"P1 1 1", early},
        {"P4\n1 1", early},
        {"P6 1 1 # comment never ends", early},
        {pam(1, 1, 4, 255, "").substr(0, 40), early},
        {"P6 0 5 255\n", bad},
        {"P6 5 0 255\n", bad},
        {"P6 -5 5 255\n", bad},
        {"P6 1 1 0\n", bad},
        {"P6 1 1 65536\n", bad},
        {"P6 2147483648 1 255\n", bad},
        {"P6 4294967296 1 255\n", bad},
        {"P6 99999999999999999999 1 255\n", bad},
        {"P612 1 255\n", bad},
        {"P6 1 1 255#c\n", bad},
        {"P6 1x 1 255\n", bad},
        {"P8 1 1 255\n", bad},
        {"P0 1 1\n", bad},
        {"P9\n", bad},
        {"P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nENDHDR\n", bad},
        {"P7\nWIDTH 1\nHEIGHT 1\nDEPTH 0\nMAXVAL 255\nENDHDR\n", bad},
        {"P7\nWIDTH 4294967297\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR\n", bad},
        {"P7 332\n#XVVERSION:Version 2.28\n#IMGINFO:1x1 RGB\n#END_OF_COMMENTS\n1 1 255\n" +
             std::string(5000, '\x01'),
         bad},
        {"P7\nWIDTH 1\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 1\nENDHDR\n", bad},
        {"P7\nWIDTH 1x\nHEIGHT 1\nDEPTH 1\nMAXVAL 1\nENDHDR\n", bad},
        {"P7\nSIZE 1\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 1\nENDHDR\n" + std::string(5000, 'x'), bad},
        {"P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 1\nENDHDR 2\n", bad},
        {"P5\n#" + std::string(pnmHeaderLimit, 'x') + "\n2 1\n255\nab", "PNM: header too long"},
        {"P5 " + std::string(pnmHeaderLimit, ' ') + "2 1\n255\nab", "PNM: header too long"},
        {"P5 1 1 " + std::string(8000, '9') + "\n1 255\nab", bad},
    };
    for (const auto& c : cases) {
        const LoadResult result = decodeText(c.file);
        EXPECT_EQ(result.image, nullptr) << c.file.substr(0, 60);
        EXPECT_EQ(result.reason, c.reason) << c.file.substr(0, 60);
    }
    // Files that do not start so are left to the fallback reader.
    for (const std::string file : {"PX 1 1 255\n", "p6 1 1 255\n", "P", " P6 1 1 255\n"}) {
        const std::string tgaReason =
            (decodeTga(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()),
             tgaErrorMessage(static_cast<std::uint32_t>(TgaError)));
        EXPECT_EQ(decodeText(file).reason, tgaReason) << file;
    }
}

// A header is read however long its comments and whitespace, within its limit, and the pixels start right
// after its last byte, from memory and from a file.
TEST(PnmReader, LongCommentsAndBlankLinesInAHeaderAreRead) {
    const std::string comment(100'000, 'x');
    const struct {
        std::string file;
        Pixels pixels;
    } cases[] = {
        {"P5\n#" + comment + "\n2 1\n255\n\x10\x20", greys({16, 32})},
        {"P5#" + comment + "\r2#c\n#d\n1 255\n\x10\x20", greys({16, 32})},
        {"P6\n" + std::string(ByteSource::peekLimit, '\n') + "1 1 255\n\x01\x02\x03", {{1, 2, 3, 255}}},
        {"P2 2 1 255 # " + comment + "\n 7 8\n", greys({7, 8})},
        {"P7\n#" + comment + "\n" + std::string(70'000, '\n') +
             "  WIDTH 2\nHEIGHT 1\n  # x\nDEPTH 1\nMAXVAL 255\n   ENDHDR\n\x03\x04",
         greys({3, 4})},
        {"P5\n#" + std::string(pnmHeaderLimit - 16, 'x') + "\n2 1\n255\n\x10\x20", greys({16, 32})},
        {[] {
             std::string many = "P5 1";
             for (int i = 0; i < 5000; ++i)
                 many += "#c\n";
             return many + "1 255\n\x10";
         }(),
         greys({16})},
    };
    for (const auto& c : cases) {
        const LoadResult result = decodeText(c.file);
        ASSERT_NE(result.image, nullptr) << c.file.substr(0, 40) << ": " << result.reason;
        EXPECT_EQ(pixelsOf(*result.image), c.pixels) << c.file.substr(0, 40);
    }
    TempDir dir;
    writeFile(dir / "long.pgm", cases[0].file);
    const LoadResult fromFile = loadImageFile((dir / "long.pgm").string().c_str());
    ASSERT_NE(fromFile.image, nullptr) << fromFile.reason;
    EXPECT_EQ(pixelsOf(*fromFile.image), cases[0].pixels);
}

TEST(PnmReader, RefusesBadSamplesAndUnsupportedTuples) {
    const struct {
        std::string file, reason;
    } cases[] = {
        {"P1 2 1\n0 2", "PNM: bad sample"},
        {"P2 2 1 255\n0 x", "PNM: bad sample"},
        {"P2 2 1 255\n0 -1", "PNM: bad sample"},
        {"P2 1 1 255\n256 ", "PNM: sample above maxval"},
        {"P2 1 1 255\n4294967296\n", "PNM: sample above maxval"},
        {"P5 2 1 15\n\x0F\x10", "PNM: sample above maxval"},
        {std::string("P5 2 1 256\n\x01\x00\x01\x01", 15), "PNM: sample above maxval"},
        {pam(1, 1, 1, 1, "TUPLTYPE BLACKANDWHITE\n") + "\x02", "PNM: sample above maxval"},
        {pam(1, 1, 4, 255, "TUPLTYPE CMYK\n") + "abcd", "PNM: unsupported tuple type CMYK"},
        {pam(1, 1, 4, 255, "TUPLTYPE RGB\n") + "abcd", "PNM: unsupported depth 4"},
        {pam(1, 1, 2, 255, "TUPLTYPE RGB\n") + "ab", "PNM: unsupported depth 2"},
        {pam(1, 1, 1, 255, "TUPLTYPE GRAYSCALE_ALPHA\n") + "a", "PNM: unsupported depth 1"},
        {pam(1, 1, 1, 255, "TUPLTYPE BLACKANDWHITE\n") + "a", "PNM: unsupported maxval 255"},
        {pam(1, 1, 4, 255, "TUPLTYPE RGB\nTUPLTYPE _ALPHA\n") + "abcd",
         "PNM: unsupported tuple type RGB _ALPHA"},
        {pam(1, 1, 2, 255, "TUPLTYPE \x01\xFF" + std::string(50, 'A') + "\n") + "ab",
         "PNM: unsupported tuple type ??" + std::string(38, 'A') + "..."},
        {pam(1, 1, 5, 255, "") + "abcde", "PNM: unsupported depth 5"},
    };
    for (const auto& c : cases) {
        const LoadResult result = decodeText(c.file);
        EXPECT_EQ(result.image, nullptr) << c.file;
        EXPECT_EQ(result.reason, c.reason) << c.file;
    }
}

TEST(PnmReader, RefusesAFileCutAnywhereBeforeItsLastSample) {
    const std::string files[] = {
        "P1 3 2\n1 0 1\n0 1 0\n",
        std::string("P4 10 2\n\x80\x7F\x00\xC0", 12),
        "P2 2 2 255\n1 2\n3 4\n",
        "P3 1 2 65535\n1 2 3 4 5 6\n",
        "P3\n2 2\n255\n1 2 3 4 5 6 7 8 9 10 11 12\n",
        "P5 3 1 255\nabc",
        "P6 1 2 65535\nabcdefghijkl",
        pam(2, 1, 2, 255, "TUPLTYPE GRAYSCALE_ALPHA\n") + "abcd",
        pam(1, 1, 4, 255, "") + "abcd",
    };
    for (const std::string& file : files) {
        const std::size_t header = file[1] == '7' ? file.find("ENDHDR\n") + 7 : file.find('\n') + 1;
        // A plain file must end with something other than a digit after its last sample, which could
        // otherwise have been cut short ("12" read as "1"); but P1's samples are single digits.
        const std::size_t end = file[1] == '1' ? file.find_last_not_of("\n ") + 1 : file.size();
        for (std::size_t n = 0; n < end; ++n) {
            const LoadResult result = decodeText(file.substr(0, n));
            EXPECT_EQ(result.image, nullptr) << file.substr(0, 2) << " cut to " << n;
            if (n >= header) {
                EXPECT_EQ(result.reason, "PNM: file ends early") << file.substr(0, 2) << " cut to " << n;
            }
        }
        EXPECT_NE(decodeText(file).image, nullptr) << file.substr(0, 2);
    }
}

TEST(PnmReader, AHugeDeclaredSizeIsRefusedBeforeItsPixelsAreAllocated) {
    const std::uint64_t held = imageBytesHeld();
    setImageMemoryLimit(held + (std::uint64_t{64} << 20));
    const std::string huge[] = {"P6\n100000 100000\n255\nabc", "P4 2147483647 2147483647\nab",
                                "P1 60000 60000\n1", pam(2147483647, 2147483647, 4, 65535, "") + "abcdefgh"};
    for (const std::string& file : huge) {
        EXPECT_THROW(decodeText(file), std::bad_alloc) << file.substr(0, 30);
        EXPECT_EQ(imageBytesHeld(), held);
    }
    EXPECT_EQ(decodeText("P5 4000 4000 255\nabc").reason, "PNM: file ends early");
    setImageMemoryLimit(std::nullopt);
}

// A file cut short, and one too large to be held: one line each (the messages are pinned by the script
// cases tests/e2e/files/pnm.script and geometry/resize.script), and the variable keeps its image.
TEST(PnmReader, AFailedReadIsReportedOnItsLineAndTheVariableKeepsItsImage) {
    TempDir dir;
    writeFile(dir / "cut.ppm", "P6 2 2 255\nabcdef");
    writeFile(dir / "huge.ppm", "P6 2000000000 2000000000 255\nabcdef");
    ScriptContext ctx;
    ctx.setImage(0, createImage(2, 2));
    const Image* before = ctx.imageAt(0);
    for (const char* file : {"cut.ppm", "huge.ppm"}) {
        EXPECT_EQ(lineCount(runLineCaptured(ctx, "read a " + (dir / file).string())), 1u) << file;
        EXPECT_EQ(ctx.imageAt(0), before) << file;
    }
}

} // namespace
