#include "formats/codecs.h"
#include "formats/jpeg_library.h"

#include "system/memory_budget.h"

#include <algorithm>
#include <jerror.h>

namespace {

// ---- Input: the ByteSource's buffered bytes, handed to the library where they lie ----

struct SourceManager {
    jpeg_source_mgr pub; // what the library sees; must stay the first member
    ByteSource* bytes;
    std::size_t handed; // how many bytes the last refill gave the library
};

SourceManager& sourceOf(j_decompress_ptr cinfo) {
    return *reinterpret_cast<SourceManager*>(cinfo->src);
}

void initSource(j_decompress_ptr) {}
void termSource(j_decompress_ptr) {}

// Called when the library has read every byte it was last given: consumes them and gives it the next
// ones. (The library may call it with the record's count out of date, so the count is not looked at.)
// Past the end of the data the file has ended early, which fails the decoding; libjpeg's own sources
// would make up an end marker and go on with a grey remainder.
boolean fillInput(j_decompress_ptr cinfo) {
    SourceManager& s = sourceOf(cinfo);
    s.bytes->advance(s.handed);
    s.handed = 0;
    const std::size_t n = s.bytes->available();
    if (n == 0)
        ERREXIT(cinfo, JERR_INPUT_EOF);
    s.pub.next_input_byte = s.bytes->data();
    s.pub.bytes_in_buffer = n;
    s.handed = n;
    return TRUE;
}

void skipInput(j_decompress_ptr cinfo, long count) {
    if (count <= 0)
        return;
    SourceManager& s = sourceOf(cinfo);
    auto n = static_cast<std::size_t>(count);
    while (n > s.pub.bytes_in_buffer) {
        n -= s.pub.bytes_in_buffer;
        s.pub.next_input_byte += s.pub.bytes_in_buffer;
        s.pub.bytes_in_buffer = 0;
        fillInput(cinfo);
    }
    s.pub.next_input_byte += n;
    s.pub.bytes_in_buffer -= n;
}

// ---- The decompressor ----

// Every scan of a file with several is decoded over the whole image, so a small file of many tiny scans
// could keep the decoder busy for minutes. Encoders write about ten; a file with more than this is refused.
constexpr int maxScans = 1000;

// Called by the library as it reads the file's scans.
void limitScans(j_common_ptr cinfo) {
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > maxScans)
        failJpeg(cinfo, "too many scans");
}

// Everything the library works with, in one record without destructors (see jpeg_library.h).
struct Decompressor {
    jpeg_decompress_struct cinfo;
    JpegErrorHandler errors;
    SourceManager source;
    jpeg_progress_mgr progress;
    std::size_t coefficientBytes; // the whole-image coefficient buffer of a file with several scans
};

// Owns a Decompressor and destroys the library's state however the decoding ends.
class DecompressorHandle {
public:
    explicit DecompressorHandle(ByteSource& bytes) : d{} {
        d.cinfo.err = installJpegErrorHandler(d.errors);
        d.source.pub.init_source = initSource;
        d.source.pub.fill_input_buffer = fillInput;
        d.source.pub.skip_input_data = skipInput;
        d.source.pub.resync_to_restart = jpeg_resync_to_restart;
        d.source.pub.term_source = termSource;
        d.source.bytes = &bytes;
        d.progress.progress_monitor = limitScans;
    }
    ~DecompressorHandle() { jpeg_destroy_decompress(&d.cinfo); }
    DecompressorHandle(const DecompressorHandle&) = delete;
    DecompressorHandle& operator=(const DecompressorHandle&) = delete;

    Decompressor& get() { return d; }

private:
    Decompressor d;
};

// Room the library may take beside the coefficient buffer: its tables and the buffers of a few rows.
constexpr long librarySmallMemory = 64L << 20;
// Rows asked of the library at once; it delivers as many as it has ready.
constexpr JDIMENSION rowsPerRead = 16;

bool isCmyk(J_COLOR_SPACE space) {
    return space == JCS_CMYK || space == JCS_YCCK;
}

// A file with several scans (progressive, or sequential with a scan per component) is buffered whole as
// DCT coefficients, 128 bytes per 8 x 8 block of each component, rounded up to whole sampling units as
// the library allocates it.
std::size_t coefficientBufferBytes(j_decompress_ptr cinfo) {
    if (!jpeg_has_multiple_scans(cinfo))
        return 0;
    std::size_t total = 0;
    for (int i = 0; i < cinfo->num_components; ++i) {
        const jpeg_component_info& c = cinfo->comp_info[i];
        const auto roundUp = [](std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; };
        total += roundUp(c.width_in_blocks, static_cast<std::size_t>(c.h_samp_factor)) *
                 roundUp(c.height_in_blocks, static_cast<std::size_t>(c.v_samp_factor)) * sizeof(JBLOCK);
    }
    return total;
}

// Reads the header and settles the output: grey, YCbCr and RGB files come out as RGBA with alpha 255,
// CMYK and YCCK files as CMYK (converted by the caller). Default decoding otherwise (the accurate integer
// DCT and fancy upsampling), so that the pixels are what every user of the library gets.
bool readHeader(Decompressor& d) {
    if (setjmp(d.errors.jump) != 0)
        return false;
    jpeg_create_decompress(&d.cinfo);
    d.cinfo.src = &d.source.pub;
    d.cinfo.progress = &d.progress;
    jpeg_read_header(&d.cinfo, TRUE);
    d.cinfo.out_color_space = isCmyk(d.cinfo.jpeg_color_space) ? JCS_CMYK : JCS_EXT_RGBA;
    jpeg_calc_output_dimensions(&d.cinfo);
    d.coefficientBytes = coefficientBufferBytes(&d.cinfo);
    return true;
}

// CMYK to RGBA in place. With the Adobe marker the library delivers the values inverted, as C', M', Y',
// K' (255 meaning no ink); without it they are plain CMYK and are inverted first (C' = 255 - C). Then
// red = C' * K' / 255, green = M' * K' / 255, blue = Y' * K' / 255, each quotient truncated; alpha 255.
void cmykToRgba(std::uint8_t* p, std::size_t n, bool storedInverted) {
    const unsigned flip = storedInverted ? 0 : 255;
    for (std::size_t i = 0; i < n; ++i, p += 4) {
        const unsigned k = p[3] ^ flip;
        p[0] = static_cast<std::uint8_t>((p[0] ^ flip) * k / 255);
        p[1] = static_cast<std::uint8_t>((p[1] ^ flip) * k / 255);
        p[2] = static_cast<std::uint8_t>((p[2] ^ flip) * k / 255);
        p[3] = 255;
    }
}

// Decodes every row straight into the image's rows (4 bytes a pixel in either output).
bool readRows(Decompressor& d, Image& image) {
    if (setjmp(d.errors.jump) != 0)
        return false;
    jpeg_start_decompress(&d.cinfo);
    const bool cmyk = d.cinfo.out_color_space == JCS_CMYK;
    JSAMPROW rows[rowsPerRead];
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        const JDIMENSION first = d.cinfo.output_scanline;
        const JDIMENSION wanted = std::min(rowsPerRead, d.cinfo.output_height - first);
        for (JDIMENSION i = 0; i < wanted; ++i)
            rows[i] = image.pixel(0, first + i);
        const JDIMENSION got = jpeg_read_scanlines(&d.cinfo, rows, wanted);
        if (cmyk)
            cmykToRgba(rows[0], std::size_t{got} * image.width, d.cinfo.saw_Adobe_marker != FALSE);
    }
    jpeg_finish_decompress(&d.cinfo);
    return true;
}

} // namespace

bool matchesJpeg(const std::uint8_t* head, std::size_t size) {
    return size >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

ImagePtr decodeJpeg(ByteSource& source, std::string& reason, FoundMetadata& /*found*/) {
    DecompressorHandle handle(source);
    Decompressor& d = handle.get();
    if (!readHeader(d)) {
        reason = jpegFailureReason(d.errors);
        return nullptr;
    }
    // The image and the library's coefficient buffer come out of the budget before the library allocates
    // anything large; the library is held to what was reserved for it.
    ImagePtr image = createImageForOverwrite(d.cinfo.output_width, d.cinfo.output_height);
    MemoryReservation coefficients(d.coefficientBytes);
    d.cinfo.mem->max_memory_to_use = static_cast<long>(d.coefficientBytes) + librarySmallMemory;
    if (!readRows(d, *image)) {
        reason = jpegFailureReason(d.errors);
        return nullptr;
    }
    return image;
}
