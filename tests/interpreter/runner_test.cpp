// The runner: how a line is cut into words, what happens to a command that runs out of memory, and the line
// count. What unknown verbs and wrong argument counts print is pinned by the script cases under
// tests/e2e/runner/.

#include "interpreter/command.h"
#include "interpreter/runner.h"
#include "tests/support/exec.h"
#include "tests/support/process.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> tokensOf(std::string text) {
    text.push_back('\0');
    ArgList args;
    tokenize(text.data(), args);
    return {args.begin(), args.end()};
}

using Tokens = std::vector<std::string>;

TEST(Tokenizer, SplitsOnControlBytesBlanksAndHighBytes) {
    EXPECT_EQ(tokensOf("blur a 3\n"), (Tokens{"blur", "a", "3"}));
    EXPECT_EQ(tokensOf("  \tblur\ta  3  \r\n"), (Tokens{"blur", "a", "3"}));
    EXPECT_EQ(tokensOf("ab\x80"
                       "cd\xff"
                       "ef\x01gh"),
              (Tokens{"ab", "cd", "ef", "gh"}));
    EXPECT_EQ(tokensOf("x\x7f"
                       "y"),
              (Tokens{"x\x7fy"}));
    EXPECT_EQ(tokensOf(""), Tokens{});
    EXPECT_EQ(tokensOf(" \t\r\n"), Tokens{});
}

TEST(Tokenizer, HashStartsACommentOnlyAtTheStartOfAToken) {
    EXPECT_EQ(tokensOf("blur a 3 # note"), (Tokens{"blur", "a", "3"}));
    EXPECT_EQ(tokensOf("blur a 3#note"), (Tokens{"blur", "a", "3#note"}));
    EXPECT_EQ(tokensOf("#blur a 3"), Tokens{});
    EXPECT_EQ(tokensOf("   #"), Tokens{});
}

TEST(Tokenizer, StopsAtANulByte) {
    std::string text("info a\0 test b", 14);
    ArgList args;
    tokenize(text.data(), args);
    EXPECT_EQ(Tokens(args.begin(), args.end()), (Tokens{"info", "a"}));
}

TEST(Tokenizer, EmptiesTheListFirst) {
    std::string text = "a b";
    ArgList args{"stale"};
    tokenize(text.data(), args);
    EXPECT_EQ(args.size(), 2u);
}

// A command that throws std::bad_alloc fails with the runner's message, the one any command that runs out of
// memory gets (resize to a size that cannot be counted in bytes, pinned by the script case
// tests/e2e/geometry/resize.script), and every variable stays as it was.
TEST(Runner, ACommandThatRunsOutOfMemoryFailsAndTheVariablesStay) {
    ScriptContext ctx;
    ctx.lineNumber = 2;
    ctx.setImage(0, createImage(2, 2));
    ctx.setImage(1, createImage(2, 2));
    const Image* a = ctx.imageAt(0);
    const Image* b = ctx.imageAt(1);
    struct Hungry final : Command {
        Hungry() : Command("hungry-test-only", {arg::text("v")}) {}
        int execute(const Arguments&, ScriptContext&) override { throw std::bad_alloc(); }
    };
    static Hungry hungry; // links itself in front of the registry for the rest of this test binary
    const std::string outOfMemory = runLineCaptured(ctx, "resize b 2147483647 1");
    EXPECT_EQ(lineCount(outOfMemory), 1u);
    EXPECT_EQ(runLineCaptured(ctx, "hungry-test-only a\n"), outOfMemory);
    EXPECT_EQ(ctx.imageAt(0), a);
    EXPECT_EQ(ctx.imageAt(1), b);
}

TEST(Runner, TheLineCountWrapsAroundInsteadOfOverflowing) {
    ScriptContext ctx;
    countLine(ctx);
    EXPECT_EQ(ctx.lineNumber, 1);
    ctx.lineNumber = INT_MAX; // after 2^31 - 1 lines of a script fed on standard input
    countLine(ctx);
    EXPECT_EQ(ctx.lineNumber, INT_MIN);
}

} // namespace
