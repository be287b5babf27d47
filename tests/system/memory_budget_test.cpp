// The memory budget of all images: the cap from what the machine or its control group allows, what a large
// request must also find free, the facts read from the system's files, sizes as the limit variable gives
// them, and the count of live pixel buffers.

#include "image/image.h"
#include "system/memory_budget.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <new>
#include <optional>

namespace {

constexpr std::uint64_t MiB = std::uint64_t{1} << 20;
constexpr std::uint64_t GiB = std::uint64_t{1} << 30;

TEST(MemoryBudget, ImagesTogetherMayTakeThreeQuartersOfTheMemoryThatCanBeHad) {
    struct Case {
        MemoryFacts facts;
        std::optional<std::uint64_t> cap;
    };
    MemoryFacts machine;
    machine.physical = 16 * GiB;
    MemoryFacts container = machine;
    container.groupLimit = 1 * GiB;
    MemoryFacts roomyContainer = machine;
    roomyContainer.groupLimit = 64 * GiB;
    MemoryFacts capped = container;
    capped.userLimit = 100 * MiB;
    MemoryFacts capAboveMachine = container;
    capAboveMachine.userLimit = 2 * GiB;
    MemoryFacts onlyUser;
    onlyUser.userLimit = 5 * MiB;
    for (const Case& c : {Case{machine, 12 * GiB}, Case{container, 768 * MiB}, Case{roomyContainer, 12 * GiB},
                          Case{capped, 100 * MiB}, Case{capAboveMachine, 768 * MiB}, Case{onlyUser, 5 * MiB},
                          Case{MemoryFacts{}, std::nullopt}}) {
        EXPECT_EQ(imageMemoryCap(c.facts), c.cap);
        if (!c.cap)
            continue;
        // The cap counts the images held and the one asked for together, small or large.
        EXPECT_TRUE(imageMemoryAllowed(*c.cap - MiB, MiB, c.facts));
        EXPECT_FALSE(imageMemoryAllowed(*c.cap - MiB, MiB + 1, c.facts));
        EXPECT_FALSE(imageMemoryAllowed(*c.cap / 2 + 1, *c.cap / 2, c.facts));
        EXPECT_TRUE(imageMemoryAllowed(0, *c.cap, c.facts));
    }
    EXPECT_FALSE(imageMemoryAllowed(~std::uint64_t{0}, 2, MemoryFacts{}));
}

TEST(MemoryBudget, ALargeRequestMustAlsoFitInWhatIsFreeNowLessAReserve) {
    // A 16 GiB machine keeps 1 GiB in reserve; a container of 2 GiB keeps 128 MiB.
    MemoryFacts busyMachine;
    busyMachine.physical = 16 * GiB;
    busyMachine.available = 3 * GiB;
    EXPECT_TRUE(imageMemoryAllowed(0, 2 * GiB, busyMachine));
    EXPECT_FALSE(imageMemoryAllowed(0, 2 * GiB + 1, busyMachine));
    MemoryFacts busyContainer = busyMachine;
    busyContainer.groupLimit = 2 * GiB;
    busyContainer.groupFree = 200 * MiB;
    EXPECT_TRUE(imageMemoryAllowed(0, 72 * MiB, busyContainer));
    EXPECT_FALSE(imageMemoryAllowed(0, 72 * MiB + 1, busyContainer));
    busyContainer.groupFree = 100 * MiB; // less than the reserve
    EXPECT_FALSE(imageMemoryAllowed(0, largeRequestBytes, busyContainer));
    // Small requests are judged by the cap alone, so that they need no look at the system.
    EXPECT_TRUE(imageMemoryAllowed(0, largeRequestBytes - 1, busyContainer));
}

// A folder laid out like the system's, for readMemoryFacts.
struct FakeSystem {
    TempDir root;
    void put(const std::string& path, const std::string& text) {
        std::filesystem::create_directories((root / path).parent_path());
        writeFile(root / path, text);
    }
};

TEST(MemoryBudget, FactsAreReadFromEitherLayoutOfControlGroups) {
    const std::string meminfo = "MemTotal:       16777216 kB\nMemFree:  1 kB\nMemAvailable:    4194304 kB\n";
    {
        // Unified layout alone; the group's parent sets the tighter limit, "max" means none.
        FakeSystem sys;
        sys.put("proc/meminfo", meminfo);
        sys.put("proc/self/cgroup", "0::/jobs/one\n");
        sys.put("sys/fs/cgroup/cgroup.controllers", "memory\n");
        sys.put("sys/fs/cgroup/jobs/memory.max", "1073741824\n");
        sys.put("sys/fs/cgroup/jobs/memory.current", "536870912\n");
        sys.put("sys/fs/cgroup/jobs/memory.stat", "active_file 1\ninactive_file 268435456\n");
        sys.put("sys/fs/cgroup/jobs/one/memory.max", "max\n");
        sys.put("sys/fs/cgroup/jobs/one/memory.current", "1000\n");
        const MemoryFacts f = readMemoryFacts(sys.root.path().string(), "64M");
        EXPECT_EQ(f.physical, 16 * GiB);
        EXPECT_EQ(f.available, 4 * GiB);
        EXPECT_EQ(f.groupLimit, 1 * GiB);
        EXPECT_EQ(f.groupFree, 1 * GiB - (512 * MiB - 256 * MiB));
        EXPECT_EQ(f.userLimit, 64 * MiB);
    }
    {
        // Older layout inside a container: the named group is not visible, its own root is.
        FakeSystem sys;
        sys.put("proc/meminfo", meminfo);
        sys.put("proc/self/cgroup", "5:cpu,cpuacct:/\n4:memory:/docker/abc\n0::/\n");
        sys.put("sys/fs/cgroup/memory/memory.limit_in_bytes", "2147483648\n");
        sys.put("sys/fs/cgroup/memory/memory.usage_in_bytes", "1073741824\n");
        sys.put("sys/fs/cgroup/memory/memory.stat", "inactive_file 5\ntotal_inactive_file 1073741824\n");
        sys.put("sys/fs/cgroup/unified/cgroup.procs", "");
        const MemoryFacts f = readMemoryFacts(sys.root.path().string(), nullptr);
        EXPECT_EQ(f.groupLimit, 2 * GiB);
        EXPECT_EQ(f.groupFree, 2 * GiB);
        EXPECT_EQ(f.userLimit, std::nullopt);
    }
    {
        // No limit: the older layout's "unlimited" is a huge number.
        FakeSystem sys;
        sys.put("proc/self/cgroup", "4:memory:/\n");
        sys.put("sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
        const MemoryFacts f = readMemoryFacts(sys.root.path().string(), nullptr);
        EXPECT_EQ(f.groupLimit, std::nullopt);
        EXPECT_EQ(f.physical, std::nullopt);
    }
    EXPECT_EQ(parseByteSize("1500"), 1500u);
    EXPECT_EQ(parseByteSize("1500B"), 1500u);
    EXPECT_EQ(parseByteSize("3k"), 3072u);
    EXPECT_EQ(parseByteSize("2G"), 2 * GiB);
    EXPECT_EQ(parseByteSize("512MiB"), 512 * MiB);
    EXPECT_EQ(parseByteSize("2GB"), 2 * GiB);
    EXPECT_EQ(parseByteSize(" 3g\t"), 3 * GiB);
    EXPECT_EQ(parseByteSize("4T"), 4096 * GiB);
    EXPECT_EQ(parseByteSize("16777215T"), (std::uint64_t{16777215} << 40));
    for (const char* bad : {"", " ", "abc", "-1", "1Q", "M", "x", "0x10000000", "3G3", "2 G", "4TiBB", "1iB",
                            "99999999999999999999", "99999999999999999999G", "16777216T"})
        EXPECT_EQ(parseByteSize(bad), std::nullopt) << bad;
}

TEST(MemoryBudget, EveryLivePixelBufferIsCountedUntilItIsReleased) {
    const std::uint64_t before = imageBytesHeld();
    {
        ImagePtr a = createImage(512, 512);
        EXPECT_EQ(imageBytesHeld(), before + MiB);
        ImagePtr b = cloneImage(*a);
        ImagePtr empty = createImage(0, 7);
        EXPECT_EQ(imageBytesHeld(), before + 2 * MiB);
        ImagePtr moved = std::move(a);
        a = createImageForOverwrite(256, 256);
        EXPECT_EQ(imageBytesHeld(), before + 2 * MiB + MiB / 4);

        // Under a cap of 2.5 MiB the next mebibyte does not fit until one is given back.
        setImageMemoryLimit(before + 2 * MiB + MiB / 2);
        EXPECT_THROW(createImage(512, 512), std::bad_alloc);
        EXPECT_THROW(cloneImage(*moved), std::bad_alloc);
        EXPECT_EQ(imageBytesHeld(), before + 2 * MiB + MiB / 4);
        b.reset();
        EXPECT_NO_THROW(createImage(512, 512));
        setImageMemoryLimit(std::nullopt);
    }
    EXPECT_EQ(imageBytesHeld(), before);
}

} // namespace
