#include "formats/pnm_header.h"

#include "system/byte_source.h"

#include <algorithm>
#include <cstring>
#include <string_view>

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
    // Only what a peek can show counts, so that a file read from memory is taken exactly as the same
    // bytes read from a descriptor.
    size = std::min(size, ByteSource::peekLimit);
    constexpr std::size_t magicLength = 2;
    if (size < magicLength || data[0] != 'P' || data[1] < '0' + firstVariant || data[1] > '0' + pamVariant)
        return std::nullopt;
    const int variant = data[1] - '0';
    const Cursor c{data + magicLength, data + size};
    return variant == pamVariant ? parsePam(c, data) : parseClassic(c, data, variant);
}
