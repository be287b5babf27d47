// The work a progressive JPEG file may ask of the decoder: bounded by the image's size, so that a small
// file of many scans over a large image is refused quickly, while the usual progressive files read.

#include "formats/image_file.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <vector>

namespace {

// A smooth colour picture (4:2:0) of w x h with the library's usual progression, or with `perCoefficient`:
// four successive-approximation passes over every AC coefficient of each component on its own (760 scans).
std::vector<std::uint8_t> progressiveJpeg(unsigned w, unsigned h, bool perCoefficient) {
    jpeg_compress_struct c{};
    jpeg_error_mgr errors{};
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = w;
    c.image_height = h;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    std::vector<jpeg_scan_info> scans;
    if (perCoefficient) {
        for (int al = 3; al >= 0; --al)
            scans.push_back({3, {0, 1, 2, 0}, 0, 0, al == 3 ? 0 : al + 1, al});
        for (int al = 3; al >= 0; --al)
            for (int component = 0; component < 3; ++component)
                for (int k = 1; k <= 63; ++k)
                    scans.push_back({1, {component, 0, 0, 0}, k, k, al == 3 ? 0 : al + 1, al});
        c.scan_info = scans.data();
        c.num_scans = static_cast<int>(scans.size());
    } else {
        jpeg_simple_progression(&c);
    }
    jpeg_start_compress(&c, TRUE);
    std::vector<JSAMPLE> row(std::size_t{w} * 3);
    while (c.next_scanline < c.image_height) {
        for (unsigned x = 0; x < w; ++x)
            for (unsigned k = 0; k < 3; ++k)
                row[3 * x + k] = static_cast<JSAMPLE>((x * (k + 1) + c.next_scanline) / 37);
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<std::uint8_t> file(buffer, buffer + size);
    jpeg_destroy_compress(&c);
    std::free(buffer);
    return file;
}

TEST(JpegScans, ManyScansOverALargeImageAreRefusedTheUsualProgressionReads) {
    const struct {
        unsigned side;
        bool perCoefficient;
        bool reads;
    } cases[] = {
        {4096, false, true}, // 10 scans: about six visits of each block
        {4096, true, false}, // 760 scans: refused long before their end
        {256, true, true},   // the same scans over a small image cost little, and read
        {1024, false, true},
    };
    for (const auto& c : cases) {
        const std::vector<std::uint8_t> file = progressiveJpeg(c.side, c.side, c.perCoefficient);
        const LoadResult loaded = decodeImageFile(file.data(), file.size());
        if (c.reads) {
            EXPECT_NE(loaded.image, nullptr) << c.side << " " << c.perCoefficient << ": " << loaded.reason;
        } else {
            EXPECT_EQ(loaded.image, nullptr) << c.side << " " << c.perCoefficient;
            EXPECT_EQ(loaded.reason, "JPEG: too many scans");
        }
    }
}

} // namespace
