#include "system/thread_pool.h"
#include "system/control_groups.h"
#include "system/setting_text.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <sched.h>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A positive whole number at the start of `text`, or none ("max", "-1", anything else).
std::optional<std::uint64_t> leadingCount(std::string_view text) {
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        if (value > (UINT64_MAX - 9) / 10)
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(text[digits] - '0');
    }
    if (digits == 0 || value == 0)
        return std::nullopt;
    return value;
}

// The CPUs that a quota of `quota` microseconds in every `period` gives: rounded up.
std::optional<unsigned> quotaCpus(std::optional<std::uint64_t> quota, std::optional<std::uint64_t> period) {
    if (!quota || !period)
        return std::nullopt;
    const std::uint64_t cpus = *quota / *period + (*quota % *period != 0 ? 1 : 0);
    return static_cast<unsigned>(std::min<std::uint64_t>(std::max<std::uint64_t>(cpus, 1), maxThreads));
}

// The CPU quota of the process's control group, in CPUs: the tightest on the way from its group up, read
// from cpu.max ("QUOTA PERIOD" or "max PERIOD") in the unified layout, cpu.cfs_quota_us and
// cpu.cfs_period_us in the older one.
std::optional<unsigned> groupQuotaCpus(const std::string& base) {
    std::optional<unsigned> lowest;
    forEachGroupFolder(base, "cpu", [&](GroupLayout layout, const std::string& dir) {
        std::optional<unsigned> cpus;
        if (layout == GroupLayout::Unified) {
            const std::string text = readSmallFile(dir + "/cpu.max");
            const std::size_t blank = text.find(' ');
            if (blank != std::string::npos)
                cpus = quotaCpus(leadingCount(text), leadingCount(std::string_view(text).substr(blank + 1)));
        } else {
            cpus = quotaCpus(leadingCount(readSmallFile(dir + "/cpu.cfs_quota_us")),
                             leadingCount(readSmallFile(dir + "/cpu.cfs_period_us")));
        }
        if (cpus && (!lowest || *cpus < *lowest))
            lowest = cpus;
    });
    return lowest;
}

// One call of runParallel being worked on. Tasks are handed out in order; once one fails, those after it
// are skipped but those before it still run, so the failure thrown is that of the lowest task that fails,
// however the threads were timed.
struct Job {
    const std::function<void(std::size_t)>* task = nullptr;
    std::size_t count = 0;
    std::atomic<std::size_t> next{0};
    std::mutex failureMutex;
    std::atomic<std::size_t> failedAt{SIZE_MAX};
    std::exception_ptr failure;

    // Takes tasks until none is left; returns when this thread can take no more.
    void work() {
        for (;;) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= count || i > failedAt.load(std::memory_order_relaxed))
                return;
            try {
                (*task)(i);
            } catch (...) {
                std::lock_guard<std::mutex> hold(failureMutex);
                if (i < failedAt.load(std::memory_order_relaxed)) {
                    failedAt.store(i, std::memory_order_relaxed);
                    failure = std::current_exception();
                }
            }
        }
    }
};

thread_local bool insideTask = false;

class Pool {
public:
    ~Pool() { stop(); }

    unsigned size() {
        std::lock_guard<std::mutex> hold(sizeMutex);
        if (wanted == 0) {
            const std::optional<unsigned> fromVariable = parseThreadCount(std::getenv("CHROMALOOM_THREADS"));
            wanted = fromVariable ? *fromVariable : usableCpus();
        }
        return wanted;
    }

    void resize(unsigned count) {
        std::lock_guard<std::mutex> runHold(runMutex);
        stop();
        std::lock_guard<std::mutex> hold(sizeMutex);
        wanted = std::clamp(count, 1u, maxThreads);
    }

    void run(std::size_t count, const std::function<void(std::size_t)>& task) {
        const unsigned threads = size();
        if (insideTask || threads == 1 || count == 1) {
            for (std::size_t i = 0; i < count; ++i)
                task(i);
            return;
        }
        std::lock_guard<std::mutex> runHold(runMutex);
        start(threads);
        Job job;
        job.task = &task;
        job.count = count;
        {
            std::lock_guard<std::mutex> hold(mutex);
            current = &job;
            ++generation;
            busy = workers.size();
        }
        wake.notify_all();
        insideTask = true;
        job.work();
        insideTask = false;
        {
            std::unique_lock<std::mutex> hold(mutex);
            finished.wait(hold, [&] { return busy == 0; });
            current = nullptr;
        }
        if (job.failure)
            std::rethrow_exception(job.failure);
    }

private:
    // Starts the workers (threads - 1 of them) unless they run; a process made by fork() has none of its
    // parent's threads and starts its own.
    void start(unsigned threads) {
        if (owner == ::getpid() && workers.size() + 1 == threads)
            return;
        stop();
        owner = ::getpid();
        ending = false;
        std::uint64_t now = 0;
        {
            std::lock_guard<std::mutex> hold(mutex);
            now = generation;
        }
        // A new worker waits for the next job, not one that ended before it started.
        for (unsigned i = 1; i < threads; ++i)
            workers.emplace_back([this, now] { serve(now); });
    }

    void stop() {
        if (owner != ::getpid()) {
            // Made by fork(): the parent's threads do not exist here, and their handles can neither be
            // joined nor dropped, so they are set aside for good.
            if (!workers.empty())
                new std::vector<std::thread>(std::move(workers));
            workers.clear();
            return;
        }
        {
            std::lock_guard<std::mutex> hold(mutex);
            ending = true;
        }
        wake.notify_all();
        for (std::thread& worker : workers)
            worker.join();
        workers.clear();
    }

    void serve(std::uint64_t seen) {
        insideTask = true;
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock<std::mutex> hold(mutex);
                wake.wait(hold, [&] { return ending || generation != seen; });
                if (ending)
                    return;
                seen = generation;
                job = current;
            }
            job->work();
            {
                std::lock_guard<std::mutex> hold(mutex);
                if (--busy == 0)
                    finished.notify_one();
            }
        }
    }

    std::mutex sizeMutex;
    unsigned wanted = 0;
    std::mutex runMutex; // one job at a time
    std::mutex mutex;    // guards what follows
    std::condition_variable wake;
    std::condition_variable finished;
    Job* current = nullptr;
    std::uint64_t generation = 0;
    std::size_t busy = 0;
    bool ending = false;
    pid_t owner = 0;
    std::vector<std::thread> workers;
};

Pool& pool() {
    static Pool instance;
    return instance;
}

} // namespace

std::optional<unsigned> parseThreadCount(const char* text) {
    if (text == nullptr)
        return std::nullopt;
    std::string_view rest = withoutBlanks(text);
    if (rest.empty() || rest.size() > 3 || rest.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const std::optional<std::uint64_t> value = leadingCount(rest);
    if (!value || *value > maxThreads)
        return std::nullopt;
    return static_cast<unsigned>(*value);
}

unsigned usableCpus(const std::string& root) {
    std::string base = root;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    unsigned cpus = 0;
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (::sched_getaffinity(0, sizeof mask, &mask) == 0)
        cpus = static_cast<unsigned>(CPU_COUNT(&mask));
    if (cpus == 0)
        cpus = std::max(1u, std::thread::hardware_concurrency());
    if (const std::optional<unsigned> quota = groupQuotaCpus(base))
        cpus = std::min(cpus, *quota);
    return std::clamp(cpus, 1u, maxThreads);
}

void setThreadCount(unsigned count) {
    pool().resize(count);
}

unsigned threadCount() {
    return pool().size();
}

void runParallel(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count == 0)
        return;
    pool().run(count, task);
}
