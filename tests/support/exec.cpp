#include "tests/support/exec.h"

#include "interpreter/runner.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

std::vector<char> lineBuffer(const std::string& line) {
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    return buffer;
}

} // namespace

Outcome execLine(ScriptContext& ctx, const std::string& line) {
    std::vector<char> buffer = lineBuffer(line);
    ArgList args;
    tokenize(buffer.data(), args);
    if (args.empty())
        throw std::logic_error("execLine: no tokens in '" + line + "'");
    Command* cmd = findCommand(args[0]);
    if (cmd == nullptr || static_cast<int>(args.size()) != cmd->argCount)
        throw std::logic_error("execLine: unknown verb or wrong count in '" + line + "'");
    Outcome outcome;
    testing::internal::CaptureStdout();
    outcome.result = cmd->run(args, ctx);
    std::fflush(stdout);
    outcome.output = testing::internal::GetCapturedStdout();
    return outcome;
}

std::string runLineCaptured(ScriptContext& ctx, const std::string& line) {
    std::vector<char> buffer = lineBuffer(line);
    testing::internal::CaptureStdout();
    runLine(buffer.data(), ctx);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

ImagePtr positionImage(std::uint32_t width, std::uint32_t height) {
    return makeImage(width, height, [](std::uint32_t x, std::uint32_t y) {
        return Rgba{static_cast<std::uint8_t>(x % 256), static_cast<std::uint8_t>(y % 256),
                    static_cast<std::uint8_t>(17 + 16 * (x / 256) + y / 256), 200};
    });
}

ImagePtr runOnPositionImage(std::uint32_t width, std::uint32_t height, const std::string& line) {
    ScriptContext ctx;
    ctx.setImage(0, positionImage(width, height));
    const Outcome o = execLine(ctx, line);
    EXPECT_EQ(o.result, 0) << line;
    EXPECT_EQ(o.output, "") << line;
    return cloneImage(*ctx.imageAt(0));
}

Rgba applyTo(Rgba p, const std::string& line) {
    ScriptContext ctx;
    ctx.setImage(0, makeImage(1, 1, [p](std::uint32_t, std::uint32_t) { return p; }));
    const Outcome o = execLine(ctx, line);
    EXPECT_EQ(o.result, 0) << line;
    EXPECT_EQ(o.output, "") << line;
    return pixelAt(*ctx.imageAt(0), 0, 0);
}

Rgba mixedAlphaPixel(std::uint32_t n) {
    const auto alpha = static_cast<std::uint8_t>(n % 3 == 0 ? 0 : n % 3 == 1 ? 255 : n >> 24);
    return Rgba{static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16), alpha, alpha};
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> mappingShapes() {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> shapes;
    for (std::uint32_t w = 1; w <= 40; ++w)
        for (std::uint32_t h : {1u, 2u, w / 2 + 1, w, w + 3, 2 * w + 1})
            shapes.emplace_back(w, h);
    for (std::uint32_t side : {1u, 2u, 3u, 66u, 97u, 130u})
        shapes.emplace_back(side, 301 - side);
    return shapes;
}
