// Helpers of the programming and simulator tests: flash device records, image files, a
// recording progress window and request transcripts.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
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
                       uint32_t configIndex, uint32_t deviceId = 1) {
    device = FLASH_DEVICE{};
    device.attributes = 3u | (deviceId << FLASH_ATTR_ID_SHIFT);
    device.busWidth = busWidth;
    device.commandSetIndex = 1;
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
    for (auto& b : bytes) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return bytes;
}

// The image with the four bytes at `at` set to `value`, least significant first.
inline std::vector<uint8_t> WithParameter(std::vector<uint8_t> image, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return image;
}

// A firmware-like image: `length` bytes with a parameter section of three parameters whose
// marker stands at 0x100 (parameter 1 at 0x110).
inline std::vector<uint8_t> FirmwareImage(size_t length, uint32_t seed = 7) {
    std::vector<uint8_t> bytes = Pattern(length, seed);
    std::memcpy(bytes.data() + 0x100, "FWPARAMETERS_03", 16);  // with its NUL
    std::fill(bytes.begin() + 0x110, bytes.begin() + 0x11C, 0xEE);
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

// A progress window whose every title change is recorded.
struct TitleLog {
    LORIC_PROGRESS_WINDOW window{};
    std::vector<std::string> titles;

    TitleLog() {
        window.titleChanged = [](LORIC_PROGRESS_WINDOW* w) {
            static_cast<TitleLog*>(w->context)->titles.push_back(w->title);
        };
        window.context = this;
    }
    ProgressWindow Handle() { return &window; }
};

// Every request the driver received (quadlets decoded; other codes with their input as
// words, bytes left over, and the length of the data after them), then the trace and the titles.
inline std::string RequestTranscript(const RequestRecorder& driver, const std::string& trace, const TitleLog* titles) {
    Transcript out;
    for (const RecordedRequest& r : driver.Requests()) {
        if (auto t = RequestRecorder::Decode(r)) {
            out.Add("%s %04X %04X %08X %08X\n", t->write ? "W" : "R", t->nodeId, t->offsetHigh, t->offsetLow,
                    t->write ? t->value : 0);
            continue;
        }
        out.Add("%06X", r.code);
        size_t i = 0;
        for (; i + 3 < r.input.size(); i += 4) out.Add(" %08X", LittleEndianAt(r.input, i));
        for (; i < r.input.size(); ++i) out.Add(" %02X", r.input[i]);
        out.Add(" +%zu\n", r.uploadData.size());
    }
    out.Text("---- trace\n" + trace);
    if (titles) out.Text("---- titles\n");
    for (size_t i = 0; titles && i < titles->titles.size(); ++i) out.Add("%s\n", titles->titles[i].c_str());
    return out.str();
}

}  // namespace loric::test
