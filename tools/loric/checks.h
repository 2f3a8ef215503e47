// What the tool checks before it touches a device: the files it is given, the images it is
// about to program, and the ranges of its arguments. Each check has one message, the same in
// every command, and throws a ToolError with the exit code the README documents.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "loric.h"

namespace tool {

// An input file's bytes. A missing, unreadable or empty file, or a folder, is refused with
// exit code 6, the message naming `what` and the path ("cannot open the firmware image X").
std::vector<uint8_t> ReadInputFile(const std::string& path, const std::string& what);

enum class ImageKind { Loader, Firmware };

// Checks an image before anything is erased. Sizes are always checked (6 empty, 24 too large
// for the chip); its content (boot header, kind, length, boot sum, and for firmware the
// "FWPARAMETERS_" section that receives the configuration address) is refused with 6 unless
// `force`, in which case each problem is printed as a warning.
void CheckImage(const std::vector<uint8_t>& image, ImageKind kind, const FLASH_DEVICE& chip,
                const std::string& path, bool force);

// The problems CheckImage finds in an image's content (empty when it looks right).
std::vector<std::string> ImageProblems(const std::vector<uint8_t>& image, ImageKind kind);

// A range of flash bytes must lie inside the chip (5 otherwise).
void CheckFlashRange(uint64_t address, uint64_t length, const FLASH_DEVICE& chip);

// The flash bytes of the chip.
uint64_t ChipBytes(const FLASH_DEVICE& chip);

// What the firmware image looks like once programmed: parameter 1 of its "FWPARAMETERS_"
// section holds the configuration sector's byte address. Unchanged without a section.
std::vector<uint8_t> ProgrammedFirmwareImage(std::vector<uint8_t> image,
                                             uint32_t configByteAddress);

// The configuration address parameter 1 of the image's "FWPARAMETERS_" section holds, or
// false when it has no usable section.
bool ConfigAddressOf(const std::vector<uint8_t>& image, uint32_t* address);

// The sectors, counted from 0, that the firmware step erases for an image of `bytes` bytes:
// just enough of them to hold it. Their total size in bytes goes to `regionBytes`.
uint32_t FirmwareSectors(const FLASH_DEVICE& chip, uint64_t bytes, uint64_t* regionBytes);

}  // namespace tool
