// Flash chip descriptions: the line reader shared by the text file formats, and the values
// derived from a FLASH_DEVICE record that the programming code needs.
#pragma once

#include <cstdint>
#include <cstdio>

#include "link/registers.h"
#include "loric.h"

namespace loric {

// Size of the line buffer the flash data file is read with: at most 63 characters of a line
// count.
inline constexpr uint32_t kFlashLineSize = 64;

// Reads one line from `stream` byte by byte. The line ends at LF, at CR (a CR LF pair counts
// as one line end) or at end of file; the terminator is consumed and not stored. At most
// size - 1 characters are stored, the rest of a longer line is read and dropped; the buffer
// always ends with a NUL (when size > 0). At end of file nothing is read and the result is
// an empty string. Returns the number of characters stored.
// With `budget`, every byte read counts against it, and once it reaches zero the line ends as
// at end of file: a stream that never ends (a device, a pipe) is read no further than that.
uint32_t ReadFileLine(FILE* stream, char* buffer, uint32_t size, uint64_t* budget = nullptr);

// Most bytes a text file of the library is read for: a file of this size or more is refused.
inline constexpr uint64_t kMaxTextFileBytes = 16u << 20;

// Fields of FLASH_DEVICE.attributes.
inline uint32_t DeviceId(const FLASH_DEVICE& device) {
    return (device.attributes & FLASH_ATTR_ID_MASK) >> FLASH_ATTR_ID_SHIFT;
}
inline uint32_t WidthCode(const FLASH_DEVICE& device) {
    return (device.attributes & FLASH_ATTR_WIDTH_MASK) >> FLASH_ATTR_WIDTH_SHIFT;
}
// The record the programming code treats as the chip's internal flash.
inline bool IsInternalFlash(const FLASH_DEVICE& device) {
    return DeviceId(device) == FLASH_INTERNAL_DEVICE_ID;
}
// 8, 16 or 32: the only widths a record can be programmed with.
inline bool IsValidBusWidth(uint32_t busWidth) {
    return busWidth == 8 || busWidth == 16 || busWidth == 32;
}
// The command set handed to the driver and the device for `device`: the built-in set named
// by the low byte of commandSetIndex (BuiltInCommandSet in link/registers.h says which chips
// each one serves), with bit 8 of word 0 added for a 16-bit bus. False when the low byte
// names no built-in set.
bool DeviceCommandSet(const FLASH_DEVICE& device, FLASH_COMMAND_SET& set);

}  // namespace loric
