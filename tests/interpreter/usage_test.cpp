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
    ASSERT_EQ(r.output.rfind("Usage: chromaloom [OPTIONS] SCRIPT [ARG...]", 0), 0u) << r.output;
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
    std::size_t registered = 0;
    for (const Command* cmd = Command::registry; cmd != nullptr; cmd = cmd->next)
        ++registered;
    EXPECT_EQ(verbs.size(), registered);
    EXPECT_TRUE(std::is_sorted(verbs.begin(), verbs.end()));
    EXPECT_EQ(std::adjacent_find(verbs.begin(), verbs.end()), verbs.end());
}

// The whole text, byte for byte: its layout (the columns of the verbs, the lines around them) is what a
// reader scans, and tests/data/help.txt is reviewed whenever it changes.
TEST(Usage, HelpIsTheReviewedTextByteForByte) {
    EXPECT_EQ(runWith({"--help"}).output, readFile(sourceDir() / "tests" / "data" / "help.txt"));
    EXPECT_EQ(runWith({"-h"}).output, readFile(sourceDir() / "tests" / "data" / "help.txt"));
}

TEST(Usage, VersionPrintsTheProjectVersion) {
    const RunResult r = runWith({"--version"});
    EXPECT_EQ(r.output, "chromaloom " CHROMALOOM_VERSION "\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Usage, AnythingElseIsAScriptPath) {
    TempDir dir;
    writeFile(dir / "--help", "test\n");
    writeFile(dir / "-h", "test\n");
    EXPECT_EQ(runWith({"./--help"}, dir.path()).output,
              "Chromaloom\nOpening script file ./--help\nTest command!\n");
    EXPECT_EQ(runWith({"./-h"}, dir.path()).output, "Chromaloom\nOpening script file ./-h\nTest command!\n");
    // -h alone is --help; followed by anything, it is a script's name like any other word.
    EXPECT_EQ(runWith({"-h"}, dir.path()).output, runWith({"--help"}, dir.path()).output);
    const RunResult two = runWith({"--help", "--version"}, dir.path());
    EXPECT_EQ(two.output, "Chromaloom\nOpening script file --help\nTest command!\n");
    EXPECT_EQ(two.status, 0);
}

} // namespace
