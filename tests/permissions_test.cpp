// Files the write verb creates or refuses to replace, checked as an unprivileged user: as root every
// permission check passes, so these cases drop to `nobody` when the suite runs as root.

#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

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

const std::string header = "Chromaloom\nOpening script file s.script\n";

TEST(Permissions, ANewFileGetsTheModeTheUmaskLeaves) {
    Workspace w("blank a 2 2\nwrite a new.tga\n");
    const RunResult r = w.run(027);
    if (r.status == cannotDropPrivileges)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(r.output, header);
    struct stat info {};
    ASSERT_EQ(::stat((w.dir / "new.tga").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(Permissions, AReadOnlyTargetIsRefusedAndLeftIntact) {
    Workspace w("blank a 2 2\nwrite a target.tga\n");
    const std::string original = "not to be replaced";
    writeFile(w.dir / "target.tga", original);
    fs::permissions(w.dir / "target.tga",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const RunResult r = w.run();
    if (r.status == cannotDropPrivileges)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(r.output, header + "Error (line 2): can't write image! (cannot open file)\n");
    EXPECT_EQ(readFile(w.dir / "target.tga"), original);
    // Nothing is left beside it either.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(w.dir.path()))
        ++entries;
    EXPECT_EQ(entries, 2u);
}

} // namespace
