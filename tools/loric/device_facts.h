// What the tool knows of the device and its flash beyond loric.h: the registers it reads and
// writes itself (all at offset high 0xFFFF), the values it looks for in them, the magic word
// that starts a configuration image, and how the chip records count words. One definition
// each; everything else comes from loric.h.
#pragma once

#include <cstdint>

#include "loric.h"

namespace tool {

// ---- Registers ------------------------------------------------------------------------------
inline constexpr uint32_t kRegisterHigh = 0xFFFF;
inline constexpr uint32_t kConfigRom = 0xF0000400;
inline constexpr uint32_t kFlashPortCtrl = 0xF0080000;
inline constexpr uint32_t kFlashEraseCtrl = 0xF0090000;
inline constexpr uint32_t kFlashUploadChecksum = 0xF0090004;
inline constexpr uint32_t kFlashUploadCtrl = 0xF0090008;
inline constexpr uint32_t kCsrModeCtrl = 0xF0090010;
inline constexpr uint32_t kFlashReadCtrl = 0xF0090014;
inline constexpr uint32_t kCsrUploadCommandSetCtrl = 0xF009001C;

// FLASH_UPLOAD_CTRL reads this while the bootstrap loader runs.
inline constexpr uint32_t kUploaderReady = 0x414F6B21;
// Written to FLASH_UPLOAD_CTRL: restarts the device's processor.
inline constexpr uint32_t kProcessorReset = 0x80000000;

// The sector address that makes EraseFlashSector erase the whole chip.
inline constexpr uint32_t kEraseAll = 0xFFFFFFFF;

// ---- Images ---------------------------------------------------------------------------------
// The first word of a configuration image (stored least significant byte first).
inline constexpr uint32_t kConfigMagic = 0xAFC924AD;
// The configuration ROM follows a header of this many bytes; its quadlets 3 and 4 (the bus
// information block's last two) hold the board's EUI-64.
inline constexpr uint32_t kConfigHeaderBytes = 104;

// ---- Chip records -----------------------------------------------------------------------------
// Sector starts and sizes count words of the chip's bus width.
inline uint32_t BytesPerWord(const FLASH_DEVICE& chip) {
    return chip.busWidth / 8 ? chip.busWidth / 8 : 1;
}

inline uint64_t SectorBytes(const FLASH_DEVICE& chip, uint32_t index) {
    return static_cast<uint64_t>(chip.sectors[index].size) * BytesPerWord(chip);
}

// The device id the record's attributes carry (FLASH_INTERNAL_DEVICE_ID: the bridge's own flash).
inline uint32_t FlashDeviceId(const FLASH_DEVICE& chip) {
    return (chip.attributes & FLASH_ATTR_ID_MASK) >> FLASH_ATTR_ID_SHIFT;
}

}  // namespace tool
