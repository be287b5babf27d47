#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The threads that work on one image together: started once, at the first piece of work that is large
// enough to share, and kept for the rest of the run. How the work is cut never depends on how many
// threads there are: a verb splits its rows into bands whose edges follow from the image's size alone, and
// every band gives the same bytes whichever thread runs it, so a script's output is the same for one
// thread or sixteen.

// The most threads a run takes, whatever it is asked for.
inline constexpr unsigned maxThreads = 256;

// A thread count as CHROMALOOM_THREADS or --threads gives it: a whole number from 1 to maxThreads in
// decimal digits, blanks around it allowed. None for anything else.
std::optional<unsigned> parseThreadCount(const char* text);

// The CPUs this process may use: those of its affinity mask, lowered to its control group's CPU quota
// (quota over period, rounded up) where one is set, in either layout of the groups. At least 1. `root` is
// "/" normally; a test passes a folder laid out the same way for the quota's files.
unsigned usableCpus(const std::string& root = "/");

// The threads of the pool from now on, the caller among them (1: everything runs on the calling thread).
// Clamped to 1..maxThreads.
void setThreadCount(unsigned count);

// The threads of the pool: as set, else CHROMALOOM_THREADS when it reads as a count, else usableCpus().
unsigned threadCount();

// Runs task(i) for every i in [0, count), spread over the pool's threads; the calling thread works too.
// Returns when every task has run. When a task throws, the tasks after it that have not begun are skipped
// (those before it all run), and the exception of the lowest i that threw is thrown here once all have
// stopped. Called from inside a task, the tasks run
// one after another on that thread.
void runParallel(std::size_t count, const std::function<void(std::size_t)>& task);

// The rows of one band: [begin, end).
struct RowBand {
    std::int64_t begin;
    std::int64_t end;
};

// Bytes of work a band aims at. Smaller bands share the work more evenly; larger ones cost less to hand out.
inline constexpr std::uint64_t bandWorkBytes = std::uint64_t{256} << 10;

// The rows in each band for an image of `rows` rows with `rowBytes` bytes of work each: as many as make
// bandWorkBytes, at least 1. A function of the size alone.
inline std::int64_t bandRows(std::int64_t rows, std::uint64_t rowBytes) {
    const std::uint64_t perBand =
        rowBytes == 0 ? bandWorkBytes : std::max<std::uint64_t>(1, bandWorkBytes / rowBytes);
    return std::max<std::int64_t>(
        1,
        std::min<std::int64_t>(rows, static_cast<std::int64_t>(std::min<std::uint64_t>(perBand, INT64_MAX))));
}

// Runs work(band) for consecutive bands covering rows [0, rows), bandRows(rows, rowBytes) rows each (the
// last one shorter), in parallel. An image of a single band runs on the calling thread.
template <class Work> void forEachRowBand(std::int64_t rows, std::uint64_t rowBytes, Work&& work) {
    if (rows <= 0)
        return;
    const std::int64_t height = bandRows(rows, rowBytes);
    const auto bands = static_cast<std::size_t>((rows + height - 1) / height);
    if (bands == 1) {
        work(RowBand{0, rows});
        return;
    }
    runParallel(bands, [&](std::size_t i) {
        const std::int64_t begin = static_cast<std::int64_t>(i) * height;
        work(RowBand{begin, std::min(rows, begin + height)});
    });
}
