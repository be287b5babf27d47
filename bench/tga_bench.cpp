// Reading and writing a 4096 x 4096 32-bit image through the TGA file code, in a temporary folder.

#include "tga/tga.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

constexpr std::uint32_t side = 4096;

ImagePtr translucentImage() {
    ImagePtr image = createImage(side, side);
    std::uint8_t* p = image->pixels.get();
    for (std::size_t i = 0; i < image->byteCount(); i += 4) {
        const auto a = static_cast<std::uint8_t>(i * 7 / 4 + 1);
        p[i] = static_cast<std::uint8_t>(a * (i % 5) / 5);
        p[i + 1] = static_cast<std::uint8_t>(a / 2);
        p[i + 2] = static_cast<std::uint8_t>(a / 3);
        p[i + 3] = a;
    }
    return image;
}

struct Folder {
    std::string path;
    Folder() {
        char pattern[] = "/tmp/chromaloom-bench-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~Folder() {
        std::remove((path + "/image.tga").c_str());
        rmdir(path.c_str());
    }
};

void writeTga4096(benchmark::State& state) {
    Folder folder;
    const std::string file = folder.path + "/image.tga";
    ImagePtr image = translucentImage();
    for (auto _ : state)
        if (writeImage(file.c_str(), *image) != WriteResult::Ok)
            state.SkipWithError("write failed");
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image->byteCount()));
}
BENCHMARK(writeTga4096)->Unit(benchmark::kMillisecond);

void readTga4096(benchmark::State& state) {
    Folder folder;
    const std::string file = folder.path + "/image.tga";
    writeImage(file.c_str(), *translucentImage());
    for (auto _ : state) {
        ImagePtr image = loadImage(file.c_str());
        if (image == nullptr)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(image.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * side * side * 4);
}
BENCHMARK(readTga4096)->Unit(benchmark::kMillisecond);

} // namespace
