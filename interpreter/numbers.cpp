#include "interpreter/numbers.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>

int parseInt(const char* text) {
    // The conversion from long to int is modular in C++20, which is exactly the C library's behaviour.
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

double parseReal(const char* text) {
    return std::strtod(text, nullptr);
}

std::uint8_t parseChannel(const char* text) {
    return static_cast<std::uint8_t>(static_cast<unsigned>(parseInt(text)) & 0xFFu);
}

double parseAmount(const char* text) {
    const double value = parseReal(text);
    if (!(std::fabs(value) <= FLT_MAX))
        return value;
    return static_cast<double>(static_cast<float>(value));
}

bool isWholeNumber(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno != ERANGE && value >= INT_MIN && value <= INT_MAX;
}

bool isRealNumber(const char* text) {
    char* end = nullptr;
    std::strtod(text, &end);
    return end != text && *end == '\0';
}
