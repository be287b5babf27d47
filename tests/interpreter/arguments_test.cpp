// How every verb finds itself and its variable: the verb in any letter case, and the exact lines a bad or
// empty variable name prints, which differ from verb to verb and are part of the program's output.

#include "interpreter/command.h"
#include "tests/support/exec.h"

#include <cctype>
#include <gtest/gtest.h>
#include <string>

namespace {

const char* const allVerbs[] = {
    "blur",  "chromakey", "composite", "copy", "crop", "darken", "desaturate", "dissolve", "fill",   "opaque",
    "paint", "painter",   "test",      "info", "read", "write",  "blank",      "resize",   "rotate", "warp"};

std::string withCase(const std::string& verb, int (*change)(int), bool everyOther, bool startWithChange) {
    std::string out = verb;
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!everyOther || (i % 2 == 0) == startWithChange)
            out[i] = static_cast<char>(change(static_cast<unsigned char>(out[i])));
    return out;
}

TEST(Registry, EveryVerbIsFoundInUpperAndMixedCase) {
    for (const char* verb : allVerbs) {
        const Command* command = findCommand(verb);
        ASSERT_NE(command, nullptr) << verb;
        EXPECT_STREQ(command->name, verb);
        // Upper case, and both alternations, so that every letter of every verb is tried in upper case.
        for (const std::string& typed :
             {withCase(verb, ::toupper, false, true), withCase(verb, ::toupper, true, true),
              withCase(verb, ::toupper, true, false)})
            EXPECT_EQ(findCommand(typed.c_str()), command) << typed;
    }
}

const std::string line7 = "Error (line 7): ";
const std::string badName = line7 + "variable must have 1 character name!\n";
const std::string outOfBounds = line7 + "variable access out of bounds\n";

std::string error(const char* message) {
    return line7 + message + "\n";
}

struct LookupCase {
    const char* line; // '#' stands for the variable name tried
    // The result and output for the bad name "ab".
    int badResult;
    std::string badOutput;
    // The result and output for the empty variable q. Verbs that store into it accept it, and then their
    // other arguments decide.
    int emptyResult;
    std::string emptyOutput;
};

// Where a verb has arguments besides the variable they are bad too: the variable is looked at first.
// Variables a and b hold images.
const LookupCase lookupCases[] = {
    {"blur # 4", 1, badName + outOfBounds + error("No image to blur"), 1, error("No image to blur")},
    {"chromakey # 1 1 1", 1, badName + outOfBounds + error("No image to Chromakey"), 1,
     error("No image to Chromakey")},
    {"composite # Over b 0 0", 1, badName, 1, error("Image A is nowhere to be found")},
    {"composite a over # -1 x", 1, badName, 1, error("Image B is nowhere to be found")},
    {"copy # 77", 1, badName, 1, error("No image to copy")},
    {"copy a #", 1, badName, 0, ""},
    {"crop # x y z w", 1, badName, 1, error("No image to crop")},
    {"darken # 7", 1, badName + outOfBounds + error("No image to Darken"), 1, error("No image to Darken")},
    {"desaturate # 7", 1, badName + outOfBounds + error("No image to Desaturate"), 1,
     error("No image to Desaturate")},
    {"dissolve # 7", 1, badName + outOfBounds + error("No image to Dissolve"), 1,
     error("No image to Dissolve")},
    {"fill # 0 0 1 1 1 1 1 1", 1, badName + outOfBounds + error("No image to fill"), 1,
     error("No image to fill")},
    {"opaque #", 1, badName + outOfBounds + error("No image"), 1, error("No image")},
    {"paint #", 1, badName, 1, error("No image to Paint")},
    {"painter #", 1, badName, 1, error("No image to Paint")},
    {"info #", 0, badName + outOfBounds + "No Image\n", 0, "No Image\n"},
    {"read # /nonexistent/in.tga", 1, badName, 2, error("can't read image! (cannot open file)")},
    {"write # /nonexistent/out.tga", 2, badName + outOfBounds + error("no image to write!"), 2,
     error("no image to write!")},
    {"blank # 0 0", 1, badName, 2, error("invalid size for blank image")},
    {"resize # 0 0", 1, badName + outOfBounds + error("No image to resize"), 1, error("No image to resize")},
    {"rotate # nonsense", 1, badName, 1, error("No image")},
    {"warp # 7", 1, badName, 1, error("No image")},
};

TEST(Lookup, EveryVerbReportsBadAndEmptyVariablesWithItsOwnLines) {
    for (const LookupCase& c : lookupCases) {
        for (const bool bad : {true, false}) {
            ScriptContext ctx;
            ctx.lineNumber = 7;
            ctx.setImage(0, createImage(2, 2));
            ctx.setImage(1, createImage(2, 2));
            const Image* a = ctx.imageAt(0);
            std::string line = c.line;
            line.replace(line.find('#'), 1, bad ? "ab" : "q");
            const Outcome o = execLine(ctx, line);
            EXPECT_EQ(o.result, bad ? c.badResult : c.emptyResult) << line;
            EXPECT_EQ(o.output, bad ? c.badOutput : c.emptyOutput) << line;
            // A failed lookup changes no variable.
            EXPECT_EQ(ctx.imageAt(0), a) << line;
            if (bad || !c.emptyOutput.empty()) {
                EXPECT_EQ(ctx.imageAt(16), nullptr) << line;
            }
        }
    }
}

} // namespace
