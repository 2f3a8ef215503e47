// How the tool writes numbers and names in its messages. Header only: the fuzz targets build
// the configuration code without the rest of the tool.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tool {

// "0x0001F000": at least `digits` digits, 0 for no padding.
inline std::string Hex(uint64_t value, int digits = 8) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

// "0xFFC0"
inline std::string NodeText(uint16_t node) { return Hex(node, 4); }

inline std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return text;
}

inline std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    return text;
}

}  // namespace tool
