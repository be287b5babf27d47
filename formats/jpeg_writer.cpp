#include "formats/codecs.h"
#include "formats/icc_profile.h"
#include "formats/jpeg_library.h"

#include "image/straight_colour.h"
#include "system/file_replacement.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <cstdint>
#include <jerror.h>
#include <new>
#include <vector>

namespace {

// ---- Output: the library's bytes go straight into an OutputBuffer on the descriptor ----

constexpr std::size_t outputBufferBytes = std::size_t{1} << 20;
// The piece of the output buffer the library fills between two calls.
constexpr std::size_t outputPieceBytes = std::size_t{1} << 16;

struct DestinationManager {
    jpeg_destination_mgr pub; // what the library sees; must stay the first member
    OutputBuffer* out;
};

DestinationManager& destinationOf(j_compress_ptr cinfo) {
    return *reinterpret_cast<DestinationManager*>(cinfo->dest);
}

// Gives the library the next piece of the buffer; after a failed write the compression stops at once.
void giveRoom(j_compress_ptr cinfo) {
    DestinationManager& d = destinationOf(cinfo);
    std::uint8_t* room = d.out->room(outputPieceBytes);
    if (room == nullptr)
        ERREXIT(cinfo, JERR_FILE_WRITE);
    d.pub.next_output_byte = room;
    d.pub.free_in_buffer = outputPieceBytes;
}

void initDestination(j_compress_ptr cinfo) {
    giveRoom(cinfo);
}

// The library calls this with the whole piece filled.
boolean emptyOutput(j_compress_ptr cinfo) {
    destinationOf(cinfo).out->commit(outputPieceBytes);
    giveRoom(cinfo);
    return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
    DestinationManager& d = destinationOf(cinfo);
    d.out->commit(outputPieceBytes - d.pub.free_in_buffer);
    if (!d.out->flush())
        ERREXIT(cinfo, JERR_FILE_WRITE);
}

// ---- The compressor ----

// Everything the library works with, in one record without destructors (see jpeg_library.h).
struct Compressor {
    jpeg_compress_struct cinfo;
    JpegErrorHandler errors;
    DestinationManager destination;
};

// Owns a Compressor and destroys the library's state however the writing ends.
class CompressorHandle {
public:
    explicit CompressorHandle(OutputBuffer& out) : c{} {
        c.cinfo.err = installJpegErrorHandler(c.errors);
        c.destination.pub.init_destination = initDestination;
        c.destination.pub.empty_output_buffer = emptyOutput;
        c.destination.pub.term_destination = termDestination;
        c.destination.out = &out;
    }
    ~CompressorHandle() { jpeg_destroy_compress(&c.cinfo); }
    CompressorHandle(const CompressorHandle&) = delete;
    CompressorHandle& operator=(const CompressorHandle&) = delete;

    Compressor& get() { return c; }

private:
    Compressor c;
};

bool isOpaqueRow(const std::uint8_t* row, std::size_t width) {
    unsigned alpha = 255;
    for (std::size_t x = 0; x < width; ++x)
        alpha &= row[x * 4 + 3];
    return alpha == 255;
}

// The straight colour of a row as the library takes it (red, green, blue and a byte it ignores). Where
// every pixel is opaque the straight colour is the stored colour and the row goes as it is; other rows
// are straightened into `scratch`. Alpha itself is dropped.
JSAMPROW straightRow(const Image& image, std::uint32_t y, std::uint8_t* scratch) {
    const std::uint8_t* row = image.pixel(0, y);
    if (isOpaqueRow(row, image.width))
        return const_cast<JSAMPROW>(row); // the library only reads its input rows
    straightenPixels(row, image.width, scratch, ChannelOrder::Rgba);
    return scratch;
}

// Whether every pixel is a grey, red = green = blue. The stored colour is premultiplied, but the straight
// colour has equal channels exactly where the stored one has, so the stored bytes tell.
bool isGreyImage(const Image& image) {
    const std::uint8_t* p = image.pixels.get();
    const std::uint8_t* end = p + image.byteCount();
    unsigned differences = 0;
    for (; p != end; p += 4)
        differences |= static_cast<unsigned>((p[0] ^ p[1]) | (p[0] ^ p[2]));
    return differences == 0;
}

// The grey of a row, one byte a pixel: the straight colour's red, which equals its green and blue. When the
// row was straightened into `scratch` it is packed there in place, each byte read before it is overwritten.
JSAMPROW greyRow(const Image& image, std::uint32_t y, std::uint8_t* scratch) {
    const std::uint8_t* row = straightRow(image, y, scratch);
    for (std::uint32_t x = 0; x < image.width; ++x)
        scratch[x] = row[std::size_t{x} * 4];
    return scratch;
}

// ---- Metadata: EXIF and XMP in APP1 markers, the colour profile in APP2 markers ----

// The most data a marker holds (its length field counts itself).
constexpr std::size_t markerDataBytes = 65533;
constexpr std::uint8_t exifSignature[] = {'E', 'x', 'i', 'f', 0, 0};
constexpr char xmpSignature[] = "http://ns.adobe.com/xap/1.0/"; // written with its 0
constexpr char iccSignature[] = "ICC_PROFILE";                  // written with its 0
// The profile bytes in one APP2 marker: what is left after the signature, sequence number and count.
constexpr std::size_t iccPieceBytes = markerDataBytes - sizeof iccSignature - 2;
constexpr std::size_t maxIccMarkers = 255;

struct Marker {
    int code;
    std::vector<std::uint8_t> data;
};

void addMarker(std::vector<Marker>& markers, int code, const void* signature, std::size_t signatureBytes,
               const std::uint8_t* block, std::size_t blockBytes) {
    Marker m{code, {}};
    m.data.reserve(signatureBytes + blockBytes);
    const auto* sig = static_cast<const std::uint8_t*>(signature);
    m.data.insert(m.data.end(), sig, sig + signatureBytes);
    m.data.insert(m.data.end(), block, block + blockBytes);
    markers.push_back(std::move(m));
}

// The markers of the image's metadata, in the order readers look for them: EXIF first (right after the
// JFIF marker), then the profile, then XMP. A block too large for its markers is left out: EXIF or XMP of
// more than one marker holds, a profile of more than 255 markers. Only a profile of the space of the pixels
// written (RGB, or grey for a one-component file) describes them; a profile of another space is left out.
std::vector<Marker> metadataMarkers(const Image& image, bool grey) {
    std::vector<Marker> markers;
    if (image.metadata == nullptr)
        return markers;
    const ImageMetadata& m = *image.metadata;
    if (!m.exif().empty() && m.exif().size() <= markerDataBytes - sizeof exifSignature)
        addMarker(markers, JPEG_APP0 + 1, exifSignature, sizeof exifSignature, m.exif().data(),
                  m.exif().size());
    const std::vector<std::uint8_t>& icc = m.icc();
    const std::size_t pieces = (icc.size() + iccPieceBytes - 1) / iccPieceBytes;
    if (iccColourSpace(icc) == (grey ? IccSpace::Grey : IccSpace::Rgb) && pieces <= maxIccMarkers) {
        for (std::size_t i = 0; i < pieces; ++i) {
            std::uint8_t prefix[sizeof iccSignature + 2];
            std::copy(iccSignature, iccSignature + sizeof iccSignature, prefix);
            prefix[sizeof iccSignature] = static_cast<std::uint8_t>(i + 1);
            prefix[sizeof iccSignature + 1] = static_cast<std::uint8_t>(pieces);
            const std::size_t at = i * iccPieceBytes;
            addMarker(markers, JPEG_APP0 + 2, prefix, sizeof prefix, icc.data() + at,
                      std::min(iccPieceBytes, icc.size() - at));
        }
    }
    if (!m.xmp().empty() && m.xmp().size() <= markerDataBytes - sizeof xmpSignature)
        addMarker(markers, JPEG_APP0 + 1, xmpSignature, sizeof xmpSignature, m.xmp().data(), m.xmp().size());
    return markers;
}

// What writing takes beside the image, counted in the budget before it is taken: the output buffer, the
// row straightened for the library, the metadata copied into markers (with each marker's signature), and
// the library's own memory. That is an estimate (the library does not say): its rows come to at most 64
// bytes a column for each component (the rows converted from RGB, of the largest vertical sampling factor,
// and the main buffer of 8 rows of blocks a sampling factor), and its tables to libraryTableBytes.
constexpr std::uint64_t libraryBytesPerSample = 64;
constexpr std::uint64_t libraryTableBytes = std::uint64_t{256} << 10;
constexpr std::uint64_t markerSignatureBytes = 32;

std::size_t workingBytes(const Image& image, bool grey) {
    std::uint64_t bytes = outputBufferBytes + image.rowBytes() + libraryTableBytes +
                          std::uint64_t{image.width} * (grey ? 1 : 3) * libraryBytesPerSample;
    if (image.metadata != nullptr)
        bytes += image.metadata->exif().size() + image.metadata->icc().size() + image.metadata->xmp().size() +
                 (maxIccMarkers + 2) * markerSignatureBytes;
    if (bytes > SIZE_MAX)
        throw std::bad_alloc();
    return static_cast<std::size_t>(bytes);
}

// Baseline JPEG with the library's defaults: YCbCr with 4:2:0 chroma subsampling (one grey component for
// a `grey` image), the accurate integer DCT, the standard Huffman tables, and the quantisation tables scaled
// to `quality`; the metadata markers follow the JFIF marker.
bool compress(Compressor& c, const Image& image, int quality, bool grey, const std::vector<Marker>& markers,
              std::uint8_t* scratch) {
    if (setjmp(c.errors.jump) != 0)
        return false;
    jpeg_create_compress(&c.cinfo);
    c.cinfo.dest = &c.destination.pub;
    c.cinfo.image_width = image.width;
    c.cinfo.image_height = image.height;
    c.cinfo.input_components = grey ? 1 : 4;
    c.cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_RGBX;
    jpeg_set_defaults(&c.cinfo);
    jpeg_set_quality(&c.cinfo, quality, TRUE);
    c.cinfo.dct_method = JDCT_ISLOW;
    c.cinfo.optimize_coding = FALSE;
    jpeg_start_compress(&c.cinfo, TRUE);
    for (const Marker& m : markers)
        jpeg_write_marker(&c.cinfo, m.code, m.data.data(), static_cast<unsigned>(m.data.size()));
    for (std::uint32_t y = 0; y < image.height; ++y) {
        JSAMPROW row = grey ? greyRow(image, y, scratch) : straightRow(image, y, scratch);
        jpeg_write_scanlines(&c.cinfo, &row, 1);
    }
    jpeg_finish_compress(&c.cinfo);
    return true;
}

} // namespace

bool encodeJpeg(const Image& image, int quality, int fd) {
    // A grey image is written with one component, a third of the data to code, unless it carries an RGB
    // profile: the profile then decides how its greys look, and it describes only RGB pixels.
    const bool grey = isGreyImage(image) &&
                      (image.metadata == nullptr || iccColourSpace(image.metadata->icc()) != IccSpace::Rgb);
    const MemoryReservation working(workingBytes(image, grey));
    OutputBuffer out(fd, outputBufferBytes);
    std::vector<std::uint8_t> scratch(image.rowBytes());
    const std::vector<Marker> markers = metadataMarkers(image, grey);
    CompressorHandle handle(out);
    Compressor& c = handle.get();
    if (compress(c, image, quality, grey, markers, scratch.data()))
        return true;
    throwIfJpegOutOfMemory(c.errors);
    return false;
}
