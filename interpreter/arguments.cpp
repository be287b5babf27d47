#include "interpreter/arguments.h"

#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace arg {

Argument image(const char* usage, Lookup lookup, const char* missing, int failure) {
    Argument a;
    a.kind = Argument::Kind::Image;
    a.usage = usage;
    a.lookup = lookup;
    a.refusal = missing;
    a.failure = failure;
    return a;
}

Argument destination(const char* usage, int failure) {
    Argument a = image(usage, Lookup::Name, "", failure);
    return a;
}

Argument integer(const char* usage) {
    Argument a;
    a.kind = Argument::Kind::Integer;
    a.usage = usage;
    a.low = INT32_MIN;
    a.high = INT32_MAX;
    return a;
}

Argument integerIn(const char* usage, std::int64_t low, std::int64_t high, const char* refusal, int failure) {
    Argument a = integer(usage);
    a.low = low;
    a.high = high;
    a.refusal = refusal;
    a.failure = failure;
    return a;
}

Argument integerOf(const char* usage, std::initializer_list<int> allowed, const char* refusal) {
    Argument a = integer(usage);
    a.allowed = allowed;
    a.refusal = refusal;
    return a;
}

Argument amount(const char* usage, double lowest, bool lowestIncluded, double highest, bool highestIncluded,
                const char* refusal) {
    Argument a;
    a.kind = Argument::Kind::Amount;
    a.usage = usage;
    a.lowest = lowest;
    a.lowestIncluded = lowestIncluded;
    a.highest = highest;
    a.highestIncluded = highestIncluded;
    a.refusal = refusal;
    return a;
}

Argument channel(const char* usage) {
    Argument a;
    a.kind = Argument::Kind::Channel;
    a.usage = usage;
    return a;
}

Argument word(const char* expected, const char* refusal) {
    Argument a;
    a.kind = Argument::Kind::Word;
    a.usage = expected;
    a.word = expected;
    a.refusal = refusal;
    return a;
}

Argument text(const char* usage) {
    Argument a;
    a.kind = Argument::Kind::Text;
    a.usage = usage;
    return a;
}

} // namespace arg

namespace {

// The image variable a word names, looked up as declared. False when it is refused (its messages printed).
bool resolveImage(const Argument& a, const char* name, ScriptContext& ctx, Arguments::Value& value) {
    if (a.lookup == Lookup::Name) {
        value.index = ctx.variableIndex(name);
        if (value.index >= 0)
            value.image = ctx.imageAt(value.index);
        return value.index >= 0;
    }
    if (a.plainRefusal) {
        // The lookup's own messages, then the refusal without a line number.
        value.image = ctx.getImage(name);
        if (value.image == nullptr)
            std::printf("%s\n", a.refusal);
        return value.image != nullptr;
    }
    const ScriptContext::Variable v =
        a.lookup == Lookup::Fetch ? ctx.fetchImage(name, a.refusal) : ctx.checkNameThenFetch(name, a.refusal);
    value.index = v.index;
    value.image = v.image;
    return v.image != nullptr;
}

bool accepts(const Argument& a, std::int64_t n) {
    if (!a.allowed.empty())
        return std::find(a.allowed.begin(), a.allowed.end(), n) != a.allowed.end();
    return n >= a.low && n <= a.high;
}

bool accepts(const Argument& a, double v) {
    // NaN passes no comparison, so it is refused.
    const bool aboveLowest = a.lowestIncluded ? v >= a.lowest : v > a.lowest;
    const bool belowHighest = a.highestIncluded ? v <= a.highest : v < a.highest;
    return aboveLowest && belowHighest;
}

// In strict mode a number word must be all number: "12px" and "twenty" are refused rather than read as 12
// and 0.
bool isNumberAsStrictModeWants(const Argument& a, const char* word, ScriptContext& ctx) {
    if (!ctx.strict)
        return true;
    if (a.kind == Argument::Kind::Amount) {
        if (isRealNumber(word))
            return true;
        ctx.report("'%s' is not a number", word);
        return false;
    }
    if ((a.kind != Argument::Kind::Integer && a.kind != Argument::Kind::Channel) || isWholeNumber(word))
        return true;
    ctx.report("'%s' is not a whole number", word);
    return false;
}

// One argument; false when it is refused (its message printed).
bool resolveOne(const Argument& a, const char* word, ScriptContext& ctx, Arguments::Value& value) {
    value.text = word;
    if (!isNumberAsStrictModeWants(a, word, ctx))
        return false;
    switch (a.kind) {
    case Argument::Kind::Image:
        return resolveImage(a, word, ctx, value);
    case Argument::Kind::Integer:
        value.number = parseInt(word);
        break;
    case Argument::Kind::Channel:
        value.number = parseChannel(word);
        return true;
    case Argument::Kind::Amount:
        value.amount = parseAmount(word);
        if (accepts(a, value.amount))
            return true;
        ctx.report("%s", a.refusal);
        return false;
    case Argument::Kind::Word:
        if (std::strcmp(word, a.word) == 0)
            return true;
        ctx.report("%s", a.refusal);
        return false;
    case Argument::Kind::Text:
        return true;
    }
    if (accepts(a, value.number))
        return true;
    ctx.report("%s", a.refusal);
    return false;
}

} // namespace

bool resolveArguments(const std::vector<Argument>& declared, const ArgList& words, ScriptContext& ctx,
                      Arguments& out, int& failure) {
    out.values.assign(declared.size(), Arguments::Value{});
    for (std::size_t i = 0; i < declared.size(); ++i) {
        if (!resolveOne(declared[i], words[i + 1], ctx, out.values[i])) {
            failure = declared[i].failure;
            return false;
        }
    }
    return true;
}
