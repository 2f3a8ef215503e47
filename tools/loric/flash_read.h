// Reading the flash back through the device's read window, and comparing it with a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

class Progress;

// Register offsets (offset high 0xFFFF) and values of the device that the tool uses directly.
inline constexpr uint32_t kRegisterHigh = 0xFFFF;
inline constexpr uint32_t kFlashReadCtrl = 0xF0090014;
inline constexpr uint32_t kFlashUploadCtrl = 0xF0090008;
inline constexpr uint32_t kUploaderReady = 0x414F6B21;

// Reads `length` bytes of flash from byte address `address` (any alignment) of `node`.
// ToolError when the device does not answer. `progress` may be null.
std::vector<uint8_t> ReadFlash(uint16_t node, uint32_t address, uint32_t length, Progress* progress,
                               const std::string& step = "Reading flash...");

std::vector<uint8_t> ReadFileBytes(const std::string& path); // ToolError(6/7) on failure
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// What the firmware image looks like once programmed: parameter 1 of its "FWPARAMETERS_"
// section holds the configuration sector's byte address. Unchanged without a section.
std::vector<uint8_t> ProgrammedFirmwareImage(std::vector<uint8_t> image, uint32_t configByteAddress);

struct Comparison {
    bool same = true;
    size_t differences = 0; // bytes that differ
    size_t first = 0;       // offset of the first
    uint8_t expected = 0, actual = 0;
};
Comparison Compare(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& actual);

// "flash at 0x000000: 3 bytes differ, first at 0x000010 (file 0x12, flash 0xFF)"
std::string Describe(const Comparison& comparison, uint32_t address);

// Hex dump lines: address, 16 bytes, their characters.
std::string HexDump(const std::vector<uint8_t>& bytes, uint32_t address);

}  // namespace tool
