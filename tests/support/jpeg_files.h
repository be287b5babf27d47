#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// JPEG files built in memory with libjpeg directly, and the library's own decoding of them, for the
// reader's tests and the fuzz seeds.

using Bytes = std::vector<std::uint8_t>;

enum class JpegKind {
    Grey,
    Colour444,   // YCbCr without chroma subsampling
    Colour420,   // YCbCr with both chroma planes halved each way
    Progressive, // YCbCr 4:2:0, progressive
    Cmyk,        // CMYK with the Adobe marker (values stored inverted)
    CmykPlain,   // CMYK without the Adobe marker
    Ycck,        // YCCK, which needs the Adobe marker
};

// A width x height file of `kind` with smooth gradients and some noise, so that every channel and every
// block differs.
Bytes makeJpeg(JpegKind kind, unsigned width, unsigned height, int quality = 90);

// A valid progressive 4:4:4 colour file of 8 x 8 pixels with 2090 scans: every AC coefficient of each
// component in a scan of its own, refined one bit at a time.
Bytes makeJpegWithManyScans();

// The samples as the library decodes them by default, in the file's own colour space: grey (1 byte a
// pixel), RGB (3) for YCbCr, or CMYK (4) for CMYK and YCCK, as the library delivers them.
struct JpegSamples {
    unsigned width = 0;
    unsigned height = 0;
    int components = 0;
    bool adobe = false; // the file has the Adobe marker
    Bytes samples;
};
JpegSamples libraryDecode(const Bytes& file);

// Writes `bytes` to the file at `path`.
void writeBytes(const char* path, const Bytes& bytes);
