// The verbs in memory on a benchSide() x benchSide() image, beside a memcpy of the same image: the hardware
// baseline every verb's time is compared with.

#include "bench/bench_images.h"

#include <benchmark/benchmark.h>
#include <cstring>

namespace {

void memcpyImage(benchmark::State& state) {
    const std::uint32_t side = benchSide();
    const ImagePtr source = variedImage(side, side);
    ImagePtr target = createImage(side, side);
    std::memset(target->pixels.get(), 1, target->byteCount()); // touched, as a verb's output would be
    for (auto _ : state) {
        std::memcpy(target->pixels.get(), source->pixels.get(), source->byteCount());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(source->byteCount()));
}
BENCHMARK(memcpyImage)->Unit(benchmark::kMillisecond);

} // namespace
