#include "dump.h"

#include <algorithm>
#include <cstdio>

namespace tool {

Comparison Compare(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& actual) {
    Comparison result;
    size_t common = std::min(expected.size(), actual.size());
    for (size_t i = 0; i < common; ++i) {
        if (expected[i] != actual[i]) {
            if (result.same) {
                result.first = i;
                result.expected = expected[i];
                result.actual = actual[i];
            }
            result.same = false;
            ++result.differences;
        }
    }
    if (expected.size() != actual.size()) {
        if (result.same) result.first = common;
        result.same = false;
        result.differences += std::max(expected.size(), actual.size()) - common;
    }
    return result;
}

std::string Describe(const Comparison& comparison, uint32_t address) {
    char text[160];
    if (comparison.same) {
        std::snprintf(text, sizeof text, "flash at 0x%06X matches", address);
    } else {
        std::snprintf(text, sizeof text,
                      "flash at 0x%06X differs: %zu bytes differ, the first at 0x%06zX (file "
                      "0x%02X, flash 0x%02X)",
                      address, comparison.differences, address + comparison.first,
                      comparison.expected, comparison.actual);
    }
    return text;
}

std::string HexDump(const std::vector<uint8_t>& bytes, uint32_t address) {
    std::string out;
    char line[96];
    for (size_t row = 0; row < bytes.size(); row += 16) {
        int n = std::snprintf(line, sizeof line, "%06zX ", address + row);
        std::string text;
        for (size_t i = 0; i < 16; ++i) {
            if (row + i < bytes.size()) {
                uint8_t byte = bytes[row + i];
                n += std::snprintf(line + n, sizeof line - n, " %02X", byte);
                text += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '.';
            } else {
                n += std::snprintf(line + n, sizeof line - n, "   ");
            }
        }
        out += line;
        out += "  " + text + "\n";
    }
    return out;
}

}  // namespace tool
