#include "formats/codecs.h"
#include "formats/exif_orientation.h"
#include "formats/icc_profile.h"
#include "formats/jpeg_library.h"
#include "formats/scaled_decoders.h"

#include "colour/cmyk.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <jerror.h>
#include <new>
#include <vector>

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

// ---- Metadata: APP1 (EXIF, XMP) and APP2 (the colour profile) markers ----

constexpr std::uint8_t exifSignature[] = {'E', 'x', 'i', 'f', 0, 0};
constexpr char xmpSignature[] = "http://ns.adobe.com/xap/1.0/"; // and its 0
constexpr char iccSignature[] = "ICC_PROFILE";                  // and its 0, then sequence number and count
constexpr std::size_t iccPrefixBytes = sizeof iccSignature + 2;
// The longest signature looked for: the bytes of a marker read before it is known whether it is wanted.
constexpr std::size_t signatureBytes = sizeof xmpSignature;
// A profile is split over at most 255 markers.
constexpr std::size_t maxIccSegments = 255;

// The blocks the markers hold, gathered as the library meets them. Their bytes count in the memory budget
// as they are read, before they are stored. The library reaches this through the record's client_data.
struct MarkerBlocks {
    struct Segment {
        std::uint8_t number = 0; // 1..count
        std::uint8_t count = 0;
        std::vector<std::uint8_t> bytes;
    };

    MarkerBlocks() = default;
    MarkerBlocks(const MarkerBlocks&) = delete;
    MarkerBlocks& operator=(const MarkerBlocks&) = delete;
    ~MarkerBlocks() {
        if (reserved > 0)
            releaseImageMemory(reserved);
    }

    std::vector<std::uint8_t> exif;
    std::vector<std::uint8_t> xmp;
    bool haveExif = false;
    bool haveXmp = false;
    std::vector<Segment> icc;
    bool iccBroken = false; // a marker of the profile was out of place: the profile is left out
    bool iccClosed = false; // the header is read: later profile markers are passed over
    std::size_t reserved = 0;
};

// The next byte of the file (the source never suspends: at the end of the data it fails the decoding).
std::uint8_t nextByte(j_decompress_ptr cinfo) {
    jpeg_source_mgr& src = *cinfo->src;
    if (src.bytes_in_buffer == 0)
        (*src.fill_input_buffer)(cinfo);
    --src.bytes_in_buffer;
    return *src.next_input_byte++;
}

// Counts `n` more bytes in the budget and makes room for them at the end of `out`; false when either is
// refused. No exception may pass through the library, so the caller turns false into its error.
bool makeRoom(MarkerBlocks& blocks, std::vector<std::uint8_t>& out, std::size_t n) {
    try {
        reserveImageMemory(n);
        blocks.reserved += n;
        out.reserve(out.size() + n);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Appends the marker's next `n` bytes to `out` (room made already).
void readInto(j_decompress_ptr cinfo, std::vector<std::uint8_t>& out, std::size_t n) {
    jpeg_source_mgr& src = *cinfo->src;
    while (n > 0) {
        if (src.bytes_in_buffer == 0)
            (*src.fill_input_buffer)(cinfo);
        const std::size_t piece = std::min(n, src.bytes_in_buffer);
        out.insert(out.end(), src.next_input_byte, src.next_input_byte + piece);
        src.next_input_byte += piece;
        src.bytes_in_buffer -= piece;
        n -= piece;
    }
}

// Where the bytes of the marker after its signature go, or null when the marker is passed over.
std::vector<std::uint8_t>* destinationOf(MarkerBlocks& blocks, int marker, const std::uint8_t* head,
                                         std::size_t size) {
    if (marker == JPEG_APP0 + 1) {
        if (!blocks.haveExif && size >= sizeof exifSignature &&
            std::memcmp(head, exifSignature, sizeof exifSignature) == 0) {
            blocks.haveExif = true;
            return &blocks.exif;
        }
        if (!blocks.haveXmp && size >= sizeof xmpSignature &&
            std::memcmp(head, xmpSignature, sizeof xmpSignature) == 0) {
            blocks.haveXmp = true;
            return &blocks.xmp;
        }
        return nullptr;
    }
    if (blocks.iccClosed || blocks.iccBroken || size < iccPrefixBytes ||
        std::memcmp(head, iccSignature, sizeof iccSignature) != 0)
        return nullptr;
    const std::uint8_t number = head[sizeof iccSignature];
    const std::uint8_t count = head[sizeof iccSignature + 1];
    if (number == 0 || number > count || blocks.icc.size() == maxIccSegments) {
        blocks.iccBroken = true;
        return nullptr;
    }
    blocks.icc.push_back({number, count, {}});
    return &blocks.icc.back().bytes;
}

// Reads an APP1 or APP2 marker: keeps its bytes when it holds EXIF, XMP or a piece of the colour profile,
// and passes over it otherwise.
boolean readMetadataMarker(j_decompress_ptr cinfo) {
    MarkerBlocks& blocks = *static_cast<MarkerBlocks*>(cinfo->client_data);
    const unsigned high = nextByte(cinfo);
    const unsigned length = high << 8 | nextByte(cinfo);
    if (length < 2)
        ERREXIT(cinfo, JERR_BAD_LENGTH);
    std::size_t left = length - 2;
    std::uint8_t head[signatureBytes];
    const std::size_t headBytes = std::min(left, sizeof head);
    for (std::size_t i = 0; i < headBytes; ++i)
        head[i] = nextByte(cinfo);
    left -= headBytes;
    std::vector<std::uint8_t>* out = nullptr;
    bool stored = false;
    try {
        out = destinationOf(blocks, cinfo->unread_marker, head, headBytes);
    } catch (const std::bad_alloc&) {
        stored = true; // the list of profile pieces could not grow
    }
    if (stored)
        ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    if (out == nullptr) {
        if (left > 0)
            (*cinfo->src->skip_input_data)(cinfo, static_cast<long>(left));
        return TRUE;
    }
    // The bytes of the block after its signature: those read already, then the rest.
    const std::size_t signature = out == &blocks.exif  ? sizeof exifSignature
                                  : out == &blocks.xmp ? sizeof xmpSignature
                                                       : iccPrefixBytes;
    if (!makeRoom(blocks, *out, headBytes - signature + left))
        ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    out->insert(out->end(), head + signature, head + headBytes);
    readInto(cinfo, *out, left);
    return TRUE;
}

// The profile from its pieces, in the order of their numbers: every piece must say the same count, and each
// number from 1 to the count must come exactly once. Anything else leaves the profile out with a note.
void assembleProfile(MarkerBlocks& blocks, FoundMetadata& found) {
    if (blocks.icc.empty() && !blocks.iccBroken)
        return;
    const std::size_t count = blocks.icc.empty() ? 0 : blocks.icc.front().count;
    std::vector<const MarkerBlocks::Segment*> order(count, nullptr);
    bool whole = !blocks.iccBroken && blocks.icc.size() == count;
    std::size_t bytes = 0;
    for (const MarkerBlocks::Segment& s : blocks.icc) {
        whole = whole && s.count == count && order[s.number - 1u] == nullptr;
        if (!whole)
            break;
        order[s.number - 1u] = &s;
        bytes += s.bytes.size();
    }
    if (!whole) {
        found.notes.push_back("ICC profile left out (its markers do not form a whole sequence)");
        return;
    }
    if (!admitMetadataBlock(found, MetadataKind::Icc, bytes))
        return;
    found.icc.reserve(bytes);
    for (const MarkerBlocks::Segment* s : order)
        found.icc.insert(found.icc.end(), s->bytes.begin(), s->bytes.end());
}

// ---- The quality the file was written at ----

// The standard quantisation tables the library scales by quality (luminance, then chrominance), in the
// natural order in which the library keeps a file's tables too.
constexpr unsigned standardTables[2][DCTSIZE2] = {
    {16, 11,  10,  16, 24, 40, 51, 61, 12,  12,  14,  19,  26, 58, 60, 55,  14,  13,  16,  24, 40, 57,
     69, 56,  14,  17, 22, 29, 51, 87, 80,  62,  18,  22,  37, 56, 68, 109, 103, 77,  24,  35, 55, 64,
     81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98,  112, 100, 103, 99},
    {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
     99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
     99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99},
};

// A standard table entry scaled to `quality` as the library's quality setting scales it for a baseline
// file: 5000 / quality percent below 50, 200 - 2 * quality percent from 50, rounded, held to 1..255.
unsigned scaledEntry(unsigned entry, int quality) {
    const unsigned percent =
        quality < 50 ? 5000u / static_cast<unsigned>(quality) : 200u - 2u * static_cast<unsigned>(quality);
    return std::clamp((entry * percent + 50) / 100, 1u, 255u);
}

// The quality (1 to 100) whose scaled standard tables come closest to the file's: the least sum of the
// absolute differences over the luminance table and, when the file has one, the chrominance table; the
// higher quality on a tie. A file made with the standard tables gives back the quality it was written
// at; one with tables of its own gives the nearest standard quality. 0 when the file has no first table.
int estimateQuality(j_decompress_ptr cinfo) {
    if (cinfo->quant_tbl_ptrs[0] == nullptr)
        return 0;
    const int tables = cinfo->quant_tbl_ptrs[1] != nullptr ? 2 : 1;
    int best = 0;
    unsigned long bestDistance = 0;
    for (int quality = 100; quality >= 1; --quality) {
        unsigned long distance = 0;
        for (int t = 0; t < tables; ++t) {
            const UINT16* values = cinfo->quant_tbl_ptrs[t]->quantval;
            for (int i = 0; i < DCTSIZE2; ++i) {
                const unsigned have = values[i];
                const unsigned want = scaledEntry(standardTables[t][i], quality);
                distance += have > want ? have - want : want - have;
            }
        }
        if (best == 0 || distance < bestDistance) {
            best = quality;
            bestDistance = distance;
        }
    }
    return best;
}

// ---- The decompressor ----

// Every scan of a file with several is decoded over every block of its components, so a small file of
// many scans could keep the decoder busy for minutes. Encoders write about ten, which visit each block of
// the image five or six times in all (the DC scans visit every component, each AC scan one); a file is
// refused once its scans have visited the blocks more than scanVisitsPerBlock times over (about four times
// a common progressive file's work), or once it has more than maxScans scans. Small images get at least
// minimumScanVisits, which costs little whatever the scans.
constexpr int maxScans = 1000;
constexpr std::uint64_t scanVisitsPerBlock = 24;
constexpr std::uint64_t minimumScanVisits = std::uint64_t{1} << 22;

// The work of the scans read so far, counted as each scan starts.
struct ScanWork {
    int counted = 0; // the last scan counted
    std::uint64_t visits = 0;
};

std::uint64_t blocksOf(const jpeg_component_info& c) {
    return std::uint64_t{c.width_in_blocks} * c.height_in_blocks;
}

// Everything the library works with, in one record without destructors (see jpeg_library.h).
struct Decompressor {
    jpeg_decompress_struct cinfo;
    JpegErrorHandler errors;
    SourceManager source;
    jpeg_progress_mgr progress;
    ScanWork scanWork;            // the block visits of the scans so far
    std::size_t coefficientBytes; // the whole-image coefficient buffer of a file with several scans
    MarkerBlocks* markers;        // where the metadata markers go
    bool profileConverts;         // CMYK pixels are kept as they are, for the colour profile to convert
};

// Called by the library as it reads the file's scans. The library's record is the first member of the
// Decompressor, so the record the library passes leads back to it.
void limitScans(j_common_ptr common) {
    const auto cinfo = reinterpret_cast<j_decompress_ptr>(common);
    if (cinfo->input_scan_number > maxScans)
        failJpeg(common, "too many scans");
    ScanWork& work = reinterpret_cast<Decompressor*>(cinfo)->scanWork;
    if (cinfo->input_scan_number == work.counted || cinfo->comps_in_scan <= 0)
        return;
    work.counted = cinfo->input_scan_number;
    for (int i = 0; i < cinfo->comps_in_scan && i < MAX_COMPS_IN_SCAN; ++i)
        work.visits += blocksOf(*cinfo->cur_comp_info[i]);
    std::uint64_t blocks = 0;
    for (int i = 0; i < cinfo->num_components; ++i)
        blocks += blocksOf(cinfo->comp_info[i]);
    if (work.visits > std::max(minimumScanVisits, scanVisitsPerBlock * blocks))
        failJpeg(common, "too many scans");
}

// Owns a Decompressor and destroys the library's state however the decoding ends.
class DecompressorHandle {
public:
    DecompressorHandle(ByteSource& bytes, MarkerBlocks& markers) : d{} {
        d.markers = &markers;
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

// The rows the library allocates when decoding starts, estimated from the header (the library does not say
// what it will take). For each component: its main buffer, v x 8 rows of its blocks with two row groups of
// context above and below (at most three times the plain v x 8 rows, for any scaling), and the upsampler's
// rows, as many as the largest vertical sampling factor, of the whole output width. A scaled decoding
// takes fewer, so the full-size rows are an upper bound for it. Beside them the library keeps its tables
// (Huffman, quantisation, the range limit), counted as libraryTableBytes. Samples of more than 8 bits take
// two bytes.
constexpr std::size_t libraryTableBytes = std::size_t{256} << 10;

std::size_t libraryRowBytes(j_decompress_ptr cinfo) {
    const auto roundUp = [](std::uint64_t n, std::uint64_t unit) { return (n + unit - 1) / unit * unit; };
    const std::uint64_t sampleBytes = cinfo->data_precision > 8 ? 2 : 1;
    const auto maxH = static_cast<std::uint64_t>(std::max(cinfo->max_h_samp_factor, 1));
    const auto maxV = static_cast<std::uint64_t>(std::max(cinfo->max_v_samp_factor, 1));
    const std::uint64_t outputRow = roundUp(cinfo->image_width, maxH * DCTSIZE);
    std::uint64_t total = libraryTableBytes;
    for (int i = 0; i < cinfo->num_components; ++i) {
        const jpeg_component_info& c = cinfo->comp_info[i];
        const auto h = static_cast<std::uint64_t>(std::max(c.h_samp_factor, 1));
        const auto v = static_cast<std::uint64_t>(std::max(c.v_samp_factor, 1));
        const std::uint64_t mainRows = v * DCTSIZE * 3;
        total += (mainRows * roundUp(c.width_in_blocks, h) * DCTSIZE + maxV * outputRow) * sampleBytes;
    }
    if (total > SIZE_MAX)
        throw std::bad_alloc();
    return static_cast<std::size_t>(total);
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
    d.cinfo.client_data = d.markers;
    jpeg_set_marker_processor(&d.cinfo, JPEG_APP0 + 1, readMetadataMarker);
    jpeg_set_marker_processor(&d.cinfo, JPEG_APP0 + 2, readMetadataMarker);
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
        if (cmyk && !d.profileConverts)
            cmykToRgba(rows[0], std::size_t{got} * image.width, d.cinfo.saw_Adobe_marker != FALSE);
    }
    jpeg_finish_decompress(&d.cinfo);
    return true;
}

// The DCT scalings a scaled decoding chooses from, smallest first (1/8, 1/4, 1/2 of each side).
constexpr unsigned scaleDenominators[] = {8, 4, 2};

// Shrinks the output by the smallest scaling whose sides (rounded up, as the library rounds them) still
// cover `needed`, or leaves it whole.
bool scaleOutput(Decompressor& d, FitSize needed) {
    if (setjmp(d.errors.jump) != 0)
        return false;
    for (const unsigned denominator : scaleDenominators) {
        const std::uint64_t width = (std::uint64_t{d.cinfo.image_width} + denominator - 1) / denominator;
        const std::uint64_t height = (std::uint64_t{d.cinfo.image_height} + denominator - 1) / denominator;
        if (width >= needed.width && height >= needed.height) {
            d.cinfo.scale_num = 1;
            d.cinfo.scale_denom = denominator;
            jpeg_calc_output_dimensions(&d.cinfo);
            break;
        }
    }
    return true;
}

} // namespace

bool matchesJpeg(const std::uint8_t* head, std::size_t size) {
    return size >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

// CMYK pixels through the file's CMYK colour profile to sRGB, or by the plain rule when the profile cannot
// be used. A profile describes the CMYK of the file, not the colour read from it, so the image carries none.
void convertCmyk(Image& image, bool inverted, FoundMetadata& found) {
    const std::size_t pixels = std::size_t{image.width} * image.height;
    if (!cmykToSrgb(image.pixels.get(), pixels, found.icc, inverted, image.pixels.get())) {
        cmykToRgba(image.pixels.get(), pixels, inverted);
        found.notes.push_back("ICC profile left out (it does not describe the colours read)");
    }
    found.icc.clear();
}

// A whole picture (box null), or one shrunk for a box, with the stored size in *fullSize.
static ImagePtr decodeJpegWithin(ByteSource& source, std::string& reason, FoundMetadata& found,
                                 const FitSize* box, FitSize* fullSize) {
    MarkerBlocks markers;
    DecompressorHandle handle(source, markers);
    Decompressor& d = handle.get();
    if (!readHeader(d)) {
        reason = jpegFailureReason(d.errors);
        return nullptr;
    }
    if (box != nullptr) {
        *fullSize = {d.cinfo.image_width, d.cinfo.image_height};
        const FitSize needed = neededStoredSize(d.cinfo.image_width, d.cinfo.image_height, box->width,
                                                box->height, exifOrientation(markers.exif));
        if (!scaleOutput(d, needed)) {
            reason = jpegFailureReason(d.errors);
            return nullptr;
        }
    }
    // The profile is the one the markers before the image data give.
    markers.iccClosed = true;
    assembleProfile(markers, found);
    markers.icc.clear();
    const bool cmyk = d.cinfo.out_color_space == JCS_CMYK;
    d.profileConverts = cmyk && iccColourSpace(found.icc) == IccSpace::Cmyk;
    if (cmyk && !found.icc.empty() && !d.profileConverts) {
        found.notes.push_back("ICC profile left out (it does not describe the colours read)");
        found.icc.clear();
    }
    // The image, the library's coefficient buffer and its rows come out of the budget before the library
    // allocates anything large; the library's whole-image buffers are held to what was reserved for them.
    ImagePtr image = createImageForOverwrite(d.cinfo.output_width, d.cinfo.output_height);
    image->sourceQuality = estimateQuality(&d.cinfo);
    MemoryReservation coefficients(d.coefficientBytes);
    MemoryReservation rowBuffers(libraryRowBytes(&d.cinfo));
    d.cinfo.mem->max_memory_to_use = static_cast<long>(d.coefficientBytes) + librarySmallMemory;
    if (!readRows(d, *image)) {
        reason = jpegFailureReason(d.errors);
        return nullptr;
    }
    if (d.profileConverts)
        convertCmyk(*image, d.cinfo.saw_Adobe_marker != FALSE, found);
    if (admitMetadataBlock(found, MetadataKind::Exif, markers.exif.size()))
        found.exif = std::move(markers.exif);
    if (admitMetadataBlock(found, MetadataKind::Xmp, markers.xmp.size()))
        found.xmp = std::move(markers.xmp);
    return image;
}

ImagePtr decodeJpeg(ByteSource& source, std::string& reason, FoundMetadata& found) {
    return decodeJpegWithin(source, reason, found, nullptr, nullptr);
}

ImagePtr decodeJpegScaled(ByteSource& source, std::string& reason, FoundMetadata& found,
                          std::uint32_t boxWidth, std::uint32_t boxHeight, FitSize& fullSize) {
    const FitSize box{boxWidth, boxHeight};
    return decodeJpegWithin(source, reason, found, &box, &fullSize);
}
