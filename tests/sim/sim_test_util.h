// Helpers for the simulator's tests: example images, bytes in hex and cases from data files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace simtest {

// One of the example images under sim/images.
inline std::vector<uint8_t> Image(const char* name) {
    std::ifstream in(std::string(LORIC_SOURCE_DIR) + "/sim/images/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<uint8_t> FromHex(const std::string& text) {
    std::istringstream in(text);
    std::vector<uint8_t> v;
    for (unsigned b = 0; in >> std::hex >> b;) v.push_back(static_cast<uint8_t>(b));
    return v;
}
inline std::string ToHex(const std::vector<uint8_t>& v) {
    std::string text;
    for (uint8_t b : v) {
        char two[4];
        std::snprintf(two, sizeof two, "%s%02X", text.empty() ? "" : " ", b);
        text += two;
    }
    return text;
}

// The cases of tests/data/sim/<name>, a line each, fields split at '|'.
inline std::vector<std::vector<std::string>> Cases(const std::string& name) {
    std::ifstream in(std::string(LORIC_SOURCE_DIR) + "/tests/data/sim/" + name);
    std::vector<std::vector<std::string>> cases;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string>& fields = cases.emplace_back();
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, '|');) fields.push_back(field);
    }
    return cases;
}

}  // namespace simtest
