// Decodes a configuration image (the 104-byte header and the configuration ROM after it, words
// stored least significant byte first) for a person to read, checking every CRC on the way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

struct RomReport {
    std::string text;                   // the decoded image, one item per line
    int crcChecked = 0;                 // CRCs computed
    int crcFailed = 0;                  // of which did not match
    bool valid = false;                 // header magic present and ROM long enough to decode
    std::vector<std::string> problems;  // one line each
};

// The CRC-16 of IEEE 1212 over whole quadlets.
uint16_t RomCrc(const uint32_t* words, size_t count);

RomReport DecodeConfigImage(const std::vector<uint8_t>& image);

}  // namespace tool
