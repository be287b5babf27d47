// The verbs in memory on a benchSide() x benchSide() image, beside a memcpy of the same image: the hardware
// baseline every verb's time is compared with. Each verb runs through the registry, as a script line would,
// on a fresh copy of the image; making that copy is not timed.
//
// Names: memcpyImage and memcpyResize21 are the baselines (the image, and the 4x larger result of
// resize 2 1); every verb benchmark is verb_<name>.

#include "bench/bench_images.h"
#include "commands/painterly.h"
#include "interpreter/command.h"
#include "interpreter/runner.h"
#include "interpreter/script_context.h"
#include "system/pixel_memory.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A released image's pages serve the next image of its size (as in a script of several images), unless
// CHROMALOOM_BENCH_FRESH=1: then every new image takes fresh pages from the system, as the first image of a
// run does. This applies to every benchmark of the process.
[[maybe_unused]] const bool freshPages = [] {
    const char* fresh = std::getenv("CHROMALOOM_BENCH_FRESH");
    if (fresh != nullptr && std::string(fresh) == "1")
        setKeptBufferLimits({0, 0});
    return fresh != nullptr;
}();

void memcpyBytes(benchmark::State& state, std::size_t bytes) {
    std::vector<std::uint8_t> source(bytes, 7);
    std::vector<std::uint8_t> target(bytes, 1); // touched, as a verb's output would be
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

void memcpyImage(benchmark::State& state) {
    const std::uint32_t side = benchSide();
    memcpyBytes(state, imageByteCount(side, side));
}
BENCHMARK(memcpyImage)->Unit(benchmark::kMillisecond);

void memcpyResize21(benchmark::State& state) {
    const std::uint32_t side = benchSide();
    memcpyBytes(state, imageByteCount(std::uint64_t{side} * 2, std::uint64_t{side} * 2));
}
BENCHMARK(memcpyResize21)->Unit(benchmark::kMillisecond);

// Runs `line` (which names image a, and b for composite and place) once per iteration. Verbs that change the
// image in place get the source bytes copied back before each run; verbs that replace it get a fresh copy.
void runVerb(benchmark::State& state, const std::string& line) {
    const std::uint32_t side = benchSide();
    const ImagePtr source = variedImage(side, side);
    ScriptContext ctx;
    ctx.setImage(0, cloneImage(*source));
    ctx.setImage(1, cloneImage(*source));
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    ArgList args;
    tokenize(buffer.data(), args);
    Command* command = findCommand(args[0]);
    if (command == nullptr || static_cast<int>(args.size()) != command->argCount) {
        state.SkipWithError("bad benchmark line");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        Image* image = ctx.imageAt(0);
        if (image->width == source->width && image->height == source->height)
            std::memcpy(image->pixels.get(), source->pixels.get(), source->byteCount());
        else
            ctx.setImage(0, cloneImage(*source));
        state.ResumeTiming();
        if (command->run(args, ctx) != 0)
            state.SkipWithError("verb failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(source->byteCount()));
}

// A fixed number of runs: some verbs take next to no time (crop of the whole image keeps the image), and
// timing by duration would then make the untimed copies run without end. About ten runs on a 4096 x 4096
// image, more on smaller ones.
std::int64_t verbIterations() {
    const std::uint64_t bytes = imageByteCount(benchSide(), benchSide());
    const std::uint64_t runs = (std::uint64_t{10} << 26) / (bytes == 0 ? 1 : bytes);
    return static_cast<std::int64_t>(std::clamp<std::uint64_t>(runs, 10, 2000));
}

#define VERB_BENCHMARK(name, line)                                                                           \
    void verb_##name(benchmark::State& state) {                                                              \
        runVerb(state, line);                                                                                \
    }                                                                                                        \
    BENCHMARK(verb_##name)->Unit(benchmark::kMillisecond)->Iterations(verbIterations())

VERB_BENCHMARK(darken, "darken a 0.5");
VERB_BENCHMARK(dissolve, "dissolve a 0.5");
VERB_BENCHMARK(opaque, "opaque a");
VERB_BENCHMARK(desaturate, "desaturate a 0.4");
VERB_BENCHMARK(fill, "fill a 0 0 100000 100000 10 20 30 255");
VERB_BENCHMARK(chromakey, "chromakey a 20 20 230");
VERB_BENCHMARK(blur3, "blur a 3");
VERB_BENCHMARK(blur5, "blur a 5");
VERB_BENCHMARK(composite, "composite b over a 0 0");
VERB_BENCHMARK(crop, "crop a 0 0 100000 100000");
VERB_BENCHMARK(resize_1_1, "resize a 1 1");
VERB_BENCHMARK(resize_2_1, "resize a 2 1");
VERB_BENCHMARK(rotate, "rotate a 30");
VERB_BENCHMARK(pinch, "warp a 1");
VERB_BENCHMARK(swirl, "warp a 2");
// The Lanczos fit, 4096 x 4096 to 512 x 512 with the default side: the inner loop of every thumbnail.
VERB_BENCHMARK(fit512, "fit a 512 512");
VERB_BENCHMARK(scale_half, "scale a 0 2048");

VERB_BENCHMARK(turn90, "turn a 90");
VERB_BENCHMARK(turn180, "turn a 180");
VERB_BENCHMARK(turn270, "turn a 270");
VERB_BENCHMARK(flip, "flip a");
VERB_BENCHMARK(mirror, "mirror a");
VERB_BENCHMARK(place, "place b a c 0 0");

// pad to a canvas 64 pixels larger each way than the image.
void verb_pad(benchmark::State& state) {
    const std::string side = std::to_string(benchSide() + 64);
    runVerb(state, "pad a " + side + " " + side + " c 0 0 0 255");
}
BENCHMARK(verb_pad)->Unit(benchmark::kMillisecond)->Iterations(verbIterations());

// paint reads its texture from a fixed file and writes its brush to another; the benchmark times the canvas
// and the strokes as the verb makes them, which is where it spends its time, with a 128 x 128 texture like
// the shipped one.
void verb_paint(benchmark::State& state) {
    const std::uint32_t side = benchSide();
    const ImagePtr source = variedImage(side, side);
    const ImagePtr texture = variedImage(128, 128);
    const ImagePtr brush = makeBrush();
    for (auto _ : state) {
        ImagePtr canvas = createImageForOverwrite(side + canvasMargin, side + canvasMargin);
        StrokePlan plan(*source);
        plan.drawJitters();
        paintBands(*canvas, texture.get(), *brush, plan);
        benchmark::DoNotOptimize(canvas.get());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(source->byteCount()));
}
BENCHMARK(verb_paint)->Unit(benchmark::kMillisecond)->Iterations(verbIterations());

} // namespace
