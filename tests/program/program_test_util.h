// Helpers of the programming sequence tests: flash device records, image files and a
// recording progress window.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "loric.h"

namespace loric::test {

// Fills `device` as LoadFlashData would: sectors of the given sizes (words) from 0 upward, the
// configuration sector at `configIndex` (a pointer into the record itself).
inline void MakeDevice(FLASH_DEVICE& device, uint8_t busWidth, const std::vector<uint32_t>& sizes,
                       uint32_t configIndex, uint32_t deviceId = 1, int32_t commandSet = 1) {
    device = FLASH_DEVICE{};
    device.attributes = 3u | (deviceId << FLASH_ATTR_ID_SHIFT);
    device.busWidth = busWidth;
    device.commandSetIndex = commandSet;
    device.byteProgramDelay = 20;
    uint32_t address = 0;
    for (uint32_t size : sizes) {
        FLASH_SECTOR& s = device.sectors[device.sectorCount++];
        s.start = address;
        s.end = address + size - 1;
        s.size = size;
        address += size;
    }
    device.totalBits = address * busWidth;
    device.configSector = &device.sectors[configIndex];
    device.configByteAddress = device.configSector->start * (busWidth / 8);
    for (uint32_t i = 0; i < configIndex; ++i) device.firmwareSpace += device.sectors[i].size * (busWidth / 8);
}

inline std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

// A firmware-like image: `length` bytes with a parameter section of three parameters whose
// marker stands at 0x100 (parameter 1 at 0x110).
inline std::vector<uint8_t> FirmwareImage(size_t length, uint32_t seed = 7) {
    std::vector<uint8_t> bytes = Pattern(length, seed);
    std::memcpy(bytes.data() + 0x100, "FWPARAMETERS_03", 16);  // with its NUL
    for (int i = 0; i < 12; ++i) bytes[0x110 + i] = 0xEE;
    return bytes;
}

inline void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) return;
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

inline uint32_t LittleEndian32(const std::vector<uint8_t>& bytes, size_t offset) {
    return uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 | uint32_t{bytes[offset + 2]} << 16 |
           uint32_t{bytes[offset + 3]} << 24;
}

// A progress window whose every title change is recorded.
struct TitleLog {
    LORIC_PROGRESS_WINDOW window{};
    std::vector<std::string> titles;

    TitleLog() {
        window.titleChanged = &TitleLog::Changed;
        window.context = this;
    }
    TitleLog(const TitleLog&) = delete;
    TitleLog& operator=(const TitleLog&) = delete;
    ProgressWindow Handle() { return &window; }

    // The step texts: every title without an appended percentage, in order.
    std::vector<std::string> Steps() const {
        std::vector<std::string> out;
        for (const std::string& t : titles)
            if (t.empty() || t.back() != '%') out.push_back(t);
        return out;
    }
    bool Saw(const std::string& title) const {
        for (const std::string& t : titles)
            if (t == title) return true;
        return false;
    }

private:
    static void Changed(LORIC_PROGRESS_WINDOW* w) {
        static_cast<TitleLog*>(w->context)->titles.push_back(w->title);
    }
};

// The lines of `text` that contain `needle`, joined.
inline std::string LinesWith(const std::string& text, const std::string& needle) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(start, end - start);
        if (line.find(needle) != std::string::npos) out += line;
        start = end;
    }
    return out;
}

}  // namespace loric::test
