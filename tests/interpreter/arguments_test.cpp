// How each verb looks up its image variables. The way a verb declares decides what a bad name ("ab") and an
// empty variable print, and the verb's result:
//
//   fetch       a bad name: the name message, "variable access out of bounds", the verb's own message;
//               an empty variable: the verb's own message
//   name first  a bad name: the name message alone; an empty variable: the verb's own message
//   name        (a variable the verb stores into) a bad name: the name message alone; an empty variable is
//               accepted, and the verb's other arguments decide
//
// The exact lines of every verb are pinned by the verbs' script cases under tests/e2e/. Here every verb is
// tried both ways for its result, the number of lines it prints, and that no variable changes.

#include "interpreter/command.h"
#include "tests/support/exec.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct LookupCase {
    const char* line; // '#' stands for the variable name tried
    int badResult;
    std::size_t badLines;
    int emptyResult;
    std::size_t emptyLines;
};

// Where a verb has arguments besides the variable, they are bad too: the variable is looked at first.
// Variables a and b hold images.
const LookupCase lookupCases[] = {
    // fetch
    {"blur # 4", 1, 3, 1, 1},
    {"chromakey # 1 1 1", 1, 3, 1, 1},
    {"darken # 7", 1, 3, 1, 1},
    {"desaturate # 7", 1, 3, 1, 1},
    {"dissolve # 7", 1, 3, 1, 1},
    {"fill # 0 0 1 1 1 1 1 1", 1, 3, 1, 1},
    {"opaque #", 1, 3, 1, 1},
    {"info #", 0, 3, 0, 1},
    {"write # /nonexistent/out.tga", 2, 3, 2, 1},
    {"resize # 0 0", 1, 3, 1, 1},
    // name first
    {"composite # Over b 0 0", 1, 1, 1, 1},
    {"composite a over # -1 x", 1, 1, 1, 1},
    {"copy # 77", 1, 1, 1, 1},
    {"crop # x y z w", 1, 1, 1, 1},
    {"paint #", 1, 1, 1, 1},
    {"painter #", 1, 1, 1, 1},
    {"rotate # nonsense", 1, 1, 1, 1},
    {"warp # 7", 1, 1, 1, 1},
    // name
    {"copy a #", 1, 1, 0, 0},
    {"read # /nonexistent/in.tga", 1, 1, 2, 1},
    {"blank # 0 0", 1, 1, 2, 1},
};

TEST(Lookup, EveryVerbReportsBadAndEmptyVariablesByItsWayOfLookingUp) {
    // Every bad name starts with the same line, the name message, and every fetch goes on with the same
    // second line.
    std::string nameMessage;
    std::string outOfBounds;
    for (const LookupCase& c : lookupCases) {
        for (const bool bad : {true, false}) {
            ScriptContext ctx;
            ctx.lineNumber = 7;
            ctx.setImage(0, createImage(2, 2));
            ctx.setImage(1, createImage(2, 2));
            const Image* a = ctx.imageAt(0);
            const Image* b = ctx.imageAt(1);
            std::string line = c.line;
            line.replace(line.find('#'), 1, bad ? "ab" : "q");
            const Outcome o = execLine(ctx, line);
            EXPECT_EQ(o.result, bad ? c.badResult : c.emptyResult) << line;
            EXPECT_EQ(lineCount(o.output), bad ? c.badLines : c.emptyLines) << line;
            if (bad) {
                const std::string first = o.output.substr(0, o.output.find('\n') + 1);
                if (nameMessage.empty())
                    nameMessage = first;
                EXPECT_EQ(first, nameMessage) << line;
                if (c.badLines == 3) {
                    const std::size_t start = first.size();
                    const std::string second = o.output.substr(start, o.output.find('\n', start) + 1 - start);
                    if (outOfBounds.empty())
                        outOfBounds = second;
                    EXPECT_EQ(second, outOfBounds) << line;
                }
            }
            // A failed lookup changes no variable.
            EXPECT_EQ(ctx.imageAt(0), a) << line;
            EXPECT_EQ(ctx.imageAt(1), b) << line;
            if (bad || c.emptyLines != 0) {
                EXPECT_EQ(ctx.imageAt(16), nullptr) << line;
            }
        }
    }
}

} // namespace
