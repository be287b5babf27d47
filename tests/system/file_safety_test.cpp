// What a write leaves behind and what a replaced file keeps: nothing beside the target when the process is
// killed outright, the content synced before the name is given, extended attributes and access lists
// kept, a name too long for any folder refused at the open, and pipes named through /dev/fd written through.

#include "formats/image_file.h"
#include "system/file_replacement.h"
#include "tests/support/exec.h"
#include "tests/support/process.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace {

bool writeText(int fd, const std::string& text) {
    return writeAll(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool unnamedFilesAllowed(const std::filesystem::path& dir) {
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// Killed outright (no handler runs) in the middle of a write, as a file is being replaced and as a new one
// is written: nothing but what was there before is left in the folder.
TEST(FileSafety, AProcessKilledWhileWritingLeavesNothingBesideTheTarget) {
    TempDir dir;
    if (!unnamedFilesAllowed(dir.path()))
        GTEST_SKIP() << "the file system of " << dir.path() << " makes no unnamed files (O_TMPFILE)";
    writeFile(dir / "old.tga", "older content");
    for (const char* name : {"old.tga", "new.tga"}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            replaceFile((dir / name).c_str(), [](int fd) {
                writeText(fd, "part of the new file");
                ::raise(SIGKILL);
                return true;
            });
            _exit(0); // not reached
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"old.tga"}) << name;
        EXPECT_EQ(readFile(dir / "old.tga"), "older content");
    }
}

// The system calls of a run of the program, as strace lists them; empty when strace cannot run here.
std::string tracedCalls(const std::filesystem::path& dir, const std::vector<std::string>& environment) {
    // The leak checker of a sanitizer build cannot work under a tracer, and would fail the run.
    std::string command = "cd " + dir.string() + " && ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" ";
    for (const std::string& variable : environment)
        command += variable + " ";
    command += "strace -f -e trace=fsync,fdatasync,renameat,renameat2,linkat -o calls.txt " +
               chromaloomPath().string() + " s.script > /dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        return "";
    return readFile(dir / "calls.txt");
}

// The file is synced before it takes its name, and the folder after; CHROMALOOM_NO_FSYNC=1 leaves both out.
TEST(FileSafety, TheNewFileIsSyncedBeforeItIsNamedUnlessTurnedOff) {
    if (std::system("strace -o /dev/null true > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace cannot run here";
    TempDir dir;
    writeFile(dir / "s.script", "blank a 3 2\nwrite a x.tga\nwrite a x.tga\n");
    const std::string calls = tracedCalls(dir.path(), {});
    ASSERT_FALSE(calls.empty());
    // Two writes: each syncs the file, then names it, then syncs the folder.
    std::size_t syncs = 0;
    for (std::size_t at = calls.find("fsync("); at != std::string::npos; at = calls.find("fsync(", at + 1))
        ++syncs;
    EXPECT_EQ(syncs, 4u) << calls;
    const std::size_t firstSync = calls.find("fsync(");
    const std::size_t firstName = std::min(calls.find("linkat("), calls.find("rename"));
    EXPECT_LT(firstSync, firstName) << calls;
    const std::string unsynced = tracedCalls(dir.path(), {"CHROMALOOM_NO_FSYNC=1"});
    EXPECT_EQ(unsynced.find("fsync("), std::string::npos) << unsynced;
    EXPECT_NE(unsynced.find("rename"), std::string::npos) << unsynced;
}

// An access list entry for user 1234 (read) beside the owner (read and write), the group (read), the mask
// (read) and others (nothing), as the kernel stores it in system.posix_acl_access.
std::string accessList() {
    std::string acl;
    const auto put32 = [&acl](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            acl += static_cast<char>(v >> (8 * i));
    };
    const auto entry = [&](std::uint16_t tag, std::uint16_t perm, std::uint32_t id) {
        acl += static_cast<char>(tag), acl += static_cast<char>(tag >> 8);
        acl += static_cast<char>(perm), acl += static_cast<char>(perm >> 8);
        put32(id);
    };
    put32(2); // the format's version
    entry(0x01, 6, 0xFFFFFFFF);
    entry(0x02, 4, 1234);
    entry(0x04, 4, 0xFFFFFFFF);
    entry(0x10, 4, 0xFFFFFFFF);
    entry(0x20, 0, 0xFFFFFFFF);
    return acl;
}

std::optional<std::string> attribute(const std::filesystem::path& file, const char* name) {
    char value[256];
    const ssize_t n = ::getxattr(file.c_str(), name, value, sizeof value);
    if (n < 0)
        return std::nullopt;
    return std::string(value, static_cast<std::size_t>(n));
}

TEST(FileSafety, AReplacedFileKeepsItsExtendedAttributesAndAccessList) {
    TempDir dir;
    const std::filesystem::path target = dir / "x.tga";
    struct Case {
        const char* name;
        std::string value;
    };
    const Case cases[] = {{"user.comment", "kept"},
                          {"user.origin", std::string("a\0b", 3)},
                          {"system.posix_acl_access", accessList()}};
    const ImagePtr image = createImage(3, 2);
    for (const Case& c : cases) {
        writeFile(target, "older content");
        if (::setxattr(target.c_str(), c.name, c.value.data(), c.value.size(), 0) != 0) {
            std::cout << "skipped " << c.name << ": " << std::strerror(errno) << "\n";
            continue;
        }
        ASSERT_EQ(saveImageFile(target.c_str(), *image), "");
        EXPECT_NE(readFile(target), "older content");
        EXPECT_EQ(attribute(target, c.name), c.value) << c.name;
    }
}

TEST(FileSafety, ANameTooLongForAnyFolderCannotBeOpened) {
    TempDir dir;
    const ImagePtr image = createImage(3, 2);
    for (const std::size_t length : {std::size_t{256}, std::size_t{300}, std::size_t{1000}}) {
        const std::string path = (dir / std::string(length, 'n')).string() + ".tga";
        EXPECT_EQ(saveImageFile(path.c_str(), *image), "cannot open file") << length;
        for (const char* prefix : {"png:", "pam:"})
            EXPECT_EQ(saveImageFile((prefix + path).c_str(), *image), "cannot open file") << length;
    }
    // The longest a folder entry may hold is written.
    const std::string longest = (dir / std::string(251, 'n')).string() + ".tga";
    EXPECT_EQ(saveImageFile(longest.c_str(), *image), "");
    EXPECT_EQ(namesIn(dir.path()).size(), 1u);
}

// A pipe named as /dev/fd/N (as a shell's `3> >(cat > out)` gives it) is written through, as a named
// FIFO is, to the same bytes a file gets.
TEST(FileSafety, APipeNamedThroughDevFdIsWrittenThrough) {
    TempDir dir;
    const ImagePtr image = makeImage(3, 2, [](auto x, auto y) {
        return Rgba{static_cast<std::uint8_t>(x * 80), static_cast<std::uint8_t>(y * 90), 7, 255};
    });
    for (const char* prefix : {"", "png:", "pam:"}) {
        const std::string file = (dir / "x").string();
        ASSERT_EQ(saveImageFile((prefix + file).c_str(), *image), "");
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        std::string received;
        std::thread reader([&] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
                received.append(buffer, static_cast<std::size_t>(n));
        });
        const std::string named = std::string(prefix) + "/dev/fd/" + std::to_string(fds[1]);
        EXPECT_EQ(saveImageFile(named.c_str(), *image), "") << prefix;
        ::close(fds[1]);
        reader.join();
        ::close(fds[0]);
        EXPECT_EQ(received, readFile(file)) << prefix;
    }
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"x"});
}

} // namespace
