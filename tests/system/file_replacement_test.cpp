// Replacing a file: signals that end the program part way, the owner and mode of a replaced file, files that
// may be written but not replaced, long chains of symbolic links, and the modes and permissions the write
// verb meets as an unprivileged user.

#include "system/file_replacement.h"
#include "system/interruption.h"
#include "tests/support/process.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool writeText(int fd, const std::string& text) {
    return writeAll(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// A signal that arrives while the new file is being written: the temporary file is removed, the older
// file stays, and the process ends by that signal.
TEST(FileReplacement, AnInterruptingSignalRemovesTheTemporaryFileAndEndsTheProcess) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        TempDir dir;
        writeFile(dir / "out.tga", "older content");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            prepareInterruptions();
            replaceFile((dir / "out.tga").c_str(), [signal](int fd) {
                writeText(fd, "part of the new file");
                ::raise(signal);
                return writeText(fd, "the rest");
            });
            _exit(0); // not reached
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << signal;
        EXPECT_EQ(WTERMSIG(status), signal);
        EXPECT_EQ(readFile(dir / "out.tga"), "older content");
        EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"out.tga"}) << signal;
    }
}

// The whole program, stopped from outside while it writes a large file.
TEST(FileReplacement, TheProgramStoppedWhileWritingLeavesNoTemporaryFile) {
    TempDir dir;
    writeFile(dir / "s.script", "blank a 8000 8000\nwrite a big.tga\n");
    writeFile(dir / "big.tga", "older content");
    const std::string program = chromaloomPath().string();
    const std::string script = (dir / "s.script").string();
    char* const args[] = {const_cast<char*>(program.c_str()), const_cast<char*>(script.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, program.c_str(), &actions, nullptr, args, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // Once the new file is open (unnamed, or with a temporary name), the program is told to stop.
    const auto writing = [&] {
        if (namesIn(dir.path()).size() > 2)
            return true;
        const fs::path fds = "/proc/" + std::to_string(child) + "/fd";
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(fds, error)) {
            const std::string target = fs::read_symlink(entry.path(), error).string();
            if (target.rfind(dir.path().string(), 0) == 0 && target.find("(deleted)") != std::string::npos)
                return true;
        }
        return false;
    };
    bool seen = false;
    for (int wait = 0; wait < 20000 && !seen; ++wait) {
        seen = writing();
        if (!seen)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(seen);
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status)) // the write finished first on a fast machine: nothing to check
        GTEST_SKIP() << "the write ended before the signal";
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(readFile(dir / "big.tga"), "older content");
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"big.tga", "s.script"}));
}

TEST(FileReplacement, TheNewFileKeepsTheOwnerGroupAndModeOfTheOldOne) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only a privileged process may give a file to another user";
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    TempDir dir;
    writeFile(dir / "theirs.tga", "older content");
    ASSERT_EQ(chown((dir / "theirs.tga").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(chmod((dir / "theirs.tga").c_str(), 0640), 0);
    const mode_t mask = umask(077); // applies to new files only
    EXPECT_EQ(replaceFile((dir / "theirs.tga").c_str(), [](int fd) { return writeText(fd, "new"); }),
              ReplaceResult::Ok);
    umask(mask);
    struct stat info {};
    ASSERT_EQ(stat((dir / "theirs.tga").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, nobody->pw_uid);
    EXPECT_EQ(info.st_gid, nobody->pw_gid);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile(dir / "theirs.tga"), "new");
}

// A chain of 25 relative links, each passing through a folder with a long name: joined as text the path
// would pass 4096 bytes long before the end, but the kernel follows each link from its own folder.
TEST(FileReplacement, LongChainsOfLinksAreFollowedByTheKernel) {
    TempDir dir;
    const std::string folder(200, 'f');
    fs::create_directory(dir / folder);
    fs::create_symlink(folder + "/link1", dir / "link0");
    for (int k = 1; k < 25; ++k)
        fs::create_symlink("../" + folder + "/link" + std::to_string(k + 1),
                           dir / folder / ("link" + std::to_string(k)));
    fs::create_symlink("../final.tga", dir / folder / "link25");
    ASSERT_EQ(replaceFile((dir / "link0").c_str(), [](int fd) { return writeText(fd, "at the end"); }),
              ReplaceResult::Ok);
    EXPECT_EQ(readFile(dir / "final.tga"), "at the end");
    EXPECT_TRUE(fs::is_symlink(dir / "link0"));
    // A loop of links is refused.
    fs::create_symlink("loop2", dir / "loop1");
    fs::create_symlink("loop1", dir / "loop2");
    EXPECT_EQ(replaceFile((dir / "loop1").c_str(), [](int fd) { return writeText(fd, "x"); }),
              ReplaceResult::CannotOpen);
}

// A file mounted on its own (a bind mount) cannot be renamed over: it is written in place.
TEST(FileReplacement, AFileMountedOnItsOwnIsWrittenInPlace) {
    TempDir dir;
    writeFile(dir / "source.tga", "older content");
    writeFile(dir / "mounted.tga", "under the mount");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // In a mount namespace of its own, so that the mount goes with the child.
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount((dir / "source.tga").c_str(), (dir / "mounted.tga").c_str(), nullptr, MS_BIND, nullptr) !=
                0)
            _exit(77);
        const ReplaceResult result =
            replaceFile((dir / "mounted.tga").c_str(), [](int fd) { return writeText(fd, "new content"); });
        _exit(result == ReplaceResult::Ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "cannot make a bind mount here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(dir / "source.tga"), "new content");
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"mounted.tga", "source.tga"}));
}

// Files the unprivileged user may write but not replace, written in place by the program run as `nobody`.
struct Folder {
    TempDir dir;
    fs::path work;
    Folder(mode_t mode, const std::string& script) : work(dir / "work") {
        fs::permissions(dir.path(), fs::perms::all);
        fs::create_directory(work);
        writeFile(dir / "s.script", script);
        fs::permissions(dir / "s.script",
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
        writeFile(work / "shared.tga", "older content");
        fs::permissions(work / "shared.tga", fs::perms::owner_read | fs::perms::owner_write |
                                                 fs::perms::group_read | fs::perms::group_write |
                                                 fs::perms::others_read | fs::perms::others_write);
        chmod(work.c_str(), mode);
    }
    RunResult run(std::optional<rlim_t> fileSizeLimit = std::nullopt) const {
        RunOptions options;
        options.workDir = work;
        options.args = {(dir / "s.script").string()};
        options.runAsNobody = true;
        options.fileSizeLimit = fileSizeLimit;
        return runChromaloom(options);
    }
};

TEST(FileReplacement, AFileThatMayBeWrittenButNotReplacedIsWrittenInPlace) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs a folder of another user";
    // A folder the user may not create files in (755, root's), and a sticky folder (1777) holding root's
    // file.
    for (const mode_t mode : {mode_t{0755}, mode_t{01777}}) {
        const Folder f(mode, "blank a 3 2\nwrite a shared.tga\nread b shared.tga\ninfo b\n");
        const RunResult r = f.run();
        if (r.status == cannotDropPrivileges)
            GTEST_SKIP() << "cannot run as an unprivileged user here";
        EXPECT_EQ(afterStartUp(r.output), "Image size 3 2\n") << mode;
        EXPECT_EQ(readFile(f.work / "shared.tga").size(), 39u + 3 * 2 * 4) << mode;
        EXPECT_EQ(namesIn(f.work), std::vector<std::string>{"shared.tga"}) << mode;
    }
    // Written in place, a failure part way leaves the file incomplete, and the message says so.
    const Folder f(0755, "blank a 100 100\nwrite a shared.tga\n");
    const RunResult r = f.run(rlim_t{5000});
    EXPECT_EQ(errorMessageOfLine(r.output, 2),
              "can't write image! (cannot write to file in place: it is incomplete)")
        << r.output;
}

// A folder the unprivileged user may create and replace files in, holding the script s.script.
struct Workspace {
    TempDir dir;
    explicit Workspace(const std::string& script) {
        fs::permissions(dir.path(), fs::perms::all);
        writeFile(dir / "s.script", script);
        fs::permissions(dir / "s.script",
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    }
    RunResult run(mode_t mask = 022) const {
        RunOptions options;
        options.workDir = dir.path();
        options.args = {"s.script"};
        options.fileModeMask = mask;
        options.runAsNobody = true;
        return runChromaloom(options);
    }
};

TEST(FileReplacement, ANewFileGetsTheModeTheUmaskLeaves) {
    Workspace w("blank a 2 2\nwrite a new.tga\n");
    const RunResult r = w.run(027);
    if (r.status == cannotDropPrivileges)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(afterStartUp(r.output), "");
    struct stat info {};
    ASSERT_EQ(::stat((w.dir / "new.tga").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// Refused as a file in a folder that is not there is (line 3; the message is pinned by the script case
// tests/e2e/files/write_errors.script).
TEST(FileReplacement, AReadOnlyTargetIsRefusedAndLeftIntact) {
    Workspace w("blank a 2 2\nwrite a target.tga\nwrite a missing/target.tga\n");
    const std::string original = "not to be replaced";
    writeFile(w.dir / "target.tga", original);
    fs::permissions(w.dir / "target.tga",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const RunResult r = w.run();
    if (r.status == cannotDropPrivileges)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_NE(errorMessageOfLine(r.output, 2), "") << r.output;
    EXPECT_EQ(errorMessageOfLine(r.output, 2), errorMessageOfLine(r.output, 3)) << r.output;
    EXPECT_EQ(readFile(w.dir / "target.tga"), original);
    // Nothing is left beside it either.
    EXPECT_EQ(namesIn(w.dir.path()), (std::vector<std::string>{"s.script", "target.tga"}));
}

} // namespace
