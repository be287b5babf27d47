// The --help and --version options, and a path that looks like an option.

#include "interpreter/command.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

RunResult runWith(const std::vector<std::string>& args, const std::filesystem::path& workDir = {}) {
    RunOptions options;
    options.args = args;
    options.workDir = workDir;
    return runChromaloom(options);
}

TEST(Usage, HelpListsEveryVerbInAlphabeticalOrderWithItsArguments) {
    const RunResult r = runWith({"--help"});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.output.rfind("Usage: chromaloom SCRIPT", 0), 0u) << r.output;
    EXPECT_NE(r.output.find("docs/language.md"), std::string::npos);

    // The verb lines are those between "Verbs:" and the next empty line: "  name  usage".
    std::istringstream lines(r.output.substr(r.output.find("\nVerbs:\n") + 8));
    std::vector<std::string> verbs;
    for (std::string line; std::getline(lines, line) && !line.empty();) {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        const Command* cmd = findCommand(verb.c_str());
        ASSERT_NE(cmd, nullptr) << line;
        int argumentCount = 0;
        for (std::string word; words >> word;)
            ++argumentCount;
        EXPECT_EQ(argumentCount, cmd->argCount - 1) << line;
        verbs.push_back(verb);
    }
    EXPECT_EQ(verbs.size(), 20u);
    EXPECT_TRUE(std::is_sorted(verbs.begin(), verbs.end()));
    EXPECT_EQ(std::adjacent_find(verbs.begin(), verbs.end()), verbs.end());
}

TEST(Usage, VersionPrintsTheProjectVersion) {
    const RunResult r = runWith({"--version"});
    EXPECT_EQ(r.output, "chromaloom " CHROMALOOM_VERSION "\n");
    EXPECT_EQ(r.status, 0);
}

// Only the exact words are options: a path that looks like one names a script. What a missing script such
// as "-h" and two options at once print is pinned by the script cases under tests/e2e/runner/.
TEST(Usage, APathThatLooksLikeAnOptionIsAScript) {
    TempDir dir;
    writeFile(dir / "--help", "blank a 1 1\nwrite a ran.tga\n");
    const RunResult r = runWith({"./--help"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(afterStartUp(r.output), "");
    EXPECT_TRUE(std::filesystem::exists(dir / "ran.tga"));
}

} // namespace
