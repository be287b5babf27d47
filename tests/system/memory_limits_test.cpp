// Out of memory is one line's error, never the end of the program: a file of a few bytes that declares
// one enormous row, a WebP file far larger than the budget, and several runs that share one memory
// control group.

#include "system/sanitizers.h"
#include "tests/support/png_files.h"
#include "tests/support/process.h"

#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Under a 64 MiB cap the reading of each file is refused as out of memory, and the program never holds
// much more than the cap: the rows a reader works in count in the budget before they are taken.
TEST(MemoryLimits, AFileOfOneHugeRowIsRefusedWithinTheCap) {
    TempDir dir;
    for (const bool wide : {false, true}) {
        PngLayout layout;
        layout.width = wide ? 8'000'000 : 16'000'000; // 64 MB of pixels, or 32 MB at 16 bits a sample
        layout.colourType = 6;
        layout.depth = wide ? 16 : 8;
        layout.samples.assign(pngRowBytes(layout), 0);
        const std::vector<std::uint8_t> file = encodeWithLibrary(layout);
        writeFile(dir / "row.png", std::string(file.begin(), file.end()));
        writeFile(dir / "s.script", "read a row.png\n");
        RunOptions options;
        options.args = {"s.script"};
        options.workDir = dir.path();
        options.environment = {{"CHROMALOOM_MEMORY_LIMIT", "64MiB"}};
        const RunResult run = runChromaloom(options);
        EXPECT_EQ(afterStartUp(run.output), "Error (line 1): not enough memory\n") << wide;
        // The address sanitizer's shadow memory and quarantine make the peak meaningless there.
        if (!CHROMALOOM_ADDRESS_SANITIZER && !CHROMALOOM_THREAD_SANITIZER) {
            EXPECT_LT(run.maxRssKb, 100'000) << wide;
        }
    }
}

// A 1 GB WebP file (and the same from a pipe) under a 64 MiB cap: refused before it is read whole.
TEST(MemoryLimits, AWebpFileLargerThanTheCapIsNeverReadWhole) {
    TempDir dir;
    const std::string header = std::string("RIFF\xf0\xff\xff\x3fWEBPVP8L", 16);
    writeFile(dir / "b.webp", header);
    ASSERT_EQ(::truncate((dir / "b.webp").c_str(), off_t{1} << 30), 0);
    writeFile(dir / "s.script", "read a b.webp\n");
    writeFile(dir / "p.script", "read a /dev/stdin\n");
    for (const char* script : {"s.script", "p.script"}) {
        RunOptions options;
        options.args = {script};
        options.workDir = dir.path();
        options.environment = {{"CHROMALOOM_MEMORY_LIMIT", "64MiB"}};
        if (std::string(script) == "p.script") // through a pipe, 100 MB of it
            options.stdinData = header + std::string(std::size_t{100} << 20, '\0');
        const RunResult run = runChromaloom(options);
        EXPECT_EQ(afterStartUp(run.output), "Error (line 1): not enough memory\n") << script;
        if (!CHROMALOOM_ADDRESS_SANITIZER && !CHROMALOOM_THREAD_SANITIZER) {
            EXPECT_LT(run.maxRssKb, 150'000) << script;
        }
    }
}

// A memory control group of the test's own, as root, in whichever layout the memory controller is mounted
// (unified at /sys/fs/cgroup, or the older one at /sys/fs/cgroup/memory), or the reason there is none.
class ControlGroup {
public:
    explicit ControlGroup(std::uint64_t limit) {
        if (::geteuid() != 0) {
            reason = "not running as root";
            return;
        }
        std::ifstream controllers("/sys/fs/cgroup/cgroup.controllers");
        std::string list;
        std::getline(controllers, list);
        const bool unified = list.find("memory") != std::string::npos;
        const fs::path root = unified ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory";
        if (!unified && !fs::exists(root / "memory.limit_in_bytes")) {
            reason = "no memory controller is mounted at /sys/fs/cgroup";
            return;
        }
        path = root / ("chromaloom_test_" + std::to_string(::getpid()));
        std::error_code error;
        if (!fs::create_directory(path, error) || error) {
            reason = "cannot create a control group under " + root.string() + ": " + error.message();
            path.clear();
            return;
        }
        if (unified) {
            std::ofstream(path / "memory.max") << limit;
            std::ofstream(path / "memory.swap.max") << 0;
        } else {
            std::ofstream(path / "memory.limit_in_bytes") << limit;
            std::ofstream(path / "memory.memsw.limit_in_bytes") << limit; // where swap is accounted
        }
    }
    ~ControlGroup() {
        if (!path.empty())
            ::rmdir(path.c_str());
    }
    bool made() const { return !path.empty(); }
    const fs::path& folder() const { return path; }

    std::string reason;

private:
    fs::path path;
};

// Four runs at once in one 300 MiB group, each reading two 4000 x 5000 PNG files (80 MB of pixels each):
// each would judge the free memory before the others take it, but a large block is judged and committed
// while the group is locked against the other runs, so a run the group cannot serve gets "not enough
// memory", never a kill. Five trials.
TEST(MemoryLimits, SeveralRunsSharingOneControlGroupAreNeverKilled) {
    if (CHROMALOOM_ADDRESS_SANITIZER || CHROMALOOM_THREAD_SANITIZER)
        GTEST_SKIP() << "a sanitizer's build keeps images on the heap and its own shadow memory beside them";
    ControlGroup group(std::uint64_t{300} << 20);
    if (!group.made())
        GTEST_SKIP() << group.reason;
    TempDir dir;
    writeFile(dir / "make.script",
              "blank a 4000 5000\nfill a 0 0 4000 5000 10 20 30 255\nwrite a png:big.png\n");
    RunOptions make;
    make.args = {"make.script"};
    make.workDir = dir.path();
    ASSERT_EQ(runChromaloom(make).status, 0);
    // The trial itself, as the runs give it: every line that does not fit is refused.
    writeFile(dir / "s.script", "read a big.png\nread b big.png\nblur a 3\n");
    int killed = 0;
    for (int trial = 0; trial < 5; ++trial) {
        std::vector<pid_t> runs;
        for (int i = 0; i < 4; ++i) {
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                std::ofstream(group.folder() / "cgroup.procs") << ::getpid();
                if (::chdir(dir.path().c_str()) != 0)
                    _exit(126);
                const std::string program = chromaloomPath().string();
                ::freopen("/dev/null", "w", stdout);
                ::execl(program.c_str(), program.c_str(), "s.script", nullptr);
                _exit(127);
            }
            runs.push_back(child);
        }
        for (const pid_t child : runs) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            killed += WIFSIGNALED(status) ? 1 : 0;
        }
    }
    EXPECT_EQ(killed, 0);
}

} // namespace
