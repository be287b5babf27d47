#include "system/memory_budget.h"
#include "system/control_groups.h"
#include "system/pixel_memory.h"
#include "system/setting_text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <new>
#include <sstream>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::optional<std::uint64_t>;

// The lower of two limits, where none means no limit.
Bytes lowest(Bytes a, Bytes b) {
    if (!a)
        return b;
    if (!b)
        return a;
    return std::min(*a, *b);
}

// A decimal count of bytes at the start of text; none for "max", anything else that is not a number, and
// the huge values that stand for "no limit" in the older control group layout.
Bytes parseCount(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return std::nullopt;
    const unsigned long long value = std::strtoull(begin, &end, 10);
    if (end == begin || value >= (std::uint64_t{1} << 62))
        return std::nullopt;
    return value;
}

// The value of a "name value" line in a statistics file such as memory.stat, or "name: value kB" in
// meminfo (scaled by `unit`).
Bytes statValue(const std::string& text, const std::string& name, std::uint64_t unit) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, name.size(), name) != 0 || line.size() == name.size())
            continue;
        const char next = line[name.size()];
        if (next != ' ' && next != ':')
            continue;
        const std::size_t digits = line.find_first_of("0123456789", name.size());
        if (digits == std::string::npos)
            return std::nullopt;
        const Bytes value = parseCount(line.substr(digits));
        if (value && *value > std::numeric_limits<std::uint64_t>::max() / unit)
            return std::nullopt;
        return value ? Bytes(*value * unit) : std::nullopt;
    }
    return std::nullopt;
}

struct GroupFiles {
    const char* limit;
    const char* usage;
    const char* inactiveFile; // reclaimable file cache, in the statistics file
};
constexpr GroupFiles unifiedFiles{"memory.max", "memory.current", "inactive_file"};
constexpr GroupFiles legacyFiles{"memory.limit_in_bytes", "memory.usage_in_bytes", "total_inactive_file"};

// Narrows the facts by the limit of the group whose settings are in `dir`, if it has one.
void readGroup(const std::string& dir, const GroupFiles& files, MemoryFacts& facts) {
    const Bytes limit = parseCount(readSmallFile(dir + "/" + files.limit));
    if (!limit)
        return;
    const Bytes usage = parseCount(readSmallFile(dir + "/" + files.usage));
    const Bytes cache = statValue(readSmallFile(dir + "/memory.stat"), files.inactiveFile, 1);
    std::uint64_t used = usage.value_or(0);
    used -= std::min(used, cache.value_or(0));
    const std::uint64_t groupFree = *limit - std::min(*limit, used);
    facts.groupLimit = lowest(facts.groupLimit, limit);
    if (!facts.groupFree || groupFree < *facts.groupFree)
        facts.groupFolder = dir;
    facts.groupFree = lowest(facts.groupFree, groupFree);
}

// Everything the budget works from: read at the first allocation and again for every large one.
struct Budget {
    std::uint64_t held = 0;
    std::uint64_t kept = 0; // released pixel blocks kept for reuse
    MemoryFacts facts;
    bool factsRead = false;
    bool userLimitSet = false; // setImageMemoryLimit overrides the variable
    Bytes userLimit;

    void refresh() {
        facts = readMemoryFacts("/", std::getenv("CHROMALOOM_MEMORY_LIMIT"));
        if (userLimitSet)
            facts.userLimit = userLimit;
        factsRead = true;
    }
};

Budget& budget() {
    static Budget b;
    return b;
}

} // namespace

std::optional<std::uint64_t> imageMemoryCap(const MemoryFacts& facts) {
    const Bytes machine = lowest(facts.physical, facts.groupLimit);
    return lowest(facts.userLimit, machine ? Bytes(*machine / 4 * 3) : std::nullopt);
}

bool imageMemoryAllowed(std::uint64_t held, std::uint64_t request, const MemoryFacts& facts) {
    if (request > std::numeric_limits<std::uint64_t>::max() - held)
        return false;
    const Bytes cap = imageMemoryCap(facts);
    if (cap && held + request > *cap)
        return false;
    if (request < largeRequestBytes)
        return true;
    const Bytes machine = lowest(facts.physical, facts.groupLimit);
    const std::uint64_t reserve = machine ? *machine / 16 : 0;
    const Bytes freeNow = lowest(facts.available, facts.groupFree);
    return !freeNow || (*freeNow >= reserve && request <= *freeNow - reserve);
}

std::optional<std::uint64_t> parseByteSize(const char* text) {
    if (text == nullptr)
        return std::nullopt;
    std::string_view rest = withoutBlanks(text);
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9'; ++digits) {
        const auto digit = static_cast<std::uint64_t>(rest[digits] - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    if (digits == 0)
        return std::nullopt;
    rest.remove_prefix(digits);
    // The unit: nothing or B for bytes; K, M, G or T, alone or followed by B or iB, in binary units.
    static constexpr std::string_view units = "kmgt";
    unsigned shift = 0;
    if (!rest.empty()) {
        const char first = static_cast<char>(std::tolower(static_cast<unsigned char>(rest.front())));
        if (const std::size_t at = units.find(first); at != std::string_view::npos) {
            shift = 10 * static_cast<unsigned>(at + 1);
            rest.remove_prefix(1);
            if (rest.size() == 2 && std::tolower(static_cast<unsigned char>(rest[0])) == 'i')
                rest.remove_prefix(1);
        }
    }
    if (!rest.empty() && !(rest.size() == 1 && std::tolower(static_cast<unsigned char>(rest[0])) == 'b'))
        return std::nullopt;
    if (value > (std::numeric_limits<std::uint64_t>::max() >> shift))
        return std::nullopt;
    return value << shift;
}

MemoryFacts readMemoryFacts(const std::string& root, const char* userLimitText) {
    std::string base = root;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    MemoryFacts facts;
    const std::string meminfo = readSmallFile(base + "/proc/meminfo");
    facts.physical = statValue(meminfo, "MemTotal", 1024);
    facts.available = statValue(meminfo, "MemAvailable", 1024);
    facts.userLimit = parseByteSize(userLimitText);

    // Every limit from the process's group up to the root of its hierarchy narrows the facts.
    forEachGroupFolder(base, "memory", [&](GroupLayout layout, const std::string& dir) {
        readGroup(dir, layout == GroupLayout::Unified ? unifiedFiles : legacyFiles, facts);
    });
    return facts;
}

std::recursive_mutex& memoryMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

std::uint64_t imageBytesHeld() {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
    return budget().held;
}

std::uint64_t imageBytesKept() {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
    return budget().kept;
}

void reserveImageMemory(std::size_t bytes) {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
    Budget& b = budget();
    if (!b.factsRead || bytes >= largeRequestBytes)
        b.refresh();
    if (!imageMemoryAllowed(b.held + b.kept, bytes, b.facts)) {
        if (b.kept == 0)
            throw std::bad_alloc();
        // Judged again as if nothing were kept: the kept blocks go back to the system first, so a large
        // request also finds their memory free.
        releaseKeptBuffers();
        if (bytes >= largeRequestBytes)
            b.refresh();
        if (!imageMemoryAllowed(b.held + b.kept, bytes, b.facts))
            throw std::bad_alloc();
    }
    b.held += bytes;
}

GroupCommitLock::GroupCommitLock() {
    std::string folderPath;
    {
        std::lock_guard<std::recursive_mutex> hold(memoryMutex());
        Budget& b = budget();
        if (!b.factsRead)
            b.refresh();
        folderPath = b.facts.groupFolder;
    }
    if (folderPath.empty())
        return;
    folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    // Asked again every 2 ms for at most 5 s.
    for (int attempt = 0; attempt < 2500; ++attempt) {
        if (::flock(folder, LOCK_EX | LOCK_NB) == 0)
            return;
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::close(folder);
    folder = -1;
}

GroupCommitLock::~GroupCommitLock() {
    if (folder >= 0)
        ::close(folder); // closing the last descriptor of the open folder releases the lock
}

void releaseImageMemory(std::size_t bytes) noexcept {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
    Budget& b = budget();
    b.held -= std::min<std::uint64_t>(b.held, bytes);
}

bool keepImageMemory(std::size_t bytes) noexcept {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
    Budget& b = budget();
    const Bytes cap = imageMemoryCap(b.facts);
    const std::uint64_t after = b.held + b.kept + bytes;
    if (after < bytes || (cap && after > *cap))
        return false;
    b.kept += bytes;
    return true;
}

void unkeepImageMemory(std::size_t bytes) noexcept {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
    Budget& b = budget();
    b.kept -= std::min<std::uint64_t>(b.kept, bytes);
}

void setImageMemoryLimit(std::optional<std::uint64_t> bytes) {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
    Budget& b = budget();
    b.userLimitSet = true;
    b.userLimit = bytes;
    b.facts.userLimit = bytes;
}
