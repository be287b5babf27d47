#include "formats/heif.h"

#include "image/straight_colour.h"
#include "system/file_replacement.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <libheif/heif.h>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr std::size_t outputBufferBytes = std::size_t{1} << 20;

// The encoder's settings, all set explicitly so that no default of the installed library decides them.
// Chroma at half resolution both ways, as lossy pictures are usually stored. Speed 6 of 0 (slowest) to 9:
// on a 2048 x 2048 photograph it took 4.5 s of two cores; 7 took 2.5 s and wrote files 27 % larger. The
// number of threads changes the bytes written, so it is a fixed number rather than the machine's cores:
// the same image then gives the same file everywhere.
constexpr const char* chromaSetting = "420";
constexpr int speedSetting = 6;
constexpr int threadSetting = 4;

// What the encoder holds while it works, in bytes a pixel: the interleaved RGB(A) copy handed to it, its
// YCbCr planes and alpha plane, and its own frame buffers and analysis. Measured at about 20 a pixel at the
// peak of writing a 2048 x 2048 picture with alpha.
constexpr std::size_t encoderBytesPerPixel = 24;

struct ContextDeleter {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct EncoderDeleter {
    void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
};
struct PictureDeleter {
    void operator()(heif_image* picture) const { heif_image_release(picture); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct OptionsDeleter {
    void operator()(heif_encoding_options* options) const { heif_encoding_options_free(options); }
};

// Whether the library call succeeded; running out of memory inside it throws, as the budget would.
bool succeeded(const heif_error& error) {
    if (error.code == heif_error_Memory_allocation_error)
        throw std::bad_alloc();
    return error.code == heif_error_Ok;
}

bool allOpaque(const Image& image) {
    const std::uint8_t* p = image.pixels.get();
    const std::size_t n = std::size_t{image.width} * image.height;
    for (std::size_t i = 0; i < n; ++i)
        if (p[i * 4 + 3] != 255)
            return false;
    return true;
}

// The image's straight colour as one interleaved plane of RGBA, or RGB when every pixel is opaque.
std::unique_ptr<heif_image, PictureDeleter> makePicture(const Image& image, bool alpha) {
    heif_image* raw = nullptr;
    if (!succeeded(heif_image_create(
            static_cast<int>(image.width), static_cast<int>(image.height), heif_colorspace_RGB,
            alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &raw)))
        return nullptr;
    std::unique_ptr<heif_image, PictureDeleter> picture(raw);
    if (!succeeded(heif_image_add_plane(picture.get(), heif_channel_interleaved,
                                        static_cast<int>(image.width), static_cast<int>(image.height), 8)))
        return nullptr;
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(picture.get(), heif_channel_interleaved, &stride);
    const std::size_t channels = alpha ? 4 : 3;
    if (plane == nullptr || stride < 0 || static_cast<std::size_t>(stride) < image.width * channels)
        return nullptr;
    for (std::uint32_t y = 0; y < image.height; ++y) {
        std::uint8_t* out = plane + std::size_t{y} * static_cast<std::size_t>(stride);
        if (alpha) {
            straightenPixels(image.pixel(0, y), image.width, out, ChannelOrder::Rgba);
            continue;
        }
        // Opaque: the colour is stored as it is.
        const std::uint8_t* in = image.pixel(0, y);
        for (std::uint32_t x = 0; x < image.width; ++x, in += 4, out += 3)
            std::memcpy(out, in, 3);
    }
    return picture;
}

bool configure(heif_encoder* encoder, int quality) {
    return succeeded(heif_encoder_set_lossy_quality(encoder, std::clamp(quality, 1, 100))) &&
           succeeded(heif_encoder_set_parameter(encoder, "chroma", chromaSetting)) &&
           succeeded(heif_encoder_set_parameter_integer(encoder, "speed", speedSetting)) &&
           succeeded(heif_encoder_set_parameter_integer(encoder, "threads", threadSetting));
}

// A profile goes in only when it describes RGB data: its header names the colour space at bytes 16..19.
bool describesRgb(const std::vector<std::uint8_t>& icc) {
    return icc.size() >= 20 && std::memcmp(icc.data() + 16, "RGB ", 4) == 0;
}

heif_error writePiece(heif_context*, const void* data, std::size_t size, void* userdata) {
    static_cast<OutputBuffer*>(userdata)->put(data, size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "Success"};
}

} // namespace

bool encodeAvif(const Image& image, int quality, int fd) {
    if (image.width == 0 || image.height == 0 || image.width > maxAvifSide || image.height > maxAvifSide)
        return false;
    // The encoder's working memory and the buffer the file goes out through, before any of it is taken.
    const MemoryReservation encoding(std::size_t{image.width} * image.height * encoderBytesPerPixel +
                                     outputBufferBytes);
    const ImageMetadata* metadata = image.metadata.get();
    const auto picture = makePicture(image, !allOpaque(image));
    if (picture == nullptr)
        return false;
    if (metadata != nullptr && describesRgb(metadata->icc()) &&
        !succeeded(heif_image_set_raw_color_profile(picture.get(), "prof", metadata->icc().data(),
                                                    metadata->icc().size())))
        return false;

    const std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
    if (context == nullptr)
        throw std::bad_alloc();
    heif_encoder* rawEncoder = nullptr;
    if (!succeeded(heif_context_get_encoder_for_format(context.get(), heif_compression_AV1, &rawEncoder)))
        return false;
    const std::unique_ptr<heif_encoder, EncoderDeleter> encoder(rawEncoder);
    if (!configure(encoder.get(), quality))
        return false;
    const std::unique_ptr<heif_encoding_options, OptionsDeleter> options(heif_encoding_options_alloc());
    if (options == nullptr)
        throw std::bad_alloc();
    heif_image_handle* rawHandle = nullptr;
    if (!succeeded(heif_context_encode_image(context.get(), picture.get(), encoder.get(), options.get(),
                                             &rawHandle)))
        return false;
    const std::unique_ptr<heif_image_handle, HandleDeleter> handle(rawHandle);

    // The library puts the offset of the TIFF header in front of the EXIF block itself.
    if (metadata != nullptr) {
        const std::vector<std::uint8_t>& exif = metadata->exif();
        const std::vector<std::uint8_t>& xmp = metadata->xmp();
        if (exif.size() > INT_MAX || xmp.size() > INT_MAX)
            return false;
        if (!exif.empty() && !succeeded(heif_context_add_exif_metadata(
                                 context.get(), handle.get(), exif.data(), static_cast<int>(exif.size()))))
            return false;
        if (!xmp.empty() && !succeeded(heif_context_add_XMP_metadata(context.get(), handle.get(), xmp.data(),
                                                                     static_cast<int>(xmp.size()))))
            return false;
    }

    OutputBuffer out(fd, outputBufferBytes);
    heif_writer writer{1, writePiece};
    if (!succeeded(heif_context_write(context.get(), &writer, &out)))
        return false;
    return out.flush();
}
