#include "flash_read.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "errors.h"
#include "loric.h"
#include "progress.h"

namespace tool {

std::vector<uint8_t> ReadFlash(uint16_t node, uint32_t address, uint32_t length, Progress* progress,
                               const std::string& step) {
    std::vector<uint8_t> bytes;
    if (length == 0) return bytes;
    uint32_t aligned = address & ~3u;
    uint32_t skip = address - aligned;
    uint64_t quadlets = (static_cast<uint64_t>(skip) + length + 3) / 4;
    bytes.reserve(static_cast<size_t>(quadlets * 4));
    char where[64];
    std::snprintf(where, sizeof where, "setting the read window to flash address 0x%06X", aligned);
    Check(WriteQuadlet(node, kRegisterHigh, kFlashReadCtrl, aligned), where);
    if (progress) {
        progress->ExpectBytes(step, length);
        progress->SetStep(step);
    }
    int shown = -1;
    for (uint64_t i = 0; i < quadlets; ++i) {
        uint32_t value = 0;
        uint32_t status = ReadQuadlet(node, kRegisterHigh, kFlashReadCtrl, &value);
        if (status != 0) {
            std::snprintf(where, sizeof where, "reading flash at 0x%06llX",
                          static_cast<unsigned long long>(aligned + i * 4));
            Check(status, where);
        }
        for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(value >> (8 * b)));
        int percent = static_cast<int>((i + 1) * 100 / quadlets);
        if (progress && percent != shown) {
            shown = percent;
            if (progress->Report(percent)) {
                throw ToolError(21, "reading the flash was cancelled", "Run the command again to read it all.");
            }
        }
    }
    if (progress) progress->Finish();
    bytes.erase(bytes.begin(), bytes.begin() + skip);
    bytes.resize(length);
    return bytes;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ToolError(6, "cannot open " + path, "Check the file name and that the file can be read.");
    }
    // More than any flash chip holds: a device or a pipe that never ends is read no further.
    constexpr size_t kMaxFileBytes = size_t{64} << 20;
    std::vector<uint8_t> bytes;
    std::vector<char> block(1 << 16);
    for (;;) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        bytes.insert(bytes.end(), block.data(), block.data() + in.gcount());
        if (bytes.size() > kMaxFileBytes) {
            throw ToolError(LORIC_ERR_FILE_TOO_LARGE, path + " is larger than 64 MiB, more than any flash chip holds",
                            "Check the file name.");
        }
        if (!in) break;
    }
    if (in.bad()) throw ToolError(7, "cannot read " + path, "Check the file and the disk.");
    return bytes;
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw ToolError(6, "cannot create " + path, "Check that the folder exists and can be written.");
    }
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw ToolError(7, "cannot write " + path, "Check the free space on the disk.");
}

std::vector<uint8_t> ProgrammedFirmwareImage(std::vector<uint8_t> image, uint32_t configByteAddress) {
    static const char kMarker[] = "FWPARAMETERS_";
    const size_t markerLength = sizeof kMarker - 1;
    for (size_t at = 0; at + markerLength <= image.size(); ++at) {
        if (std::memcmp(&image[at], kMarker, markerLength) != 0) continue;
        // Parameter 1 is the first quadlet-aligned offset at least 16 bytes after the marker.
        size_t parameter = (at + 16 + 3) & ~static_cast<size_t>(3);
        if (parameter + 4 <= image.size()) {
            for (int b = 0; b < 4; ++b) image[parameter + b] = static_cast<uint8_t>(configByteAddress >> (8 * b));
        }
        break;
    }
    return image;
}

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
                      "flash at 0x%06X differs: %zu bytes differ, the first at 0x%06zX (file 0x%02X, flash 0x%02X)",
                      address, comparison.differences, address + comparison.first, comparison.expected,
                      comparison.actual);
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
