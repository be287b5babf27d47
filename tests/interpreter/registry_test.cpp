// The registry of verbs: a verb is found by its whole name in any letter case, and nothing else is found.

#include "interpreter/command.h"

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

TEST(Registry, LookupComparesWholeVerbs) {
    ASSERT_NE(findCommand("blank"), nullptr);
    for (const char* notAVerb : {"blan", "blanks", "", "paint ", "pain", "painte", "paintera", "blank\t"})
        EXPECT_EQ(findCommand(notAVerb), nullptr) << notAVerb;
}

} // namespace
