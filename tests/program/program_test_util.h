// Helpers of the programming, simulator and serial tests: flash device records, image files,
// a recording progress window and request transcripts.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "loric.h"
#include "support/golden.h"
#include "support/request_recorder.h"

namespace loric::test {

inline const std::string kSourceDir = LORIC_SOURCE_DIR;
inline const std::string kImages = kSourceDir + "/sim/images/";

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

// The records of a flash data file; `found` points at the one named `chip` (null if none).
inline std::vector<FLASH_DEVICE> LoadRecords(const std::string& file, const char* chip, FLASH_DEVICE** found) {
    std::vector<FLASH_DEVICE> devices(LORIC_MAX_FLASH_DEVICES);
    uint32_t count = 0;
    EXPECT_EQ(LoadFlashData(file.c_str(), devices.data(), &count), 0u) << file;
    *found = nullptr;
    for (uint32_t i = 0; i < count; ++i)
        if (std::strcmp(devices[i].deviceName, chip) == 0) *found = &devices[i];
    return devices;
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
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t at, size_t length) {
    if (at + length > bytes.size()) return {};
    return {bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + length)};
}

inline uint32_t LittleEndian32(const std::vector<uint8_t>& bytes, size_t offset) {
    return uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 | uint32_t{bytes[offset + 2]} << 16 |
           uint32_t{bytes[offset + 3]} << 24;
}

// The image with the four bytes at `at` set to `value`, least significant first.
inline std::vector<uint8_t> WithParameter(std::vector<uint8_t> image, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return image;
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

    std::string Text() const {
        std::string out;
        for (const std::string& t : titles) out += t + "\n";
        return out;
    }

private:
    static void Changed(LORIC_PROGRESS_WINDOW* w) {
        static_cast<TitleLog*>(w->context)->titles.push_back(w->title);
    }
};

// Every request the driver received (quadlets decoded; other codes with their input as
// words, bytes left over, and the length of the data after them), then the trace and the titles.
inline std::string RequestTranscript(const RequestRecorder& driver, const std::string& trace, const TitleLog* titles) {
    std::string out;
    char line[200];
    for (const RecordedRequest& r : driver.Requests()) {
        if (auto t = RequestRecorder::Decode(r)) {
            std::snprintf(line, sizeof line, "%s %04X %04X %08X %08X\n", t->write ? "W" : "R", t->nodeId,
                          t->offsetHigh, t->offsetLow, t->write ? t->value : 0);
        } else {
            int n = std::snprintf(line, sizeof line, "%06X", r.code);
            size_t i = 0;
            for (; i + 3 < r.input.size() && n < 150; i += 4)
                n += std::snprintf(line + n, sizeof line - n, " %08X", LittleEndianAt(r.input, i));
            for (; i < r.input.size() && n < 150; ++i) n += std::snprintf(line + n, sizeof line - n, " %02X", r.input[i]);
            std::snprintf(line + n, sizeof line - n, " +%zu\n", r.uploadData.size());
        }
        out += line;
    }
    return out + "---- trace\n" + trace + (titles ? "---- titles\n" + titles->Text() : "");
}

}  // namespace loric::test
