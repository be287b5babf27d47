// Runs every script under tests/e2e/ through the built program and compares its whole standard output,
// its exit status and the files it writes with what is recorded beside the script:
//
//   <name>.script   run as `chromaloom <name>.script`       (or <name>.stdin: fed on standard input;
//                   or <name>.args: the command line, one argument a line, standard input empty)
//   <name>.out      the expected standard output, byte for byte
//   <name>.status   the expected exit status (optional; 0 when absent)
//   <name>.files/   files the run must leave in its working directory, byte for byte (optional)
//
// Each case runs in a fresh directory holding a copy of its script, of tests/data/ as data/ and of
// requiredimages/ when the repository has one.

#include "tests/support/process.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;

namespace {

enum class Input { Script, Stdin, Args };

struct ScriptCase {
    fs::path script;
    Input input = Input::Script;
    std::string testName;
};

// How the case's file is given to the program, told by its extension; none for the other files of a case.
std::optional<Input> inputOf(const fs::path& file) {
    const fs::path extension = file.extension();
    if (extension == ".script")
        return Input::Script;
    if (extension == ".stdin")
        return Input::Stdin;
    if (extension == ".args")
        return Input::Args;
    return std::nullopt;
}

std::vector<ScriptCase> findCases() {
    std::vector<ScriptCase> cases;
    const fs::path root = sourceDir() / "tests" / "e2e";
    if (!fs::exists(root))
        return cases;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const fs::path& p = entry.path();
        const std::optional<Input> input = inputOf(p);
        if (!entry.is_regular_file() || !input)
            continue;
        std::string name = fs::relative(p, root).replace_extension().string();
        std::replace_if(
            name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); },
            '_');
        cases.push_back({p, *input, name});
    }
    std::sort(cases.begin(), cases.end(),
              [](const auto& a, const auto& b) { return a.testName < b.testName; });
    return cases;
}

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ScriptCase& c, std::ostream* os) {
    *os << c.script.filename().string();
}

fs::path sibling(const fs::path& script, const std::string& extension) {
    fs::path p = script;
    return p.replace_extension(extension);
}

class Script : public testing::TestWithParam<ScriptCase> {};

TEST_P(Script, OutputStatusAndFilesMatch) {
    const ScriptCase& c = GetParam();
    TempDir dir;
    const std::string scriptName = c.script.filename().string();
    if (c.input != Input::Args)
        fs::copy_file(c.script, dir / scriptName);
    if (fs::exists(sourceDir() / "tests" / "data"))
        fs::copy(sourceDir() / "tests" / "data", dir / "data", fs::copy_options::recursive);
    if (fs::exists(sourceDir() / "requiredimages"))
        fs::copy(sourceDir() / "requiredimages", dir / "requiredimages", fs::copy_options::recursive);

    RunOptions options;
    options.workDir = dir.path();
    if (c.input == Input::Stdin) {
        options.stdinData = readFile(c.script);
    } else if (c.input == Input::Args) {
        std::istringstream lines(readFile(c.script));
        for (std::string argument; std::getline(lines, argument);)
            options.args.push_back(argument);
    } else {
        options.args = {scriptName};
    }
    const RunResult result = runChromaloom(options);

    EXPECT_EQ(result.output, readFile(sibling(c.script, ".out")));
    const fs::path statusFile = sibling(c.script, ".status");
    const int expectedStatus = fs::exists(statusFile) ? std::stoi(readFile(statusFile)) : 0;
    EXPECT_EQ(result.status, expectedStatus);

    const fs::path expectedFiles = sibling(c.script, ".files");
    if (fs::is_directory(expectedFiles)) {
        for (const auto& entry : fs::recursive_directory_iterator(expectedFiles)) {
            if (!entry.is_regular_file())
                continue;
            const fs::path relative = fs::relative(entry.path(), expectedFiles);
            ASSERT_TRUE(fs::exists(dir.path() / relative)) << relative << " was not written";
            EXPECT_TRUE(readFile(entry.path()) == readFile(dir.path() / relative)) << relative << " differs";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(E2e, Script, testing::ValuesIn(findCases()),
                         [](const testing::TestParamInfo<ScriptCase>& param) {
                             return param.param.testName;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Script);

} // namespace
