// Encoding and decoding of the image formats beside TGA, in memory, on the benchSide() image and on an
// opaque copy of it, through the same entry points `write` and `read` use: the format's encoder writing to
// a descriptor, and decodeImageFile on the file's bytes.
//
// The encoders write to /dev/null, so that only the encoder is timed and not the page cache. The file each
// one makes is also written once, untimed, into an in-memory file (memfd): its size is reported as the
// counter fileBytes, and its bytes are what the decoder of the same format and image reads.
//
// Names: <format>Encode/<image> and <format>Decode/<image>, with <format> one of png, jpeg90, webpLossless,
// webp80 and pam, and <image> rgba (the varied image, three quarters of its pixels translucent) or opaque
// (the same colour bytes with every alpha 255). bench/ratios divides each by memcpyImage, a memcpy of the
// image (verbs_bench.cpp).

#include "bench/bench_images.h"
#include "formats/codecs.h"
#include "formats/image_file.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <map>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

enum class Codec { Png, Jpeg, Webp, Pam };

struct FormatCase {
    const char* name;
    Codec codec;
    int quality; // JPEG 1..100; WebP 1..100 lossy, 0 lossless; unused otherwise
};

constexpr FormatCase formatCases[] = {
    {"png", Codec::Png, 0},      {"jpeg90", Codec::Jpeg, 90}, {"webpLossless", Codec::Webp, 0},
    {"webp80", Codec::Webp, 80}, {"pam", Codec::Pam, 0},
};

bool encode(const FormatCase& format, const Image& image, int fd) {
    switch (format.codec) {
    case Codec::Png:
        return encodePng(image, fd);
    case Codec::Jpeg:
        return encodeJpeg(image, format.quality, fd);
    case Codec::Webp:
        return encodeWebp(image, format.quality, fd);
    case Codec::Pam:
        return encodePnm(image, PnmKind::Pam, fd);
    }
    return false;
}

// A descriptor closed when it goes out of scope.
struct Descriptor {
    int fd;
    explicit Descriptor(int d) : fd(d) {
        if (fd < 0)
            throw std::runtime_error("cannot open a descriptor for the benchmark");
    }
    ~Descriptor() { ::close(fd); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

// The two images, made on first use.
const Image& benchImage(const std::string& name) {
    static const ImagePtr rgba = variedImage(benchSide(), benchSide());
    static const ImagePtr opaque = [] {
        ImagePtr image = cloneImage(*rgba);
        setOpaque(*image);
        return image;
    }();
    return name == "opaque" ? *opaque : *rgba;
}

// The file an encoder makes of an image, written once into an in-memory file and read back. Empty when the
// encoder failed.
Bytes encodedFile(const FormatCase& format, const std::string& imageName) {
    static std::map<std::pair<std::string, std::string>, Bytes> made;
    const auto key = std::make_pair(std::string(format.name), imageName);
    if (const auto found = made.find(key); found != made.end())
        return found->second;
    const Descriptor file(::memfd_create("chromaloom-bench", MFD_CLOEXEC));
    Bytes bytes;
    if (encode(format, benchImage(imageName), file.fd)) {
        const off_t size = ::lseek(file.fd, 0, SEEK_END);
        bytes.resize(static_cast<std::size_t>(size));
        if (size < 0 || ::pread(file.fd, bytes.data(), bytes.size(), 0) != size)
            bytes.clear();
    }
    made.emplace(key, bytes);
    return bytes;
}

void encodeFormat(benchmark::State& state, const FormatCase& format, const std::string& imageName) {
    const Image& image = benchImage(imageName);
    const Bytes file = encodedFile(format, imageName);
    if (file.empty()) {
        state.SkipWithError("encoding failed");
        return;
    }
    const Descriptor sink(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    for (auto _ : state)
        if (!encode(format, image, sink.fd)) {
            state.SkipWithError("encoding failed");
            break;
        }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.byteCount()));
    state.counters["fileBytes"] = static_cast<double>(file.size());
}

void decodeFormat(benchmark::State& state, const FormatCase& format, const std::string& imageName) {
    const Image& image = benchImage(imageName);
    const Bytes file = encodedFile(format, imageName);
    if (file.empty()) {
        state.SkipWithError("encoding failed");
        return;
    }
    for (auto _ : state) {
        const LoadResult result = decodeImageFile(file.data(), file.size());
        if (result.image == nullptr || result.image->width != image.width ||
            result.image->height != image.height) {
            state.SkipWithError(("decoding failed: " + result.reason).c_str());
            break;
        }
        benchmark::DoNotOptimize(result.image->pixels.get());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.byteCount()));
    state.counters["fileBytes"] = static_cast<double>(file.size());
}

const int registered = [] {
    for (const FormatCase& format : formatCases)
        for (const char* imageName : {"rgba", "opaque"}) {
            const std::string suffix = std::string("/") + imageName;
            benchmark::RegisterBenchmark((format.name + std::string("Encode") + suffix).c_str(), encodeFormat,
                                         format, std::string(imageName))
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark((format.name + std::string("Decode") + suffix).c_str(), decodeFormat,
                                         format, std::string(imageName))
                ->Unit(benchmark::kMillisecond);
        }
    return 0;
}();

} // namespace
