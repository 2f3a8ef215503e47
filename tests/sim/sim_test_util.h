// Helpers for the simulator's tests: example images and little-endian quadlets.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace simtest {

// One of the example images under sim/images.
inline std::vector<uint8_t> Image(const char* name) {
    std::ifstream in(std::string(LORIC_SOURCE_DIR) + "/sim/images/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
inline std::vector<uint8_t> U32(std::initializer_list<uint32_t> xs) {
    std::vector<uint8_t> v;
    for (uint32_t x : xs) Put32(v, x);
    return v;
}

}  // namespace simtest
