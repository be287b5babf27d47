// The pool: counts as the variable and the option give them, the CPUs a control group's quota allows, every
// task run once whatever the number of threads, the lowest failure thrown, and bands cut by size alone.

#include "system/thread_pool.h"
#include "tests/support/process.h"

#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Sets the pool's size for the life of the object, then puts back what it was.
class Threads {
public:
    explicit Threads(unsigned count) : before(threadCount()) { setThreadCount(count); }
    ~Threads() { setThreadCount(before); }

private:
    unsigned before;
};

TEST(ThreadPool, ACountIsAWholeNumberFromOneTo256) {
    struct Case {
        const char* text;
        std::optional<unsigned> count;
    };
    for (const Case& c :
         {Case{"1", 1u}, Case{"16", 16u}, Case{" 7\t", 7u}, Case{"256", 256u}, Case{"007", 7u},
          Case{"0", std::nullopt}, Case{"257", std::nullopt}, Case{"-2", std::nullopt},
          Case{"+2", std::nullopt}, Case{"2.5", std::nullopt}, Case{"2x", std::nullopt},
          Case{"", std::nullopt}, Case{"99999999999999999999", std::nullopt}, Case{"all", std::nullopt}})
        EXPECT_EQ(parseThreadCount(c.text), c.count) << c.text;
    EXPECT_EQ(parseThreadCount(nullptr), std::nullopt);
}

// A folder laid out as / is for the quota's files: proc/self/cgroup and the groups under sys/fs/cgroup.
TEST(ThreadPool, TheCpusUsableAreLoweredToTheControlGroupsQuota) {
    const unsigned all = usableCpus("/nonexistent");
    struct Case {
        const char* cgroup;                                     // proc/self/cgroup
        std::vector<std::pair<const char*, const char*>> files; // path under sys/fs/cgroup, contents
        unsigned expected;                                      // 0: all the CPUs of the affinity mask
    };
    const std::vector<Case> cases = {
        {"0::/job\n", {{"cgroup.controllers", "cpu memory"}, {"job/cpu.max", "50000 100000\n"}}, 1},
        {"0::/job\n", {{"cgroup.controllers", "cpu"}, {"job/cpu.max", "max 100000\n"}}, 0},
        // The tightest group on the way up counts; a quota of 1.5 CPUs rounds up to 2.
        {"0::/a/b\n",
         {{"cgroup.controllers", "cpu"}, {"a/cpu.max", "150000 100000\n"}, {"a/b/cpu.max", "max 100000\n"}},
         2},
        {"3:cpu,cpuacct:/job\n",
         {{"cpu,cpuacct/job/cpu.cfs_quota_us", "100000\n"},
          {"cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"}},
         1},
        {"1:cpu:/\n", {{"cpu/cpu.cfs_quota_us", "-1\n"}, {"cpu/cpu.cfs_period_us", "100000\n"}}, 0},
    };
    for (const Case& c : cases) {
        TempDir root;
        fs::create_directories(root / "proc/self");
        std::ofstream(root / "proc/self/cgroup") << c.cgroup;
        for (const auto& [path, contents] : c.files) {
            const fs::path file = root / "sys/fs/cgroup" / path;
            fs::create_directories(file.parent_path());
            std::ofstream(file) << contents;
        }
        EXPECT_EQ(usableCpus(root.path().string()), c.expected == 0 ? all : std::min(all, c.expected))
            << c.cgroup;
    }
}

TEST(ThreadPool, EveryTaskRunsOnceAndTheLowestFailureIsThrown) {
    for (const unsigned threads : {1u, 2u, 3u, 7u}) {
        Threads pool(threads);
        for (const std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{1000}}) {
            std::vector<std::atomic<int>> runs(count);
            runParallel(count, [&](std::size_t i) {
                runs[i].fetch_add(1);
                // A task may share out work of its own: it runs on the same thread.
                runParallel(3, [&](std::size_t) {});
            });
            for (std::size_t i = 0; i < count; ++i)
                EXPECT_EQ(runs[i].load(), 1) << threads << " threads, task " << i << " of " << count;
        }
        // Tasks 3 and 40 fail, 3 long after 40 has: every task before a failure still runs, and the lowest
        // failure is the one thrown.
        try {
            runParallel(64, [](std::size_t i) {
                if (i == 3)
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                if (i == 3 || i == 40)
                    throw std::runtime_error(std::to_string(i));
            });
            ADD_FAILURE() << "nothing thrown with " << threads << " threads";
        } catch (const std::runtime_error& failure) {
            EXPECT_STREQ(failure.what(), "3") << threads;
        }
    }
}

TEST(ThreadPool, BandsCoverEveryRowOnceWithEdgesSetByTheSizeAlone) {
    struct Case {
        std::int64_t rows;
        std::uint64_t rowBytes;
    };
    for (const Case& c :
         {Case{1, 16}, Case{300, 4096}, Case{5000, 4}, Case{64, bandWorkBytes * 3}, Case{7, 0}}) {
        std::vector<std::vector<int>> seen;
        for (const unsigned threads : {1u, 3u}) {
            Threads pool(threads);
            std::vector<int> bandOfRow(static_cast<std::size_t>(c.rows), -1);
            forEachRowBand(c.rows, c.rowBytes, [&](RowBand band) {
                for (std::int64_t y = band.begin; y < band.end; ++y)
                    bandOfRow[static_cast<std::size_t>(y)] = static_cast<int>(band.begin);
            });
            for (std::int64_t y = 0; y < c.rows; ++y)
                ASSERT_GE(bandOfRow[static_cast<std::size_t>(y)], 0) << c.rows << " rows, row " << y;
            seen.push_back(bandOfRow);
        }
        EXPECT_EQ(seen[0], seen[1]) << c.rows << " rows";
        const std::int64_t height = bandRows(c.rows, c.rowBytes);
        EXPECT_EQ(seen[0].back(), (c.rows - 1) / height * height) << c.rows << " rows";
    }
}

} // namespace
