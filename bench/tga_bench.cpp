// TGA read and write of the benchSide() image beside a plain read() and write() of the same bytes, all from
// and to the page cache: the reader and writer are measured against the cost of moving the file's bytes.
//
// Three files: the writer's own output (uncompressed 32-bit with alpha), an uncompressed 24-bit file, and
// a run-length 32-bit file whose even rows repeat each pixel over 8 columns (run packets) and whose odd
// rows do not (raw packets). Names: tgaRead/<file> and tgaWrite/<file>, with baselines plainRead/<file> and
// plainWrite/<file>; bench/ratios divides each by its baseline.

#include "bench/bench_images.h"
#include "tga/header.h"
#include "tga/tga.h"

#include <benchmark/benchmark.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes headerFor(std::uint8_t type, std::uint8_t depth, std::uint8_t descriptor, std::uint32_t side) {
    TgaHeader h;
    h.imageType = type;
    h.pixelDepth = depth;
    h.descriptor = descriptor;
    h.width = static_cast<std::uint16_t>(side);
    h.height = static_cast<std::uint16_t>(side);
    const TgaHeader::Bytes b = h.encode();
    return Bytes(b.begin(), b.end());
}

// The image's straight colour as the file stores it, bottom row first, blue-green-red(-alpha), taken from
// a file the writer produced.
Bytes rgb24File(const Bytes& written, std::uint32_t side) {
    Bytes file = headerFor(TgaType::TrueColor, 24, 0, side);
    const std::size_t pixels = std::size_t{side} * side;
    const std::uint8_t* in = written.data() + (written.size() - pixels * 4);
    for (std::size_t i = 0; i < pixels; ++i, in += 4)
        file.insert(file.end(), in, in + 3);
    return file;
}

Bytes runLengthFile(const Bytes& written, std::uint32_t side) {
    Bytes file = headerFor(TgaType::RunLengthTrueColor, 32, 8, side);
    const std::uint8_t* pixels = written.data() + (written.size() - std::size_t{side} * side * 4);
    for (std::uint32_t y = 0; y < side; ++y) {
        const std::uint8_t* row = pixels + std::size_t{y} * side * 4;
        for (std::uint32_t x = 0; x < side;) {
            const std::uint32_t k = std::min<std::uint32_t>(y % 2 == 0 ? 8 : 128, side - x);
            file.push_back(static_cast<std::uint8_t>((y % 2 == 0 ? 0x80 : 0) | (k - 1)));
            const std::uint8_t* p = row + std::size_t{x} * 4;
            file.insert(file.end(), p, p + (y % 2 == 0 ? 4 : std::size_t{k} * 4));
            x += k;
        }
    }
    return file;
}

Bytes readWhole(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr || std::fseek(f, 0, SEEK_END) != 0)
        throw std::runtime_error("cannot open " + path);
    Bytes bytes(static_cast<std::size_t>(std::ftell(f)));
    std::rewind(f);
    const bool complete = std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
    std::fclose(f);
    if (!complete)
        throw std::runtime_error("cannot read " + path);
    return bytes;
}

void writeWhole(const std::string& path, const Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0)
        throw std::runtime_error("cannot write " + path);
}

// The files, made once in a temporary folder that is removed at exit.
struct Files {
    std::string dir;
    ImagePtr image;
    std::vector<std::string> names{"rgba32", "rgb24", "rle32"};

    Files() {
        char pattern[] = "/tmp/chromaloom-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        const std::uint32_t side = benchSide();
        image = variedImage(side, side);
        if (writeImage(path("rgba32").c_str(), *image) != WriteResult::Ok)
            throw std::runtime_error("cannot write the 32-bit file");
        const Bytes written = readWhole(path("rgba32"));
        writeWhole(path("rgb24"), rgb24File(written, side));
        writeWhole(path("rle32"), runLengthFile(written, side));
    }
    ~Files() {
        for (const std::string& name : names) {
            std::remove(path(name).c_str());
            std::remove(path(name + ".out").c_str());
        }
        ::rmdir(dir.c_str());
    }
    std::string path(const std::string& name) const { return dir + "/" + name + ".tga"; }
};

Files& files() {
    static Files f;
    return f;
}

void readTga(benchmark::State& state, const std::string& name) {
    const std::string path = files().path(name);
    std::int64_t bytes = 0;
    for (auto _ : state) {
        ImagePtr image = loadImage(path.c_str());
        if (image == nullptr) {
            state.SkipWithError("read failed");
            break;
        }
        bytes = static_cast<std::int64_t>(image->byteCount());
        benchmark::DoNotOptimize(image->pixels.get());
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}

// The file's bytes read with read() into a buffer touched beforehand.
void plainRead(benchmark::State& state, const std::string& name) {
    const std::string path = files().path(name);
    Bytes buffer(readWhole(path).size() + 1);
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::size_t total = 0;
        for (ssize_t n; (n = ::read(fd, buffer.data() + total, buffer.size() - total)) > 0;)
            total += static_cast<std::size_t>(n);
        ::close(fd);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(files().image->byteCount()));
}

// The 32-bit file the writer produces, written by the writer and, as the baseline, by write() of its bytes
// into a file of the same folder.
void writeTga(benchmark::State& state) {
    const std::string path = files().path("rgba32.out");
    for (auto _ : state)
        if (writeImage(path.c_str(), *files().image) != WriteResult::Ok) {
            state.SkipWithError("write failed");
            break;
        }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(files().image->byteCount()));
}

void plainWrite(benchmark::State& state) {
    const std::string path = files().path("rgba32.out");
    const Bytes bytes = readWhole(files().path("rgba32"));
    for (auto _ : state) {
        ::unlink(path.c_str()); // a new file each time, as the writer makes
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                state.SkipWithError("write failed");
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(files().image->byteCount()));
}

const int registered = [] {
    for (const char* name : {"rgba32", "rgb24", "rle32"}) {
        benchmark::RegisterBenchmark((std::string("plainRead/") + name).c_str(), plainRead, std::string(name))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("tgaRead/") + name).c_str(), readTga, std::string(name))
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("plainWrite/rgba32", plainWrite)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("tgaWrite/rgba32", writeTga)->Unit(benchmark::kMillisecond);
    return 0;
}();

} // namespace
