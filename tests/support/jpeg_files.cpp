#include "tests/support/jpeg_files.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <jpeglib.h>
#include <stdexcept>
#include <string>

namespace {

// The files here are all valid; an error is a fault of the test itself.
[[noreturn]] void abortOnError(j_common_ptr cinfo) {
    char message[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, message);
    std::fprintf(stderr, "libjpeg in a test: %s\n", message);
    std::abort();
}

int componentsOf(JpegKind kind) {
    switch (kind) {
    case JpegKind::Grey:
        return 1;
    case JpegKind::Cmyk:
    case JpegKind::CmykPlain:
    case JpegKind::Ycck:
        return 4;
    default:
        return 3;
    }
}

// Gradients in different directions per channel, plus a little noise.
Bytes samplePattern(unsigned width, unsigned height, int components) {
    Bytes out(std::size_t{width} * height * static_cast<unsigned>(components));
    std::uint32_t noise = 12345;
    std::size_t i = 0;
    for (unsigned y = 0; y < height; ++y)
        for (unsigned x = 0; x < width; ++x)
            for (int c = 0; c < components; ++c) {
                noise = noise * 1103515245u + 12345u;
                const unsigned base = (x * 255 / width) * static_cast<unsigned>(c + 1) + y * 255 / height * 2;
                out[i++] = static_cast<std::uint8_t>(base + (noise >> 28));
            }
    return out;
}

void setColourSpace(jpeg_compress_struct& cinfo, JpegKind kind) {
    switch (kind) {
    case JpegKind::Grey:
        jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
        break;
    case JpegKind::Colour444:
        cinfo.comp_info[0].h_samp_factor = 1;
        cinfo.comp_info[0].v_samp_factor = 1;
        break;
    case JpegKind::Colour420:
        break;
    case JpegKind::Progressive:
        jpeg_simple_progression(&cinfo);
        break;
    case JpegKind::Cmyk:
        jpeg_set_colorspace(&cinfo, JCS_CMYK);
        break;
    case JpegKind::CmykPlain:
        jpeg_set_colorspace(&cinfo, JCS_CMYK);
        cinfo.write_Adobe_marker = FALSE;
        break;
    case JpegKind::Ycck:
        jpeg_set_colorspace(&cinfo, JCS_YCCK);
        break;
    }
}

// Compresses the pixels (1, 3 or 4 bytes each: grey, RGB or CMYK) with the library's defaults, changed
// by `configure`.
Bytes compress(const Bytes& pixels, unsigned width, unsigned height, int components,
               const std::function<void(jpeg_compress_struct&)>& configure) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    err.error_exit = abortOnError;
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = components;
    cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    configure(cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    const std::size_t stride = std::size_t{width} * static_cast<unsigned>(components);
    while (cinfo.next_scanline < height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels.data() + cinfo.next_scanline * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes file(out, out + size);
    std::free(out);
    return file;
}

} // namespace

Bytes makeJpeg(JpegKind kind, unsigned width, unsigned height, int quality) {
    const int components = componentsOf(kind);
    return compress(samplePattern(width, height, components), width, height, components,
                    [&](jpeg_compress_struct& cinfo) {
                        jpeg_set_quality(&cinfo, quality, TRUE);
                        setColourSpace(cinfo, kind);
                    });
}

namespace {

// The most bits a successive-approximation scan may leave out of an 8-bit file's coefficients.
constexpr int maxPointTransform = 10;

// A scan of `component` (-1: all three, DC only) over coefficients ss..se, coding bit al and up; a
// refinement of bit al when ah is not 0.
jpeg_scan_info scan(int component, int ss, int se, int ah, int al) {
    jpeg_scan_info s{};
    s.comps_in_scan = component < 0 ? 3 : 1;
    for (int i = 0; i < s.comps_in_scan; ++i)
        s.component_index[i] = component < 0 ? i : component;
    s.Ss = ss;
    s.Se = se;
    s.Ah = ah;
    s.Al = al;
    return s;
}

// A coefficient band first with its top bits, then each lower bit in a refinement scan of its own.
void addBitByBit(std::vector<jpeg_scan_info>& scans, int component, int ss, int se) {
    scans.push_back(scan(component, ss, se, 0, maxPointTransform));
    for (int bit = maxPointTransform; bit > 0; --bit)
        scans.push_back(scan(component, ss, se, bit, bit - 1));
}

} // namespace

Bytes makeJpegWithManyScans() {
    std::vector<jpeg_scan_info> scans;
    addBitByBit(scans, -1, 0, 0);
    for (int component = 0; component < 3; ++component)
        for (int k = 1; k < DCTSIZE2; ++k)
            addBitByBit(scans, component, k, k);
    return compress(samplePattern(8, 8, 3), 8, 8, 3, [&](jpeg_compress_struct& cinfo) {
        cinfo.comp_info[0].h_samp_factor = cinfo.comp_info[0].v_samp_factor = 1;
        cinfo.scan_info = scans.data();
        cinfo.num_scans = static_cast<int>(scans.size());
    });
}

JpegSamples libraryDecode(const Bytes& file) {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    err.error_exit = abortOnError;
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), file.size());
    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.jpeg_color_space == JCS_YCCK)
        cinfo.out_color_space = JCS_CMYK;
    jpeg_start_decompress(&cinfo);
    JpegSamples s;
    s.width = cinfo.output_width;
    s.height = cinfo.output_height;
    s.components = cinfo.output_components;
    s.adobe = cinfo.saw_Adobe_marker != FALSE;
    const std::size_t stride = std::size_t{s.width} * static_cast<unsigned>(s.components);
    s.samples.resize(stride * s.height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = s.samples.data() + cinfo.output_scanline * stride;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return s;
}

void writeBytes(const char* path, const Bytes& bytes) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0)
        throw std::runtime_error(std::string("cannot write ") + path);
}
