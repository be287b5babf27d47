#pragma once

#include <string_view>

// A setting's value (an environment variable's, an option's) without the blanks, spaces or tabs, around it.
inline std::string_view withoutBlanks(std::string_view text) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}
