// The table of formats: files of formats the program does not read are refused by name, never by the TGA
// reader, while every TGA file still reaches it; the prefixes choose one format each.

#include "formats/image_file.h"
#include "formats/image_formats.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> values, std::size_t padTo = 64) {
    std::vector<std::uint8_t> b;
    for (const int v : values)
        b.push_back(static_cast<std::uint8_t>(v));
    b.resize(std::max(b.size(), padTo), 0x11);
    return b;
}

std::vector<std::uint8_t> text(const std::string& s, std::size_t padTo = 64) {
    std::vector<std::uint8_t> b(s.begin(), s.end());
    b.resize(std::max(b.size(), padTo), ' ');
    return b;
}

// A 48 x 48 icon: the directory of one entry, then (not checked) its image.
std::vector<std::uint8_t> icon(int entryBits = 32, int offset = 22) {
    return bytes({0, 0, 1, 0, 1, 0, 48, 48, 0, 0, 1, 0, entryBits, 0, 0x68, 0x25, 0, 0, offset, 0, 0, 0},
                 200);
}

TEST(FormatTable, FilesOfUnreadFormatsAreRefusedByName) {
    const struct {
        std::vector<std::uint8_t> file;
        const char* reason;
    } cases[] = {
        {icon(), "ICO files are not supported"},
        {bytes({'8', 'B', 'P', 'S', 0, 1}), "PSD files are not supported"},
        {text("%PDF-1.7\n"), "PDF files are not supported"},
        {text("%!PS-Adobe-3.0 EPSF-3.0\n"), "PostScript files are not supported"},
        {text("<svg xmlns=\"http://www.w3.org/2000/svg\">"), "SVG files are not supported"},
        {text("<?xml version=\"1.0\"?>\n<!-- drawn -->\n<svg>"), "SVG files are not supported"},
        {bytes({0xFF, 0x0A, 0xFA}), "JPEG XL files are not supported"},
        {bytes({0, 0, 0, 12, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A}), "JPEG XL files are not supported"},
        {bytes({0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A}),
         "JPEG 2000 files are not supported"},
        {bytes({0xFF, 0x4F, 0xFF, 0x51}), "JPEG 2000 files are not supported"},
        {bytes({0x76, 0x2F, 0x31, 0x01, 2, 0, 0, 0}), "OpenEXR files are not supported"},
        {text("FUJIFILMCCD-RAW 0201"), "camera raw files are not supported"},
        {bytes({'I', 'I', 'R', 'O', 8, 0, 0, 0}), "camera raw files are not supported"},
        {bytes({'I', 'I', 'U', 0, 8, 0, 0, 0}), "camera raw files are not supported"},
        {bytes({'I', 'I', 0x1A, 0, 0, 0, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R'}),
         "camera raw files are not supported"},
        {bytes({0, 0, 0, 24, 'f', 't', 'y', 'p', 'c', 'r', 'x', ' '}), "camera raw files are not supported"},
        {text("qoif"), "QOI files are not supported"},
        {text("gimp xcf v011"), "XCF files are not supported"},
    };
    for (const auto& c : cases) {
        const LoadResult r = decodeImageFile(c.file.data(), c.file.size());
        EXPECT_EQ(r.image, nullptr) << c.reason;
        EXPECT_EQ(r.reason, c.reason);
    }
}

// Near misses go on to the other readers as before: an icon whose directory is not consistent, text that
// is not an SVG document, a PDF marker that is not at the start.
TEST(FormatTable, NearMissesAreNotTakenByName) {
    const std::vector<std::uint8_t> cases[] = {
        icon(3),                   // 3 bits a pixel
        icon(32, 6),               // the image inside the directory
        bytes({0, 0, 1, 0, 0, 0}), // no image
        text("<?xml version=\"1.0\"?><html>"),
        text(" %PDF-1.4"),
    };
    for (const auto& file : cases) {
        const LoadResult r = decodeImageFile(file.data(), file.size());
        EXPECT_EQ(r.reason.find("not supported"), std::string::npos) << r.reason;
    }
}

// No signature taken by name, and none of a format read, starts a TGA file: every TGA file of the tests and
// of the third-party corpus reaches the TGA reader.
TEST(FormatTable, NoSignatureMatchesATgaFile) {
    int files = 0;
    for (const fs::path& folder :
         {sourceDir() / "tests" / "data", sourceDir() / "tests" / "data" / "corpus"}) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() != ".tga")
                continue;
            const std::string file = readFile(entry.path());
            const auto* head = reinterpret_cast<const std::uint8_t*>(file.data());
            for (const ImageFormat& format : imageFormats())
                EXPECT_FALSE(format.matches != nullptr && format.matches(head, file.size()))
                    << entry.path() << " taken for " << format.name;
            ++files;
        }
    }
    EXPECT_GT(files, 20);
}

TEST(FormatTable, EveryPrefixChoosesOneFormatThatWrites) {
    std::vector<std::string> seen;
    for (const ImageFormat& format : imageFormats()) {
        std::istringstream words(format.prefixes);
        for (std::string word; words >> word;) {
            EXPECT_EQ(std::find(seen.begin(), seen.end(), word), seen.end()) << word;
            seen.push_back(word);
            EXPECT_EQ(formatByPrefix(word.c_str(), word.size()), &format);
            std::string upper = word;
            for (char& c : upper)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            EXPECT_EQ(formatByPrefix(upper.c_str(), upper.size()), &format);
            EXPECT_NE(format.encode, nullptr) << word;
        }
        if (format.encode != nullptr) {
            EXPECT_NE(std::string(format.prefixes), "") << format.name;
        }
    }
    EXPECT_EQ(formatByPrefix("jp", 2), nullptr);
}

} // namespace

namespace {

// The batch driver runs the files whose extensions the program reads, and no others: its list is the table's.
TEST(FormatTable, TheBatchDriverTakesTheExtensionsReadFromTheTable) {
    const std::string driver = readFile(sourceDir() / "examples" / "batch" / "run.sh");
    const std::size_t start = driver.find("declare -A written_as=(");
    ASSERT_NE(start, std::string::npos);
    const std::string table = driver.substr(start, driver.find("\n)", start) - start);
    std::set<std::string> driverExtensions;
    for (std::size_t at = table.find('['); at != std::string::npos; at = table.find('[', at + 1))
        driverExtensions.insert(table.substr(at + 1, table.find(']', at) - at - 1));
    std::set<std::string> read;
    std::istringstream words(readableExtensions());
    for (std::string word; words >> word;)
        read.insert(word);
    EXPECT_EQ(driverExtensions, read);
}

} // namespace

namespace {

// The reference's tables name every format the table holds: each format read or refused in the read
// section's table, each prefix in the write section's.
TEST(FormatTable, TheReferenceNamesEveryFormatAndPrefix) {
    const std::string reference = readFile(sourceDir() / "docs" / "language.md");
    const std::size_t read = reference.find("\n## read\n");
    const std::size_t write = reference.find("\n## write\n");
    const std::size_t after = reference.find("\n## ", write + 1);
    ASSERT_NE(read, std::string::npos);
    ASSERT_NE(write, std::string::npos);
    // The table of formats read: from its heading row to the first line after it that is not a row.
    const std::size_t table = reference.find("| Format | Recognised by |", read);
    ASSERT_LT(table, write);
    const std::string readSection = reference.substr(table, reference.find("\n\n", table) - table);
    const std::string writeSection = reference.substr(write, after - write);
    for (const ImageFormat& format : imageFormats()) {
        if (format.matches != nullptr) {
            // "| PNG |", or one of several names in the first column ("| HEIF, AVIF |", "| ICO, PSD, ...").
            std::string name = format.name;
            const std::size_t slash = name.find('/');
            if (slash != std::string::npos)
                name = name.substr(0, slash);
            bool named = false;
            std::istringstream lines(readSection);
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind("| ", 0) == 0 &&
                    line.substr(2, line.find(" |", 1) - 2).find(name) != std::string::npos)
                    named = true;
            }
            EXPECT_TRUE(named) << format.name;
        }
        std::istringstream words(format.prefixes);
        for (std::string word; words >> word;)
            EXPECT_NE(writeSection.find("`" + word + ":`"), std::string::npos) << word;
    }
}

} // namespace
