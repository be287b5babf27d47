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

TEST(Registry, LookupComparesWholeVerbs) {
    ASSERT_NE(findCommand("blank"), nullptr);
    EXPECT_EQ(findCommand("blan"), nullptr);
    EXPECT_EQ(findCommand("blanks"), nullptr);
    EXPECT_EQ(findCommand(""), nullptr);
}

TEST(Runner, ReportsUnknownVerbsAsTypedAndWrongCountsWithTheRegisteredName) {
    ScriptContext ctx;
    ctx.lineNumber = 4;
    EXPECT_EQ(runLineCaptured(ctx, "Frobnicate a b\n"), "Error (line 4): unknown verb `Frobnicate'\n");
    EXPECT_EQ(runLineCaptured(ctx, "TEST a\n"),
              "Error (line 4): wrong number of arguments to command `test' (expecting 1 got 2)\n");
    EXPECT_EQ(runLineCaptured(ctx, "BLANK a 1\n"),
              "Error (line 4): wrong number of arguments to command `blank' (expecting 4 got 3)\n");
    EXPECT_EQ(runLineCaptured(ctx, "   \n"), "");
}

TEST(Runner, ACommandThatRunsOutOfMemoryFailsAndTheVariablesStay) {
    ScriptContext ctx;
    ctx.lineNumber = 2;
    ctx.setImage(0, createImage(2, 2));
    const Image* before = ctx.imageAt(0);
    // blank reports its own message; other commands get the runner's.
    struct Hungry final : Command {
        Hungry() : Command("hungry-test-only", {arg::text("v")}) {}
        int execute(const Arguments&, ScriptContext&) override { throw std::bad_alloc(); }
    };
    static Hungry hungry; // links itself in front of the registry for the rest of this test binary
    EXPECT_EQ(runLineCaptured(ctx, "hungry-test-only a\n"), "Error (line 2): not enough memory\n");
    EXPECT_EQ(ctx.imageAt(0), before);
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
