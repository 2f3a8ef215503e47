// Flash bytes for a person: a hex dump, and how a read-back differs from its file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tool {

struct Comparison {
    bool same = true;
    size_t differences = 0;  // bytes that differ
    size_t first = 0;        // offset of the first
    uint8_t expected = 0, actual = 0;
};
Comparison Compare(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& actual);

// "flash at 0x000000: 3 bytes differ, first at 0x000010 (file 0x12, flash 0xFF)"
std::string Describe(const Comparison& comparison, uint32_t address);

// Hex dump lines: address, 16 bytes, their characters.
std::string HexDump(const std::vector<uint8_t>& bytes, uint32_t address);

}  // namespace tool
