// Which image's metadata a verb's result carries: the one it replaced for the verbs that make an image out of
// another, composite's destination, copy's source, none for blank and after strip.

#include "system/memory_budget.h"
#include "tests/support/exec.h"

#include <gtest/gtest.h>

namespace {

MetadataPtr blocks(std::uint8_t tag) {
    return makeMetadata({tag, 1, 2}, {'I', 'I', 42, 0, tag}, {'<', 'x', tag});
}

// A context with a 6 x 5 image carrying blocks(1) in a and one carrying blocks(2) in b.
void prepare(ScriptContext& ctx, const MetadataPtr& a, const MetadataPtr& b) {
    ctx.setImage(0, positionImage(6, 5));
    ctx.imageAt(0)->metadata = a;
    ctx.setImage(1, positionImage(4, 3));
    ctx.imageAt(1)->metadata = b;
}

TEST(Metadata, EachVerbsResultCarriesTheRightImagesBlocks) {
    const MetadataPtr a = blocks(1);
    const MetadataPtr b = blocks(2);
    const struct {
        const char* line;
        int variable; // that the line changes
        const ImageMetadata* expected;
    } cases[] = {
        {"blur a 3", 0, a.get()},
        {"crop a 1 1 3 3", 0, a.get()},
        {"resize a 2 1", 0, a.get()},
        {"rotate a 30", 0, a.get()},
        {"warp a 1", 0, a.get()},
        {"darken a 0.5", 0, a.get()},
        {"desaturate a 0.5", 0, a.get()},
        {"opaque a", 0, a.get()},
        {"fill a 0 0 2 2 1 2 3 4", 0, a.get()},
        {"chromakey a 1 2 3", 0, a.get()},
        {"turn a 90", 0, a.get()},
        {"turn a 180", 0, a.get()},
        {"flip a", 0, a.get()},
        {"mirror a", 0, a.get()},
        {"fit a 3 3", 0, a.get()},
        {"scale a 9 0", 0, a.get()},
        {"pad a 8 8 se 1 2 3 4", 0, a.get()},
        {"composite a over b 1 1", 1, b.get()},
        {"place a b c 0 0", 1, b.get()},
        {"copy a b", 1, a.get()},
        {"copy b a", 0, b.get()},
        {"blank a 3 3", 0, nullptr},
        {"strip a", 0, nullptr},
    };
    for (const auto& c : cases) {
        ScriptContext ctx;
        prepare(ctx, a, b);
        ASSERT_EQ(execLine(ctx, c.line).result, 0) << c.line;
        EXPECT_EQ(ctx.imageAt(c.variable)->metadata.get(), c.expected) << c.line;
    }
}

// A source without blocks gives a copy without them, and a blank image replacing one with blocks has none.
TEST(Metadata, NothingIsTakenFromTheImageReplacedWhenTheVerbBringsItsOwn) {
    ScriptContext ctx;
    prepare(ctx, nullptr, blocks(2));
    ASSERT_EQ(execLine(ctx, "copy a b").result, 0);
    EXPECT_EQ(ctx.imageAt(1)->metadata, nullptr);
}

TEST(Metadata, BlocksCountInTheBudgetWhileAnImageHoldsThem) {
    const std::uint64_t before = imageBytesHeld();
    {
        const MetadataPtr m =
            makeMetadata(std::vector<std::uint8_t>(1000), std::vector<std::uint8_t>(20), {});
        EXPECT_EQ(imageBytesHeld(), before + 1020);
    }
    EXPECT_EQ(imageBytesHeld(), before);
    EXPECT_EQ(makeMetadata({}, {}, {}), nullptr);
    setImageMemoryLimit(imageBytesHeld() + 100);
    EXPECT_THROW(makeMetadata(std::vector<std::uint8_t>(200), {}, {}), std::bad_alloc);
    setImageMemoryLimit(std::nullopt);
    EXPECT_EQ(imageBytesHeld(), before);
}

} // namespace
