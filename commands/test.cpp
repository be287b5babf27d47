#include "interpreter/command.h"

#include <cstdio>

namespace {

// test: prints a fixed line; shows that a script reaches its commands.
class TestCmd final : public Command {
public:
    TestCmd() : Command("test", {}) {}

    int execute(const Arguments&, ScriptContext&) override {
        std::printf("Test command!\n");
        return 0;
    }
};

} // namespace

Command& testCommand() {
    static TestCmd command;
    return command;
}
