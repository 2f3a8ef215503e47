// Helpers of the configuration tests: trace capture, scratch files, and an image builder
// written independently of the library's (byte-wise CRC, explicit word lists).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "api/context.h"
#include "loric.h"
#include "platform/platform.h"

namespace cromtest {

namespace fs = std::filesystem;

// Captures trace pieces through the trace log: sets the trace flags and a log file of its own,
// and gives back the text with CR LF turned into LF.
class TraceCapture {
public:
    explicit TraceCapture(uint32_t flags, const fs::path& path) : path_(path) {
        loric::g_api.traceFlags = flags;
        loric::g_api.logFile = loric::platform::OpenLogFile(path_.string().c_str());
    }
    ~TraceCapture() {
        if (loric::g_api.logFile != nullptr) loric::platform::CloseLogFile(loric::g_api.logFile);
        loric::g_api.logFile = nullptr;
        loric::g_api.traceFlags = 0;
    }
    std::string Text() const {
        loric::platform::FlushLogFile(loric::g_api.logFile);
        std::ifstream in(path_, std::ios::binary);
        std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string text;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
            text += raw[i];
        }
        return text;
    }

private:
    fs::path path_;
};

// A fresh directory per test under the system's temporary directory.
class ScratchDir {
public:
    ScratchDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("loric_crom_") + info->test_suite_name() + "_" + info->name();
        for (char& c : name) {
            if (c == '/') c = '_';
        }
        path_ = fs::temp_directory_path() / name;
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

inline std::vector<uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// CRC-16 with polynomial 0x1021, initial value 0, over bytes most significant bit first.
inline uint16_t ByteCrc(const std::vector<uint8_t>& bytes) {
    uint32_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= static_cast<uint32_t>(b) << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
        crc &= 0xFFFF;
    }
    return static_cast<uint16_t>(crc);
}

// The CRC of words as they travel on the bus: each word's bytes most significant first.
inline uint16_t WordsCrc(const std::vector<uint32_t>& words, size_t first, size_t count) {
    std::vector<uint8_t> bytes;
    for (size_t i = first; i < first + count; ++i) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(words[i] >> shift));
    }
    return ByteCrc(bytes);
}

// File bytes of words stored least significant byte first.
inline std::vector<uint8_t> LittleEndianBytes(const std::vector<uint32_t>& words) {
    std::vector<uint8_t> bytes;
    for (uint32_t w : words) {
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(w >> shift));
    }
    return bytes;
}

inline std::vector<uint32_t> LittleEndianWords(const std::vector<uint8_t>& bytes) {
    std::vector<uint32_t> words(bytes.size() / 4);
    for (size_t i = 0; i < words.size(); ++i) {
        words[i] = bytes[i * 4] | (bytes[i * 4 + 1] << 8) | (bytes[i * 4 + 2] << 16) |
                   (static_cast<uint32_t>(bytes[i * 4 + 3]) << 24);
    }
    return words;
}

// The text quadlets of a leaf: spaces up to a multiple of four, first character on top.
inline std::vector<uint32_t> TextQuadlets(const std::string& text) {
    std::string padded = text;
    while (padded.size() % 4 != 0) padded += ' ';
    std::vector<uint32_t> words;
    for (size_t i = 0; i < padded.size(); i += 4) {
        words.push_back((uint32_t(uint8_t(padded[i])) << 24) | (uint32_t(uint8_t(padded[i + 1])) << 16) |
                        (uint32_t(uint8_t(padded[i + 2])) << 8) | uint32_t(uint8_t(padded[i + 3])));
    }
    return words;
}

// Fills one text field of a record (at most 60 bytes, zero-terminated when shorter).
inline void SetText(char (&field)[60], const std::string& text) {
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, text.data(), text.size() < 60 ? text.size() : 60);
}

// The configuration image that a record must give, built word by word as the layout table
// lists it: ext_config, the bus information block, both directories and the four leaves.
// `dataPage` replaces words 5..16 and the page type when given.
inline std::vector<uint32_t> ExpectedImage(const CONFIG_FILE_INFO& info, const uint32_t* dataPage = nullptr,
                                           uint32_t pageType = 1) {
    const bool second = (info.config_flags & 0x00800000u) != 0;
    const char* fields[4] = {info.vendor_text, info.hw_version_text, info.lun0_model_text, info.lun1_model_text};

    std::vector<std::vector<uint32_t>> leaves;
    std::vector<uint32_t> starts;
    uint32_t next = 28;
    for (const char* f : fields) {
        std::string text(f, strnlen(f, 60));
        std::vector<uint32_t> leaf = {0, 0, 0};
        for (uint32_t q : TextQuadlets(text)) leaf.push_back(q);
        leaf.push_back(0);
        const uint32_t length = static_cast<uint32_t>(leaf.size() - 1);
        leaf[0] = (length << 16) | WordsCrc(leaf, 1, length);
        starts.push_back(next);
        next += static_cast<uint32_t>(leaf.size());
        leaves.push_back(leaf);
    }
    const uint32_t romQuadlets = next;

    std::vector<uint32_t> rom(romQuadlets, 0);
    rom[1] = 0x31333934;
    rom[2] = 0x00FF5000 | (info.link_speed & 7);
    rom[3] = ((info.node_vendor_id & 0xFFFFFF) << 8) | info.chip_id_hi;
    rom[4] = info.chip_id_lo;
    rom[6] = 0x0C0083C0;
    rom[7] = 0x03000000 | (info.module_vendor_id & 0xFFFFFF);
    rom[8] = 0x81000000 | (starts[0] - 8);
    rom[9] = 0x04000000 | (info.module_hw_version & 0xFFFFFF);
    rom[10] = 0x81000000 | (starts[1] - 10);
    rom[11] = 0xD1000001;
    rom[13] = 0x1200609E;
    rom[14] = 0x13000000 | (info.unit_sw_version & 0xFFFFFF);
    rom[15] = 0x3C000000 | (info.firmware_revision & 0xFFFFFF);
    rom[16] = 0x5400C000;
    rom[17] = 0x3A000000 | (uint32_t(info.mgt_orb_timeout) << 8) | info.orb_size;
    rom[18] = 0x3800609E;
    rom[19] = 0x39000000 | (info.command_set & 0xFFFFFF);
    rom[20] = 0x3B000000 | (info.command_set_revision & 0xFFFFFF);
    rom[21] = 0x3D000000 | (info.reconnect_timeout & 0xFFFFFF);
    rom[22] = 0x14400000 | (uint32_t(info.lun0_device_type & 0x1F) << 16);
    rom[23] = 0x17000000 | (info.lun0_model_id & 0xFFFFFF);
    rom[24] = 0x81000000 | (starts[2] - 24);
    if (second) {
        rom[25] = 0x14400001 | (uint32_t(info.lun1_device_type & 0x1F) << 16);
        rom[26] = 0x17000000 | (info.lun1_model_id & 0xFFFFFF);
        rom[27] = 0x81000000 | (starts[3] - 27);
    }
    rom[5] = (6u << 16) | WordsCrc(rom, 6, 6);
    rom[12] = (15u << 16) | WordsCrc(rom, 13, 15);
    for (size_t k = 0; k < 4; ++k) {
        for (size_t i = 0; i < leaves[k].size(); ++i) rom[starts[k] + i] = leaves[k][i];
    }
    const uint32_t crcLength = romQuadlets - 1;
    rom[0] = (4u << 24) | (crcLength << 16) | WordsCrc(rom, 1, crcLength);

    std::vector<uint32_t> image(26, 0);
    image[0] = 0xAFC924AD;
    image[1] = info.config_word1;
    image[2] = info.config_word2;
    image[3] = info.config_word3;
    image[4] = (info.config_flags & 0xFFFFFF) | (pageType << 24);
    if (dataPage != nullptr) {
        for (int i = 0; i < 12; ++i) image[5 + i] = dataPage[i];
    }
    image[25] = romQuadlets * 4;
    image.insert(image.end(), rom.begin(), rom.end());
    return image;
}

// A record with every numeric field set to a value with bits above the kept ones.
inline CONFIG_FILE_INFO FullRecord(bool secondUnit) {
    CONFIG_FILE_INFO info;
    std::memset(&info, 0, sizeof(info));
    info.chip_id_hi = 0xA5;
    info.chip_id_lo = 0x12345678;
    info.node_vendor_id = 0xFF00D04B;
    info.module_vendor_id = 0x0100D04B;
    info.module_hw_version = 0x02000102;
    info.unit_sw_version = 0x00010483;
    info.firmware_revision = 0x00000203;
    info.command_set = 0x0A0104D8;
    info.command_set_revision = 0x00000001;
    info.reconnect_timeout = 0x0000000F;
    info.mgt_orb_timeout = 0x14;
    info.orb_size = 0x08;
    info.lun0_device_type = 0xEE;  // low 5 bits: 0x0E
    info.lun1_device_type = 0x05;
    info.lun0_model_id = 0x00ABCDEF;
    info.lun1_model_id = 0x77123456;
    info.link_speed = 0x0A;  // low 3 bits: 2
    SetText(info.vendor_text, "LORIC Storage Works");        // 19 -> 20, 5 quadlets
    SetText(info.hw_version_text, "HW 1.0");                  // 6 -> 8, 2 quadlets
    SetText(info.lun0_model_text, "Bridge Disk Zero");        // 16, 4 quadlets
    SetText(info.lun1_model_text, "Bridge Disk One (Mirror)"); // 24, 6 quadlets
    info.config_word1 = 0x11111111;
    info.config_word2 = 0x22222222;
    info.config_word3 = 0x00601504;
    info.config_flags = 0xAB000017 | (secondUnit ? 0x00800000u : 0);
    return info;
}

}  // namespace cromtest
