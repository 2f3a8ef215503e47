// Reading the flash back through the device's read window (FLASH_READ_CTRL).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

class Progress;

// Reads `length` bytes of flash from byte address `address` (any alignment) of `node`, showing
// `step` as a ReadFlash stage. ToolError when the device does not answer,
// ToolError(LORIC_ERR_CANCELLED) after a Ctrl-C. `progress` may be null.
std::vector<uint8_t> ReadFlash(uint16_t node, uint32_t address, uint32_t length, Progress* progress,
                               const std::string& step = "Reading flash...");

}  // namespace tool
