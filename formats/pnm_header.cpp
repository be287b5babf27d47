#include "formats/pnm_header.h"

#include "system/byte_source.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint32_t largestSide = 0x7FFFFFFF;
constexpr std::uint32_t largestMaxval = 65535;
constexpr std::uint64_t largestNumber = 0xFFFFFFFF;
constexpr int firstVariant = 1;
constexpr int pamVariant = 7;

bool isWhitespace(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
bool isDigit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

// The bytes of a header, read front to back.
struct Cursor {
    const std::uint8_t* at;
    const std::uint8_t* end;
};

// Whitespace and comments between two fields of a P1-P6 header, at least one byte of them. False when
// there is none, or when the bytes end among them (the header is then incomplete).
bool skipSeparator(Cursor& c) {
    const std::uint8_t* start = c.at;
    while (c.at != c.end) {
        if (isWhitespace(*c.at)) {
            ++c.at;
        } else if (*c.at == '#') {
            // A comment runs to the end of its line; the CR or LF that ends it is skipped as whitespace.
            while (c.at != c.end && *c.at != '\n' && *c.at != '\r')
                ++c.at;
        } else {
            return c.at != start;
        }
    }
    return false;
}

// A decimal number of one or more digits, at most 2^32-1. (One that reaches the end of the bytes given
// may have been cut short; the caller finds no separator or final whitespace after it.)
std::optional<std::uint32_t> readNumber(Cursor& c) {
    const std::uint8_t* start = c.at;
    std::uint64_t value = 0;
    for (; c.at != c.end && isDigit(*c.at); ++c.at) {
        value = value * 10 + static_cast<std::uint64_t>(*c.at - '0');
        if (value > largestNumber)
            return std::nullopt;
    }
    if (c.at == start)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

bool inRange(const PnmHeader& h) {
    return h.width >= 1 && h.width <= largestSide && h.height >= 1 && h.height <= largestSide &&
           h.maxval >= 1 && h.maxval <= largestMaxval && h.depth >= 1;
}

// P1 to P6: width, height and (but for the bit variants) maxval, then exactly one whitespace byte.
std::optional<PnmHeader> parseClassic(Cursor c, const std::uint8_t* begin, int variant) {
    const bool bits = variant == 1 || variant == 4;
    const bool colour = variant == 3 || variant == 6;
    std::uint32_t fields[3] = {0, 0, 1};
    const int count = bits ? 2 : 3;
    for (int i = 0; i < count; ++i) {
        if (!skipSeparator(c))
            return std::nullopt;
        const std::optional<std::uint32_t> n = readNumber(c);
        if (!n)
            return std::nullopt;
        fields[i] = *n;
    }
    if (c.at == c.end || !isWhitespace(*c.at))
        return std::nullopt;
    PnmHeader h;
    h.variant = variant;
    h.width = fields[0];
    h.height = fields[1];
    h.maxval = fields[2];
    h.depth = colour ? 3 : 1;
    h.length = static_cast<std::size_t>(c.at + 1 - begin);
    return inRange(h) ? std::optional<PnmHeader>(h) : std::nullopt;
}

// ---- P7 ----

bool isBlank(char c) {
    return c != '\n' && isWhitespace(static_cast<std::uint8_t>(c));
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// The next line without its LF and with the blanks around it removed. None when the bytes end before
// the LF.
std::optional<std::string_view> nextLine(Cursor& c) {
    const void* lf = std::memchr(c.at, '\n', static_cast<std::size_t>(c.end - c.at));
    if (lf == nullptr)
        return std::nullopt;
    const auto* stop = static_cast<const std::uint8_t*>(lf);
    const std::string_view line(reinterpret_cast<const char*>(c.at), static_cast<std::size_t>(stop - c.at));
    c.at = stop + 1;
    return trimBlanks(line);
}

// A value made of decimal digits only, at most 2^32-1.
std::optional<std::uint32_t> wholeNumber(std::string_view s) {
    if (s.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char ch : s) {
        if (!isDigit(static_cast<std::uint8_t>(ch)))
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(ch - '0');
        if (value > largestNumber)
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// The fields of a P7 header as its lines give them.
struct PamFields {
    std::optional<std::uint32_t> width, height, depth, maxval;
    std::optional<std::string> tupleType;

    // Takes one keyword line. False for an unknown keyword, a bad value or a number given twice.
    bool take(std::string_view keyword, std::string_view value) {
        if (keyword == "TUPLTYPE") {
            if (value.empty())
                return false;
            tupleType = tupleType ? *tupleType + " " + std::string(value) : std::string(value);
            return true;
        }
        std::optional<std::uint32_t>* slot = keyword == "WIDTH"    ? &width
                                             : keyword == "HEIGHT" ? &height
                                             : keyword == "DEPTH"  ? &depth
                                             : keyword == "MAXVAL" ? &maxval
                                                                   : nullptr;
        if (slot == nullptr || slot->has_value())
            return false;
        *slot = wholeNumber(value);
        return slot->has_value();
    }
};

std::optional<PnmHeader> parsePam(Cursor c, const std::uint8_t* begin) {
    const std::optional<std::string_view> first = nextLine(c);
    if (!first || !first->empty()) // the rest of the line after `P7`
        return std::nullopt;
    PamFields fields;
    for (;;) {
        const std::optional<std::string_view> line = nextLine(c);
        if (!line)
            return std::nullopt;
        if (line->empty() || line->front() == '#')
            continue;
        const auto blank = std::find_if(line->begin(), line->end(), isBlank);
        const auto gap = static_cast<std::size_t>(blank - line->begin());
        const std::string_view keyword = line->substr(0, gap);
        const std::string_view value = trimBlanks(line->substr(gap));
        if (keyword == "ENDHDR") {
            if (!value.empty())
                return std::nullopt;
            break;
        }
        if (!fields.take(keyword, value))
            return std::nullopt;
    }
    if (!fields.width || !fields.height || !fields.depth || !fields.maxval)
        return std::nullopt;
    PnmHeader h;
    h.variant = pamVariant;
    h.width = *fields.width;
    h.height = *fields.height;
    h.depth = *fields.depth;
    h.maxval = *fields.maxval;
    h.tupleType = std::move(fields.tupleType);
    h.length = static_cast<std::size_t>(c.at - begin);
    return inRange(h) ? std::optional<PnmHeader>(std::move(h)) : std::nullopt;
}

} // namespace

std::optional<PnmHeader> parsePnmHeader(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t magicLength = 2;
    if (size < magicLength || data[0] != 'P' || data[1] < '0' + firstVariant || data[1] > '0' + pamVariant)
        return std::nullopt;
    const int variant = data[1] - '0';
    const Cursor c{data + magicLength, data + size};
    return variant == pamVariant ? parsePam(c, data) : parseClassic(c, data, variant);
}

bool looksLikePnm(const std::uint8_t* data, std::size_t size) {
    return size >= 2 && data[0] == 'P' && isDigit(data[1]);
}

namespace {

// The header as read from the source, with what cannot change its meaning left out: comments (in P1 to
// P6 kept as one blank, the separator they are), in P1 to P6 runs of whitespace beyond their first byte,
// and in P7 blank lines and the blanks that start a line. So what is kept stays a few dozen bytes however
// long the comments are. What is kept is parsed whenever the header
// may have ended: in P1 to P6 at the whitespace after the last of its numbers, in P7 at the end of the
// ENDHDR line. The bytes the source gives are consumed exactly up to the header's last byte.
class HeaderReader {
public:
    HeaderReader(ByteSource& s, std::string& r) : source(s), reason(r) {}

    std::optional<PnmHeader> read() {
        if (source.peek(2) < 2 || !looksLikePnm(source.data(), 2))
            return fail("PNM: bad header");
        const int variant = source.data()[1] - '0';
        if (variant < firstVariant || variant > pamVariant)
            return fail("PNM: bad header");
        kept.assign(source.data(), source.data() + 2);
        take(2);
        const int numbers = variant == pamVariant ? 0 : variant == 1 || variant == 4 ? 2 : 3;
        int seen = 0;
        bool inComment = false;
        bool lineStart = false; // P7: nothing but blanks since the last line end
        for (;;) {
            if (taken >= pnmHeaderLimit)
                return fail("PNM: header too long");
            if (kept.size() >= keptLimit)
                return fail("PNM: bad header");
            if (source.available() == 0)
                return fail("PNM: file ends early");
            const std::uint8_t c = *source.data();
            take(1);
            if (inComment) {
                inComment = c != '\n' && (variant == pamVariant || c != '\r');
                if (inComment)
                    continue;
            } else if (c == '#' && (variant != pamVariant || lineStart)) {
                // A comment is kept as the whitespace it amounts to: it separates two numbers (right
                // after the last one it makes a bad header); a P7 comment line is left out whole.
                inComment = true;
                if (variant == pamVariant)
                    continue;
                const bool ends = endsNumber();
                if (ends && ++seen == numbers)
                    return fail("PNM: bad header");
                if (!isWhitespace(kept.back()))
                    kept.push_back(' ');
                continue;
            }
            if (variant == pamVariant) {
                if (lineStart && c != '\n' && isBlank(static_cast<char>(c)))
                    continue;
                if (c == '\n' && lineStart && kept.back() == '\n')
                    continue;
                lineStart = c == '\n';
            } else {
                if (!isWhitespace(c) && !isDigit(c))
                    return fail("PNM: bad header");
                if (isWhitespace(c) && isWhitespace(kept.back()))
                    continue;
            }
            const bool numberEnds = isWhitespace(c) && endsNumber();
            kept.push_back(c);
            if (variant != pamVariant && numberEnds && ++seen == numbers)
                return finish();
            if (variant == pamVariant && c == '\n') {
                const std::string_view line = lastLine();
                if (line.substr(0, 6) == "ENDHDR")
                    return finish();
                if (!knownLine(line, kept.size() == line.size() + 1))
                    return fail("PNM: bad header");
            }
        }
    }

private:
    // Whether what comes now ends a number: a digit was kept last (the digit of the variant is not one).
    bool endsNumber() const { return kept.size() > 2 && isDigit(kept.back()); }

    // The line just ended, without its line end.
    std::string_view lastLine() const {
        const std::string_view all(reinterpret_cast<const char*>(kept.data()), kept.size() - 1);
        const std::size_t start = all.find_last_of('\n');
        return all.substr(start == std::string_view::npos ? 0 : start + 1);
    }

    // Whether a line of a P7 header may belong there: `P7` alone on the first line; then a comment, or a
    // keyword the header knows followed by a blank. Anything else ends the reading at once, so that a
    // file of another kind that starts with `P7` is not read far.
    static bool knownLine(std::string_view line, bool first) {
        line = trimBlanks(line);
        if (first)
            return line == "P7";
        if (line.empty() || line.front() == '#')
            return true;
        for (const std::string_view keyword : {"WIDTH", "HEIGHT", "DEPTH", "MAXVAL", "TUPLTYPE"})
            if (line.size() > keyword.size() && line.substr(0, keyword.size()) == keyword &&
                isBlank(line[keyword.size()]))
                return true;
        return false;
    }

    std::optional<PnmHeader> finish() {
        std::optional<PnmHeader> h = parsePnmHeader(kept.data(), kept.size());
        if (!h || h->length != kept.size())
            return fail("PNM: bad header");
        h->length = taken;
        return h;
    }

    std::optional<PnmHeader> fail(const char* text) {
        reason = text;
        return std::nullopt;
    }

    void take(std::size_t n) {
        source.advance(n);
        taken += n;
    }

    // A header without its comments is short: a few numbers, or a few lines of keywords.
    static constexpr std::size_t keptLimit = 4096;

    ByteSource& source;
    std::string& reason;
    std::vector<std::uint8_t> kept;
    std::size_t taken = 0;
};

} // namespace

std::optional<PnmHeader> readPnmHeader(ByteSource& source, std::string& reason) {
    return HeaderReader(source, reason).read();
}
